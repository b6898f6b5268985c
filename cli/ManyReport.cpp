// kvb for many devices: the report file (--report), JSON or CSV, written whole each time a
// device ends.
#include "ManyRunner.h"

#include "device/DeviceText.h"
#include "workflows/PcFiles.h"

#include <cmath>
#include <ctime>

namespace kvb::many {

namespace {

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

} // namespace

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (const std::tm* t = std::gmtime(&now)) utc = *t;
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

void Runner::WriteReport() {
    const std::string lower = kv::AsciiLower(options_.report);
    const bool csv = lower.size() >= 4 && lower.compare(lower.size() - 4, 4, ".csv") == 0;
    std::string files, sums, text;
    for (const auto& f : firmware_) {
        files += (files.empty() ? "" : " ") + f["file"].get<std::string>();
        sums += (sums.empty() ? "" : " ") + f["sha256"].get<std::string>();
    }
    const auto result = [](const Worker& w) {
        return w.status == 0 ? "done" : w.status == kInterrupted ? "interrupted" : "failed";
    };
    if (csv) {
        text = "serial,result,status,seconds,reason,command,firmware,sha256\r\n";
        for (const auto& w : workers_) {
            if (w->running) continue;
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.1f", w->Seconds());
            text += CsvField(kv::Latin1ToUtf8(w->id)) + "," + result(*w) + "," +
                    std::to_string(w->status) + "," + seconds + "," + CsvField(w->reason) + "," +
                    CsvField(options_.command) + "," + CsvField(files) + "," + sums + "\r\n";
        }
    } else {
        json devices = json::array();
        for (const auto& w : workers_)
            if (!w->running)
                devices.push_back({{"serial", kv::Latin1ToUtf8(w->id)},
                                   {"result", result(*w)},
                                   {"status", w->status},
                                   {"seconds", std::round(w->Seconds() * 10) / 10},
                                   {"reason", w->reason}});
        std::string line;
        for (const auto& a : options_.args)
            line += (line.empty() ? "" : " ") + a;
        const json report{{"command", options_.command},
                          {"arguments", line},
                          {"started", started_},
                          {"written", UtcNow()},
                          {"firmware", firmware_},
                          {"devices", devices},
                          {"done", done_},
                          {"failed", failed_}};
        text = report.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    }
    // Written whole each time a device ends: the file always holds every device so far.
    const std::filesystem::path path(std::u8string(options_.report.begin(), options_.report.end()));
    try {
        kv::WritePcFile(path, text, std::nullopt);
    } catch (const std::exception& e) {
        Above(stderr, std::string("kvb: the report cannot be written: ") + e.what());
    }
}

} // namespace kvb::many
