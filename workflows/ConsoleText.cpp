#include "ConsoleText.h"

#include "device/kvComms.h"

namespace kv {

std::string ToConsoleLineEnds(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::vector<TConsolePrompt::Run> TConsolePrompt::Feed(const std::string& Data, bool* Ended) {
    static const std::string kWord = "PASSWORD";
    std::vector<Run> runs;
    if (Ended) *Ended = false;
    size_t start = 0;
    const auto take = [&](size_t end) {
        if (end <= start) return;
        const std::string text = Data.substr(start, end - start);
        // What came since the last mark is the prompt's text (also when its start mark was
        // missed): only its last bytes are kept, for a word split over two pieces.
        tail_ += text;
        if (tail_.find(kWord) != std::string::npos) seen_ = true;
        if (tail_.size() >= kWord.size()) tail_.erase(0, tail_.size() - (kWord.size() - 1));
        runs.push_back({text, inPrompt_});
    };
    for (size_t i = 0; i < Data.size(); ++i) {
        if (Data[i] == PromptStartMark) {
            take(i);
            inPrompt_ = true;
            seen_ = false;
            tail_.clear();
        } else if (Data[i] == PromptEndMark) {
            take(i);
            password_ = seen_;
            inPrompt_ = false;
            seen_ = false;
            tail_.clear();
            if (Ended) *Ended = true;
        } else {
            continue;
        }
        start = i + 1;
    }
    take(Data.size());
    return runs;
}

std::string EchoOfKey(char Key, bool Password) {
    const auto code = static_cast<unsigned char>(Key);
    if (code == '\r' || code == '\n') return "\r\n";
    if (code >= 32 || code == '\t') return Password ? "*" : std::string(1, Key);
    return {};
}

std::string PollConsole(TkvComms& comms) {
    std::string output, piece;
    comms.ReadMessage(kConsoleChannel, 10, piece);
    while (!piece.empty()) {
        output += piece;
        comms.ReadMessage(kConsoleChannel, 0, piece);
    }
    return output;
}

std::string LostReportsText(const TkvComms& comms) {
    const uint64_t total = comms.LostReports();
    if (total == 0) return {};
    std::string where;
    const auto part = [&](uint64_t count, const char* what) {
        if (count == 0) return;
        where += (where.empty() ? "" : ", ") + std::to_string(count) + " " + what;
    };
    part(comms.Device.DroppedReports(), "in the link's queue");
    part(comms.DroppedReports(kConsoleChannel), "with the console's buffer full");
    part(comms.DroppedReports(kLogChannel), "with the log's buffer full");
    return std::to_string(total) + (total == 1 ? " input report" : " input reports") +
           " from the device dropped (" + where + ")";
}

} // namespace kv
