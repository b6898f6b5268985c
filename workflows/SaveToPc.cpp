#include "SaveToPc.h"

#include "PcFiles.h"
#include "device/Clock.h"
#include "device/DeviceText.h"

#include <algorithm>

namespace kv {

namespace fs = std::filesystem;

void TSaveToPc::BeginSave() {
    SavedCount = 0;
    state_.Begin();
}

bool TSaveToPc::Unsafe(const std::string& Name, const std::string& Where) {
    if (SafePcName(Name)) return false;
    state_.Host.Print("\r\nNot saved: the device listed the unsafe name \"" + Name + "\"" +
                          (Where.empty() ? std::string() : " in " + Where) + "\r\n",
                      MessageStyle::Regular);
    state_.NotMoved.Add(Where + "/" + Name + ": an unsafe name", Outcome::Refused);
    return true;
}

bool TSaveToPc::FoldedOnPc(const fs::path& PcFolder, const std::string& DeviceFolder,
                           const std::string& Name, std::map<std::string, std::string>& Saved) {
    // Two device names that differ only in case: a PC folder that folds case (on Windows, as a
    // rule) holds them as one, and the second would be written over the first. The first saved
    // stays; the second is named and left on the device.
    const auto [first, isNew] = Saved.emplace(AsciiLower(Name), Name);
    if (isNew || first->second == Name) return false;
    std::error_code ec;
    if (!fs::equivalent(PcFolder / PcNameOf(first->second), PcFolder / PcNameOf(Name), ec))
        return false;
    const std::string path = DeviceFolder + "/" + Name;
    const std::string why = "names that differ only in case (" + first->second + ", " + Name +
                            "): the PC folder takes them for one, so this one was not saved";
    state_.Host.Failed("Not saved: " + path + ": " + why);
    state_.NotMoved.Add(VerbResult::Failed(Outcome::Refused, path, why));
    return true;
}

bool TSaveToPc::SaveToPcFile(const fs::path& PcPath, const std::string& Content,
                             const std::optional<DateTime>& Stamp) {
    state_.Host.SavedCount(++SavedCount);
    WritePcFile(PcPath, Content, Stamp);
    return true;
}

bool TSaveToPc::SaveFileToPc(const fs::path& PcFolder, const std::string& DeviceFolder,
                             const DeviceDirEntry& Entry) {
    const std::string path = DeviceFolder + "/" + Entry.Name;
    std::error_code ec;
    state_.Tally.StartFile(Entry.Name, static_cast<uint64_t>(std::max<int32_t>(0, Entry.Size)));
    if (NoClobber && fs::exists(PcFolder / PcNameOf(Entry.Name), ec)) {
        state_.Tally.FileDone(false);
        return true;
    }
    std::string content;
    const VerbResult read = verbs_.Read(path, content);
    if (!read.Ok()) {
        state_.Tally.FileDone(false);
        state_.Host.Failed("Not saved: " + read.Message());
        state_.NotMoved.Add(read);
        return false;
    }
    const fs::path target = PcFolder / PcNameOf(Entry.Name);
    SaveToPcFile(target, content, Entry.Created);
    state_.Tally.FileProgress(content.size());
    state_.Tally.FileDone(true);
    state_.Host.FileMoved(path, target, true);
    return true;
}

void TSaveToPc::SaveDirectoryToPc(const fs::path& PcFolder, const std::string& DeviceFolder,
                                  const std::string& DirName) {
    const std::string folder = DeviceFolder + "/" + DirName;
    std::vector<DeviceDirEntry> entries;
    const VerbResult listed = verbs_.List(folder, entries);
    if (!listed.Ok()) {
        state_.Host.Failed("Not saved: " + listed.Message());
        state_.NotMoved.Add(listed);
        return;
    }
    // The folder is made also when the directory is empty: the copy holds every directory. One
    // that cannot be made ends the Save to PC, as a file that cannot be created does.
    const fs::path pcDir = PcFolder / PcNameOf(DirName);
    std::error_code ec;
    if (!fs::is_directory(pcDir, ec)) fs::create_directories(pcDir, ec);
    if (ec) throw EPcFileError("Cannot create file \"" + ShownPath(pcDir) + "\". " + ec.message());
    int files = 0;
    uint64_t bytes = 0;
    for (const auto& entry : entries)
        if (entry.Name != ".." && !IsDirectory(entry)) {
            ++files;
            bytes += static_cast<uint64_t>(std::max<int32_t>(0, entry.Size));
        }
    state_.Tally.Add(files, bytes);
    std::map<std::string, std::string> saved;
    for (const auto& entry : entries) {
        if (entry.Name == "..") continue;
        if (verbs_.LinkLost(folder) || state_.StopHere()) return;
        if (Unsafe(entry.Name, folder) || FoldedOnPc(pcDir, folder, entry.Name, saved)) continue;
        if (IsDirectory(entry))
            SaveDirectoryToPc(pcDir, folder, entry.Name);
        else
            SaveFileToPc(pcDir, folder, entry);
    }
}

void TSaveToPc::SaveToPc(const fs::path& PcFolder, const std::string& DeviceFolder,
                         const std::vector<DeviceDirEntry>& Selected,
                         const std::vector<std::string>& Dirs) {
    uint64_t bytes = 0;
    for (const auto& entry : Selected)
        bytes += static_cast<uint64_t>(std::max<int32_t>(0, entry.Size));
    state_.Tally.Begin(static_cast<int>(Selected.size()), bytes, Dirs.empty(), Clock().NowMs());
    SaveSelection(PcFolder, DeviceFolder, Selected, Dirs);
    state_.Tally.AllKnown();
}

void TSaveToPc::SaveSelection(const fs::path& PcFolder, const std::string& DeviceFolder,
                              const std::vector<DeviceDirEntry>& Selected,
                              const std::vector<std::string>& Dirs) {
    std::map<std::string, std::string> saved;
    for (const auto& entry : Selected) {
        state_.Host.SavedCount(SavedCount);
        if (verbs_.LinkLost(DeviceFolder) || state_.StopHere()) return;
        if (Unsafe(entry.Name, "") || FoldedOnPc(PcFolder, DeviceFolder, entry.Name, saved))
            continue;
        SaveFileToPc(PcFolder, DeviceFolder, entry);
    }
    for (const auto& name : Dirs) {
        if (verbs_.LinkLost(DeviceFolder) || state_.StopHere()) return;
        if (Unsafe(name, "") || FoldedOnPc(PcFolder, DeviceFolder, name, saved)) continue;
        SaveDirectoryToPc(PcFolder, DeviceFolder, name);
    }
}

} // namespace kv
