// The device verbs: every change and every read the window and kvb make of the device's files, one
// function each with a typed result that says what happened, and the one way a file is replaced.
// The other jobs (Save to PC, uploads, the sync, the mount) reach the device through these.
#pragma once

#include "WorkState.h"
#include "files/kvbFiles.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace kv {

// The directory part of a device path ("" for the root), its last name, a name joined to a
// directory ("" for the root), and whether Path lies below the directory Dir.
std::string DeviceParentOf(const std::string& Path);
std::string DeviceLeafOf(const std::string& Path);
std::string DeviceJoin(const std::string& Dir, const std::string& Name);
bool DeviceBelow(const std::string& Path, const std::string& Dir);

// The entry of Entries named Name: the one of that very name, or else the one whose name differs
// from it only in ASCII case (a device may fold case); none when there is neither, or several.
const DeviceDirEntry* EntryNamed(const std::vector<DeviceDirEntry>& Entries,
                                 const std::string& Name);

// Whether a device name is that of a copy a replacement writes beside the file it replaces
// ("NAME.kvbnew", or with a number after it when that name was taken). Such copies are no file
// of a folder: sync and the mount leave them out.
bool IsBesideCopyName(const std::string& Name);

// What stands at a device path a write goes to, as far as the caller knows.
enum class TargetState { Unknown, Absent, File };

class TDeviceVerbs {
  public:
    TDeviceVerbs(TkvbFiles& files, TWorkState& state);
    TDeviceVerbs(const TDeviceVerbs&) = delete;
    TDeviceVerbs& operator=(const TDeviceVerbs&) = delete;

    // The entries of Dir as the device lists them, without "."; Entries holds what was parsed
    // when a malformed line raises "'%s' is not a valid integer value".
    VerbResult List(const std::string& Dir, std::vector<DeviceDirEntry>& Entries);
    // The entry of Path in its parent's listing (the root is a directory).
    VerbResult Find(const std::string& Path, DeviceDirEntry& Entry);
    // The whole content of a device file.
    VerbResult Read(const std::string& Path, std::string& Content);
    // Creates or replaces a device file; with Confirm, the device's listing afterwards must show
    // it with its length (the device gives no defined reply of its own after the content).
    // Target says what a whole listing just now showed at Path: nothing (the content goes
    // straight to its name, as there is nothing to lose), or a file (it gives up its name at once
    // for the new one written beside it). Unknown: written beside and renamed into place.
    VerbResult Write(const std::string& Path, const std::string& Content, bool Confirm = true,
                     TargetState Target = TargetState::Unknown);
    // Stores Content at Path as Write does, done once the device confirmed it after the content
    // (or, when it said nothing, listed it whole), without a listing afterwards.
    VerbResult WriteWhole(const std::string& Path, const std::string& Content, TargetState Target);
    // A replacement in two steps, for a caller that lists the folder between them: ChooseBeside
    // picks a name for the copy that the folder's listing (the one just taken, or a fresh one)
    // shows free, which BesideOf(Path) then gives; WriteBeside stores Content whole under it (a
    // cut copy is not left behind); PutInPlace
    // then gives it Path's name (OldFileListed: a whole listing just showed a file at Path, which
    // goes first), as Write does, or DropBeside removes it.
    static std::string BesideName(const std::string& Path);
    // The name the replacement of Path went beside under: BesideName, or the one a replace chose
    // because a file of that name was there.
    std::string BesideOf(const std::string& Path) const;
    VerbResult ChooseBeside(const std::string& Path);
    VerbResult WriteBeside(const std::string& Path, const std::string& Content);
    VerbResult PutInPlace(const std::string& Path, bool OldFileListed);
    // Gives the file Source, in Path's folder, Path's name, in place of the file there as a
    // rename(2) does: the one way a file takes another's place, for PutInPlace and the mount.
    // A result the rename gave late or not at all is decided by a fresh listing; a read-only
    // file there is not replaced. SourceIsCopy: Source is a replacement's copy, deleted when it
    // cannot take the name; otherwise it is left as it is.
    VerbResult PlaceOver(const std::string& Source, const std::string& Path, bool OldFileListed,
                         bool SourceIsCopy);
    void DropBeside(const std::string& Path);
    // An empty file, unless Path exists already (then nothing is sent and the result is done).
    VerbResult NewFile(const std::string& Path);
    VerbResult Delete(const std::string& Path, bool Directory);
    VerbResult MakeDirectory(const std::string& Path);
    VerbResult Rename(const std::string& Path, const std::string& NewName);
    // Refused, with the reason, when Path (or NewName, as a name) cannot go into a device command
    // line; done otherwise. Every verb asks first: nothing of such a command is sent.
    VerbResult Sendable(const std::string& Path, const std::string& NewName = {}) const;
    // OtherDevice when the link holds a device (TDeviceHold) and another is open, or is attached
    // while the held one is not; done otherwise. Every changing verb asks first.
    VerbResult SameDevice(const std::string& Path);
    // For a tree walk: true when Path cannot be sent, after naming it in NotMoved and to the
    // host; the walk then skips it (and what is below it) and goes on.
    bool SkipUnsendable(const std::string& Path);
    // The editor's read: the file as editor lines (LF), when it can come back byte for byte;
    // otherwise done with NotEditable saying why.
    VerbResult EditorRead(const std::string& Path, std::string& Plain, bool& CrLf,
                          std::string& NotEditable);
    // The editor's write-back of edited lines in the file's own line ends.
    VerbResult EditorWrite(const std::string& Path, const std::string& Plain, bool CrLf);
    // Each directory on the way to Path (Path too) that the device does not list, made in turn;
    // one the device lists already is no failure. Done, or the first failure.
    VerbResult MakeDirectories(const std::string& Path);

    // Uploads not confirmed yet (see Write without Confirm): each is looked up in one listing of
    // its directory; the missing ones are reported and counted in NotMoved. Returns how many.
    // Stored, when given, receives the listed entry of each upload that is there whole, by its
    // path.
    int ConfirmUploads(std::map<std::string, DeviceDirEntry>* Stored = nullptr);

    // Whether the link is up.
    bool Connected() const;
    // True when the link is down, which then counts in NotMoved (once) as the device gone.
    bool LinkLost(const std::string& Where);
    // Opens the link again and brings the console to a prompt.
    bool Reconnect();

    // Whether a listing finishes a replacement that was cut short (see FinishCutReplaces); off
    // while a sync only says what it would do.
    bool FinishReplaces = true;

  private:
    TkvbFiles& files_;
    TWorkState& state_;
    // Why a command that failed did not do its work: the link, the device's reply, or Otherwise.
    VerbResult Failure(const std::string& Path, Outcome Otherwise);
    // Why a listing did not come: the link, silence, or the device's words, which mean "no such
    // folder" only when the parent's whole listing shows nothing of that name.
    VerbResult NotListed(const std::string& Dir);
    // One write of Content to Path, done only when the device confirmed it or listed it whole.
    // When not done, cutCopy_ says whether what the device may hold at Path is known not to be
    // the content (refused in its result format, cut on the way, or listed otherwise); a copy
    // that may be whole is never deleted; storeUndecided_, that the content went and nothing
    // tells whether the device holds it whole.
    VerbResult Store(const std::string& Path, const std::string& Content);
    // Stores Content under Path without ever leaving a cut file in the old one's place: written
    // beside it first and renamed into place when whole.
    VerbResult Replace(const std::string& Path, const std::string& Content, bool OldFileListed);
    // The content straight to Path, where nothing was; a cut copy is not left behind.
    VerbResult Create(const std::string& Path, const std::string& Content);
    // The last whole listing, for a lookup in the same folder right after it: with nothing sent
    // to the device since and within a moment, the listing still shows what is there.
    struct Listed {
        std::string Dir;
        std::vector<DeviceDirEntry> Entries;
        uint64_t Sends = 0;
        int64_t AtMs = 0;
        bool Valid = false;
    };
    Listed listed_;
    bool cutCopy_ = false;
    std::map<std::string, std::string> besideOf_; // Path -> the beside name chosen for it
    std::set<std::string> besideInUse_;           // beside copies being written or placed
    bool storeUndecided_ = false;
    bool deferListing_ = false; // Store leaves an unconfirmed write to ConfirmUploads
    const std::vector<DeviceDirEntry>* JustListed(const std::string& Dir) const;
    // Whether the listing of Path's folder just taken shows Path as a read-only file.
    bool ListedReadOnly(const std::string& Path) const;
    // Gives the copy a cut replacement left beside a name that is missing in Entries its name.
    void FinishCutReplaces(const std::string& Dir, std::vector<DeviceDirEntry>& Entries);
    struct Upload {
        std::string Path;
        size_t Size;
    };
    std::vector<Upload> Unconfirmed;
};

// A job built on the verbs (Save to PC, uploads): it reaches the device through them alone and
// keeps its counts in the work's state.
class TVerbsJob {
  public:
    TVerbsJob(const TVerbsJob&) = delete;
    TVerbsJob& operator=(const TVerbsJob&) = delete;

  protected:
    TVerbsJob(TDeviceVerbs& verbs, TWorkState& state) : verbs_(verbs), state_(state) {}
    ~TVerbsJob() = default;
    TDeviceVerbs& verbs_;
    TWorkState& state_;
};

} // namespace kv
