#include "EditorText.h"

namespace kv {

bool SplitEditorText(const std::string& Bytes, std::string& Plain, bool& CrLf, std::string& Why) {
    if (Bytes.find('\0') != std::string::npos) {
        Why = "it holds NUL bytes";
        return false;
    }
    size_t crlf = 0, lf = 0;
    for (size_t i = 0; i < Bytes.size(); ++i) {
        if (Bytes[i] == '\r') {
            if (i + 1 >= Bytes.size() || Bytes[i + 1] != '\n') {
                Why = "it holds a carriage return without a line feed";
                return false;
            }
            ++crlf;
            ++i;
        } else if (Bytes[i] == '\n') {
            ++lf;
        }
    }
    if (crlf && lf) {
        Why = "its lines end in two different ways";
        return false;
    }
    CrLf = crlf > 0;
    Plain.clear();
    Plain.reserve(Bytes.size());
    for (char c : Bytes)
        if (c != '\r') Plain += c;
    return true;
}

std::string JoinEditorText(const std::string& Plain, bool CrLf) {
    std::string bytes;
    bytes.reserve(Plain.size());
    for (size_t i = 0; i < Plain.size(); ++i) {
        // An editor that saves CR LF itself has ended the line once, not twice.
        if (Plain[i] == '\r' && i + 1 < Plain.size() && Plain[i + 1] == '\n') continue;
        if (Plain[i] == '\n' && CrLf) bytes += '\r';
        bytes += Plain[i];
    }
    return bytes;
}

} // namespace kv
