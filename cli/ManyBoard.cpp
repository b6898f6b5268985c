// kvb for many devices on the screen: the live board of a terminal, one line per device at work,
// with the lines said above it, and the summary at the end.
#include "ManyRunner.h"

namespace kvb::many {

namespace {

// At most width characters (not bytes) of UTF-8 text.
std::string Cut(const std::string& text, size_t width) {
    size_t chars = 0;
    for (size_t i = 0; i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && chars++ == width)
            return text.substr(0, i);
    return text;
}

} // namespace

std::string Runner::Tally() const {
    return std::to_string(done_) + " done, " + std::to_string(failed_) + " failed";
}

// ---- the screen ----

void Runner::Above(FILE* out, const std::string& text) {
    Clear();
    std::fprintf(out, "%s\n", text.c_str());
    std::fflush(out);
    Draw(true);
}

void Runner::Clear() {
    if (drawn_ == 0) return;
    std::fprintf(stderr, "\x1b[%dA\x1b[J", drawn_);
    drawn_ = 0;
}

std::string Runner::Board(const Worker& w) const {
    char text[256];
    if (!w.running) {
        std::snprintf(text, sizeof text, "%-15s %s (%.1f s)", w.shown.c_str(),
                      w.status == 0 ? "done" : ("FAILED: " + w.reason).c_str(), w.Seconds());
    } else if (w.total > 0 && w.position < w.total) {
        const int width = 20;
        const int filled = static_cast<int>(width * w.position / w.total);
        std::string bar(static_cast<size_t>(filled), '#');
        bar.resize(width, '.');
        std::snprintf(text, sizeof text, "%-15s %-22s [%s] %3d%% %6.1f kB/s", w.shown.c_str(),
                      Cut(w.step, 22).c_str(), bar.c_str(),
                      static_cast<int>(100 * w.position / w.total), w.rate / 1000);
    } else {
        std::snprintf(text, sizeof text, "%-15s %s", w.shown.c_str(), w.step.c_str());
    }
    return Cut(text, 79);
}

void Runner::Draw(bool now) {
    if (!live_) return;
    if (!now && Steady::now() - drawnAt_ < std::chrono::milliseconds(100)) return;
    drawnAt_ = Steady::now();
    std::vector<std::string> lines;
    for (const auto& w : workers_)
        // --each-new keeps the devices at work; finished ones have had their line above.
        if (!options_.eachNew || w->running) lines.push_back(Board(*w));
    if (drawn_ > 0 && lines == board_) return; // nothing new to show
    Clear();
    for (const auto& line : lines)
        std::fprintf(stderr, "\x1b[2K%s\n", line.c_str());
    drawn_ = static_cast<int>(lines.size());
    board_ = std::move(lines);
    std::fflush(stderr);
}

void Runner::Summary() {
    Clear();
    if (global_.quiet || workers_.empty()) return;
    size_t width = 13;
    for (const auto& w : workers_)
        width = std::max(width, w->shown.size());
    std::fprintf(stderr, "\n%-*s  %-6s  %7s  %s\n", static_cast<int>(width), "SERIAL", "RESULT",
                 "SECONDS", "REASON");
    for (const auto& w : workers_)
        std::fprintf(stderr, "%-*s  %-6s  %7.1f  %s\n", static_cast<int>(width), w->shown.c_str(),
                     w->status == 0              ? "done"
                     : w->status == kInterrupted ? "STOPPED"
                                                 : "FAILED",
                     w->Seconds(), w->reason.c_str());
    std::fprintf(stderr, "%zu device(s): %s\n", workers_.size(), Tally().c_str());
}

} // namespace kvb::many
