// The workflows that both front ends run: copying device files and trees to the PC, uploads with
// the proper-place rule, and the firmware sequence. They drive the device only through the file
// service and report through the host (messages, questions, progress, cancel).
#pragma once

#include "TransferTally.h"
#include "VerbResult.h"
#include "WorkHost.h"
#include "files/kvbFiles.h"

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kv {

// The directory part of a device path ("" for the root) and its last name.
std::string DeviceParentOf(const std::string& Path);
std::string DeviceLeafOf(const std::string& Path);

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

class TDeviceWork {
  public:
    TDeviceWork(TkvbFiles& files, IWorkHost& host);
    TDeviceWork(const TDeviceWork&) = delete;
    TDeviceWork& operator=(const TDeviceWork&) = delete;

    // ---- the device verbs: one function each, for the window and kvb alike ----
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

    // Uploads not confirmed yet (see UploadFile): each is looked up in one listing of its
    // directory; the missing ones are reported and counted in NotMoved. Returns how many. Stored,
    // when given, receives the listed entry of each upload that is there whole, by its path.
    int ConfirmUploads(std::map<std::string, DeviceDirEntry>* Stored = nullptr);

    // ---- Save to PC ----
    // Files written by this Save to PC so far (the count the window shows).
    int SavedCount = 0;
    // What was not moved or loaded whole: the path, why, and the outcome. The window leaves them
    // out silently (its listing afterwards is the user's feedback); kvb reports them and fails
    // with the status their outcomes give.
    TNotMoved NotMoved;
    // What the transfer under way has moved: Save to PC begins it; uploads count in it once
    // their caller has begun it.
    TTransferTally Tally;
    // Set when a cancel was honoured; the work stopped at a safe point.
    bool Cancelled = false;
    // Files that exist on the PC already are kept as they are (kvb get --no-clobber).
    bool NoClobber = false;
    // Whether a listing finishes a replacement that was cut short (see FinishCutReplaces); off
    // while a sync only says what it would do.
    bool FinishReplaces = true;

    // Starts a new Save to PC: the count, the failures and the cancel state start afresh.
    void BeginSave();
    // Writes one downloaded file (see WritePcFile) and counts it.
    bool SaveToPcFile(const std::filesystem::path& PcPath, const std::string& Content,
                      const std::optional<DateTime>& Stamp);
    // Downloads one file of DeviceFolder into PcFolder under its own name.
    bool SaveFileToPc(const std::filesystem::path& PcFolder, const std::string& DeviceFolder,
                      const DeviceDirEntry& Entry);
    // The tree DeviceFolder/DirName into PcFolder/DirName: its files, then each subtree in
    // listing order. Names that would leave the folder are refused with a message.
    void SaveDirectoryToPc(const std::filesystem::path& PcFolder, const std::string& DeviceFolder,
                           const std::string& DirName);
    // Save to PC of a selection of DeviceFolder: first its files, then its directory trees.
    void SaveToPc(const std::filesystem::path& PcFolder, const std::string& DeviceFolder,
                  const std::vector<DeviceDirEntry>& Files, const std::vector<std::string>& Dirs);

    // ---- uploads ----
    // The device path a file named Name (8-bit) belongs in when dropped into Base (a device
    // directory with its trailing "/"), or empty when it has no proper place there.
    static std::string ProperPlace(const std::string& Base, const std::string& Name);
    // Uploads one PC file into Base (with its trailing "/"), or into its proper place. A file the
    // device did not take is reported in the terminal and the result is false.
    bool UploadFile(const std::filesystem::path& PcPath, const std::string& Base, bool Proper);
    // Uploads one PC file to the device path Target, saying so in the terminal as UploadFile does.
    bool UploadFileTo(const std::filesystem::path& PcPath, const std::string& Target,
                      TargetState There = TargetState::Unknown);
    // The PC entries among Children whose names differ from another's only in ASCII case: the
    // device may take them for one (as a FAT volume does), so neither goes.
    static std::set<std::filesystem::path>
    CaseTwins(const std::vector<std::filesystem::directory_entry>& Children);
    // For a tree walk: true when the PC entry Child is one of such twins, after naming it (as
    // DevicePath) in NotMoved and to the host; the walk then leaves it out.
    bool SkipCaseTwin(const std::set<std::filesystem::path>& Twins,
                      const std::filesystem::path& Child, const std::string& DevicePath);
    // Uploads the PC folder PcDir with all it holds as the device directory DeviceDir (made
    // where the device lists none), its files counted in the tally as they are found. Links to
    // folders are not followed and no folder is entered twice; what is left out is said.
    void UploadTree(const std::filesystem::path& PcDir, const std::string& DeviceDir);

    // ---- firmware ----
    // Starts the images after loading them; kvb's --no-run turns it off.
    bool RunAfterFirmware = true;
    // Takes the ".blf" files out of Files and loads them: into the boot loader when needed, each
    // image with its load, verify and burn phases, the second restart for a boot-loader image,
    // then "run".
    bool LoadDroppedFirmware(std::vector<std::filesystem::path>& Files);
    // Restarts the device into its boot loader and waits for it (at most 15 attempts a second).
    bool EnterBootLoader();
    // Sends one image to the boot loader and follows its load, verify and burn phases, showing
    // what it says. Not Done when the image was refused or stopped, a phase said it failed or
    // ended without an answer in time, or the link went down; a bold line names the phase.
    VerbResult UploadBlfFile(const std::filesystem::path& FileName);
    // Hands one image (Name without a directory) to a waiting boot loader and says whether it was
    // taken. Said receives the boot loader's words: its answer after the content, or the line it
    // gave instead of asking for it.
    VerbResult SendImage(const std::string& Name, const std::string& Content, std::string& Said);
    // One line (8-bit) for an image the boot loader did not take: its name, the phase and why.
    static std::string NotTaken(const VerbResult& Result);
    // After "run": waits, as EnterBootLoader does, until the device is back in its application.
    bool WaitForApplication();

    // True (and said once) when the user asked to stop; called at the safe points only.
    bool StopHere();

    TkvbFiles& Files;
    TkvTerminal& Terminal;
    TkvComms& Comms;
    IWorkHost& Host;

  private:
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
    void SaveSelection(const std::filesystem::path& PcFolder, const std::string& DeviceFolder,
                       const std::vector<DeviceDirEntry>& Selected,
                       const std::vector<std::string>& Dirs);
    bool Unsafe(const std::string& Name, const std::string& Where);
    // True, after naming it, when Name differs only in case from a name of Saved (lower-cased
    // name -> the name saved) that PcFolder already holds under Name as well.
    bool FoldedOnPc(const std::filesystem::path& PcFolder, const std::string& DeviceFolder,
                    const std::string& Name, std::map<std::string, std::string>& Saved);
    // True when the link is down, which then counts in NotMoved (once) as the device gone.
    bool LinkLost(const std::string& Where);
    bool WaitForRestart(bool BootLoader);
    // InNew: DeviceDir's parent was made just now, so nothing is there yet.
    void UploadTreeOnce(const std::filesystem::path& PcDir, const std::string& DeviceDir,
                        std::set<std::filesystem::path>& Entered, bool InNew = false);
};

} // namespace kv
