#include "DeviceWork.h"

#include "PcFiles.h"
#include "device/Clock.h"
#include "device/DeviceText.h"

#include <algorithm>

namespace kv {

namespace fs = std::filesystem;

namespace {

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

TDeviceWork::TDeviceWork(TkvbFiles& files, IWorkHost& host)
    : Files(files), Terminal(files.Terminal), Comms(files.Terminal.Comms), Host(host) {}

bool TDeviceWork::StopHere() {
    if (Cancelled) return true;
    if (!Host.CancelRequested()) return false;
    Cancelled = true;
    Host.Print("\r\nCancelled: what was done so far is kept.\r\n", MessageStyle::Italic);
    return true;
}

// ---- Save to PC ----

void TDeviceWork::BeginSave() {
    SavedCount = 0;
    NotMoved.clear();
    Cancelled = false;
}

bool TDeviceWork::Unsafe(const std::string& Name, const std::string& Where) {
    if (SafePcName(Name)) return false;
    Host.Print("\r\nNot saved: the device listed the unsafe name \"" + Name + "\"" +
                   (Where.empty() ? std::string() : " in " + Where) + "\r\n",
               MessageStyle::Regular);
    NotMoved.push_back(Where + "/" + Name + ": an unsafe name");
    return true;
}

bool TDeviceWork::SaveToPcFile(const fs::path& PcPath, const std::string& Content,
                               const std::optional<DateTime>& Stamp) {
    Host.SavedCount(++SavedCount);
    WritePcFile(PcPath, Content, Stamp);
    return true;
}

bool TDeviceWork::SaveFileToPc(const fs::path& PcFolder, const std::string& DeviceFolder,
                               const DeviceDirEntry& Entry) {
    const std::string path = DeviceFolder + "/" + Entry.Name;
    std::error_code ec;
    if (NoClobber && fs::exists(PcFolder / PcNameOf(Entry.Name), ec)) return true;
    std::string content;
    const VerbResult read = Read(path, content);
    if (!read.Ok()) {
        Host.Failed("Not saved: " + read.Message());
        NotMoved.push_back(read.Message());
        return false;
    }
    const fs::path target = PcFolder / PcNameOf(Entry.Name);
    SaveToPcFile(target, content, Entry.Created);
    Host.FileMoved(path, target, true);
    return true;
}

void TDeviceWork::SaveDirectoryToPc(const fs::path& PcFolder, const std::string& DeviceFolder,
                                    const std::string& DirName) {
    const std::string folder = DeviceFolder + "/" + DirName;
    std::vector<DeviceDirEntry> entries;
    const VerbResult listed = List(folder, entries);
    if (!listed.Ok()) {
        Host.Failed("Not saved: " + listed.Message());
        NotMoved.push_back(listed.Message());
        return;
    }
    const fs::path pcDir = PcFolder / PcNameOf(DirName);
    for (const auto& entry : entries) {
        if (entry.Name == "..") continue;
        if (StopHere()) return;
        if (Unsafe(entry.Name, folder)) continue;
        if (IsDirectory(entry))
            SaveDirectoryToPc(pcDir, folder, entry.Name);
        else
            SaveFileToPc(pcDir, folder, entry);
    }
}

void TDeviceWork::SaveToPc(const fs::path& PcFolder, const std::string& DeviceFolder,
                           const std::vector<DeviceDirEntry>& Selected,
                           const std::vector<std::string>& Dirs) {
    for (const auto& entry : Selected) {
        Host.SavedCount(SavedCount);
        if (!Terminal.IsConnected() || StopHere()) return;
        if (Unsafe(entry.Name, "")) continue;
        SaveFileToPc(PcFolder, DeviceFolder, entry);
    }
    for (const auto& name : Dirs) {
        if (!Terminal.IsConnected() || StopHere()) return;
        if (Unsafe(name, "")) continue;
        SaveDirectoryToPc(PcFolder, DeviceFolder, name);
    }
}

// ---- uploads ----

std::string TDeviceWork::ProperPlace(const std::string& Base, const std::string& Name) {
    const std::string lower = AsciiLower(Name);
    const std::string base = AsciiLower(Base);
    if (EndsWith(lower, ".lua") && base.rfind("/lua/", 0) != 0) return "/Lua/" + Name;
    if (EndsWith(lower, "config.txt") && base.rfind("/config/", 0) != 0) return "/Config/" + Name;
    return {};
}

bool TDeviceWork::UploadFile(const fs::path& PcPath, const std::string& Base, bool Proper) {
    // The device takes 8-bit names: a name that has no 8-bit form cannot be sent as it is.
    const std::string name = DeviceNameOf(PcPath);
    std::string target = Proper ? ProperPlace(Base, name) : std::string();
    if (target.empty()) target = Base + name;
    return UploadFileTo(PcPath, target);
}

bool TDeviceWork::UploadFileTo(const fs::path& PcPath, const std::string& Target) {
    const std::string name = DeviceNameOf(PcPath);
    const std::string content = ReadPcFile(PcPath);
    Host.UploadStarted(name, content.size(), Target);
    // Confirmed by one listing of each directory when the uploads are done (ConfirmUploads).
    const VerbResult written = Write(Target, content, false);
    if (written.Ok()) {
        Host.FileMoved(Target, PcPath, false);
        return true;
    }
    NotMoved.push_back(written.Message());
    Host.Failed("Not written: " + written.Message());
    return false;
}

// ---- firmware ----

bool TDeviceWork::LoadDroppedFirmware(std::vector<fs::path>& Dropped) {
    std::vector<fs::path> firmware;
    bool bootLoaderImage = false;
    for (size_t i = Dropped.size(); i-- > 0;) {
        const std::string path = AsciiLower(ShownPath(Dropped[i]));
        if (!EndsWith(path, ".blf")) continue;
        if (path.find("bootloader") != std::string::npos) bootLoaderImage = true;
        firmware.push_back(Dropped[i]);
        Dropped.erase(Dropped.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (firmware.empty()) return true;
    if (!Terminal.IsBootLoader() && !EnterBootLoader()) {
        NotMoved.push_back("the boot loader did not come");
        firmware.clear();
    }
    for (const auto& file : firmware) {
        if (StopHere()) break;
        if (!UploadBlfFile(file))
            NotMoved.push_back(ShownPath(file) + ": the boot loader did not take it");
    }
    if (bootLoaderImage && !Cancelled) EnterBootLoader();
    // Cancelled while waiting for the boot loader: there is no link to start anything on.
    if (!RunAfterFirmware || (Cancelled && !Terminal.IsConnected())) return true;
    Host.Print("Run firmware...", MessageStyle::Italic);
    Terminal.SendLine("run");
    Host.Print("\r\n", MessageStyle::Italic);
    return true;
}

bool TDeviceWork::EnterBootLoader() {
    Host.Print("Rebooting...", MessageStyle::Italic);
    Terminal.IsReady();
    Terminal.SendLine("boot");
    Clock().SleepMs(2000);
    Comms.Disconnect();
    return WaitForRestart(true);
}

bool TDeviceWork::WaitForApplication() {
    Clock().SleepMs(2000);
    Comms.Disconnect();
    return WaitForRestart(false);
}

bool TDeviceWork::WaitForRestart(bool BootLoader) {
    for (int attempt = 0;; ++attempt) {
        if (BootLoader ? Terminal.IsBootLoader()
                       : Comms.IsConnected() && !Terminal.IsBootLoader()) {
            Host.Print("\r\n", MessageStyle::Italic);
            Host.LinkRestarted();
            return true;
        }
        if (attempt == 15) {
            Host.Print("FAILED", MessageStyle::Bold);
            return false;
        }
        if (StopHere()) return false;
        Comms.Disconnect();
        Clock().SleepMs(1000);
        Host.Print(".", MessageStyle::Italic);
        Comms.Connect();
    }
}

bool TDeviceWork::UploadBlfFile(const fs::path& FileName) {
    const std::string name = DeviceNameOf(FileName);
    const std::string content = ReadPcFile(FileName);
    Host.Print("\r\nUpload BLF\r\n", MessageStyle::Italic);
    Host.Print(name, MessageStyle::Bold);
    Host.Print(" / " + std::to_string(content.size()) + "\r\n", MessageStyle::Regular);
    Terminal.IsReady();
    const bool sent = Files.LoadFirmware(name, content);
    std::string dropped;
    Host.Print(" load\r\n", MessageStyle::Italic);
    Terminal.ReadToPromptStart(1000, dropped);
    Host.Print(" verify\r\n", MessageStyle::Italic);
    Terminal.ReadToPromptStart(7000, dropped);
    Host.Print(" burn\r\n", MessageStyle::Italic);
    Terminal.ReadToPromptStart(15000, dropped);
    Terminal.ClearInput();
    return sent;
}

} // namespace kv
