#include "QueryVersion.h"

#include <cstdio>
#include <fstream>
#include <iterator>

std::string VersionDataMark() {
    // Built at run time so that the reader's own code never contains the mark it looks for.
    return std::string("KVB") + "VERSIONDATA" + std::string(1, '\x01');
}

TVersionReader::TVersionReader(const std::string& FileName) {
    std::ifstream in(FileName, std::ios::binary);
    if (!in) return;
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t at = file.find(VersionDataMark());
    if (at == std::string::npos) return;
    // Six decimal digits give the length of the entries that follow.
    const size_t start = at + VersionDataMark().size();
    if (file.size() < start + 6) return;
    size_t length = 0;
    for (size_t i = start; i < start + 6; ++i) {
        if (file[i] < '0' || file[i] > '9') return;
        length = length * 10 + static_cast<size_t>(file[i] - '0');
    }
    buffer_ = file.substr(start + 6, length);
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
