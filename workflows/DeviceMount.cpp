#include "DeviceMount.h"

#include "PcFiles.h"
#include "device/Clock.h"
#include "device/DeviceText.h"
#include "device/Errors.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>

#ifndef O_ACCMODE
#define O_ACCMODE (O_RDONLY | O_WRONLY | O_RDWR)
#endif

namespace kv {

namespace fs = std::filesystem;

namespace {

// The largest file a program may build up in the mount: the device's files are small, and each
// is held whole in memory while it is written.
constexpr size_t kLargestFile = size_t(64) << 20;
// A listing older than this is not taken to show that a name is free for a new file: the
// device's own programs may have made it since.
constexpr int64_t kMomentMs = 1000;
// Contents kept for reading again, in all.
constexpr size_t kContentCache = size_t(64) << 20;

// A name from the device that can be shown as one entry of a PC folder.
bool Showable(const std::string& Name) {
    return !Name.empty() && Name != "." && Name != ".." &&
           Name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

// The PC's local time now, as the device keeps its stamps.
std::tm LocalNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    return local;
}

bool SameStamps(const DeviceDirEntry& A, const DeviceDirEntry& B) {
    return A.Size == B.Size && A.Created == B.Created && A.Stamp2 == B.Stamp2 &&
           A.Stamp3 == B.Stamp3 && IsDirectory(A) == IsDirectory(B);
}

// What a file the device confirmed now is, as far as this mount knows: its size; its stamps
// are the device's own only once listed again.
DeviceDirEntry EntrySentNow(const std::string& Path, size_t Size) {
    DeviceDirEntry entry;
    entry.Name = DeviceLeafOf(Path);
    entry.Size = static_cast<int32_t>(Size);
    entry.Attr = faArchive;
    // Until the device lists it, the time it was sent, never 1970.
    const std::tm local = LocalNow();
    entry.Created = DateTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                             local.tm_hour,        local.tm_min,     local.tm_sec};
    return entry;
}

std::string NowText(const char* format) {
    const std::tm local = LocalNow();
    char text[32];
    std::strftime(text, sizeof text, format, &local);
    return text;
}

} // namespace

TDeviceMount::TDeviceMount(TDeviceWork& work, std::string Root, fs::path Recovery)
    : work_(work), root_(std::move(Root)), recovery_(std::move(Recovery)),
      started_(std::time(nullptr)) {
    Reconnect = [this] { return work_.Verbs.Reconnect(); };
}

TDeviceMount::~TDeviceMount() {
    for (auto& [handle, file] : open_)
        if (file->Dirty && !file->Gone && !file->TooBig && file->Kept.empty())
            KeepForRecovery(*file, "the mount ended before it was sent");
}

bool TDeviceMount::DevicePathOf(const std::string& Path, std::string& Device) const {
    std::string bytes;
    if (!Utf8ToLatin1(Path, bytes)) return false;
    while (!bytes.empty() && bytes.back() == '/')
        bytes.pop_back();
    if (!bytes.empty() && bytes[0] != '/') bytes.insert(bytes.begin(), '/');
    Device = root_ + bytes;
    return true;
}

bool TDeviceMount::Online() {
    if (work_.Verbs.Connected()) return true;
    if (!away_) {
        away_ = true;
        if (Log) Log("the device is gone: calls fail with EIO until it is back");
    }
    const int64_t now = Clock().NowMs();
    if (lastReconnectMs_ >= 0 && now - lastReconnectMs_ < 1000) return false;
    lastReconnectMs_ = now;
    if (!Reconnect || !Reconnect()) return false;
    away_ = false;
    listings_.clear();
    if (Log) Log("the device is back");
    return true;
}

int TDeviceMount::ErrorOf(const VerbResult& Result) {
    switch (Result.What) {
    case Outcome::Done:
        return 0;
    case Outcome::NoSuchFile:
        return -ENOENT;
    case Outcome::IsDirectory:
        return -EISDIR;
    case Outcome::Cancelled:
        return -EINTR;
    case Outcome::DeviceGone:
        Online(); // says so, once
        return -EIO;
    case Outcome::Refused:
    case Outcome::NotWhole:
    case Outcome::PcFileError:
    case Outcome::OtherDevice:
        break;
    }
    return -EIO;
}

int TDeviceMount::Listed(const std::string& Dir, const Listing*& Out, bool Fresh) {
    if (!work_.Verbs.Sendable(Dir).Ok()) return -ENOENT; // no such name can be on the device
    if (!Online()) return -EIO;
    auto it = listings_.find(Dir);
    if (!Fresh && it != listings_.end() && Clock().NowMs() - it->second.AtMs < ListingMs) {
        Out = &it->second;
        return 0;
    }
    Listing listing;
    ++Listings;
    const VerbResult listed = work_.Verbs.List(Dir, listing.Entries);
    if (!listed.Ok()) {
        listings_.erase(Dir);
        if (listed.What == Outcome::Refused && listed.Reply.empty()) return -ENOTDIR;
        return ErrorOf(listed);
    }
    // A copy a replacement wrote beside a file is no file of the folder.
    std::erase_if(listing.Entries, [](const DeviceDirEntry& e) {
        return !Showable(e.Name) || (!IsDirectory(e) && IsBesideCopyName(e.Name));
    });
    std::erase_if(stampDue_, [&](const std::string& due) { return DeviceParentOf(due) == Dir; });
    // Its age counts from when it came whole: a long listing is not stale on arrival.
    listing.AtMs = Clock().NowMs();
    Out = &(listings_[Dir] = std::move(listing));
    return 0;
}

int TDeviceMount::Lookup(const std::string& Path, DeviceDirEntry& Entry) {
    if (Path == root_) {
        Entry = DeviceDirEntry{};
        Entry.Attr = faDirectory;
        return 0;
    }
    const Listing* listing = nullptr;
    if (const int err = Listed(DeviceParentOf(Path), listing)) return err;
    // The device may find a name in any case (see EntryNamed): so does the mount.
    const DeviceDirEntry* found = EntryNamed(listing->Entries, DeviceLeafOf(Path));
    if (!found) return -ENOENT;
    Entry = *found;
    return 0;
}

MountAttr TDeviceMount::AttrOf(const DeviceDirEntry& Entry) {
    MountAttr attr;
    attr.Directory = IsDirectory(Entry);
    attr.ReadOnly = (Entry.Attr & faReadOnly) != 0;
    attr.Size = attr.Directory ? 0 : static_cast<uint64_t>(std::max<int32_t>(0, Entry.Size));
    if (Entry.Created)
        if (const std::time_t t = TimeOf(*Entry.Created); t != static_cast<std::time_t>(-1))
            attr.Modified = t;
    return attr;
}

TDeviceMount::OpenFile* TDeviceMount::Handle(uint64_t Handle) {
    auto it = open_.find(Handle);
    return it == open_.end() ? nullptr : it->second.get();
}

std::shared_ptr<TDeviceMount::OpenFile> TDeviceMount::SharedOn(const std::string& Path) {
    for (auto& [handle, file] : open_)
        if (file->Path == Path && !file->Gone) return file;
    return nullptr;
}

TDeviceMount::OpenFile* TDeviceMount::OpenOn(const std::string& Path) {
    return SharedOn(Path).get();
}

int TDeviceMount::GetAttr(const std::string& Path, MountAttr& Attr, uint64_t Handle,
                          bool StampOnly) {
    if (Path.empty()) {
        // No path: a file unlinked or renamed while open, known by its handle alone.
        const OpenFile* file = Handle ? this->Handle(Handle) : nullptr;
        if (!file) return -ENOENT;
        DeviceDirEntry entry;
        if (!file->Dirty && !file->Gone && file->OnDevice != TargetState::Absent &&
            Lookup(file->Path, entry) == 0) {
            Attr = AttrOf(entry);
            return 0;
        }
        Attr = MountAttr{};
        Attr.Size = file->Content.size();
        Attr.Modified = file->AtS;
        return 0;
    }
    std::string path;
    if (!DevicePathOf(Path, path)) return -ENOENT;
    if (path == root_) {
        Attr = MountAttr{};
        Attr.Directory = true;
        Attr.Modified = started_;
        return 0; // the mount point itself stays a folder while the device is away
    }
    // A file being written is as its writer sees it, also before the device has it.
    OpenFile* file = Handle ? this->Handle(Handle) : OpenOn(path);
    if (file && (file->Dirty || file->OnDevice == TargetState::Absent)) {
        Attr = MountAttr{};
        Attr.Size = file->Content.size();
        Attr.Modified = file->AtS;
        return 0;
    }
    // A file sent from here shows the device's own stamp, as its folder lists it now.
    if (stampDue_.count(path) && !StampOnly) DropListing(DeviceParentOf(path));
    DeviceDirEntry entry;
    if (const int err = Lookup(path, entry)) return err;
    Attr = AttrOf(entry);
    return 0;
}

int TDeviceMount::ReadDir(const std::string& Path, std::vector<MountEntry>& Entries) {
    std::string path;
    if (!DevicePathOf(Path, path)) return -ENOENT;
    const Listing* listing = nullptr;
    if (const int err = Listed(path, listing)) return err;
    Entries.clear();
    for (const auto& entry : listing->Entries)
        Entries.push_back({Latin1ToUtf8(entry.Name), AttrOf(entry)});
    // Files made here and not sent yet.
    for (const auto& [handle, file] : open_) {
        if (file->Gone || file->OnDevice != TargetState::Absent ||
            DeviceParentOf(file->Path) != path)
            continue;
        const std::string name = Latin1ToUtf8(DeviceLeafOf(file->Path));
        if (std::none_of(Entries.begin(), Entries.end(),
                         [&](const MountEntry& e) { return e.Name == name; }))
            Entries.push_back({name, MountAttr{false, false, file->Content.size(), file->AtS}});
    }
    return 0;
}

int TDeviceMount::Open(const std::string& Path, int Flags, uint64_t& Handle) {
    std::string path;
    if (!DevicePathOf(Path, path)) return -ENOENT;
    // Every open of one file shares one content, as a file system's own page cache does: what
    // one descriptor writes, another reads, and the last close sends it all.
    std::shared_ptr<OpenFile> file = SharedOn(path);
    if (!file) {
        DeviceDirEntry entry;
        if (const int err = Lookup(path, entry)) return err;
        if (IsDirectory(entry)) return -EISDIR;
        file = std::make_shared<OpenFile>();
        file->Path = path;
        file->OnDevice = TargetState::File;
    }
    if ((Flags & O_ACCMODE) != O_RDONLY && (Flags & O_TRUNC)) {
        file->Content.clear();
        file->Loaded = true;
        file->Dirty = true;
        file->TooBig = false;
        file->AtS = std::time(nullptr);
    }
    Handle = nextHandle_++;
    open_[Handle] = std::move(file);
    return 0;
}

int TDeviceMount::Create(const std::string& Path, int Flags, uint64_t& Handle) {
    std::string path;
    if (!DevicePathOf(Path, path) || !work_.Verbs.Sendable(path).Ok()) return -EINVAL;
    if (SharedOn(path)) {
        if (Flags & O_EXCL) return -EEXIST;
        return Open(Path, Flags, Handle);
    }
    // The kernel asks to create a name it did not find; the device's own programs may have made
    // it since the listing it looked in. A listing older than a moment is taken afresh, so that
    // their file is neither emptied nor, with O_EXCL, taken for a new one.
    // A folder this mount made holds only what it put there: its listing needs no refresh.
    if (auto kept = listings_.find(DeviceParentOf(path));
        kept != listings_.end() && !madeHere_.count(kept->first) &&
        Clock().NowMs() - kept->second.AtMs > kMomentMs)
        DropListing(DeviceParentOf(path));
    DeviceDirEntry entry;
    const int found = Lookup(path, entry);
    if (found && found != -ENOENT) return found;
    if (!found) {
        if (IsDirectory(entry)) return -EISDIR;
        if (Flags & O_EXCL) return -EEXIST;
        return Open(Path, Flags, Handle);
    }
    auto file = std::make_shared<OpenFile>();
    file->Path = path;
    file->Loaded = true;
    file->Dirty = true;
    file->OnDevice = TargetState::Absent;
    file->AtS = std::time(nullptr);
    Handle = nextHandle_++;
    open_[Handle] = std::move(file);
    return 0;
}

int TDeviceMount::Load(OpenFile& File) {
    if (File.Loaded) return 0;
    DeviceDirEntry entry;
    if (const int err = Lookup(File.Path, entry)) return err;
    if (IsDirectory(entry)) return -EISDIR;
    auto cached = contents_.find(File.Path);
    if (cached != contents_.end() && SameStamps(cached->second.Listed, entry)) {
        File.Content = cached->second.Content;
        File.Loaded = true;
        return 0;
    }
    std::string content;
    ++Fetches;
    const VerbResult read = work_.Verbs.Read(File.Path, content);
    if (!read.Ok()) return ErrorOf(read);
    size_t held = content.size();
    for (const auto& [path, each] : contents_)
        if (path != File.Path) held += each.Content.size();
    if (held > kContentCache) contents_.clear();
    contents_[File.Path] = {entry, content};
    File.Content = std::move(content);
    File.Loaded = true;
    return 0;
}

int TDeviceMount::Read(uint64_t Handle, char* Buffer, size_t Size, int64_t Offset) {
    OpenFile* file = this->Handle(Handle);
    if (!file) return -EBADF;
    if (!file->Loaded && !Online()) return -EIO;
    if (const int err = Load(*file)) return err;
    if (Offset < 0) return -EINVAL;
    if (static_cast<uint64_t>(Offset) >= file->Content.size()) return 0;
    const size_t n = std::min(Size, file->Content.size() - static_cast<size_t>(Offset));
    std::memcpy(Buffer, file->Content.data() + Offset, n);
    return static_cast<int>(n);
}

int TDeviceMount::Write(uint64_t Handle, const char* Data, size_t Size, int64_t Offset) {
    OpenFile* file = this->Handle(Handle);
    if (!file) return -EBADF;
    if (!file->Loaded && !Online()) return -EIO;
    if (const int err = Load(*file)) return err;
    if (Offset < 0) return -EINVAL;
    if (static_cast<uint64_t>(Offset) + Size > kLargestFile) {
        // What the program wrote is not the file it meant: none of it goes to the device.
        file->TooBig = true;
        return -EFBIG;
    }
    const size_t end = static_cast<size_t>(Offset) + Size;
    if (file->Content.size() < end) file->Content.resize(end, '\0');
    std::memcpy(file->Content.data() + Offset, Data, Size);
    file->Dirty = true;
    file->AtS = std::time(nullptr);
    return static_cast<int>(Size);
}

int TDeviceMount::Truncate(const std::string& Path, int64_t Size, uint64_t Handle) {
    if (Size < 0) return -EINVAL;
    if (static_cast<uint64_t>(Size) > kLargestFile) return -EFBIG;
    std::string path;
    if (!DevicePathOf(Path, path)) return -ENOENT;
    OpenFile* file = Handle ? this->Handle(Handle) : OpenOn(path);
    if (file) {
        if (Size != 0 && !file->Loaded && !Online()) return -EIO;
        if (Size == 0) file->Loaded = true; // nothing of the old content is needed
        if (const int err = Load(*file)) return err;
        file->Content.resize(static_cast<size_t>(Size), '\0');
        file->Dirty = true;
        file->AtS = std::time(nullptr);
        return 0;
    }
    // No program has it open: the new length is sent at once.
    uint64_t handle = 0;
    if (const int err = Open(Path, Size == 0 ? O_WRONLY | O_TRUNC : O_WRONLY, handle)) return err;
    int err = Truncate(Path, Size, handle);
    if (!err) err = Flush(handle);
    Release(handle);
    return err;
}

namespace {

std::string StampText(const std::optional<DateTime>& Stamp) {
    if (!Stamp) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%d-%d-%d-%d-%d-%d", Stamp->Year, Stamp->Month, Stamp->Day,
                  Stamp->Hour, Stamp->Minute, Stamp->Second);
    return text;
}

std::optional<DateTime> StampOf(const std::string& Text) {
    DateTime t;
    if (std::sscanf(Text.c_str(), "%d-%d-%d-%d-%d-%d", &t.Year, &t.Month, &t.Day, &t.Hour,
                    &t.Minute, &t.Second) != 6)
        return std::nullopt;
    return t;
}

const char* const kRecordSuffix = ".kvbwait";

} // namespace

KeptWrite::Base TDeviceMount::HadAt(const OpenFile& File, DeviceDirEntry& Was) const {
    if (File.OnDevice == TargetState::Absent) return KeptWrite::Base::Absent;
    if (auto cached = contents_.find(File.Path); cached != contents_.end()) {
        Was = cached->second.Listed;
        return KeptWrite::Base::File;
    }
    if (auto listing = listings_.find(DeviceParentOf(File.Path)); listing != listings_.end())
        if (const DeviceDirEntry* entry =
                EntryNamed(listing->second.Entries, DeviceLeafOf(File.Path))) {
            Was = *entry;
            return KeptWrite::Base::File;
        }
    return KeptWrite::Base::Unknown;
}

std::vector<KeptWrite> KeptWrites(const fs::path& Recovery, const std::string& Serial) {
    std::vector<KeptWrite> kept;
    std::error_code ec;
    for (const auto& item : fs::directory_iterator(Recovery, ec)) {
        if (item.path().extension() != kRecordSuffix) continue;
        std::ifstream in(item.path());
        KeptWrite write;
        write.Record = item.path();
        write.Content = item.path();
        write.Content.replace_extension();
        std::string line;
        while (std::getline(in, line)) {
            const size_t tab = line.find('\t');
            if (tab == std::string::npos) continue;
            const std::string key = line.substr(0, tab), value = line.substr(tab + 1);
            std::string bytes;
            if (key == "serial" && Utf8ToLatin1(value, bytes)) write.Serial = bytes;
            if (key == "path" && Utf8ToLatin1(value, bytes)) write.Path = bytes;
            if (key == "had" && value == "absent") write.Had = KeptWrite::Base::Absent;
            if (key == "had" && value.rfind("file ", 0) == 0) {
                std::istringstream words(value.substr(5));
                std::string created, second, third;
                words >> write.Was.Size >> created >> second >> third;
                write.Was.Created = StampOf(created);
                write.Was.Stamp2 = StampOf(second);
                write.Was.Stamp3 = StampOf(third);
                write.Had = words ? KeptWrite::Base::File : KeptWrite::Base::Unknown;
            }
        }
        if (write.Serial == Serial && !write.Path.empty() && fs::is_regular_file(write.Content, ec))
            kept.push_back(std::move(write));
    }
    std::sort(kept.begin(), kept.end(), [](const KeptWrite& a, const KeptWrite& b) {
        return a.Content.filename() < b.Content.filename();
    });
    return kept;
}

VerbResult ResendKept(TDeviceWork& Work, const KeptWrite& Kept) {
    std::string content;
    try {
        content = ReadPcFile(Kept.Content);
    } catch (const EPcFileError& e) {
        return VerbResult::Failed(Outcome::PcFileError, Kept.Path, e.what());
    }
    std::vector<DeviceDirEntry> entries;
    const VerbResult listed = Work.Verbs.List(DeviceParentOf(Kept.Path), entries);
    if (!listed.Ok() && listed.What != Outcome::NoSuchFile) {
        VerbResult failed = listed;
        failed.Path = Kept.Path;
        return failed;
    }
    if (!listed.Ok()) return VerbResult::Failed(Outcome::NoSuchFile, DeviceParentOf(Kept.Path));
    const DeviceDirEntry* now = EntryNamed(entries, DeviceLeafOf(Kept.Path));
    if (now && IsDirectory(*now)) return VerbResult::Failed(Outcome::IsDirectory, Kept.Path);
    const bool unchanged =
        !now || (Kept.Had == KeptWrite::Base::File && SameStamps(*now, Kept.Was));
    if (!unchanged)
        return VerbResult::Failed(
            Outcome::Refused, Kept.Path,
            Kept.Had == KeptWrite::Base::Absent ? "a file was made there on the device since"
            : Kept.Had == KeptWrite::Base::File
                ? "the file changed on the device since"
                : "the device holds a file there that the mount had not seen");
    const VerbResult sent =
        Work.Verbs.Write(Kept.Path, content, true, now ? TargetState::File : TargetState::Absent);
    if (!sent.Ok()) return sent;
    std::error_code ec;
    fs::remove(Kept.Content, ec);
    fs::remove(Kept.Record, ec);
    return sent;
}

void TDeviceMount::KeepForRecovery(OpenFile& File, const std::string& Why) {
    const std::string leaf = DeviceLeafOf(File.Path);
    const fs::path name = PcNameOf(SafePcName(leaf) ? leaf : std::string("file"));
    std::string line = Latin1ToUtf8(File.Path) + ": not written (" + Why + ")";
    try {
        std::error_code ec;
        fs::path kept;
        for (int n = 1;; ++n) {
            kept = recovery_ / (NowText("%Y%m%d-%H%M%S-") + std::to_string(n) + "-");
            kept += name;
            if (!fs::exists(kept, ec) || n == 1000) break;
        }
        WritePcFile(kept, File.Content, std::nullopt);
        File.Kept = kept;
        // What kvb mount --resend needs: whose it is, where it goes, what it was written over.
        DeviceDirEntry was;
        const KeptWrite::Base had = HadAt(File, was);
        std::string record =
            "serial\t" + Latin1ToUtf8(Serial) + "\npath\t" + Latin1ToUtf8(File.Path) + "\nhad\t";
        if (had == KeptWrite::Base::File)
            record += "file " + std::to_string(was.Size) + ' ' + StampText(was.Created) + ' ' +
                      StampText(was.Stamp2) + ' ' + StampText(was.Stamp3) + "\n";
        else
            record += had == KeptWrite::Base::Absent ? "absent\n" : "unknown\n";
        WritePcFile(fs::path(kept) += kRecordSuffix, record, std::nullopt);
        line += "; its content is kept in " + ShownPath(kept);
    } catch (const EPcFileError& e) {
        line += std::string(", and it could not be kept: ") + e.what();
    }
    std::ofstream(recovery_ / "recovery.log", std::ios::app) << NowText("%F %T ") << line << "\n";
    if (Log) Log(line);
}

int TDeviceMount::Flush(uint64_t Handle) {
    OpenFile* file = this->Handle(Handle);
    return file ? Send(*file) : -EBADF;
}

int TDeviceMount::Send(OpenFile& File) {
    if (!File.Dirty || File.Gone) return 0;
    if (File.TooBig) return -EFBIG;
    VerbResult sent = VerbResult::Failed(Outcome::DeviceGone, File.Path);
    if (Online()) {
        ++Stores;
        sent = work_.Verbs.WriteWhole(File.Path, File.Content, File.OnDevice);
    }
    if (!sent.Ok()) {
        KeepForRecovery(File, Latin1ToUtf8(sent.Message()));
        DropListing(DeviceParentOf(File.Path));
        return ErrorOf(sent);
    }
    File.Dirty = false;
    File.Kept.clear();
    File.OnDevice = TargetState::File;
    const DeviceDirEntry now = EntrySentNow(File.Path, File.Content.size());
    UpdateListing(File.Path, &now);
    // Its stamps are the device's own once its folder is listed again: the next question about
    // this file asks for that listing.
    stampDue_.insert(File.Path);
    contents_[File.Path] = {now, File.Content};
    return 0;
}

int TDeviceMount::Release(uint64_t Handle) {
    const auto it = open_.find(Handle);
    if (it == open_.end()) return -EBADF;
    std::shared_ptr<OpenFile> file = it->second;
    open_.erase(it);
    if (file.use_count() > 1) return 0; // another open of it is still there
    if (file->TooBig && file->Dirty && !file->Gone) {
        if (Log)
            Log(Latin1ToUtf8(file->Path) +
                ": not written: a program wrote past 64 MiB; the device keeps what it had");
        return 0;
    }
    // A write that failed was kept when it failed; one never flushed is sent, or kept, now.
    if (file->Dirty && !file->Gone && file->Kept.empty()) Send(*file);
    return 0;
}

void TDeviceMount::UpdateListing(const std::string& Path, const DeviceDirEntry* Entry) {
    auto it = listings_.find(DeviceParentOf(Path));
    if (it == listings_.end()) return;
    auto& entries = it->second.Entries;
    const std::string name = DeviceLeafOf(Path);
    std::erase_if(entries, [&](const DeviceDirEntry& e) { return e.Name == name; });
    if (Entry) entries.push_back(*Entry);
}

void TDeviceMount::DropListing(const std::string& Dir) {
    listings_.erase(Dir);
}

void TDeviceMount::DropBelow(const std::string& Dir) {
    std::erase_if(listings_, [&](const auto& each) {
        return each.first == Dir || DeviceBelow(each.first, Dir);
    });
    std::erase_if(contents_, [&](const auto& each) { return DeviceBelow(each.first, Dir); });
    std::erase_if(madeHere_,
                  [&](const auto& each) { return each == Dir || DeviceBelow(each, Dir); });
}

int TDeviceMount::Unlink(const std::string& Path) {
    std::string path;
    if (!DevicePathOf(Path, path)) return -ENOENT;
    DeviceDirEntry entry;
    const int found = Lookup(path, entry);
    OpenFile* unsent = OpenOn(path);
    if (found == -ENOENT && unsent && unsent->OnDevice == TargetState::Absent) {
        for (auto& [handle, file] : open_)
            if (file->Path == path) file->Gone = true;
        return 0;
    }
    if (found) return found;
    if (IsDirectory(entry)) return -EISDIR;
    // A program that has the file open reads it on after the unlink, as from any file system:
    // what it has not read yet is fetched first.
    if (unsent && !unsent->Loaded)
        if (const int err = Load(*unsent)) return err;
    const VerbResult deleted = work_.Verbs.Delete(path, false);
    if (!deleted.Ok()) {
        DropListing(DeviceParentOf(path));
        return ErrorOf(deleted);
    }
    UpdateListing(path, nullptr);
    contents_.erase(path);
    for (auto& [handle, file] : open_)
        if (file->Path == path) file->Gone = true;
    return 0;
}

int TDeviceMount::MakeDirectory(const std::string& Path) {
    std::string path;
    if (!DevicePathOf(Path, path) || !work_.Verbs.Sendable(path).Ok()) return -EINVAL;
    DeviceDirEntry entry;
    const int found = Lookup(path, entry);
    if (found == 0) return -EEXIST;
    if (found != -ENOENT) return found;
    const VerbResult made = work_.Verbs.MakeDirectory(path);
    if (!made.Ok()) {
        DropListing(DeviceParentOf(path));
        // Made on the device since the mount last listed its parent: there, as mkdir -p expects.
        if (made.What != Outcome::DeviceGone && Lookup(path, entry) == 0) return -EEXIST;
        return ErrorOf(made);
    }
    entry = DeviceDirEntry{};
    entry.Name = DeviceLeafOf(path);
    entry.Attr = faDirectory;
    UpdateListing(path, &entry);
    // Made just now, so empty: what is copied into it needs no listing to know that.
    listings_[path] = Listing{{}, Clock().NowMs()};
    madeHere_.insert(path);
    return 0;
}

int TDeviceMount::RemoveDirectory(const std::string& Path) {
    std::string path;
    if (!DevicePathOf(Path, path)) return -ENOENT;
    if (path == root_) return -EBUSY;
    DeviceDirEntry entry;
    if (const int err = Lookup(path, entry)) return err;
    if (!IsDirectory(entry)) return -ENOTDIR;
    // The device removes a directory with all it holds: only one it lists empty now goes.
    const Listing* listing = nullptr;
    if (const int err = Listed(path, listing, true)) return err;
    if (!listing->Entries.empty()) return -ENOTEMPTY;
    const VerbResult removed = work_.Verbs.Delete(path, true);
    if (!removed.Ok()) {
        DropListing(DeviceParentOf(path));
        return ErrorOf(removed);
    }
    UpdateListing(path, nullptr);
    DropBelow(path);
    return 0;
}

int TDeviceMount::Rename(const std::string& From, const std::string& To, bool NoReplace) {
    std::string from, to;
    if (!DevicePathOf(From, from)) return -ENOENT;
    if (!DevicePathOf(To, to) || !work_.Verbs.Sendable(to).Ok()) return -EINVAL;
    if (from == root_ || to == root_) return -EBUSY;
    if (from == to) return 0;
    // The device renames within a directory; elsewhere programs copy and delete.
    if (DeviceParentOf(from) != DeviceParentOf(to) || DeviceBelow(to, from)) return -EXDEV;
    // A file made here goes to the device first, under its own name.
    for (auto& [handle, file] : open_)
        if (file->Path == from && file->Dirty && !file->Gone)
            if (const int err = Flush(handle)) return err;
    DeviceDirEntry source, target;
    if (const int err = Lookup(from, source)) return err;
    int there = Lookup(to, target);
    if (there && there != -ENOENT) return there;
    // The device finds a name in any case: a new name that differs only in case finds the file
    // itself, which is renamed, not replaced.
    if (there == 0 && target.Name == source.Name) there = -ENOENT;
    if (there == 0) {
        if (NoReplace) return -EEXIST;
        if (IsDirectory(target) && !IsDirectory(source)) return -EISDIR;
        if (!IsDirectory(target) && IsDirectory(source)) return -ENOTDIR;
        if (!IsDirectory(target)) {
            // A file over a file: the same way a replacement's copy takes its name, so that a
            // rename answered late, or cut between its steps, is settled as it is there.
            const VerbResult placed = work_.Verbs.PlaceOver(from, to, true, false);
            DropListing(DeviceParentOf(to));
            if (!placed.Ok()) return ErrorOf(placed);
            contents_.erase(to);
            for (auto& [handle, file] : open_)
                if (file->Path == to) file->Gone = true;
            Moved(from, to);
            return 0;
        }
        {
            const Listing* listing = nullptr;
            if (const int err = Listed(to, listing, true)) return err;
            if (!listing->Entries.empty()) return -ENOTEMPTY;
        }
        // The old one gives up its name, as rename(2) replaces it.
        const VerbResult gone = work_.Verbs.Delete(to, IsDirectory(target));
        if (!gone.Ok()) {
            DropListing(DeviceParentOf(to));
            return ErrorOf(gone);
        }
        UpdateListing(to, nullptr);
        contents_.erase(to);
        DropBelow(to);
        for (auto& [handle, file] : open_)
            if (file->Path == to) file->Gone = true;
    }
    const VerbResult renamed = work_.Verbs.Rename(from, DeviceLeafOf(to));
    if (!renamed.Ok()) {
        DropListing(DeviceParentOf(from));
        return ErrorOf(renamed);
    }
    source.Name = DeviceLeafOf(to);
    UpdateListing(from, nullptr);
    UpdateListing(to, &source);
    Moved(from, to);
    return 0;
}

void TDeviceMount::Moved(const std::string& from, const std::string& to) {
    DropBelow(from);
    if (auto cached = contents_.find(from); cached != contents_.end()) {
        cached->second.Listed.Name = DeviceLeafOf(to);
        contents_[to] = std::move(cached->second);
        contents_.erase(from);
    }
    for (auto& [handle, file] : open_) {
        if (file->Path == from)
            file->Path = to;
        else if (DeviceBelow(file->Path, from))
            file->Path = to + file->Path.substr(from.size());
    }
}

} // namespace kv
