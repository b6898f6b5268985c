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
