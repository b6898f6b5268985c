// The file commands of kvb: listing, copying both ways, management, editing and firmware.
#include "Commands.h"

#include "device/Clock.h"
#include "device/DeviceText.h"
#include "workflows/EditorText.h"
#include "workflows/PcFiles.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <set>

namespace kvb {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

std::string Shown(const std::string& devicePath) {
    return PrintableName(devicePath.empty() ? "/" : devicePath);
}

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

// A device file whole, or the failure that says what happened.
std::string ReadWhole(Session& s, const std::string& path) {
    std::string content;
    Check(s.Work.Read(path, content));
    return content;
}

kv::DeviceDirEntry Existing(Session& s, const std::string& path) {
    kv::DeviceDirEntry entry;
    Check(s.Work.Find(path, entry));
    return entry;
}

bool IsDeviceDir(Session& s, const std::string& path) {
    if (path.empty()) return true;
    auto entry = FindEntry(s, path);
    return entry && kv::IsDirectory(*entry);
}

} // namespace

void FailOnWhatWasNotMoved(Session& s) {
    std::vector<std::string> problems = s.Work.NotMoved.Lines();
    problems.insert(problems.end(), s.Host.Mismatches.begin(), s.Host.Mismatches.end());
    if (s.Work.Cancelled) throw Failure(kInterrupted, "interrupted; what was done so far is kept");
    if (problems.empty()) return;
    // A PC file's error names it as the PC does (UTF-8); the others are the device's 8-bit text.
    for (size_t i = 0; i < problems.size(); ++i) {
        const bool pc =
            i < s.Work.NotMoved.size() && s.Work.NotMoved.Outcomes()[i] == kv::Outcome::PcFileError;
        std::fprintf(stderr, "kvb: %s\n",
                     (pc ? Printable(problems[i]) : PrintableName(problems[i])).c_str());
    }
    // The status the outcomes share; a device gone away says most. A --verify mismatch is the
    // device's.
    std::vector<kv::Outcome> outcomes = s.Work.NotMoved.Outcomes();
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
        const kv::VerbResult found = s.Work.Find(path, entry);
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

int Get(Session& s, const TransferOptions& o) {
    s.Host.Verify = o.verify;
    s.Work.BeginSave();
    s.Work.NoClobber = o.noClobber;
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
    s.Work.Tally.Begin(files, bytes, !trees, kv::Clock().NowMs());
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
                UpdateFolder(s, false, intoFolder ? target : target.parent_path(), ParentOf(path),
                             {entry.Name});
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
                s.Work.SaveToPc(target, "", files, dirs);
            } else {
                s.Work.SaveDirectoryToPc(target, ParentOf(path), entry.Name);
            }
        } else if (intoFolder) {
            s.Work.SaveFileToPc(target, ParentOf(path), entry);
        } else {
            s.Work.Tally.StartFile(entry.Name, static_cast<uint64_t>(std::max(0, entry.Size)));
            s.Work.SaveToPcFile(target, ReadWhole(s, path), entry.Created);
            s.Work.Tally.FileDone(true);
            s.Host.FileMoved(path, target, true);
        }
        if (s.Work.StopHere()) break;
    }
    s.Work.Tally.End();
    FailOnWhatWasNotMoved(s);
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

namespace {

// The names in device directories, one listing each, for --no-clobber.
class DeviceNames {
  public:
    explicit DeviceNames(Session& s) : s_(s) {}
    bool Has(const std::string& path) {
        const std::string dir = ParentOf(path);
        auto listed = dirs_.find(dir);
        if (listed == dirs_.end()) {
            std::vector<kv::DeviceDirEntry> entries;
            const kv::VerbResult result = s_.Work.List(dir, entries);
            // Only a whole listing tells what is there: a cut one fails the command.
            if (!result.Ok() && result.What != kv::Outcome::NoSuchFile) Check(result);
            std::set<std::string> names; // a directory that is not there holds nothing
            for (const auto& e : entries)
                names.insert(e.Name);
            listed = dirs_.emplace(dir, std::move(names)).first;
        }
        return listed->second.count(NameOf(path)) > 0;
    }

  private:
    Session& s_;
    std::map<std::string, std::set<std::string>> dirs_;
};

// Uploads one file to Target unless --no-clobber keeps what is there.
void PutFile(Session& s, const fs::path& pc, const std::string& target, DeviceNames* keep,
             kv::TargetState there = kv::TargetState::Unknown) {
    if (keep && keep->Has(target)) {
        s.Note(Shown(target) + " exists: kept");
        return;
    }
    s.Work.UploadFileTo(pc, target, there);
}

// Makes the device directory Path unless the device lists one there already. A directory that
// the device lists after its reply is there: a reply that it exists is no failure. True when it
// was made now, so that it is empty. InNew: its parent was made now, so it is not looked for.
bool MakeDeviceDir(Session& s, const std::string& path, bool inNew) {
    if (!inNew && IsDeviceDir(s, path)) return false;
    const kv::VerbResult made = s.Work.MakeDirectory(path);
    if (made.Ok()) return true;
    if (made.What != kv::Outcome::DeviceGone && IsDeviceDir(s, path)) return false;
    s.Work.NotMoved.Add(made);
    return false;
}

// A PC folder tree into the device directory deviceDir. Links to files are sent as the files;
// links to folders are not followed (and said so), and no folder is entered twice, so that a
// link to a folder above cannot make the tree endless.
void PutTree(Session& s, const fs::path& pcDir, const std::string& deviceDir, DeviceNames* keep,
             std::set<fs::path>& entered, bool inNew = false) {
    // A folder whose name cannot be sent is named and skipped with all it holds; the rest goes.
    if (s.Work.SkipUnsendable(deviceDir)) return;
    std::error_code ec;
    const fs::path real = fs::canonical(pcDir, ec);
    if (!ec && !entered.insert(real).second) {
        s.Say(kv::ShownPath(pcDir) + ": the same folder as one copied already; not copied again");
        return;
    }
    // In a folder made just now nothing is there to be replaced.
    const kv::TargetState there =
        MakeDeviceDir(s, deviceDir, inNew) ? kv::TargetState::Absent : kv::TargetState::Unknown;
    std::vector<fs::directory_entry> children;
    for (const auto& child : fs::directory_iterator(pcDir, ec))
        children.push_back(child);
    if (ec)
        throw Failure(kPcFileError,
                      "cannot read the folder " + kv::ShownPath(pcDir) + ": " + ec.message());
    std::sort(children.begin(), children.end());
    int files = 0;
    uint64_t bytes = 0;
    for (const auto& child : children)
        if (!child.is_directory(ec) && child.is_regular_file(ec)) {
            ++files;
            const uintmax_t size = child.file_size(ec);
            if (!ec) bytes += size;
        }
    s.Work.Tally.Add(files, bytes);
    const std::set<fs::path> twins = kv::TDeviceWork::CaseTwins(children);
    for (const auto& child : children) {
        if (s.Work.StopHere()) return;
        // A name the device cannot store is named and left out; the rest goes.
        std::string name;
        try {
            name = kv::DeviceNameOf(child.path());
        } catch (const kv::EPcFileError& e) {
            s.Work.NotMoved.Add(e.what(), kv::Outcome::PcFileError);
            s.Work.Host.Failed(std::string("Not written: ") + e.what());
            continue;
        }
        if (s.Work.SkipCaseTwin(twins, child.path(), deviceDir + "/" + name)) continue;
        const bool link = child.is_symlink(ec);
        if (child.is_directory(ec)) {
            if (link)
                s.Say(kv::ShownPath(child.path()) + ": a link to a folder; not followed");
            else
                PutTree(s, child.path(), deviceDir + "/" + name, keep, entered,
                        there == kv::TargetState::Absent);
        } else if (child.is_regular_file(ec) || (link && !child.exists(ec))) {
            // A link that leads nowhere cannot be read: it is said as a file that cannot be.
            PutFile(s, child.path(), deviceDir + "/" + name, keep, there);
        } else {
            s.Say(kv::ShownPath(child.path()) + ": neither a file nor a folder; left out");
        }
    }
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
    s.Work.BeginSave();
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
    s.Work.Tally.Begin(files, bytes, !trees || o.update, kv::Clock().NowMs());
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
            std::set<fs::path> entered;
            PutTree(s, pc, TreeTarget(pc, target, targetIsDir), keep, entered);
        } else if (targetIsDir) {
            const std::string name = kv::DeviceNameOf(pc);
            std::string place = o.proper ? kv::TDeviceWork::ProperPlace(target + "/", name) : "";
            PutFile(s, pc, place.empty() ? target + "/" + name : place, keep);
        } else {
            // One file under a new name: the target is the device path itself.
            PutFile(s, pc, target, keep);
        }
        if (s.Work.StopHere()) break;
    }
    // One listing of each directory shows whether every file is there, whole.
    if (s.Comms.IsConnected()) s.Work.ConfirmUploads();
    // One count of files and bytes, the one the progress line showed.
    if (RawConsole::ProgressOutput() && s.Work.Tally.Moved() > 0)
        s.Say(s.Work.Tally.Summary("Sent", "to " + Shown(target), kv::Clock().NowMs()));
    s.Work.Tally.End();
    FailOnWhatWasNotMoved(s);
    return kOk;
}

int Rm(Session& s, const std::vector<std::string>& paths, bool recursive) {
    int refused = 0;
    for (const auto& found : ExpandDevicePaths(s, paths)) {
        const std::string& path = found.path;
        if (path.empty()) throw Failure(kUsage, "the root cannot be removed");
        const auto entry = Existing(s, path);
        if (kv::IsDirectory(entry) && !recursive) {
            if (!found.matched) throw Failure(kUsage, Shown(path) + " is a directory (use -r)");
            s.Say(Shown(path) + ": a directory; left out (-r removes it)");
            continue;
        }
        const kv::VerbResult removed = s.Work.Delete(path, kv::IsDirectory(entry));
        if (removed.What == kv::Outcome::DeviceGone) Check(removed);
        if (!removed.Ok()) {
            std::fprintf(stderr, "kvb: %s\n", PrintableName(removed.Message()).c_str());
            ++refused;
        }
        if (Interrupts.load() > 0) throw Failure(kInterrupted, "interrupted");
    }
    if (refused) throw Failure(kDeviceError, std::to_string(refused) + " not removed");
    return kOk;
}

int Mkdir(Session& s, const std::vector<std::string>& paths, bool parents) {
    for (const auto& where : paths) {
        const std::string path = DevicePath(where);
        if (!parents) {
            Check(s.Work.MakeDirectory(path));
            continue;
        }
        // -p: each directory on the way that is not there yet, and no failure for one that is.
        for (size_t at = 1; at <= path.size(); ++at) {
            if (at < path.size() && path[at] != '/') continue;
            const std::string step = path.substr(0, at);
            if (IsDeviceDir(s, step)) continue;
            const kv::VerbResult made = s.Work.MakeDirectory(step);
            if (!made.Ok() && (made.What == kv::Outcome::DeviceGone || !IsDeviceDir(s, step)))
                Check(made);
        }
    }
    return kOk;
}

int Mv(Session& s, const std::string& from, const std::string& newName) {
    const std::string path = DevicePath(from);
    if (newName.find('/') != std::string::npos) return MoveAcross(s, path, newName);
    if (newName.empty()) throw Failure(kUsage, "no new name given");
    std::string name;
    if (!kv::Utf8ToLatin1(newName, name))
        throw Failure(kUsage, "the device cannot store the name " + newName);
    Existing(s, path);
    Check(s.Work.Rename(path, name));
    return kOk;
}

int MoveAcross(Session& s, const std::string& path, const std::string& to) {
    // The device renames within a folder only: a file goes to another by a copy, which a
    // listing must show whole, and only then is the original deleted. A cut leaves it.
    const kv::DeviceDirEntry entry = Existing(s, path);
    if (kv::IsDirectory(entry))
        throw Failure(kDeviceError, Shown(path) +
                                        ": a folder moves to another folder only as a copy "
                                        "(get -r, put -r, then rm -r)");
    std::string target = DevicePath(to);
    if ((!to.empty() && to.back() == '/') || IsDeviceDir(s, target)) target += "/" + entry.Name;
    if (kv::DeviceParentOf(target) == kv::DeviceParentOf(path)) {
        if (target != path) Check(s.Work.Rename(path, kv::DeviceLeafOf(target)));
        return kOk;
    }
    if (!IsDeviceDir(s, kv::DeviceParentOf(target)))
        throw Failure(kDeviceError, Shown(kv::DeviceParentOf(target)) + ": no such directory");
    if (FindEntry(s, target))
        throw Failure(kDeviceError, Shown(target) + " exists: nothing was moved");
    std::string content;
    Check(s.Work.Read(path, content));
    Check(s.Work.Write(target, content, true, kv::TargetState::Absent));
    const std::optional<kv::DeviceDirEntry> copy = FindEntry(s, target);
    if (!copy || static_cast<size_t>(copy->Size) != content.size())
        throw Failure(kDeviceError, Shown(target) + ": the copy is not whole; " + Shown(path) +
                                        " was left as it is");
    Check(s.Work.Delete(path, false));
    s.Say("moved " + Shown(path) + " to " + Shown(target) +
          " (copied, checked by a listing, and the original deleted)");
    return kOk;
}

int Touch(Session& s, const std::vector<std::string>& paths) {
    // An existing file is left as it is: touch never empties a file. One the device does not
    // make is said, and the others are made all the same.
    int refused = 0;
    for (const auto& where : paths) {
        const kv::VerbResult made = s.Work.NewFile(DevicePath(where));
        if (made.What == kv::Outcome::DeviceGone || (paths.size() == 1 && !made.Ok())) Check(made);
        if (!made.Ok()) {
            std::fprintf(stderr, "kvb: %s\n", PrintableName(made.Message()).c_str());
            ++refused;
        }
    }
    if (refused) throw Failure(kDeviceError, std::to_string(refused) + " not made");
    return kOk;
}

namespace {

// The first character of a UTF-8 text beyond the device's 8-bit text, as the window's editor
// names it: "X" (U+XXXX) on line L, column C (columns count characters, from 1).
std::string FirstUnstorable(const std::string& Utf8) {
    int line = 1, column = 1;
    for (size_t i = 0; i < Utf8.size();) {
        const auto lead = static_cast<unsigned char>(Utf8[i]);
        const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        uint32_t code = length == 1 ? lead : lead & (0x3F >> (length - 1));
        for (size_t k = 1; k < length && i + k < Utf8.size(); ++k)
            code = (code << 6) | (static_cast<unsigned char>(Utf8[i + k]) & 0x3F);
        if (code > 0xFF) {
            char where[96];
            std::snprintf(where, sizeof where, "\" (U+%04X) on line %d, column %d",
                          static_cast<unsigned>(code), line, column);
            return "\"" + Utf8.substr(i, length) + where;
        }
        if (code == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
        i += length;
    }
    return "a character";
}

} // namespace

int Edit(Session& s, const std::string& where) {
    const std::string path = DevicePath(where);
    std::string plain, why;
    bool crlf = false;
    // A file that is not there yet starts empty, in a directory that is; it is made only when
    // the editor gives back some text.
    const bool fresh = !path.empty() && !FindEntry(s, path);
    if (fresh) {
        if (!IsDeviceDir(s, ParentOf(path)))
            throw Failure(kDeviceError, Shown(ParentOf(path)) + ": no such directory");
        crlf = true; // the device's own line ends
    } else {
        Check(s.Work.EditorRead(path, plain, crlf, why));
    }
    if (!why.empty())
        throw Failure(kDeviceError, Shown(path) + " is not opened for editing: " + why +
                                        ", and saving it from the editor would change it");
    const std::string shown = kv::Latin1ToUtf8(plain);
    const fs::path folder = MakePrivateFolder();
    const std::string name = EditFileName(kv::Latin1ToUtf8(NameOf(path)));
    const fs::path temp = folder / fs::path(std::u8string(name.begin(), name.end()));
    // The text is removed only when it is on the device or was not changed; otherwise it stays
    // where the editor saved it, and the user is told where.
    bool keep = true;
    struct Remove {
        const fs::path& folder;
        const bool& keep;
        ~Remove() {
            std::error_code ec;
            if (!keep) fs::remove_all(folder, ec);
        }
    } remove{folder, keep};
    const auto kept = [&](int status, const std::string& what) {
        return Failure(status, what + "; your text is kept in " + kv::ShownPath(temp));
    };
    CreatePrivateFile(temp, shown);
    const char* editor = std::getenv("VISUAL");
    if (!editor || !*editor) editor = std::getenv("EDITOR");
    if (!editor || !*editor) editor = DefaultEditor();
    const int status = RunEditor(editor, temp);
    const std::string edited = kv::ReadPcFile(temp);
    if (edited == shown) {
        keep = false;
        if (status != 0)
            throw Failure(kPcFileError,
                          "the editor (" + std::string(editor) + ") failed; nothing written");
        s.Say(Shown(path) +
              (fresh ? " not made: the text is empty" : " unchanged: nothing written"));
        return kOk;
    }
    if (status != 0)
        throw kept(kPcFileError,
                   "the editor (" + std::string(editor) + ") failed; nothing written");
    std::string back;
    if (!kv::Utf8ToLatin1(edited, back))
        throw kept(kDeviceError, "the text was not saved: " + FirstUnstorable(edited) +
                                     " is a character that the device's 8-bit text cannot "
                                     "store");
    kv::VerbResult written;
    try {
        written = s.Work.EditorWrite(path, back, crlf);
    } catch (const std::exception& e) {
        throw kept(kDeviceError, Shown(path) + ": " + e.what());
    }
    if (!written.Ok()) throw kept(StatusOf(written.What), kv::Latin1ToUtf8(written.Message()));
    keep = false;
    return kOk;
}

int Flash(Session& s, const std::vector<std::string>& images, bool noRun) {
    std::vector<fs::path> files;
    for (const auto& image : images) {
        const std::string lower = kv::AsciiLower(image);
        if (lower.size() < 4 || lower.compare(lower.size() - 4, 4, ".blf") != 0)
            throw Failure(kUsage, image + " is not a firmware file (.blf)");
        const fs::path path(std::u8string(image.begin(), image.end()));
        // Refused before the device is restarted when it cannot be read or holds nothing.
        if (kv::ReadPcFile(path).empty())
            throw Failure(kPcFileError, image + ": the file is empty; nothing to load");
        files.push_back(path);
    }
    s.Work.BeginSave();
    s.Work.RunAfterFirmware = !noRun;
    s.Work.LoadDroppedFirmware(files);
    FailOnWhatWasNotMoved(s);
    return kOk;
}

} // namespace kvb
