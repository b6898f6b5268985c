#include "DeviceWork.h"

#include "PcFiles.h"
#include "device/Clock.h"
#include "device/DeviceText.h"
#include "device/RawHid.h"

#include <algorithm>

namespace kv {

namespace fs = std::filesystem;

namespace {

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The boot loader's words in what one read took: the text after the rest of the prompt that
// came before it, without the line breaks around it.
std::string BootLoaderWords(const std::string& text) {
    const size_t promptEnd = text.rfind(PromptEndMark);
    const std::string words = promptEnd == std::string::npos ? text : text.substr(promptEnd + 1);
    const size_t first = words.find_first_not_of("\r\n");
    if (first == std::string::npos) return {};
    return words.substr(first, words.find_last_not_of("\r\n") - first + 1);
}

// A boot loader says so when a phase fails; its success texts never hold the word.
bool SaysFailed(const std::string& words) {
    return AsciiLower(words).find("fail") != std::string::npos;
}

// While the device restarts, the link waits for this same device when no device was chosen and
// others are attached: a restarted device may come back after them in the order of discovery, and
// another device waiting in its boot loader must not get the image meant for this one. With one
// device attached nothing is pinned (a hold of the work around is let go meanwhile), so a boot
// loader that reports another serial number is still found as before.
class TSameDevice {
  public:
    explicit TSameDevice(TkvComms& comms) : comms_(comms), was_(comms.Chosen), held_(comms.Held) {
        if (!comms.IsConnected()) return;
        std::vector<std::string> attached;
        TRawHid::FindDevices(attached, kVendorId, kProductId, kUsagePage, -1);
        if (attached.size() <= 1)
            comms_.Held.clear();
        else if (was_.empty())
            comms_.Chosen = HidTo8Bit(comms.Device.GetSerialNumber());
    }
    ~TSameDevice() {
        comms_.Chosen = was_;
        comms_.Held = held_;
    }
    TSameDevice(const TSameDevice&) = delete;
    TSameDevice& operator=(const TSameDevice&) = delete;

  private:
    TkvComms& comms_;
    const std::string was_, held_;
};

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

bool TDeviceWork::LinkLost(const std::string& Where) {
    if (Terminal.IsConnected()) return false;
    // Said once: what was under way when the link went down says so already.
    const auto& outcomes = NotMoved.Outcomes();
    if (outcomes.empty() || outcomes.back() != Outcome::DeviceGone)
        NotMoved.Add(VerbResult::Failed(Outcome::DeviceGone, Where));
    return true;
}

bool TDeviceWork::Unsafe(const std::string& Name, const std::string& Where) {
    if (SafePcName(Name)) return false;
    Host.Print("\r\nNot saved: the device listed the unsafe name \"" + Name + "\"" +
                   (Where.empty() ? std::string() : " in " + Where) + "\r\n",
               MessageStyle::Regular);
    NotMoved.Add(Where + "/" + Name + ": an unsafe name", Outcome::Refused);
    return true;
}

bool TDeviceWork::FoldedOnPc(const fs::path& PcFolder, const std::string& DeviceFolder,
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
    Host.Failed("Not saved: " + path + ": " + why);
    NotMoved.Add(VerbResult::Failed(Outcome::Refused, path, why));
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
    Tally.StartFile(Entry.Name, static_cast<uint64_t>(std::max<int32_t>(0, Entry.Size)));
    if (NoClobber && fs::exists(PcFolder / PcNameOf(Entry.Name), ec)) {
        Tally.FileDone(false);
        return true;
    }
    std::string content;
    const VerbResult read = Read(path, content);
    if (!read.Ok()) {
        Tally.FileDone(false);
        Host.Failed("Not saved: " + read.Message());
        NotMoved.Add(read);
        return false;
    }
    const fs::path target = PcFolder / PcNameOf(Entry.Name);
    SaveToPcFile(target, content, Entry.Created);
    Tally.FileProgress(content.size());
    Tally.FileDone(true);
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
        NotMoved.Add(listed);
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
    Tally.Add(files, bytes);
    std::map<std::string, std::string> saved;
    for (const auto& entry : entries) {
        if (entry.Name == "..") continue;
        if (LinkLost(folder) || StopHere()) return;
        if (Unsafe(entry.Name, folder) || FoldedOnPc(pcDir, folder, entry.Name, saved)) continue;
        if (IsDirectory(entry))
            SaveDirectoryToPc(pcDir, folder, entry.Name);
        else
            SaveFileToPc(pcDir, folder, entry);
    }
}

void TDeviceWork::SaveToPc(const fs::path& PcFolder, const std::string& DeviceFolder,
                           const std::vector<DeviceDirEntry>& Selected,
                           const std::vector<std::string>& Dirs) {
    uint64_t bytes = 0;
    for (const auto& entry : Selected)
        bytes += static_cast<uint64_t>(std::max<int32_t>(0, entry.Size));
    Tally.Begin(static_cast<int>(Selected.size()), bytes, Dirs.empty(), Clock().NowMs());
    SaveSelection(PcFolder, DeviceFolder, Selected, Dirs);
    Tally.AllKnown();
}

void TDeviceWork::SaveSelection(const fs::path& PcFolder, const std::string& DeviceFolder,
                                const std::vector<DeviceDirEntry>& Selected,
                                const std::vector<std::string>& Dirs) {
    std::map<std::string, std::string> saved;
    for (const auto& entry : Selected) {
        Host.SavedCount(SavedCount);
        if (LinkLost(DeviceFolder) || StopHere()) return;
        if (Unsafe(entry.Name, "") || FoldedOnPc(PcFolder, DeviceFolder, entry.Name, saved))
            continue;
        SaveFileToPc(PcFolder, DeviceFolder, entry);
    }
    for (const auto& name : Dirs) {
        if (LinkLost(DeviceFolder) || StopHere()) return;
        if (Unsafe(name, "") || FoldedOnPc(PcFolder, DeviceFolder, name, saved)) continue;
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

bool TDeviceWork::UploadFileTo(const fs::path& PcPath, const std::string& Target,
                               TargetState There) {
    // A name the device's command line cannot carry is said, and nothing is said as sent.
    if (SkipUnsendable(Target)) {
        Tally.StartFile(DeviceLeafOf(Target), 0);
        Tally.FileDone(false);
        return false;
    }
    const std::string name = DeviceNameOf(PcPath);
    const std::string content = ReadPcFile(PcPath);
    Host.UploadStarted(name, content.size(), Target);
    Tally.StartFile(name, content.size());
    // Confirmed by one listing of each directory when the uploads are done (ConfirmUploads).
    const VerbResult written = Write(Target, content, false, There);
    Tally.FileDone(written.Ok());
    if (written.Ok()) {
        Host.FileMoved(Target, PcPath, false);
        return true;
    }
    NotMoved.Add(written);
    Host.Failed("Not written: " + written.Message());
    return false;
}

std::set<fs::path> TDeviceWork::CaseTwins(const std::vector<fs::directory_entry>& Children) {
    std::map<std::string, std::vector<fs::path>> folded;
    for (const auto& child : Children)
        folded[AsciiLower(child.path().filename().string())].push_back(child.path());
    std::set<fs::path> twins;
    for (const auto& [name, paths] : folded)
        if (paths.size() > 1) twins.insert(paths.begin(), paths.end());
    return twins;
}

bool TDeviceWork::SkipCaseTwin(const std::set<fs::path>& Twins, const fs::path& Child,
                               const std::string& DevicePath) {
    if (!Twins.count(Child)) return false;
    const VerbResult refused = VerbResult::Failed(
        Outcome::Refused, DevicePath,
        "another name in its folder differs only in case; the device may take them for one, so "
        "neither was sent");
    NotMoved.Add(refused);
    Host.Failed("Not written: " + refused.Message());
    return true;
}

void TDeviceWork::UploadTree(const fs::path& PcDir, const std::string& DeviceDir) {
    std::set<fs::path> entered;
    UploadTreeOnce(PcDir, DeviceDir, entered);
}

void TDeviceWork::UploadTreeOnce(const fs::path& PcDir, const std::string& DeviceDir,
                                 std::set<fs::path>& Entered, bool InNew) {
    if (LinkLost(DeviceDir) || StopHere() || SkipUnsendable(DeviceDir)) return;
    std::error_code ec;
    const fs::path real = fs::canonical(PcDir, ec);
    if (!ec && !Entered.insert(real).second) {
        Host.Print(" " + ShownPath(PcDir) + ": the same folder as one copied already\r\n",
                   MessageStyle::Italic);
        return;
    }
    // A directory the device lists there already is used as it is; in one made now nothing is
    // there to be replaced, nor looked for.
    DeviceDirEntry there;
    TargetState inside = TargetState::Unknown;
    if (InNew || !(Find(DeviceDir, there).Ok() && IsDirectory(there))) {
        const VerbResult made = MakeDirectory(DeviceDir);
        if (made.Ok()) inside = TargetState::Absent;
        if (!made.Ok() && !(made.What != Outcome::DeviceGone && Find(DeviceDir, there).Ok() &&
                            IsDirectory(there))) {
            NotMoved.Add(made);
            Host.Failed("Not written: " + made.Message());
            return;
        }
    }
    std::vector<fs::directory_entry> children;
    for (const auto& child : fs::directory_iterator(PcDir, ec))
        children.push_back(child);
    if (ec) {
        const std::string why =
            "Cannot open the folder \"" + ShownPath(PcDir) + "\". " + ec.message();
        NotMoved.Add(why, Outcome::PcFileError);
        Host.Failed(why);
        return;
    }
    std::sort(children.begin(), children.end());
    int files = 0;
    uint64_t bytes = 0;
    for (const auto& child : children)
        if (child.is_regular_file(ec)) {
            ++files;
            bytes += child.file_size(ec);
        }
    Tally.Add(files, bytes);
    const std::set<fs::path> twins = CaseTwins(children);
    for (const auto& child : children) {
        if (LinkLost(DeviceDir) || StopHere()) return;
        // A name the device cannot store is named and left out; the rest goes.
        std::string path;
        try {
            path = DeviceDir + "/" + DeviceNameOf(child.path());
        } catch (const EPcFileError& e) {
            NotMoved.Add(e.what(), Outcome::PcFileError);
            Host.Failed(std::string("Not written: ") + e.what());
            continue;
        }
        if (SkipCaseTwin(twins, child.path(), path)) continue;
        const bool link = child.is_symlink(ec);
        if (child.is_directory(ec)) {
            if (link)
                Host.Print(" " + ShownPath(child.path()) + ": a link to a folder; not followed\r\n",
                           MessageStyle::Italic);
            else
                UploadTreeOnce(child.path(), path, Entered, inside == TargetState::Absent);
        } else if (child.is_regular_file(ec) || (link && !child.exists(ec))) {
            // A link that leads nowhere cannot be read: it fails as a file that cannot be.
            UploadFileTo(child.path(), path, inside);
        } else {
            Host.Print(" " + ShownPath(child.path()) +
                           ": neither a file nor a folder; left out\r\n",
                       MessageStyle::Italic);
        }
    }
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
    std::string failed; // the images not taken, for the line at the end
    const auto notTaken = [&](const fs::path& file) {
        failed += (failed.empty() ? "" : ", ") + DeviceNameOf(file);
    };
    // An empty image is nothing to load: it is refused before the device restarts for it.
    for (size_t i = firmware.size(); i-- > 0;) {
        std::error_code ec;
        if (fs::file_size(firmware[i], ec) != 0 || ec) continue;
        NotMoved.Add(ShownPath(firmware[i]) + ": the file is empty; nothing to load",
                     Outcome::PcFileError);
        notTaken(firmware[i]);
        firmware.erase(firmware.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (firmware.empty()) {
        Host.Print("Firmware not loaded: " + failed + "\r\n", MessageStyle::Failure);
        return true;
    }
    if (!Terminal.IsBootLoader() && !EnterBootLoader()) {
        NotMoved.Add("the boot loader did not come",
                     Terminal.IsConnected() || Cancelled ? Outcome::Refused : Outcome::DeviceGone);
        for (const auto& file : firmware)
            notTaken(file);
        firmware.clear();
    }
    for (const auto& file : firmware) {
        if (StopHere()) break;
        const VerbResult result = UploadBlfFile(file);
        if (result.Ok()) continue;
        NotMoved.Add(ShownPath(file) + ": the boot loader did not take it (" + result.Detail + ")",
                     result.What);
        notTaken(file);
    }
    if (bootLoaderImage && !Cancelled) EnterBootLoader();
    const auto sayWhatFailed = [&] {
        if (!failed.empty())
            Host.Print("Firmware not loaded: " + failed + "\r\n", MessageStyle::Failure);
    };
    // Cancelled while waiting for the boot loader: there is no link to start anything on.
    if (!RunAfterFirmware || (Cancelled && !Terminal.IsConnected())) {
        sayWhatFailed();
        return true;
    }
    Host.Print("Run firmware...", MessageStyle::Italic);
    Terminal.SendLine("run");
    Host.Print("\r\n", MessageStyle::Italic);
    sayWhatFailed();
    return true;
}

bool TDeviceWork::EnterBootLoader() {
    const TSameDevice same(Comms);
    Host.Print("Rebooting...", MessageStyle::Italic);
    Terminal.IsReady();
    Terminal.SendLine("boot");
    Clock().SleepMs(2000);
    Comms.Disconnect();
    return WaitForRestart(true);
}

bool TDeviceWork::WaitForApplication() {
    const TSameDevice same(Comms);
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

std::string TDeviceWork::NotTaken(const VerbResult& Result) {
    return Result.Path + ": the boot loader did not take it (" + Result.Detail + ")";
}

VerbResult TDeviceWork::SendImage(const std::string& Name, const std::string& Content,
                                  std::string& Said) {
    FirmwareReply reply;
    const bool whole = Files.LoadFirmware(Name, Content, &reply);
    Said = BootLoaderWords(reply.Text);
    if (!Files.LastRefusal().empty())
        return VerbResult::Failed(Outcome::Refused, Name, "load phase: " + Files.LastRefusal());
    const std::string words = Said.empty() ? std::string() : ": " + Said;
    if (!Terminal.IsConnected())
        return VerbResult::Failed(Outcome::DeviceGone, Name, "load phase: the link went down");
    if (Files.InputLost())
        return VerbResult::Failed(Outcome::NotWhole, Name,
                                  "load phase: input from the device was dropped on the way");
    if (!reply.GoAhead)
        return VerbResult::Failed(Outcome::Refused, Name,
                                  "load phase: the boot loader did not ask for the image" +
                                      (Said.empty() ? " within 1 s" : words));
    if (!whole)
        return VerbResult::Failed(Outcome::NotWhole, Name,
                                  "load phase: the boot loader stopped the transfer" + words);
    if (SaysFailed(Said)) return VerbResult::Failed(Outcome::Refused, Name, "load phase" + words);
    return VerbResult::Done(Name);
}

VerbResult TDeviceWork::UploadBlfFile(const fs::path& FileName) {
    const std::string name = DeviceNameOf(FileName);
    const std::string content = ReadPcFile(FileName);
    Host.Print("\r\nUpload BLF\r\n", MessageStyle::Italic);
    Host.Print(name, MessageStyle::Bold);
    Host.Print(" / " + std::to_string(content.size()) + "\r\n", MessageStyle::Regular);
    Terminal.IsReady();
    std::string said;
    VerbResult result = SendImage(name, content, said);
    if (!said.empty()) Host.Print(said + "\r\n", MessageStyle::Regular);
    // Every phase is waited for, whatever came before: the boot loader is left as it always is.
    struct Phase {
        const char* Word;
        int WaitMs;
    };
    for (const Phase phase : {Phase{"load", 1000}, Phase{"verify", 7000}, Phase{"burn", 15000}}) {
        Host.Print(std::string(" ") + phase.Word + "\r\n", MessageStyle::Italic);
        std::string text;
        const bool answered = Terminal.ReadToPromptStart(phase.WaitMs, text);
        const std::string words = BootLoaderWords(text);
        if (!words.empty()) Host.Print(words + "\r\n", MessageStyle::Regular);
        if (!result.Ok()) continue;
        const std::string where = std::string(phase.Word) + " phase: ";
        if (!Terminal.IsConnected())
            result = VerbResult::Failed(Outcome::DeviceGone, name, where + "the link went down");
        else if (!answered)
            result = VerbResult::Failed(Outcome::Refused, name,
                                        where + "no answer within " +
                                            std::to_string(phase.WaitMs / 1000) + " s");
        else if (SaysFailed(words))
            result = VerbResult::Failed(Outcome::Refused, name, where + words);
    }
    Terminal.ClearInput();
    if (!result.Ok()) Host.Print(NotTaken(result) + "\r\n", MessageStyle::Failure);
    return result;
}

} // namespace kv
