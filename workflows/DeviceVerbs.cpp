// The device verbs: every change and every read the window and kvb make of the device's files,
// each with a typed result that says what happened. A verb decides success by what the device
// itself shows: its "0:No error" for the management commands and after a write's content, the
// content whole for a read, a listing only when it came whole, and a listing for a write the
// device gave no result for.
#include "DeviceVerbs.h"

#include "EditorText.h"
#include "device/Clock.h"
#include "device/DeviceList.h"
#include "device/DeviceText.h"

#include <algorithm>
#include <set>

namespace kv {

namespace {

const char* const kNotStored = "the device did not store it";
// A replacement is written under the old file's name with this added, and takes the name only
// once it is whole on the device.
const char* const kBesideSuffix = ".kvbnew";
// A file the device lists read-only is not replaced, as a write in place would not be: the copy
// beside it goes and the file stays as it is.
const char* const kReadOnly = "it is read-only on the device; it was not replaced";
const char* const kInputLost = "input from the device was dropped on the way: not whole";

} // namespace

std::string DeviceParentOf(const std::string& Path) {
    const size_t slash = Path.rfind('/');
    return slash == std::string::npos ? std::string() : Path.substr(0, slash);
}

std::string DeviceLeafOf(const std::string& Path) {
    const size_t slash = Path.rfind('/');
    return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

std::string DeviceJoin(const std::string& Dir, const std::string& Name) {
    return Dir.empty() ? Name : Dir + "/" + Name;
}

bool DeviceBelow(const std::string& Path, const std::string& Dir) {
    return Path.size() > Dir.size() && Path.compare(0, Dir.size(), Dir) == 0 &&
           Path[Dir.size()] == '/';
}

VerbResult TDeviceVerbs::Sendable(const std::string& Path, const std::string& NewName) const {
    std::string why = files_.PathRefusal(Path);
    if (why.empty()) why = files_.NameRefusal(NewName);
    return why.empty() ? VerbResult::Done(Path) : VerbResult::Failed(Outcome::Refused, Path, why);
}

VerbResult TDeviceVerbs::SameDevice(const std::string& Path) {
    const std::string other = OtherThanHeld(files_.Terminal.Comms);
    if (other.empty()) return VerbResult::Done(Path);
    return VerbResult::Failed(Outcome::OtherDevice, Path,
                              "the device changed (" + other + " is not " +
                                  files_.Terminal.Comms.Held + "): nothing was written");
}

TDeviceVerbs::TDeviceVerbs(TkvbFiles& files, TWorkState& state) : files_(files), state_(state) {}

bool TDeviceVerbs::Connected() const {
    return files_.Terminal.Comms.IsConnected();
}

bool TDeviceVerbs::LinkLost(const std::string& Where) {
    if (Connected()) return false;
    state_.DeviceGone(Where);
    return true;
}

bool TDeviceVerbs::Reconnect() {
    return files_.Terminal.Comms.Connect() && files_.Terminal.IsReady();
}

bool TDeviceVerbs::SkipUnsendable(const std::string& Path) {
    const VerbResult refused = Sendable(Path);
    if (refused.Ok()) return false;
    state_.NotMoved.Add(refused);
    state_.Host.Failed("Not written: " + refused.Message());
    return true;
}

VerbResult TDeviceVerbs::Failure(const std::string& Path, Outcome Otherwise) {
    if (!files_.LastRefusal().empty())
        return VerbResult::Failed(Outcome::Refused, Path, files_.LastRefusal());
    if (!Connected()) return VerbResult::Failed(Outcome::DeviceGone, Path);
    if (files_.InputLost()) return VerbResult::Failed(Outcome::NotWhole, Path, kInputLost);
    if (files_.ContentOverran())
        return VerbResult::Failed(Outcome::NotWhole, Path,
                                  "more bytes came than the device announced: not whole");
    if (!files_.LastReply().empty()) return VerbResult::RefusedWith(Path, files_.LastReply());
    return VerbResult::Failed(Otherwise, Path);
}

VerbResult TDeviceVerbs::List(const std::string& Dir, std::vector<DeviceDirEntry>& Entries) {
    if (VerbResult refused = Sendable(Dir); !refused.Ok()) return refused;
    Entries.clear();
    listed_.Valid = false;
    std::vector<std::string> lines;
    if (!files_.ListDirectory(Dir, lines)) return NotListed(Dir);
    for (const auto& line : lines) {
        DeviceDirEntry entry = TkvbFiles::ParseDirEntry(line);
        if (entry.Name != ".") Entries.push_back(std::move(entry));
    }
    // What arrived stays in Entries for a reader to show; nobody decides from it as a folder.
    if (!files_.ListingComplete()) {
        if (!Connected()) return VerbResult::Failed(Outcome::DeviceGone, Dir);
        return VerbResult::Failed(Outcome::NotWhole, Dir, "the listing was cut short");
    }
    if (FinishReplaces) FinishCutReplaces(Dir, Entries);
    listed_ = {Dir, Entries, files_.Terminal.Comms.Sends(), Clock().NowMs(), true};
    return VerbResult::Done(Dir);
}

void TDeviceVerbs::FinishCutReplaces(const std::string& Dir, std::vector<DeviceDirEntry>& Entries) {
    // A replace cut between deleting the old file and renaming the new one leaves the name
    // missing and the new content beside it, whole by construction (it is renamed only once
    // whole, and the old file goes only then): the copy takes its name now.
    for (auto& entry : Entries) {
        if (IsDirectory(entry) || !IsBesideCopyName(entry.Name)) continue;
        const std::string name = entry.Name.substr(0, entry.Name.rfind(kBesideSuffix));
        if (besideInUse_.count(Dir + "/" + entry.Name) || EntryNamed(Entries, name) ||
            !Sendable(Dir + "/" + entry.Name, name).Ok())
            continue;
        if (!files_.RenameFile(Dir + "/" + entry.Name, name)) continue;
        state_.Host.Print(" " + Dir + "/" + name +
                              ": a replacement cut short was finished (its new "
                              "content was whole beside it)\r\n",
                          MessageStyle::Regular);
        entry.Name = name;
    }
}

const std::vector<DeviceDirEntry>* TDeviceVerbs::JustListed(const std::string& Dir) const {
    // A moment: what the device's own programs may change meanwhile is the same as for a
    // listing taken just before a write (see TargetState).
    constexpr int64_t kMomentMs = 1000;
    if (!listed_.Valid || listed_.Dir != Dir || listed_.Sends != files_.Terminal.Comms.Sends() ||
        !Connected() || Clock().NowMs() - listed_.AtMs > kMomentMs)
        return nullptr;
    return &listed_.Entries;
}

VerbResult TDeviceVerbs::NotListed(const std::string& Dir) {
    if (!Connected()) return VerbResult::Failed(Outcome::DeviceGone, Dir);
    if (files_.InputLost()) return VerbResult::Failed(Outcome::NotWhole, Dir, kInputLost);
    const std::string reply = files_.LastReply();
    if (reply.empty())
        return VerbResult::Failed(Outcome::NotWhole, Dir, "the device did not answer");
    // The device said no in its own words, which are not interpreted: the entry in a whole
    // listing of the parent tells a folder that is not there from one it would not list.
    DeviceDirEntry entry;
    const VerbResult found = Find(Dir, entry);
    if (!found.Ok()) return found;
    return IsDirectory(entry)
               ? VerbResult::RefusedWith(Dir, reply)
               : VerbResult::Failed(Outcome::Refused, Dir, "it is a file, not a directory");
}

VerbResult TDeviceVerbs::Find(const std::string& Path, DeviceDirEntry& Entry) {
    if (VerbResult refused = Sendable(Path); !refused.Ok()) return refused;
    if (Path.empty()) {
        Entry = DeviceDirEntry{};
        Entry.Attr = faDirectory;
        return VerbResult::Done(Path);
    }
    // The parent's whole listing of a moment ago, with nothing sent since, is not asked again.
    std::vector<DeviceDirEntry> entries;
    if (const auto* shown = JustListed(DeviceParentOf(Path))) {
        entries = *shown;
    } else {
        VerbResult listed = List(DeviceParentOf(Path), entries);
        if (!listed.Ok()) {
            listed.Path = Path;
            return listed;
        }
    }
    const std::string name = DeviceLeafOf(Path);
    if (const DeviceDirEntry* found = EntryNamed(entries, name); found && name != "..") {
        Entry = *found;
        return VerbResult::Done(Path);
    }
    return VerbResult::Failed(Outcome::NoSuchFile, Path);
}

const DeviceDirEntry* EntryNamed(const std::vector<DeviceDirEntry>& Entries,
                                 const std::string& Name) {
    for (const auto& entry : Entries)
        if (entry.Name == Name) return &entry;
    // A device may find a name in any ASCII case, as a FAT volume does: the one entry whose name
    // differs only in case is the one it means. Two such entries leave it open.
    const DeviceDirEntry* folded = nullptr;
    for (const auto& entry : Entries)
        if (AsciiLower(entry.Name) == AsciiLower(Name)) {
            if (folded) return nullptr;
            folded = &entry;
        }
    return folded;
}

VerbResult TDeviceVerbs::Read(const std::string& Path, std::string& Content) {
    if (VerbResult refused = Sendable(Path); !refused.Ok()) return refused;
    if (files_.ReadFile(Path, Content)) return VerbResult::Done(Path);
    if (!Connected()) return VerbResult::Failed(Outcome::DeviceGone, Path);
    if (files_.InputLost()) return VerbResult::Failed(Outcome::NotWhole, Path, kInputLost);
    const std::string reply = files_.LastReply();
    if (reply.empty()) return VerbResult::Failed(Outcome::NotWhole, Path);
    // Refused before any content: the listing tells a missing file from a directory.
    DeviceDirEntry entry;
    const VerbResult found = Find(Path, entry);
    if (found.What == Outcome::NoSuchFile || found.What == Outcome::DeviceGone) return found;
    if (found.Ok() && IsDirectory(entry)) return VerbResult::Failed(Outcome::IsDirectory, Path);
    return VerbResult::RefusedWith(Path, reply);
}

VerbResult TDeviceVerbs::Store(const std::string& Path, const std::string& Content) {
    cutCopy_ = false;
    storeUndecided_ = false;
    if (files_.WriteFile(Path, Content)) {
        if (files_.WriteConfirmed() || deferListing_) return VerbResult::Done(Path);
        // The device gave no result in its format: the listing shows whether it is there whole.
        DeviceDirEntry entry;
        const VerbResult found = Find(Path, entry);
        if (found.Ok() && !IsDirectory(entry) && static_cast<size_t>(entry.Size) == Content.size())
            return VerbResult::Done(Path);
        const std::string said = files_.WriteAnswer().empty()
                                     ? std::string()
                                     : " (it said \"" + files_.WriteAnswer() + "\")";
        if (!found.Ok() && found.What != Outcome::NoSuchFile) {
            // Not known either way: what is there stays as it is.
            storeUndecided_ = true;
            VerbResult unknown = found;
            unknown.Path = Path;
            unknown.Detail = "the device did not confirm it" + said +
                             ", and its folder could not "
                             "be listed: " +
                             (found.Detail.empty() ? "no answer" : found.Detail);
            return unknown;
        }
        cutCopy_ = found.Ok() && !IsDirectory(entry);
        return VerbResult::Failed(Outcome::Refused, Path, kNotStored + said);
    }
    // Refused in the device's result format, or the content stopped on the way: what the device
    // may hold under Path is not the content.
    cutCopy_ = files_.WriteStarted() && Connected();
    return Failure(Path, Outcome::NotWhole);
}

// A copy beside a name that a replacement is writing or placing: a listing meanwhile does not
// take it for one that a cut replacement left behind.
class TBesideInUse {
  public:
    TBesideInUse(std::set<std::string>& inUse, std::string beside)
        : inUse_(inUse), beside_(std::move(beside)) {
        inUse_.insert(beside_);
    }
    ~TBesideInUse() { inUse_.erase(beside_); }
    TBesideInUse(const TBesideInUse&) = delete;
    TBesideInUse& operator=(const TBesideInUse&) = delete;

  private:
    std::set<std::string>& inUse_;
    const std::string beside_;
};

bool IsBesideCopyName(const std::string& Name) {
    const std::string suffix = kBesideSuffix;
    const size_t at = Name.rfind(suffix);
    return at != std::string::npos && at != 0 &&
           Name.find_first_not_of("0123456789", at + suffix.size()) == std::string::npos;
}

std::string TDeviceVerbs::BesideName(const std::string& Path) {
    return Path + kBesideSuffix;
}

std::string TDeviceVerbs::BesideOf(const std::string& Path) const {
    const auto chosen = besideOf_.find(Path);
    return chosen == besideOf_.end() ? BesideName(Path) : chosen->second;
}

VerbResult TDeviceVerbs::ChooseBeside(const std::string& Path) {
    besideOf_.erase(Path); // a name chosen earlier is no longer known free
    // A name the folder's listing shows free (as the device may fold case, in any case): a
    // user's own file of the usual name is never written over or deleted.
    std::vector<DeviceDirEntry> listed;
    const std::vector<DeviceDirEntry>* entries = JustListed(DeviceParentOf(Path));
    if (!entries) {
        const VerbResult result = List(DeviceParentOf(Path), listed);
        if (!result.Ok() && result.What != Outcome::NoSuchFile) {
            VerbResult failed = result;
            failed.Path = Path;
            return failed;
        }
        entries = &listed;
    }
    const auto taken = [&](const std::string& name) {
        return std::any_of(entries->begin(), entries->end(), [&](const DeviceDirEntry& entry) {
            return AsciiLower(entry.Name) == AsciiLower(name);
        });
    };
    std::string beside = BesideName(Path);
    for (int n = 2; taken(DeviceLeafOf(beside)); ++n)
        beside = BesideName(Path) + std::to_string(n);
    besideOf_[Path] = beside;
    return VerbResult::Done(Path);
}

VerbResult TDeviceVerbs::WriteBeside(const std::string& Path, const std::string& Content) {
    if (!besideOf_.count(Path)) return VerbResult::Failed(Outcome::NotWhole, Path, "no free name");
    const std::string beside = BesideOf(Path);
    besideInUse_.insert(beside);
    if (VerbResult refused = Sendable(beside); !refused.Ok()) return refused;
    if (VerbResult other = SameDevice(Path); !other.Ok()) return other;
    return Create(beside, Content);
}

void TDeviceVerbs::DropBeside(const std::string& Path) {
    besideInUse_.erase(BesideOf(Path));
    if (Connected() && SameDevice(Path).Ok()) files_.DeleteFile(BesideOf(Path));
}

VerbResult TDeviceVerbs::PutInPlace(const std::string& Path, bool OldFileListed) {
    const std::string beside = BesideOf(Path);
    const TBesideInUse inUse(besideInUse_, beside);
    VerbResult placed = PlaceOver(beside, Path, OldFileListed, true);
    // Gone in the middle: the copy is whole beside the name, which holds the old content or,
    // once the old file went, nothing until the next listing gives the copy its name.
    if (placed.What == Outcome::DeviceGone && placed.Detail.empty())
        placed.Detail = "the new content is whole in " + beside;
    return placed;
}

VerbResult TDeviceVerbs::PlaceOver(const std::string& Source, const std::string& Path,
                                   bool OldFileListed, bool SourceIsCopy) {
    if (VerbResult other = SameDevice(Path); !other.Ok()) return other;
    const std::string& beside = Source;
    const std::string leaf = DeviceLeafOf(Path);
    if (ListedReadOnly(Path)) {
        if (SourceIsCopy) files_.DeleteFile(beside);
        return VerbResult::Failed(Outcome::Refused, Path, kReadOnly);
    }
    // A rename that gave no result in time, or said no, is decided by a fresh listing: the copy
    // gone from beside the name, and a file under the name, means it took place (late). Nothing
    // is deleted on a rename's word alone.
    enum class Renamed { Yes, No, Unknown };
    const auto rename = [&]() {
        if (files_.RenameFile(beside, leaf)) return Renamed::Yes;
        if (!Connected()) return Renamed::Unknown;
        std::vector<DeviceDirEntry> entries;
        if (!List(DeviceParentOf(Path), entries).Ok()) return Renamed::Unknown;
        bool besideThere = false, nameThere = false;
        for (const auto& entry : entries) {
            besideThere = besideThere || entry.Name == DeviceLeafOf(beside);
            nameThere = nameThere || (entry.Name == leaf && !IsDirectory(entry));
        }
        return !besideThere && nameThere ? Renamed::Yes : Renamed::No;
    };
    const auto oldGone = [&]() {
        VerbResult lost = Failure(Path, Outcome::Refused);
        lost.Detail = "the old file is gone; the new content is whole in " + beside;
        return lost;
    };
    // The old file as listed just now goes first; when it will not, the rest finds out why.
    if (OldFileListed && files_.DeleteFile(Path))
        return rename() == Renamed::Yes ? VerbResult::Done(Path) : oldGone();
    if (!Connected()) return VerbResult::Failed(Outcome::DeviceGone, Path);
    const Renamed first = rename();
    if (first == Renamed::Yes) return VerbResult::Done(Path);
    if (!Connected()) return VerbResult::Failed(Outcome::DeviceGone, Path);
    if (first == Renamed::Unknown) {
        VerbResult unknown = VerbResult::Failed(Outcome::NotWhole, Path);
        unknown.Detail = "the device did not confirm the rename into place, and its folder could "
                         "not be listed; " +
                         beside + " was left as it is";
        return unknown;
    }
    // The name is taken. Only an old file gives it up: it goes, and the new one takes its
    // name. A directory there, or a rename refused for another reason, leaves all as it was.
    const VerbResult refused = Failure(Path, Outcome::Refused);
    DeviceDirEntry old;
    const VerbResult found = Find(Path, old);
    if (found.What == Outcome::DeviceGone) return found;
    VerbResult kept = !found.Ok()               ? refused
                      : IsDirectory(old)        ? VerbResult::Failed(Outcome::IsDirectory, Path)
                      : files_.DeleteFile(Path) ? VerbResult::Done(Path)
                                                : Failure(Path, Outcome::Refused);
    if (kept.Ok()) return rename() == Renamed::Yes ? kept : oldGone();
    if (SourceIsCopy && Connected()) files_.DeleteFile(beside);
    return kept;
}

bool TDeviceVerbs::ListedReadOnly(const std::string& Path) const {
    if (const auto* shown = JustListed(DeviceParentOf(Path)))
        for (const auto& entry : *shown)
            if (entry.Name == DeviceLeafOf(Path))
                return !IsDirectory(entry) && (entry.Attr & faReadOnly);
    return false;
}

VerbResult TDeviceVerbs::Replace(const std::string& Path, const std::string& Content,
                                 bool OldFileListed) {
    if (ListedReadOnly(Path)) return VerbResult::Failed(Outcome::Refused, Path, kReadOnly);
    if (VerbResult chosen = ChooseBeside(Path); !chosen.Ok()) return chosen;
    const std::string beside = BesideOf(Path);
    const TBesideInUse inUse(besideInUse_, beside);
    const VerbResult whole = Store(beside, Content);
    if (whole.Ok()) return PutInPlace(Path, OldFileListed);
    if (!Connected()) {
        VerbResult gone = VerbResult::Failed(Outcome::DeviceGone, Path);
        if (files_.WriteStarted())
            gone.Detail =
                "the file was not replaced; " + beside + " may hold part of the new content";
        return gone;
    }
    VerbResult notStored = whole;
    notStored.Path = Path;
    if (files_.WriteStarted() && storeUndecided_) {
        // The content went and nothing tells whether it is whole: both copies stay.
        notStored.Detail += "; no file was replaced, and " + beside + " was left as it is";
        return notStored;
    }
    if (files_.WriteStarted()) {
        // The content went and was not taken (no room for both, as a rule): the cut copy goes
        // and the old file stays as it was.
        if (cutCopy_) files_.DeleteFile(beside);
        const std::string why = !notStored.Detail.empty() ? notStored.Detail
                                : notStored.Reply.empty() ? std::string("it did not move whole")
                                                          : std::string();
        notStored.Detail = why + (why.empty() ? "" : "; ") + "no file was replaced";
        return notStored;
    }
    // Refused before any content (a name the device does not take beside it): written in
    // place, and when that fails after content went, what is there now is said plainly.
    DeviceDirEntry old;
    const VerbResult had = Find(Path, old);
    if (had.What == Outcome::DeviceGone) return had;
    const VerbResult inPlace = Store(Path, Content);
    if (inPlace.Ok() || !Connected() || !had.Ok() || IsDirectory(old) || !files_.WriteStarted())
        return inPlace;
    VerbResult lost = inPlace;
    DeviceDirEntry now;
    const VerbResult there = Find(Path, now);
    lost.Detail = there.Ok() ? "the old file is gone: " + Path + " now holds " +
                                   std::to_string(now.Size) + " bytes of the new content"
                             : "the old file is gone, and no file is there now";
    return lost;
}

VerbResult TDeviceVerbs::Create(const std::string& Path, const std::string& Content) {
    const VerbResult stored = Store(Path, Content);
    if (!stored.Ok() && cutCopy_) files_.DeleteFile(Path);
    return stored;
}

VerbResult TDeviceVerbs::Write(const std::string& Path, const std::string& Content, bool Confirm,
                               TargetState Target) {
    if (VerbResult refused = Sendable(Path); !refused.Ok()) return refused;
    if (VerbResult other = SameDevice(Path); !other.Ok()) return other;
    // A new file whose caller confirms uploads together is looked up in that one listing of its
    // folder, not in one of its own.
    deferListing_ = !Confirm && Target == TargetState::Absent;
    const VerbResult stored = Target == TargetState::Absent
                                  ? Create(Path, Content)
                                  : Replace(Path, Content, Target == TargetState::File);
    deferListing_ = false;
    if (!stored.Ok()) return stored;
    if (!Confirm) {
        Unconfirmed.push_back({Path, Content.size()});
        return VerbResult::Done(Path);
    }
    // The device's own "0:No error" after the content says it stored it whole, and a rename
    // into place said the same: a listing would only repeat it.
    if (files_.WriteConfirmed()) return stored;
    DeviceDirEntry entry;
    const VerbResult found = Find(Path, entry);
    if (found.What == Outcome::DeviceGone) return found;
    if (!found.Ok() || IsDirectory(entry) || static_cast<size_t>(entry.Size) != Content.size())
        return VerbResult::Failed(Outcome::Refused, Path, kNotStored);
    return VerbResult::Done(Path);
}

VerbResult TDeviceVerbs::WriteWhole(const std::string& Path, const std::string& Content,
                                    TargetState Target) {
    if (VerbResult refused = Sendable(Path); !refused.Ok()) return refused;
    if (VerbResult other = SameDevice(Path); !other.Ok()) return other;
    return Target == TargetState::Absent ? Create(Path, Content)
                                         : Replace(Path, Content, Target == TargetState::File);
}

int TDeviceVerbs::ConfirmUploads(std::map<std::string, DeviceDirEntry>* Stored) {
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
            bool cut = false;
            if (const DeviceDirEntry* entry = EntryNamed(entries, DeviceLeafOf(each.Path));
                entry && !IsDirectory(*entry)) {
                if (static_cast<size_t>(entry->Size) == each.Size)
                    stored = entry;
                else
                    cut = true;
            }
            if (stored) {
                if (Stored) (*Stored)[each.Path] = *stored;
                continue;
            }
            // Written where nothing was: a copy the listing shows cut is not left behind.
            if (cut && result.Ok()) files_.DeleteFile(each.Path);
            const VerbResult failed =
                result.Ok() ? VerbResult::Failed(Outcome::Refused, each.Path, kNotStored)
                            : VerbResult::Failed(result.What, each.Path);
            state_.Host.Failed(failed.Message());
            state_.NotMoved.Add(failed);
            state_.Tally.NotStored(each.Size);
            ++missing;
        }
    }
    return missing;
}

VerbResult TDeviceVerbs::NewFile(const std::string& Path) {
    if (VerbResult refused = Sendable(Path); !refused.Ok()) return refused;
    DeviceDirEntry entry;
    const VerbResult found = Find(Path, entry);
    if (found.Ok())
        return IsDirectory(entry) ? VerbResult::Failed(Outcome::IsDirectory, Path) : found;
    if (found.What != Outcome::NoSuchFile) return found;
    return Write(Path, std::string(), true, TargetState::Absent);
}

VerbResult TDeviceVerbs::Delete(const std::string& Path, bool Directory) {
    if (VerbResult refused = Sendable(Path); !refused.Ok()) return refused;
    if (VerbResult other = SameDevice(Path); !other.Ok()) return other;
    const bool done = Directory ? files_.WipeDirectory(Path) : files_.DeleteFile(Path);
    return done ? VerbResult::Done(Path) : Failure(Path, Outcome::Refused);
}

VerbResult TDeviceVerbs::MakeDirectory(const std::string& Path) {
    if (VerbResult refused = Sendable(Path); !refused.Ok()) return refused;
    if (VerbResult other = SameDevice(Path); !other.Ok()) return other;
    return files_.MakeDirectory(Path) ? VerbResult::Done(Path) : Failure(Path, Outcome::Refused);
}

VerbResult TDeviceVerbs::MakeDirectories(const std::string& Path) {
    // A directory the device lists already, or one it lists after refusing to make it (made
    // meanwhile), is no failure.
    const auto listedDir = [this](const std::string& step, VerbResult& result) {
        if (step.empty()) return true;
        DeviceDirEntry entry;
        result = Find(step, entry);
        return result.Ok() && IsDirectory(entry);
    };
    for (size_t at = 1; at <= Path.size(); ++at) {
        if (at < Path.size() && Path[at] != '/') continue;
        const std::string step = Path.substr(0, at);
        VerbResult found;
        if (listedDir(step, found)) continue;
        if (found.What != Outcome::NoSuchFile && !found.Ok()) return found;
        const VerbResult made = MakeDirectory(step);
        if (made.Ok()) continue;
        if (made.What == Outcome::DeviceGone || !listedDir(step, found)) return made;
    }
    return VerbResult::Done(Path);
}

VerbResult TDeviceVerbs::Rename(const std::string& Path, const std::string& NewName) {
    if (VerbResult refused = Sendable(Path, NewName); !refused.Ok()) return refused;
    if (VerbResult other = SameDevice(Path); !other.Ok()) return other;
    return files_.RenameFile(Path, NewName) ? VerbResult::Done(Path)
                                            : Failure(Path, Outcome::Refused);
}

VerbResult TDeviceVerbs::EditorRead(const std::string& Path, std::string& Plain, bool& CrLf,
                                    std::string& NotEditable) {
    std::string bytes;
    NotEditable.clear();
    const VerbResult read = Read(Path, bytes);
    if (!read.Ok()) return read;
    if (!SplitEditorText(bytes, Plain, CrLf, NotEditable)) Plain.clear();
    return read;
}

VerbResult TDeviceVerbs::EditorWrite(const std::string& Path, const std::string& Plain, bool CrLf) {
    // The editor's file was read from the device: it is there to be replaced.
    return Write(Path, JoinEditorText(Plain, CrLf), true, TargetState::File);
}

} // namespace kv
