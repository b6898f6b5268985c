// The device verbs: every change and every read the window and kvb make of the device's files,
// each with a typed result that says what happened. A verb decides success by what the device
// itself shows: its "0:No error" for the management commands, the content whole for a read, and
// its listing afterwards for a write, whose reply after the content is not defined.
#include "DeviceWork.h"

#include "EditorText.h"

#include <set>

namespace kv {

namespace {

const char* const kNotStored = "the device did not store it";

} // namespace

std::string DeviceParentOf(const std::string& Path) {
    const size_t slash = Path.rfind('/');
    return slash == std::string::npos ? std::string() : Path.substr(0, slash);
}

std::string DeviceLeafOf(const std::string& Path) {
    const size_t slash = Path.rfind('/');
    return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

VerbResult TDeviceWork::Failure(const std::string& Path, Outcome Otherwise) {
    if (!Terminal.IsConnected()) return VerbResult::Failed(Outcome::DeviceGone, Path);
    if (!Files.LastReply().empty()) return VerbResult::RefusedWith(Path, Files.LastReply());
    return VerbResult::Failed(Otherwise, Path);
}

VerbResult TDeviceWork::List(const std::string& Dir, std::vector<DeviceDirEntry>& Entries) {
    Entries.clear();
    std::vector<std::string> lines;
    if (!Files.ListDirectory(Dir, lines)) {
        if (!Terminal.IsConnected()) return VerbResult::Failed(Outcome::DeviceGone, Dir);
        return VerbResult::Failed(Outcome::NoSuchFile, Dir);
    }
    for (const auto& line : lines) {
        DeviceDirEntry entry = TkvbFiles::ParseDirEntry(line);
        if (entry.Name != ".") Entries.push_back(std::move(entry));
    }
    return VerbResult::Done(Dir);
}

VerbResult TDeviceWork::Find(const std::string& Path, DeviceDirEntry& Entry) {
    if (Path.empty()) {
        Entry = DeviceDirEntry{};
        Entry.Attr = faDirectory;
        return VerbResult::Done(Path);
    }
    std::vector<DeviceDirEntry> entries;
    VerbResult listed = List(DeviceParentOf(Path), entries);
    if (!listed.Ok()) {
        listed.Path = Path;
        return listed;
    }
    const std::string name = DeviceLeafOf(Path);
    for (auto& entry : entries)
        if (entry.Name == name && name != "..") {
            Entry = std::move(entry);
            return VerbResult::Done(Path);
        }
    return VerbResult::Failed(Outcome::NoSuchFile, Path);
}

VerbResult TDeviceWork::Read(const std::string& Path, std::string& Content) {
    if (Files.ReadFile(Path, Content)) return VerbResult::Done(Path);
    if (!Terminal.IsConnected()) return VerbResult::Failed(Outcome::DeviceGone, Path);
    const std::string reply = Files.LastReply();
    if (reply.empty()) return VerbResult::Failed(Outcome::NotWhole, Path);
    // Refused before any content: the listing tells a missing file from a directory.
    DeviceDirEntry entry;
    const VerbResult found = Find(Path, entry);
    if (found.What == Outcome::NoSuchFile || found.What == Outcome::DeviceGone) return found;
    if (found.Ok() && IsDirectory(entry)) return VerbResult::Failed(Outcome::IsDirectory, Path);
    return VerbResult::RefusedWith(Path, reply);
}

VerbResult TDeviceWork::Write(const std::string& Path, const std::string& Content, bool Confirm) {
    if (!Files.WriteFile(Path, Content)) return Failure(Path, Outcome::NotWhole);
    if (!Confirm) {
        Unconfirmed.push_back({Path, Content.size()});
        return VerbResult::Done(Path);
    }
    DeviceDirEntry entry;
    const VerbResult found = Find(Path, entry);
    if (found.What == Outcome::DeviceGone) return found;
    if (!found.Ok() || IsDirectory(entry) || static_cast<size_t>(entry.Size) != Content.size())
        return VerbResult::Failed(Outcome::Refused, Path, kNotStored);
    return VerbResult::Done(Path);
}

int TDeviceWork::ConfirmUploads(std::map<std::string, DeviceDirEntry>* Stored) {
    std::vector<Upload> uploads;
    uploads.swap(Unconfirmed);
    std::set<std::string> listed;
    int missing = 0;
    for (const auto& upload : uploads) {
        const std::string dir = DeviceParentOf(upload.Path);
        if (!listed.insert(dir).second) continue;
        std::vector<DeviceDirEntry> entries;
        const VerbResult result = List(dir, entries);
        for (const auto& each : uploads) {
            if (DeviceParentOf(each.Path) != dir) continue;
            const DeviceDirEntry* stored = nullptr;
            for (const auto& entry : entries)
                if (entry.Name == DeviceLeafOf(each.Path) && !IsDirectory(entry) &&
                    static_cast<size_t>(entry.Size) == each.Size)
                    stored = &entry;
            if (stored) {
                if (Stored) (*Stored)[each.Path] = *stored;
                continue;
            }
            const VerbResult failed =
                result.Ok() ? VerbResult::Failed(Outcome::Refused, each.Path, kNotStored)
                            : VerbResult::Failed(result.What, each.Path);
            Host.Failed(failed.Message());
            NotMoved.Add(failed);
            Tally.NotStored(each.Size);
            ++missing;
        }
    }
    return missing;
}

VerbResult TDeviceWork::NewFile(const std::string& Path) {
    DeviceDirEntry entry;
    const VerbResult found = Find(Path, entry);
    if (found.Ok())
        return IsDirectory(entry) ? VerbResult::Failed(Outcome::IsDirectory, Path) : found;
    if (found.What != Outcome::NoSuchFile) return found;
    return Write(Path, std::string());
}

VerbResult TDeviceWork::Delete(const std::string& Path, bool Directory) {
    const bool done = Directory ? Files.WipeDirectory(Path) : Files.DeleteFile(Path);
    return done ? VerbResult::Done(Path) : Failure(Path, Outcome::Refused);
}

VerbResult TDeviceWork::MakeDirectory(const std::string& Path) {
    return Files.MakeDirectory(Path) ? VerbResult::Done(Path) : Failure(Path, Outcome::Refused);
}

VerbResult TDeviceWork::Rename(const std::string& Path, const std::string& NewName) {
    return Files.RenameFile(Path, NewName) ? VerbResult::Done(Path)
                                           : Failure(Path, Outcome::Refused);
}

VerbResult TDeviceWork::EditorRead(const std::string& Path, std::string& Plain, bool& CrLf,
                                   std::string& NotEditable) {
    std::string bytes;
    NotEditable.clear();
    const VerbResult read = Read(Path, bytes);
    if (!read.Ok()) return read;
    if (!SplitEditorText(bytes, Plain, CrLf, NotEditable)) Plain.clear();
    return read;
}

VerbResult TDeviceWork::EditorWrite(const std::string& Path, const std::string& Plain, bool CrLf) {
    return Write(Path, JoinEditorText(Plain, CrLf));
}

} // namespace kv
