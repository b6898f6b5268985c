// One argument of a Windows command line, quoted so that the C runtime's command-line parser
// reads it back as it was: in quotes, the backslashes before a quote doubled, the quote escaped.
#pragma once

#include <string>

namespace kvb {

inline std::wstring QuotedArgument(const std::wstring& argument) {
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    out += L'"';
    return out;
}

} // namespace kvb
