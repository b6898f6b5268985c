#include "Uploads.h"

#include "PcFiles.h"
#include "device/DeviceText.h"

#include <algorithm>

namespace kv {

namespace fs = std::filesystem;

std::string TUploads::ProperPlace(const std::string& Base, const std::string& Name) {
    const std::string lower = AsciiLower(Name);
    const std::string base = AsciiLower(Base);
    if (lower.ends_with(".lua") && base.rfind("/lua/", 0) != 0) return "/Lua/" + Name;
    if (lower.ends_with("config.txt") && base.rfind("/config/", 0) != 0) return "/Config/" + Name;
    return {};
}

bool TUploads::UploadFile(const fs::path& PcPath, const std::string& Base, bool Proper) {
    // The device takes 8-bit names: a name that has no 8-bit form cannot be sent as it is.
    const std::string name = DeviceNameOf(PcPath);
    std::string target = Proper ? ProperPlace(Base, name) : std::string();
    if (target.empty()) target = Base + name;
    return UploadFileTo(PcPath, target);
}

bool TUploads::UploadFileTo(const fs::path& PcPath, const std::string& Target,
                            TargetState OnDevice) {
    // A name the device's command line cannot carry is said, and nothing is said as sent.
    if (verbs_.SkipUnsendable(Target)) {
        state_.Tally.StartFile(DeviceLeafOf(Target), 0);
        state_.Tally.FileDone(false);
        return false;
    }
    const std::string name = DeviceNameOf(PcPath);
    const std::string content = ReadPcFile(PcPath);
    state_.Host.UploadStarted(name, content.size(), Target);
    state_.Tally.StartFile(name, content.size());
    // Confirmed by one listing of each directory when the uploads are done (ConfirmUploads).
    const VerbResult written = verbs_.Write(Target, content, false, OnDevice);
    state_.Tally.FileDone(written.Ok());
    if (written.Ok()) {
        state_.Host.FileMoved(Target, PcPath, false);
        return true;
    }
    state_.NotMoved.Add(written);
    state_.Host.Failed("Not written: " + written.Message());
    return false;
}

std::set<fs::path> TUploads::CaseTwins(const std::vector<fs::directory_entry>& Children) {
    std::map<std::string, std::vector<fs::path>> folded;
    for (const auto& child : Children)
        folded[AsciiLower(child.path().filename().string())].push_back(child.path());
    std::set<fs::path> twins;
    for (const auto& [name, paths] : folded)
        if (paths.size() > 1) twins.insert(paths.begin(), paths.end());
    return twins;
}

bool TUploads::SkipCaseTwin(const std::set<fs::path>& Twins, const fs::path& Child,
                            const std::string& DevicePath) {
    if (!Twins.count(Child)) return false;
    const VerbResult refused = VerbResult::Failed(
        Outcome::Refused, DevicePath,
        "another name in its folder differs only in case; the device may take them for one, so "
        "neither was sent");
    state_.NotMoved.Add(refused);
    state_.Host.Failed("Not written: " + refused.Message());
    return true;
}

void TUploads::UploadTree(const fs::path& PcDir, const std::string& DeviceDir,
                          const std::function<bool(const std::string&)>& KeepExisting) {
    std::set<fs::path> entered;
    UploadTreeOnce(PcDir, DeviceDir, entered, KeepExisting);
}

void TUploads::UploadTreeOnce(const fs::path& PcDir, const std::string& DeviceDir,
                              std::set<fs::path>& Entered,
                              const std::function<bool(const std::string&)>& KeepExisting,
                              bool InNew) {
    if (verbs_.LinkLost(DeviceDir) || state_.StopHere() || verbs_.SkipUnsendable(DeviceDir)) return;
    std::error_code ec;
    const fs::path real = fs::canonical(PcDir, ec);
    if (!ec && !Entered.insert(real).second) {
        state_.Host.Print(" " + ShownPath(PcDir) +
                              ": the same folder as one copied already; not copied again\r\n",
                          MessageStyle::Italic);
        return;
    }
    // A directory the device lists there already is used as it is; in one made now nothing is
    // there to be replaced, nor looked for.
    DeviceDirEntry there;
    TargetState inside = TargetState::Unknown;
    if (InNew || !(verbs_.Find(DeviceDir, there).Ok() && IsDirectory(there))) {
        const VerbResult made = verbs_.MakeDirectory(DeviceDir);
        if (made.Ok()) inside = TargetState::Absent;
        if (!made.Ok() && !(made.What != Outcome::DeviceGone &&
                            verbs_.Find(DeviceDir, there).Ok() && IsDirectory(there))) {
            state_.NotMoved.Add(made);
            state_.Host.Failed("Not written: " + made.Message());
            return;
        }
    }
    std::vector<fs::directory_entry> children;
    for (const auto& child : fs::directory_iterator(PcDir, ec))
        children.push_back(child);
    if (ec) {
        const std::string why =
            "Cannot open the folder \"" + ShownPath(PcDir) + "\". " + ec.message();
        state_.NotMoved.Add(why, Outcome::PcFileError);
        state_.Host.Failed(why);
        return;
    }
    std::sort(children.begin(), children.end());
    int files = 0;
    uint64_t bytes = 0;
    for (const auto& child : children)
        if (child.is_regular_file(ec)) {
            ++files;
            const uintmax_t size = child.file_size(ec);
            if (!ec) bytes += size;
        }
    state_.Tally.Add(files, bytes);
    const std::set<fs::path> twins = CaseTwins(children);
    for (const auto& child : children) {
        if (verbs_.LinkLost(DeviceDir) || state_.StopHere()) return;
        // A name the device cannot store is named and left out; the rest goes.
        std::string path;
        try {
            path = DeviceDir + "/" + DeviceNameOf(child.path());
        } catch (const EPcFileError& e) {
            state_.NotMoved.Add(e.what(), Outcome::PcFileError);
            state_.Host.Failed(std::string("Not written: ") + e.what());
            continue;
        }
        if (SkipCaseTwin(twins, child.path(), path)) continue;
        const bool link = child.is_symlink(ec);
        if (child.is_directory(ec)) {
            if (link)
                state_.Host.Print(" " + ShownPath(child.path()) +
                                      ": a link to a folder; not followed\r\n",
                                  MessageStyle::Italic);
            else
                UploadTreeOnce(child.path(), path, Entered, KeepExisting,
                               inside == TargetState::Absent);
        } else if (child.is_regular_file(ec) || (link && !child.exists(ec))) {
            // A link that leads nowhere cannot be read: it fails as a file that cannot be.
            if (!KeepExisting || !KeepExisting(path)) UploadFileTo(child.path(), path, inside);
        } else {
            state_.Host.Print(" " + ShownPath(child.path()) +
                                  ": neither a file nor a folder; left out\r\n",
                              MessageStyle::Italic);
        }
    }
}

} // namespace kv
