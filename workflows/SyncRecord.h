// What a sync knows between runs, and how it decides per file. The device stamps files with its
// own clock and has no checksum command, so each side is compared only with itself: the record
// keeps, per synced file, the PC side's size, time and SHA-256 and the device side's size and
// stamp as the device listed them after the transfer. It lives on the PC, one file per device
// serial and folder pair.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kv {

struct SyncedFile {
    uint64_t PcSize = 0;
    int64_t PcTime = 0;      // the file system's own ticks
    std::string PcHash;      // SHA-256, hex
    int64_t DeviceSize = 0;  // as listed
    std::string DeviceStamp; // as listed, "YYYY-MM-DD hh:mm:ss", empty when it had none
};

// A folder pair that was synced before with one device, as its record names it.
struct SyncPair {
    std::filesystem::path PcFolder;
    std::string DeviceFolder;             // 8-bit, without a trailing "/"; "" is the root
    std::filesystem::file_time_type Used; // when its record was last written
};

class TSyncRecord {
  public:
    // Files by their path relative to the pair's folders ("/"-separated, the device's 8-bit names).
    std::map<std::string, SyncedFile> Files;
    // What of the file Load read was not taken, or empty: it did not start as a record, or lines
    // were damaged. What it does not name whole is compared as never synced.
    std::string Damage;

    // The record's file for one device and folder pair, under the user's state folder. Its name
    // is a digest of the three, so nothing the device says can choose a PC path. The folders are
    // taken as what they are, not as spelled: the PC folder canonical (links resolved, no
    // trailing separator), the device folder without a trailing "/".
    static std::filesystem::path FileFor(const std::filesystem::path& StateFolder,
                                         const std::string& Serial,
                                         const std::filesystem::path& PcFolder,
                                         const std::string& DeviceFolder);
    // The file the same pair's record had in earlier versions, which took the PC folder as
    // spelled (made absolute): read while FileFor's is not there yet.
    static std::filesystem::path EarlierFileFor(const std::filesystem::path& StateFolder,
                                                const std::string& Serial,
                                                const std::filesystem::path& PcFolder,
                                                const std::string& DeviceFolder);
    // The PC folder as FileFor takes it.
    static std::filesystem::path CanonicalFolder(const std::filesystem::path& PcFolder);
    // Reads File; a missing file is an empty record, and so is one this program did not write
    // (a sync without a record asks before it overwrites anything), which Damage then says, as
    // it says how many lines were damaged. Raises EPcFileError when it cannot be read.
    void Load(const std::filesystem::path& File);
    // Reads File, or Earlier while there is no File yet (the next Save writes File).
    void Load(const std::filesystem::path& File, const std::filesystem::path& Earlier);
    // The pairs that have a record for the device Serial under StateFolder, the latest used
    // first: each read from its record's first line (as SyncPairOptions writes it), and taken
    // only when that pair's record is that very file, so a line that was changed or does not
    // name its folders exactly is passed over.
    static std::vector<SyncPair> PairsOf(const std::filesystem::path& StateFolder,
                                         const std::string& Serial);
    // Writes the record beside File and puts it in place whole (WritePcFile).
    void Save(const std::filesystem::path& File, const std::string& About) const;
};

// ---- deciding per file ----

// Where one side of a file stands against the record.
enum class SideState {
    Absent,
    Unchanged, // as recorded
    Changed,   // not as recorded
    Unknown,   // present, but there is no record of it
};

enum class SyncAction { Send, Delete, Skip };

enum class SyncReason {
    New,        // not at the target
    Changed,    // changed since the last sync, or differs without a record
    Unchanged,  // nothing to do
    Conflict,   // changed at the target since the last sync, or different and never synced
    Ignored,    // matched by the ignore rules
    Extra,      // only at the target (deleted with --delete)
    UnsafeName, // a name that cannot be used on the other side
    Link,       // a link to a PC folder: not followed
};

// Which side a conflict goes to (--force).
enum class SyncWinner { None, Pc, Device };

// Which side changed a file that is sent or in conflict.
enum class SyncChange {
    None,
    AtSource, // since the last sync, at the side that is sent from
    AtTarget, // since the last sync, at the side that is sent to
    OnBoth,   // on both sides since the last sync
    NoRecord, // the two differ, and the pair was never synced
};

struct SyncDecision {
    SyncAction Action = SyncAction::Skip;
    SyncReason Reason = SyncReason::Unchanged;
    bool Unresolved = false; // a conflict that no --force settled
    SyncChange Change = SyncChange::None;
};

// The change in the user's words, naming the side ("changed on the device since the last
// sync"); Up: the PC is the source. Empty for None.
std::string ChangeText(SyncChange Change, bool Up);

struct SyncRules {
    bool DeleteExtra = false; // --delete
    bool SourceWins = false;  // --force chose the side that is sent from
    bool TargetWins = false;  // --force chose the side that is sent to
};

// The decision for one file from where its source and target sides stand. Equal says, for a
// file present on both sides without a record, whether the contents are known to be the same
// (sizes differ: false; compared: the result; otherwise none). Nothing the target changed since
// the last sync, and nothing that differs without a record, is sent over unless the rules say
// the source wins: it is a conflict.
SyncDecision DecideSync(SideState Source, SideState Target, std::optional<bool> Equal,
                        const SyncRules& Rules);

const char* ActionName(SyncAction Action);
const char* ReasonName(SyncReason Reason);

} // namespace kv
