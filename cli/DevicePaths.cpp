// Device paths with a pattern in their last part, matched against the directory's listing, and
// the progress line and counts kvb shows.
#include "Kvb.h"

#include "device/DeviceText.h"
#include "workflows/IgnoreRules.h"

namespace kvb {

bool HasWildcard(const std::string& text) {
    return text.find_first_of("*?[") != std::string::npos;
}

std::vector<FoundPath> ExpandDevicePaths(Session& s, const std::vector<std::string>& typed) {
    std::vector<FoundPath> found;
    for (const std::string& word : typed) {
        const std::string path = DevicePath(word);
        const std::string leaf = kv::DeviceLeafOf(path), dir = kv::DeviceParentOf(path);
        if (!HasWildcard(leaf)) {
            if (HasWildcard(dir))
                throw Failure(kUsage,
                              "only the last part of a device path may be a pattern: " + word);
            found.push_back({path, false});
            continue;
        }
        if (HasWildcard(dir))
            throw Failure(kUsage, "only the last part of a device path may be a pattern: " + word);
        const auto entries = ListEntries(s, dir);
        std::vector<FoundPath> matches;
        for (const auto& e : entries)
            if (e.Name == leaf) matches = {{dir + "/" + e.Name, false}};
        if (matches.empty())
            for (const auto& e : entries)
                if (kv::GlobMatch(leaf, e.Name)) matches.push_back({dir + "/" + e.Name, true});
        if (matches.empty()) throw Failure(kDeviceError, Printable(word) + ": no name matches");
        found.insert(found.end(), matches.begin(), matches.end());
    }
    return found;
}

std::string Counted(size_t count, const std::string& noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string ProgressLine(const kv::TTransferTally& tally, int64_t nowMs, bool stopping,
                         size_t width) {
    std::string line;
    for (const std::string& part : tally.Parts(nowMs))
        if (!part.empty())
            line += (line.empty() ? "" : " - ") +
                    (line.empty() ? PrintableName(part) : part); // the first is the name
    const std::string stops = " - stops after this file";
    // The end of the line says most when it must be cut: the name gives way first.
    std::string tail = stopping ? stops : "";
    std::string text = line + tail;
    size_t chars = 0;
    for (char c : text)
        chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    if (chars <= width) return text;
    const size_t over = chars - width + 3;
    std::string name = line.substr(0, line.find(" - "));
    std::string rest = line.substr(name.size());
    // Cut the name by characters, from its end, keeping UTF-8 whole.
    size_t keep = 0, seen = 0, nameChars = 0;
    for (char c : name)
        nameChars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    const size_t want = nameChars > over ? nameChars - over : 0;
    for (; keep < name.size(); ++keep) {
        if ((static_cast<unsigned char>(name[keep]) & 0xC0) != 0x80 && seen++ == want) break;
    }
    return name.substr(0, keep) + "..." + rest + tail;
}

} // namespace kvb
