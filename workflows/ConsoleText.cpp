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

} // namespace kv
