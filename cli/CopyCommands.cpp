// The copying commands of kvb: get and put, and what they report at the end.
#include "Commands.h"

#include "device/Clock.h"
#include "device/DeviceText.h"
#include "workflows/PcFiles.h"

#include <cstdio>
#include <map>
#include <set>

namespace kvb {

namespace fs = std::filesystem;

void FailOnWhatWasNotMoved(Session& s) {
    std::vector<std::string> problems = s.Work.State.NotMoved.Lines();
    problems.insert(problems.end(), s.Host.Mismatches.begin(), s.Host.Mismatches.end());
    if (s.Work.State.Cancelled)
        throw Failure(kInterrupted, "interrupted; what was done so far is kept");
    if (problems.empty()) return;
    // A PC file's error names it as the PC does (UTF-8); the others are the device's 8-bit text.
    for (size_t i = 0; i < problems.size(); ++i) {
        const bool pc = i < s.Work.State.NotMoved.size() &&
                        s.Work.State.NotMoved.Outcomes()[i] == kv::Outcome::PcFileError;
        std::fprintf(stderr, "kvb: %s\n",
                     (pc ? Printable(problems[i]) : PrintableName(problems[i])).c_str());
    }
    // The status the outcomes share; a device gone away says most. A --verify mismatch is the
    // device's.
    std::vector<kv::Outcome> outcomes = s.Work.State.NotMoved.Outcomes();
    if (!s.Host.Mismatches.empty()) outcomes.push_back(kv::Outcome::NotWhole);
    int status = StatusOf(outcomes.front());
    for (const kv::Outcome outcome : outcomes) {
        if (outcome == kv::Outcome::DeviceGone) {
            status = kNoDevice;
            break;
        }
        if (StatusOf(outcome) != status) status = kDeviceError;
    }
    if (status == kNoDevice)
        throw Failure(kNoDevice, "the device is gone; " + Counted(problems.size(), "file") +
                                     " not moved whole");
    throw Failure(status, Counted(problems.size(), "file") + " not moved whole");
}

int Get(Session& s, const TransferOptions& o) {
    s.Host.Verify = o.verify;
    s.Work.Save.BeginSave();
    s.Work.Save.NoClobber = o.noClobber;
    const fs::path target = fs::path(std::u8string(o.target.begin(), o.target.end()));
    std::error_code ec;
    // A target written with a trailing "/" names a folder; it is made as one without the "/" is.
    const bool namedFolder =
        !o.target.empty() && (o.target.back() == '/' || o.target.back() == '\\');
    // Patterns are matched against the listings first: each file found is one source.
    const std::vector<FoundPath> sources = ExpandDevicePaths(s, o.sources);
    const bool intoFolder =
        sources.size() > 1 || namedFolder || fs::is_directory(target, ec) || o.recursive;
    std::vector<std::pair<std::string, kv::DeviceDirEntry>> found;
    int files = 0;
    uint64_t bytes = 0;
    bool trees = false;
    for (const auto& source : sources) {
        const auto entry = Existing(s, source.path);
        if (kv::IsDirectory(entry) && !o.recursive) {
            if (!source.matched)
                throw Failure(kUsage, Shown(source.path) + " is a directory (use -r)");
            s.Say(Shown(source.path) + ": a directory; left out (-r copies it)");
            continue;
        }
        found.emplace_back(source.path, entry);
        trees = trees || kv::IsDirectory(entry);
        if (!kv::IsDirectory(entry)) {
            ++files;
            bytes += static_cast<uint64_t>(std::max<int32_t>(0, entry.Size));
        }
    }
    // The progress line counts the files named here and those the trees' listings add.
    s.Work.State.Tally.Begin(files, bytes, !trees, kv::Clock().NowMs());
    for (const auto& [path, entry] : found) {
        // Inside the target folder, a named source keeps its own name, which must be one there.
        const bool keepsName = !path.empty() && (kv::IsDirectory(entry) || intoFolder);
        if (keepsName && !kv::SafePcName(entry.Name))
            throw Failure(kDeviceError, "unsafe device name " + Shown(path));
        if (o.update) {
            // The sync of the folder pair, down, limited to this source.
            if (kv::IsDirectory(entry))
                UpdateFolder(s, false, path.empty() ? target : target / kv::PcNameOf(entry.Name),
                             path, {});
            else if (intoFolder || target.filename() == kv::PcNameOf(entry.Name))
                UpdateFolder(s, false, intoFolder ? target : target.parent_path(),
                             kv::DeviceParentOf(path), {entry.Name});
            else
                throw Failure(kUsage, "--update copies under the device's own names");
        } else if (o.noClobber && !intoFolder && fs::exists(target, ec)) {
            s.Note(kv::ShownPath(target) + " exists: kept");
        } else if (kv::IsDirectory(entry)) {
            if (path.empty()) {
                // The whole device: as a selection of the root, whose unsafe names are skipped,
                // into the target folder, which is there afterwards also for an empty device.
                fs::create_directories(target, ec);
                if (ec)
                    throw kv::EPcFileError("Cannot create file \"" + kv::ShownPath(target) +
                                           "\". " + ec.message());
                std::vector<kv::DeviceDirEntry> files;
                std::vector<std::string> dirs;
                for (const auto& e : ListEntries(s, ""))
                    if (kv::IsDirectory(e))
                        dirs.push_back(e.Name);
                    else
                        files.push_back(e);
                s.Work.Save.SaveToPc(target, "", files, dirs);
            } else {
                s.Work.Save.SaveDirectoryToPc(target, kv::DeviceParentOf(path), entry.Name);
            }
        } else if (intoFolder) {
            s.Work.Save.SaveFileToPc(target, kv::DeviceParentOf(path), entry);
        } else {
            s.Work.State.Tally.StartFile(entry.Name,
                                         static_cast<uint64_t>(std::max(0, entry.Size)));
            s.Work.Save.SaveToPcFile(target, ReadWhole(s, path), entry.Created);
            s.Work.State.Tally.FileDone(true);
            s.Host.FileMoved(path, target, true);
        }
        if (s.Work.State.StopHere()) break;
    }
    s.Work.State.Tally.End();
    FailOnWhatWasNotMoved(s);
    return kOk;
}

namespace {

// The names in device directories, one listing each, for --no-clobber.
class DeviceNames {
  public:
    explicit DeviceNames(Session& s) : s_(s) {}
    bool Has(const std::string& path) {
        const std::string dir = kv::DeviceParentOf(path);
        auto listed = dirs_.find(dir);
        if (listed == dirs_.end()) {
            std::vector<kv::DeviceDirEntry> entries;
            const kv::VerbResult result = s_.Work.Verbs.List(dir, entries);
            // Only a whole listing tells what is there: a cut one fails the command.
            if (!result.Ok() && result.What != kv::Outcome::NoSuchFile) Check(result);
            std::set<std::string> names; // a directory that is not there holds nothing
            for (const auto& e : entries)
                names.insert(e.Name);
            listed = dirs_.emplace(dir, std::move(names)).first;
        }
        return listed->second.count(kv::DeviceLeafOf(path)) > 0;
    }

  private:
    Session& s_;
    std::map<std::string, std::set<std::string>> dirs_;
};

// Uploads one file to Target unless --no-clobber keeps what is there.
void PutFile(Session& s, const fs::path& pc, const std::string& target, DeviceNames* keep) {
    if (keep && keep->Has(target)) {
        s.Note(Shown(target) + " exists: kept");
        return;
    }
    s.Work.Uploads.UploadFileTo(pc, target);
}

// The device directory a PC folder goes to in put -r: a directory of its own name in the
// target, or the target itself for a folder written with a trailing separator ("project/"),
// "." or "..", whose contents go there.
std::string TreeTarget(const fs::path& pc, const std::string& target, bool targetIsDir) {
    const fs::path last = pc.filename();
    if (last.empty() || last == "." || last == "..") return target;
    return targetIsDir ? target + "/" + kv::DeviceNameOf(pc) : target;
}

} // namespace
int Put(Session& s, const TransferOptions& o) {
    s.Host.Verify = o.verify;
    s.Work.Save.BeginSave();
    const std::string target = DevicePath(o.target);
    // A target written with a trailing "/" is a directory: no listing is needed to learn it.
    const bool targetIsDir =
        (!o.target.empty() && o.target.back() == '/') || IsDeviceDir(s, target);
    if (!targetIsDir && o.sources.size() > 1)
        throw Failure(kUsage, Shown(target) + " is not a directory of the device");
    if (o.update && o.proper) throw Failure(kUsage, "--update does not take --proper");
    DeviceNames names(s);
    DeviceNames* keep = o.noClobber ? &names : nullptr;
    // The progress line counts the files named here and those the folders add as they are read.
    int files = 0;
    uint64_t bytes = 0;
    bool trees = false;
    for (const auto& source : o.sources) {
        const fs::path pc = fs::path(std::u8string(source.begin(), source.end()));
        std::error_code ec;
        if (fs::is_directory(pc, ec)) {
            trees = true;
        } else if (fs::is_regular_file(pc, ec)) {
            ++files;
            const uintmax_t size = fs::file_size(pc, ec);
            if (!ec) bytes += size;
        }
    }
    s.Work.State.Tally.Begin(files, bytes, !trees || o.update, kv::Clock().NowMs());
    for (const auto& source : o.sources) {
        const fs::path pc = fs::path(std::u8string(source.begin(), source.end()));
        std::error_code ec;
        if (!fs::exists(pc, ec))
            throw Failure(kPcFileError,
                          "Cannot open file \"" + source + "\". " +
                              std::make_error_code(std::errc::no_such_file_or_directory).message());
        const bool folder = fs::is_directory(pc, ec);
        if (folder && !o.recursive) throw Failure(kUsage, source + " is a folder (use -r)");
        if (o.update) {
            // The sync of the folder pair, up, limited to this source.
            if (folder)
                UpdateFolder(s, true, pc, TreeTarget(pc, target, targetIsDir), {});
            else if (targetIsDir)
                UpdateFolder(s, true, pc.parent_path(), target, {kv::DeviceNameOf(pc)});
            else
                throw Failure(kUsage, "--update copies into a device directory");
        } else if (folder) {
            // Links to files are sent as the files; links to folders are not followed.
            s.Work.Uploads.UploadTree(pc, TreeTarget(pc, target, targetIsDir),
                                      [&](const std::string& path) {
                                          if (!keep || !keep->Has(path)) return false;
                                          s.Note(Shown(path) + " exists: kept");
                                          return true;
                                      });
        } else if (targetIsDir) {
            const std::string name = kv::DeviceNameOf(pc);
            std::string place = o.proper ? kv::TUploads::ProperPlace(target + "/", name) : "";
            PutFile(s, pc, place.empty() ? target + "/" + name : place, keep);
        } else {
            // One file under a new name: the target is the device path itself.
            PutFile(s, pc, target, keep);
        }
        if (s.Work.State.StopHere()) break;
    }
    // One listing of each directory shows whether every file is there, whole.
    if (s.Comms.IsConnected()) s.Work.Verbs.ConfirmUploads();
    // One count of files and bytes, the one the progress line showed.
    if (RawConsole::ProgressOutput() && s.Work.State.Tally.Moved() > 0)
        s.Say(s.Work.State.Tally.Summary("Sent", "to " + Shown(target), kv::Clock().NowMs()));
    s.Work.State.Tally.End();
    FailOnWhatWasNotMoved(s);
    return kOk;
}

} // namespace kvb
