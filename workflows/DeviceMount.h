// A device folder as a PC folder: the calls of a file system, answered with the device verbs.
// Files move whole, as the device moves them: a file is fetched once, when first read, and kept
// while its listed size and stamps stay the same; what a program writes is collected and sent whole
// when the file is closed or synced, and that call returns only once the device took it. A write
// that fails is kept in a recovery folder, named in the log, so that nothing typed is lost.
// Listings are kept for a short time; a change made here updates the listing it touched with what
// the device confirmed, or drops it when the device left it unknown. While the device is away
// every call fails with EIO, and the held device (the same serial number) is looked for again.
//
// Paths are those of the mounted folder: "/" is DEVICE_DIR itself, names in UTF-8. Each call
// returns 0 (or a byte count) on success, a negative errno value otherwise. No FUSE in here: the
// front end's glue passes the kernel's calls on.
#pragma once

#include "DeviceWork.h"

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace kv {

struct MountAttr {
    bool Directory = false;
    bool ReadOnly = false;
    uint64_t Size = 0;
    std::time_t Modified = 0;
};

struct MountEntry {
    std::string Name; // UTF-8
    MountAttr Attr;
};

// A write the device did not take, as the recovery folder keeps it for the device it was meant
// for: its content, and what the device held at its path when the program began the write.
struct KeptWrite {
    std::filesystem::path Content; // the kept content
    std::filesystem::path Record;  // beside it: what this struct says
    std::string Serial;            // the device's serial number (8-bit)
    std::string Path;              // the device path it was meant for (8-bit)
    enum class Base { Absent, File, Unknown } Had = Base::Unknown;
    DeviceDirEntry Was; // the file there then, when Had is File
};

// The writes the recovery folder keeps for the device of serial number Serial, oldest first.
std::vector<KeptWrite> KeptWrites(const std::filesystem::path& Recovery, const std::string& Serial);

// Sends a kept write where it was meant to go, through the same replace as every write, once a
// fresh listing shows that nothing newer is there: the name absent, or the file the program
// had (the same size and stamps). Done: sent, and the kept content and its record removed.
// Refused, with the reason, when the device holds something else there now; nothing is sent.
VerbResult ResendKept(TDeviceWork& Work, const KeptWrite& Kept);

class TDeviceMount {
  public:
    // Root: the device directory shown (8-bit, "" for the device's root). Recovery: the folder
    // that keeps writes the device did not take (made when first needed).
    TDeviceMount(TDeviceWork& work, std::string Root, std::filesystem::path Recovery);
    // What is still unsent goes to the recovery folder.
    ~TDeviceMount();
    TDeviceMount(const TDeviceMount&) = delete;
    TDeviceMount& operator=(const TDeviceMount&) = delete;

    // Handle: an open file's, or 0. StampOnly: the caller needs no fresh stamp (a chmod or
    // utimens only asks whether the file is there).
    int GetAttr(const std::string& Path, MountAttr& Attr, uint64_t Handle = 0,
                bool StampOnly = false);
    int ReadDir(const std::string& Path, std::vector<MountEntry>& Entries);
    // Flags as open(2) takes them (O_ACCMODE, O_TRUNC). Every open of one file shares one
    // content; the last close sends it when no flush did.
    int Open(const std::string& Path, int Flags, uint64_t& Handle);
    // O_EXCL fails with EEXIST where the device lists the name; without it, a file the device
    // lists is opened (emptied only with O_TRUNC).
    int Create(const std::string& Path, int Flags, uint64_t& Handle);
    int Read(uint64_t Handle, char* Buffer, size_t Size, int64_t Offset);
    int Write(uint64_t Handle, const char* Data, size_t Size, int64_t Offset);
    int Truncate(const std::string& Path, int64_t Size, uint64_t Handle = 0);
    // Sends the handle's content when it changed; returns once the device took it.
    int Flush(uint64_t Handle);
    int Release(uint64_t Handle);
    int Unlink(const std::string& Path);
    int MakeDirectory(const std::string& Path);
    // Only an empty directory, as the device lists it now.
    int RemoveDirectory(const std::string& Path);
    // Within one directory with the device's rename, over an existing file or empty directory;
    // EXDEV elsewhere, so that programs copy instead.
    int Rename(const std::string& From, const std::string& To, bool NoReplace = false);

    // How long a listing is kept, in milliseconds.
    int64_t ListingMs = 5000;
    // Opens the held device again when it has gone (tried at most once a second); by default
    // the link's Connect and a fresh prompt.
    std::function<bool()> Reconnect;
    // A line (UTF-8) for the log: the device gone and back, a write kept for recovery.
    std::function<void(const std::string&)> Log;
    // The device's serial number (8-bit), written with each kept write for kvb mount --resend.
    std::string Serial;
    // What went to the device: listings made, files fetched, files stored.
    int Listings = 0, Fetches = 0, Stores = 0;

  private:
    struct Listing {
        std::vector<DeviceDirEntry> Entries;
        int64_t AtMs = 0;
    };
    struct Cached {
        DeviceDirEntry Listed; // as the listing showed it when the content was taken
        std::string Content;
    };
    struct OpenFile {
        std::string Path; // device path
        std::string Content;
        bool Loaded = false;
        bool Dirty = false;
        bool Gone = false;   // unlinked while open: nothing is sent
        bool TooBig = false; // a write went past the largest file: nothing is sent
        std::time_t AtS = 0; // when a program last changed it here
        TargetState OnDevice = TargetState::Unknown;
        std::filesystem::path Kept; // where a failed write was kept
    };

    TDeviceWork& work_;
    std::string root_;
    std::filesystem::path recovery_;
    std::map<std::string, Listing> listings_;
    std::map<std::string, Cached> contents_;
    std::map<uint64_t, std::shared_ptr<OpenFile>> open_; // handles; one file per path
    std::set<std::string> stampDue_; // files sent whose listed stamps are made up
    std::set<std::string> madeHere_; // folders this mount made
    uint64_t nextHandle_ = 1;
    int64_t lastReconnectMs_ = -1;
    bool away_ = false;
    std::time_t started_;

    // The device path of a mount path; false when it cannot be one (not the device's text).
    bool DevicePathOf(const std::string& Path, std::string& Device) const;
    // True when the device is there, after looking for it again when it was not.
    bool Online();
    int ErrorOf(const VerbResult& Result);
    // The directory's listing, fresh within ListingMs (or fetched now when Fresh).
    int Listed(const std::string& Dir, const Listing*& Out, bool Fresh = false);
    // The entry at Path from its parent's listing: 0, -ENOENT or the listing's error.
    int Lookup(const std::string& Path, DeviceDirEntry& Entry);
    OpenFile* Handle(uint64_t Handle);
    OpenFile* OpenOn(const std::string& Path);
    std::shared_ptr<OpenFile> SharedOn(const std::string& Path);
    int Load(OpenFile& File);
    // Sends File's content when it changed (see Flush).
    int Send(OpenFile& File);
    // The listing of Path's parent, if kept, now shows Entry (or nothing of that name).
    void UpdateListing(const std::string& Path, const DeviceDirEntry* Entry);
    void DropListing(const std::string& Dir);
    void DropBelow(const std::string& Dir);
    void KeepForRecovery(OpenFile& File, const std::string& Why);
    // What the device held at Path as far as the mount knows: the file a program read or the
    // listing showed, nothing (a file made here), or not known.
    KeptWrite::Base HadAt(const OpenFile& File, DeviceDirEntry& Was) const;
    // What is kept of from (its content, open files, what is below it) is now at to.
    void Moved(const std::string& from, const std::string& to);
    static MountAttr AttrOf(const DeviceDirEntry& Entry);
};

} // namespace kv
