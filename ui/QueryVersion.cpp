#include "QueryVersion.h"

#include <cstdio>
#include <fstream>
#include <vector>

std::string VersionDataMark() {
    // Built at run time so that the reader's own code never contains the mark it looks for.
    return std::string("KVB") + "VERSIONDATA" + std::string(1, '\x01');
}

TVersionReader::TVersionReader(const std::string& FileName) {
    std::ifstream in(FileName, std::ios::binary);
    if (!in) return;
    // The file is searched in pieces of 1 MiB, each overlapping the last by the mark's length, so
    // that a large program file is neither held whole nor read a character at a time.
    const std::string mark = VersionDataMark();
    constexpr size_t kPiece = 1 << 20;
    std::string window;
    uint64_t windowStart = 0;
    size_t found = std::string::npos;
    std::vector<char> piece(kPiece);
    while (found == std::string::npos && in) {
        in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        const auto got = static_cast<size_t>(in.gcount());
        if (got == 0) break;
        if (window.size() >= mark.size()) {
            const size_t keep = mark.size() - 1;
            windowStart += window.size() - keep;
            window.erase(0, window.size() - keep);
        }
        window.append(piece.data(), got);
        found = window.find(mark);
    }
    if (found == std::string::npos) return;
    // Six decimal digits give the length of the entries that follow.
    in.clear();
    in.seekg(static_cast<std::streamoff>(windowStart + found + mark.size()));
    char digits[6];
    if (!in.read(digits, 6)) return;
    size_t length = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return;
        length = length * 10 + static_cast<size_t>(c - '0');
    }
    buffer_.resize(length);
    in.read(buffer_.data(), static_cast<std::streamsize>(length));
    buffer_.resize(static_cast<size_t>(in.gcount()));
    Valid = true;
    FileVersion = GetString("FileVersion");
    FileDate = GetString("FileDate");
    FileDescription = GetString("FileDescription");
    LegalCopyright = GetString("LegalCopyright");
}

std::string TVersionReader::GetString(const std::string& Key) const {
    const std::string path = "\\StringFileInfo\\080904E4\\" + Key;
    size_t pos = 0;
    while (pos < buffer_.size()) {
        const size_t keyEnd = buffer_.find('\0', pos);
        if (keyEnd == std::string::npos) break;
        const size_t valueEnd = buffer_.find('\0', keyEnd + 1);
        if (valueEnd == std::string::npos) break;
        if (buffer_.compare(pos, keyEnd - pos, path) == 0 && keyEnd - pos == path.size())
            return buffer_.substr(keyEnd + 1, valueEnd - keyEnd - 1);
        pos = valueEnd + 1;
    }
    return {};
}

std::string MakeVersionData(const std::vector<std::pair<std::string, std::string>>& Entries) {
    std::string entries;
    for (const auto& [path, value] : Entries) {
        entries += path;
        entries += '\0';
        entries += value;
        entries += '\0';
    }
    char length[8];
    std::snprintf(length, sizeof length, "%06zu", entries.size());
    return VersionDataMark() + length + entries;
}
