// The listing commands of kvb: ls, tree and cat.
#include "Commands.h"

#include "device/DeviceText.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace kvb {

using json = nlohmann::json;

namespace {

json EntryJson(const kv::DeviceDirEntry& e, const std::string& path) {
    return json{{"name", kv::Latin1ToUtf8(e.Name)},
                {"path", kv::Latin1ToUtf8(path)},
                {"directory", kv::IsDirectory(e)},
                {"size", kv::IsDirectory(e) ? json(nullptr) : json(e.Size)},
                {"attributes", kv::TkvbFiles::AttrToStr(e.Attr)},
                {"created", e.Created ? json(DateText(e.Created)) : json(nullptr)}};
}

void ListInto(Session& s, const std::string& dir, const LsOptions& o, json& out, bool header) {
    const auto entries = ListEntries(s, dir);
    if (header && !o.json) std::printf("%s:\n", Shown(dir).c_str());
    for (const auto& e : entries) {
        const std::string path = dir + "/" + e.Name;
        if (o.json) {
            out.push_back(EntryJson(e, path));
        } else if (o.longFormat) {
            std::printf("%10s  %-6s %-19s  %s%s\n",
                        kv::IsDirectory(e) ? "" : std::to_string(e.Size).c_str(),
                        kv::TkvbFiles::AttrToStr(e.Attr).c_str(), DateText(e.Created).c_str(),
                        PrintableName(e.Name).c_str(), kv::IsDirectory(e) ? "/" : "");
        } else {
            std::printf("%s%s\n", PrintableName(e.Name).c_str(), kv::IsDirectory(e) ? "/" : "");
        }
    }
    if (!o.recursive) return;
    for (const auto& e : entries)
        if (kv::IsDirectory(e)) {
            if (!o.json) std::printf("\n");
            ListInto(s, dir + "/" + e.Name, o, out, true);
        }
}

void TreeOf(Session& s, const std::string& dir, const std::string& indent) {
    const auto entries = ListEntries(s, dir);
    for (size_t i = 0; i < entries.size(); ++i) {
        const bool last = i + 1 == entries.size();
        const auto& e = entries[i];
        std::printf("%s%s%s%s\n", indent.c_str(), last ? "`-- " : "|-- ",
                    PrintableName(e.Name).c_str(), kv::IsDirectory(e) ? "/" : "");
        if (kv::IsDirectory(e)) TreeOf(s, dir + "/" + e.Name, indent + (last ? "    " : "|   "));
    }
}

} // namespace

int Ls(Session& s, const LsOptions& o) {
    // Patterns are matched against the listings first, as get, cat and rm match them.
    std::vector<std::string> paths;
    for (const auto& found :
         ExpandDevicePaths(s, o.paths.empty() ? std::vector<std::string>{"/"} : o.paths))
        paths.push_back(found.path);
    // Several paths: each directory under its name; one that cannot be listed is said, and the
    // others are listed all the same.
    const bool several = paths.size() > 1;
    json out = json::array();
    int failed = 0;
    bool first = true;
    for (const auto& path : paths) {
        kv::DeviceDirEntry entry;
        const kv::VerbResult found = s.Work.Verbs.Find(path, entry);
        if (!found.Ok()) {
            if (!several || found.What == kv::Outcome::DeviceGone) Check(found);
            std::fprintf(stderr, "kvb: %s\n", PrintableName(found.Message()).c_str());
            ++failed;
            continue;
        }
        if (!kv::IsDirectory(entry)) {
            if (o.json)
                out.push_back(EntryJson(entry, path));
            else if (o.longFormat)
                std::printf("%10d  %-6s %-19s  %s\n", entry.Size,
                            kv::TkvbFiles::AttrToStr(entry.Attr).c_str(),
                            DateText(entry.Created).c_str(), PrintableName(entry.Name).c_str());
            else
                std::printf("%s\n", PrintableName(entry.Name).c_str());
        } else {
            if (!first && !o.json) std::printf("\n");
            ListInto(s, path, o, out, o.recursive || several);
        }
        first = false;
    }
    if (o.json) std::printf("%s\n", out.dump(2).c_str());
    if (failed)
        throw Failure(kDeviceError, std::to_string(failed) + " of " + std::to_string(paths.size()) +
                                        " not listed");
    return kOk;
}

int Tree(Session& s, const std::string& where) {
    // A pattern gives the tree of each directory it matches.
    const std::vector<FoundPath> found = ExpandDevicePaths(s, {where});
    int trees = 0;
    for (const auto& each : found) {
        if (!IsDeviceDir(s, each.path)) {
            if (each.matched) continue;
            throw Failure(kDeviceError, Shown(each.path) + ": not a directory");
        }
        std::printf("%s%s\n", trees++ ? "\n" : "", Shown(each.path).c_str());
        TreeOf(s, each.path, "");
    }
    if (trees == 0) throw Failure(kDeviceError, Printable(where) + ": no directory matches");
    return kOk;
}

int Cat(Session& s, const std::vector<std::string>& typed) {
    // One after the other, as found; a directory a pattern found is left out.
    for (const auto& source : ExpandDevicePaths(s, typed)) {
        if (source.matched) {
            const auto entry = FindEntry(s, source.path);
            if (entry && kv::IsDirectory(*entry)) continue;
        }
        const std::string content = ReadWhole(s, source.path);
        std::fwrite(content.data(), 1, content.size(), stdout);
        std::fflush(stdout);
        if (Interrupts.load() > 0) throw Failure(kInterrupted, "interrupted");
    }
    return kOk;
}

} // namespace kvb
