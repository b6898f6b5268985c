// The simulated device's file commands: listing, download, upload and the changing commands,
// on its storage and the extra files of the faults.
#include "SimDevice.h"
#include "SimText.h"

#include <algorithm>

namespace kv::sim {

namespace {

std::string FoldCase(std::string name) {
    for (char& c : name)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return name;
}

std::string Join(const SimPath& path) {
    std::string out;
    for (const auto& name : path)
        out += "/" + name;
    return out;
}

} // namespace

// ---- paths ----

std::string SimDevice::Unquote(const std::string& arg, bool& quoted) const {
    const std::string t = Trim(arg);
    quoted = !t.empty() && t[0] == '"';
    if (!quoted) return t;
    const size_t end = t.find('"', 1);
    return t.substr(1, end == std::string::npos ? std::string::npos : end - 1);
}

bool SimDevice::List(const SimPath& dir, std::vector<SimEntry>& entries) {
    if (!storage_->List(dir, entries)) return false;
    for (const auto& extra : faults.extraFiles) {
        const size_t slash = extra.rfind('/');
        if (slash == std::string::npos || SplitPath(extra.substr(0, slash)) != dir) continue;
        SimEntry entry;
        entry.name = extra.substr(slash + 1);
        entry.size = static_cast<uint32_t>(entry.name.size());
        entries.push_back(entry);
    }
    return true;
}

bool SimDevice::IsExtraFile(const SimPath& path) const {
    for (const auto& extra : faults.extraFiles) {
        const size_t slash = extra.rfind('/');
        if (slash != std::string::npos && !path.empty() && path.back() == extra.substr(slash + 1) &&
            SplitPath(extra.substr(0, slash)) == SimPath(path.begin(), path.end() - 1))
            return true;
    }
    return false;
}

bool SimDevice::Resolve(const std::string& arg, SimPath& path, bool mustExist) {
    bool quoted = false;
    const SimPath parts = SplitPath(Unquote(arg, quoted));
    path.clear();
    std::vector<SimEntry> entries;
    for (size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        if (!List(path, entries)) return false;
        const SimEntry* found = nullptr;
        for (const auto& e : entries)
            if (e.name == parts[i]) found = &e;
        // As a FAT file system: a name's case is kept, and a lookup ignores ASCII case.
        if (!found && !faults.caseSensitive)
            for (const auto& e : entries)
                if (FoldCase(e.name) == FoldCase(parts[i])) found = &e;
        // Without quotes the host wrote spaces as "_": match names the same way.
        if (!found && !quoted) {
            for (const auto& e : entries) {
                std::string folded = e.name;
                std::replace(folded.begin(), folded.end(), ' ', '_');
                if (folded == parts[i] ||
                    (!faults.caseSensitive && FoldCase(folded) == FoldCase(parts[i]))) {
                    found = &e;
                    break;
                }
            }
        }
        if (!found && (mustExist || !last)) return false;
        path.push_back(found ? found->name : parts[i]);
    }
    return true;
}

// ---- commands ----

void SimDevice::CmdDir(const std::string& arg) {
    const std::string where = !arg.empty() && arg[0] == '@' ? arg.substr(1) : arg;
    SimPath dir;
    std::vector<SimEntry> entries;
    if (!Resolve(where, dir, true) || !List(dir, entries)) {
        Result(kPathNotFound);
        return;
    }
    const bool second = faults.dialect == 2;
    const std::string shown = dir.empty() ? std::string("/") : Join(dir);
    std::string text =
        second ? " Directory of " + shown + " (FAT)\r\n" : "Directory of " + shown + "\r\n";
    auto line = [&](const SimEntry& e) {
        text += e.name + "\t" + std::to_string(e.size) + "\t" + std::to_string(e.attr) + "\t" +
                std::to_string(e.created) + "\t" + std::to_string(e.modified) + "\t" +
                std::to_string(e.accessed) + "\r\n";
    };
    if (!dir.empty() && !second) {
        SimEntry self;
        storage_->Stat(dir, self);
        self.attr = kAttrDirectory;
        self.size = 0;
        self.name = ".";
        line(self);
        self.name = "..";
        line(self);
    }
    int files = 0, dirs = 0;
    uint64_t bytes = 0;
    for (const auto& e : entries) {
        line(e);
        if (e.IsDir()) {
            ++dirs;
        } else {
            ++files;
            bytes += e.size;
        }
    }
    for (const auto& extra : faults.extraListingLines)
        text += extra + "\r\n";
    if (second)
        text += "\r\nTotal: " + std::to_string(files + dirs) + " entries, " +
                std::to_string(bytes) + " bytes used\r\n";
    else
        text += "\r\n" + std::to_string(files) + " File(s) " + std::to_string(bytes) +
                " bytes\r\n" + std::to_string(dirs) + " Dir(s)\r\n";
    if (faults.listingLinesLeft >= 0) {
        size_t at = 0;
        for (; faults.listingLinesLeft > 0 && at < text.size(); --faults.listingLinesLeft)
            at = std::min(text.size(), text.find("\r\n", at) + 2);
        if (at < text.size() || faults.listingLinesLeft == 0) {
            faults.listingLinesLeft = 0;
            Print(text.substr(0, at));
            // Gone once what was said has crossed the link (one report a millisecond or so).
            const int64_t crossed = int64_t(at / kPayloadSize + 3) * config.reportIntervalUs;
            if (faults.listingCutUnplugs) Schedule(now_ + crossed, [this] { Gone(); });
            return;
        }
    }
    Print(text);
    Prompt();
}

void SimDevice::CmdType(const std::string& arg) {
    const std::string where = !arg.empty() && arg[0] == '@' ? arg.substr(1) : arg;
    SimPath path;
    std::string content;
    if (!Resolve(where, path, true)) {
        Result(kFileNotFound);
        return;
    }
    if (IsExtraFile(path)) {
        content = path.back();
    } else if (!storage_->ReadFile(path, content)) {
        Result(kFileNotFound);
        return;
    }
    if (++downloads >= faults.corruptDownloadsFrom && faults.corruptDownloadsFrom > 0 &&
        !content.empty())
        content[content.size() / 2] = static_cast<char>(~content[content.size() / 2]);
    const int64_t announced =
        faults.announceLength >= 0 ? faults.announceLength : static_cast<int64_t>(content.size());
    if (faults.dialect == 2) {
        SimEntry entry;
        storage_->Stat(path, entry);
        Print("FILE\t" + std::to_string(announced) + "\t" + std::to_string(entry.attr) + "\t" +
              std::to_string(entry.created) + "\r\n");
    } else {
        Print((path.empty() ? std::string() : path.back()) + "\t" + std::to_string(announced) +
              "\r\n");
    }
    if (faults.downloadStallAfter >= 0 &&
        faults.downloadStallAfter < static_cast<int64_t>(content.size())) {
        Print(content.substr(0, faults.downloadStallAfter));
        return; // the device hangs: no more content, no prompt
    }
    Print(content);
    if (announced != static_cast<int64_t>(content.size())) return;
    if (faults.dialect != 2) Print("\r\n");
    Prompt();
}

void SimDevice::CmdWrite(const std::string& arg) {
    if (++uploads == faults.uploadUnplugs) {
        Gone();
        Schedule(now_ + faults.uploadUnplugMs * 1000, [this] { Back(bootLoader_); });
        return;
    }
    // path TAB length TAB w
    const size_t tab1 = arg.find('\t');
    const size_t tab2 = tab1 == std::string::npos ? tab1 : arg.find('\t', tab1 + 1);
    int64_t length = 0;
    if (tab2 == std::string::npos || !ParseLength(arg.substr(tab1 + 1, tab2 - tab1 - 1), length) ||
        arg.substr(tab2 + 1) != "w") {
        Print("Usage: NFWRITE path<TAB>length<TAB>w\r\n");
        Prompt();
        return;
    }
    SimPath path;
    if (!Resolve(arg.substr(0, tab1), path, false) || path.empty()) {
        Result(kPathNotFound);
        return;
    }
    SimEntry existing;
    if (storage_->Stat(path, existing) && existing.IsDir()) {
        Result(kAccessDenied);
        return;
    }
    Print("Send file\r\n");
    receivePath_ = path;
    receiveIsImage_ = false;
    receiveLength_ = length;
    receiveBuffer_.clear();
    mode_ = Mode::Receive;
    if (length == 0) ReceiveDone();
}

void SimDevice::ReceiveDone() {
    mode_ = Mode::Command;
    if (receiveIsImage_) {
        ImageReceived();
        return;
    }
    int result = 0;
    if (faults.forceResult) {
        result = faults.forceResult;
    } else if (faults.capacity > 0 && !Fits(receivePath_, receiveBuffer_.size())) {
        SimEntry old;
        const int64_t oldSize =
            storage_->Stat(receivePath_, old) && !old.IsDir() ? int64_t(old.size) : 0;
        const int64_t room = std::max<int64_t>(0, faults.capacity - UsedBytes({}) + oldSize);
        storage_->WriteFile(receivePath_, receiveBuffer_.substr(0, size_t(room / 4096 * 4096)),
                            config.stamp);
        result = kDiskFull;
    } else {
        result = storage_->WriteFile(receivePath_, receiveBuffer_, config.stamp);
    }
    const size_t received = receiveBuffer_.size();
    receiveBuffer_.clear();
    if (faults.writeResultSilent) return;
    std::string line = std::to_string(result) + ":" + ResultText(result);
    if (faults.writeConfirmSet)
        line = faults.writeConfirm; // whatever happened
    else if (result == kOk && faults.dialect == 2)
        line = "Wrote " + std::to_string(received) + " bytes";
    if (faults.writeConfirmCut) {
        // Half the line crosses the link, then the device leaves the bus.
        Print(line.substr(0, line.size() / 2));
        Schedule(now_ + 3 * config.reportIntervalUs, [this] { Gone(); });
        return;
    }
    Print(line + "\r\n");
    Prompt();
}

int64_t SimDevice::UsedBytes(const SimPath& dir) {
    std::vector<SimEntry> entries;
    if (!storage_->List(dir, entries)) return 0;
    int64_t used = 0;
    for (const auto& e : entries) {
        if (!e.IsDir()) {
            used += e.size;
            continue;
        }
        SimPath below = dir;
        below.push_back(e.name);
        used += UsedBytes(below);
    }
    return used;
}

bool SimDevice::Fits(const SimPath& path, size_t size) {
    SimEntry old;
    const int64_t oldSize = storage_->Stat(path, old) && !old.IsDir() ? int64_t(old.size) : 0;
    return UsedBytes({}) - oldSize + int64_t(size) <= faults.capacity;
}

void SimDevice::CmdSimple(const std::string& word, const std::string& arg) {
    SimPath path;
    const bool make = word == "NFMKDIR";
    if (!Resolve(arg, path, !make) || path.empty()) {
        Result(make ? kPathNotFound : kFileNotFound);
        return;
    }
    if (faults.forceResult) {
        Result(faults.forceResult);
    } else if (make) {
        Result(storage_->MakeDir(path, config.stamp));
    } else if (word == "NFDEL") {
        Result(storage_->DeleteFile(path));
    } else {
        Result(storage_->WipeDir(path));
    }
}

void SimDevice::CmdRename(const std::string& arg) {
    std::string first, second;
    const std::string t = Trim(arg);
    if (!t.empty() && t[0] == '"') {
        const size_t end = t.find('"', 1);
        first = t.substr(0, end == std::string::npos ? end : end + 1);
        second = end == std::string::npos ? "" : Trim(t.substr(end + 1));
    } else {
        const size_t space = t.find(' ');
        first = t.substr(0, space);
        second = space == std::string::npos ? "" : Trim(t.substr(space + 1));
    }
    bool quoted = false;
    const std::string newName = Unquote(second, quoted);
    SimPath path;
    if (!Resolve(first, path, true) || path.empty()) {
        Result(kFileNotFound);
        return;
    }
    // Another entry whose name differs only in case is the same name here; the entry itself may
    // change its case.
    if (!faults.caseSensitive && !faults.forceResult) {
        std::vector<SimEntry> entries;
        List(SimPath(path.begin(), path.end() - 1), entries);
        for (const auto& e : entries)
            if (e.name != path.back() && FoldCase(e.name) == FoldCase(newName)) {
                Result(kExists);
                return;
            }
    }
    const int result = faults.forceResult ? faults.forceResult : storage_->Rename(path, newName);
    if (faults.renameReplyMs > 0)
        outputNotBefore_ = std::max(outputNotBefore_, now_ + faults.renameReplyMs * 1000);
    Result(result);
}

} // namespace kv::sim
