// kvb mount: the kernel's file system calls (FUSE 3) handed to the mount workflow, one at a time on
// this thread, as every device exchange is made. Built where libfuse3 is found.
#define FUSE_USE_VERSION 31
#include "../Commands.h"

#include "device/DeviceText.h"
#include "workflows/DeviceMount.h"
#include "workflows/PcFiles.h"
#include "workflows/SyncPlatform.h"

#include <fuse.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace kvb {

namespace {

kv::TDeviceMount& Mounted() {
    return *static_cast<kv::TDeviceMount*>(fuse_get_context()->private_data);
}

// Every call is answered: an error that the workflow raises (a malformed listing line, say) is
// EIO and a line on standard error, and the mount stays up.
template <typename Body> int Guarded(const char* call, Body body) {
    try {
        return body();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kvb: %s: %s\n", call, error.what());
    } catch (...) {
        std::fprintf(stderr, "kvb: %s: an unknown error\n", call);
    }
    return -EIO;
}

// The kernel passes no path for a file that was unlinked or renamed while open: the handle
// says which file it is then.
std::string PathOf(const char* path) {
    return path ? std::string(path) : std::string();
}

void Fill(const kv::MountAttr& attr, struct stat* st) {
    std::memset(st, 0, sizeof *st);
    st->st_mode = attr.Directory ? S_IFDIR | 0755 : S_IFREG | (attr.ReadOnly ? 0444 : 0644);
    st->st_nlink = attr.Directory ? 2 : 1;
    st->st_uid = getuid();
    st->st_gid = getgid();
    st->st_size = static_cast<off_t>(attr.Size);
    st->st_blksize = 4096;
    st->st_blocks = static_cast<blkcnt_t>((attr.Size + 511) / 512);
    st->st_mtim.tv_sec = st->st_ctim.tv_sec = st->st_atim.tv_sec = attr.Modified;
}

void* Init(struct fuse_conn_info* conn, struct fuse_config* cfg) {
    // Names and sizes stay in the kernel no longer than the mount keeps its listings; a name
    // that was not there is asked for again, as another program may have made it meanwhile.
    cfg->entry_timeout = 1.0;
    cfg->attr_timeout = 1.0;
    cfg->negative_timeout = 0;
    // An unlinked file that is still open is gone at once (the mount sends nothing for it).
    cfg->hard_remove = 1;
    if (conn->capable & FUSE_CAP_ATOMIC_O_TRUNC) conn->want |= FUSE_CAP_ATOMIC_O_TRUNC;
    return fuse_get_context()->private_data;
}

int GetAttr(const char* path, struct stat* st, struct fuse_file_info* fi) {
    return Guarded("getattr", [&] {
        kv::MountAttr attr;
        const int err = Mounted().GetAttr(PathOf(path), attr, fi ? fi->fh : 0);
        if (!err) Fill(attr, st);
        return err;
    });
}

int ReadDir(const char* path, void* buf, fuse_fill_dir_t filler, off_t, struct fuse_file_info*,
            enum fuse_readdir_flags flags) {
    return Guarded("readdir", [&] {
        std::vector<kv::MountEntry> entries;
        if (const int err = Mounted().ReadDir(PathOf(path), entries)) return err;
        const auto plus = (flags & FUSE_READDIR_PLUS) ? FUSE_FILL_DIR_PLUS : fuse_fill_dir_flags(0);
        filler(buf, ".", nullptr, 0, fuse_fill_dir_flags(0));
        filler(buf, "..", nullptr, 0, fuse_fill_dir_flags(0));
        for (const auto& entry : entries) {
            struct stat st;
            Fill(entry.Attr, &st);
            if (filler(buf, entry.Name.c_str(), &st, 0, plus)) break;
        }
        return 0;
    });
}

int Open(const char* path, struct fuse_file_info* fi) {
    return Guarded("open", [&] {
        uint64_t handle = 0;
        const int err = Mounted().Open(PathOf(path), fi->flags, handle);
        fi->fh = handle;
        return err;
    });
}

int Create(const char* path, mode_t, struct fuse_file_info* fi) {
    return Guarded("create", [&] {
        uint64_t handle = 0;
        const int err = Mounted().Create(PathOf(path), fi->flags, handle);
        fi->fh = handle;
        return err;
    });
}

int Read(const char*, char* buf, size_t size, off_t offset, struct fuse_file_info* fi) {
    return Guarded("read", [&] { return Mounted().Read(fi->fh, buf, size, offset); });
}

int Write(const char*, const char* data, size_t size, off_t offset, struct fuse_file_info* fi) {
    return Guarded("write", [&] { return Mounted().Write(fi->fh, data, size, offset); });
}

int Truncate(const char* path, off_t size, struct fuse_file_info* fi) {
    return Guarded("truncate",
                   [&] { return Mounted().Truncate(PathOf(path), size, fi ? fi->fh : 0); });
}

int Flush(const char*, struct fuse_file_info* fi) {
    return Guarded("flush", [&] { return Mounted().Flush(fi->fh); });
}

int Fsync(const char*, int, struct fuse_file_info* fi) {
    return Guarded("fsync", [&] { return Mounted().Flush(fi->fh); });
}

int Release(const char*, struct fuse_file_info* fi) {
    return Guarded("release", [&] { return Mounted().Release(fi->fh); });
}

int Unlink(const char* path) {
    return Guarded("unlink", [&] { return Mounted().Unlink(PathOf(path)); });
}

int MakeDirectory(const char* path, mode_t) {
    return Guarded("mkdir", [&] { return Mounted().MakeDirectory(PathOf(path)); });
}

int RemoveDirectory(const char* path) {
    return Guarded("rmdir", [&] { return Mounted().RemoveDirectory(PathOf(path)); });
}

int Rename(const char* from, const char* to, unsigned int flags) {
    return Guarded("rename", [&] {
        if (flags & RENAME_EXCHANGE) return -EINVAL; // the device cannot swap two names
        return Mounted().Rename(PathOf(from), PathOf(to), (flags & RENAME_NOREPLACE) != 0);
    });
}

// The device keeps no owners, permissions or times of its own choosing: taken and let be, so
// that copies which set them go through.
int Exists(const char* path, struct fuse_file_info* fi) {
    return Guarded("getattr", [&] {
        kv::MountAttr attr;
        return Mounted().GetAttr(PathOf(path), attr, fi ? fi->fh : 0, true);
    });
}
int Chmod(const char* path, mode_t, struct fuse_file_info* fi) {
    return Exists(path, fi);
}
int Chown(const char* path, uid_t, gid_t, struct fuse_file_info* fi) {
    return Exists(path, fi);
}
int Utimens(const char* path, const struct timespec*, struct fuse_file_info* fi) {
    return Exists(path, fi);
}

int StatFs(const char*, struct statvfs* st) {
    std::memset(st, 0, sizeof *st);
    st->f_bsize = st->f_frsize = 4096;
    st->f_namemax = 255;
    return 0;
}

struct Args {
    std::vector<std::string> words;
    std::vector<char*> argv;
    explicit Args(std::vector<std::string> w) : words(std::move(w)) {
        for (auto& word : words)
            argv.push_back(word.data());
    }
};

} // namespace

// Sends what the recovery folder keeps for this device: each a line, sent or why not.
int Resend(Session& s, const std::filesystem::path& recovery, const std::string& serial) {
    const std::vector<kv::KeptWrite> waiting = kv::KeptWrites(recovery, serial);
    if (waiting.empty()) {
        s.Say("nothing waits in " + kv::ShownPath(recovery) + " for this device");
        return kOk;
    }
    kv::TDeviceHold hold(s.Comms);
    int left = 0;
    for (const auto& kept : waiting) {
        const kv::VerbResult sent = kv::ResendKept(s.Work, kept);
        if (sent.Ok()) {
            s.Say("sent " + kv::Latin1ToUtf8(kept.Path) + " (kept " +
                  kv::ShownPath(kept.Content.filename()) + ")");
        } else {
            ++left;
            std::fprintf(stderr, "kvb: not sent: %s; it stays in %s\n",
                         Printable(kv::Latin1ToUtf8(sent.Message())).c_str(),
                         kv::ShownPath(kept.Content).c_str());
        }
        if (!s.Comms.IsConnected()) break;
    }
    return left == 0 ? kOk : kDeviceError;
}

int Mount(Session& s, const MountOptions& o) {
    const std::filesystem::path recovery = kv::UserStateFolder() / "kvb" / "mount-recovery";
    const std::string serial = kv::HidTo8Bit(s.Comms.Device.GetSerialNumber());
    if (o.resend) return Resend(s, recovery, serial);
    if (o.deviceDir.empty() || o.mountPoint.empty())
        throw Failure(kUsage, "mount needs DEVICE_DIR and MOUNTPOINT (or --resend)");
    if (const size_t waiting = kv::KeptWrites(recovery, serial).size())
        s.Say(std::to_string(waiting) + " write" + (waiting == 1 ? "" : "s") +
              " the device did not take wait" + (waiting == 1 ? "s" : "") + " for it in " +
              kv::ShownPath(recovery) + "; kvb mount --resend sends them");
    const std::string dir = DevicePath(o.deviceDir);
    const std::optional<kv::DeviceDirEntry> entry = FindEntry(s, dir);
    if (!entry) throw Failure(kDeviceError, "no such device directory: " + o.deviceDir);
    if (!kv::IsDirectory(*entry))
        throw Failure(kDeviceError, o.deviceDir + " is a file, not a directory");
    // The mount keeps to this device: while it is away the link waits for it alone.
    kv::TDeviceHold hold(s.Comms);
    kv::TDeviceMount mount(s.Work, dir, recovery);
    mount.Serial = serial;
    mount.Reconnect = [&s] {
        try {
            s.Comms.Disconnect();
            s.Open();
            return true;
        } catch (const Failure&) {
            return false;
        }
    };
    mount.Log = [&s](const std::string& line) {
        s.ProgressEnd();
        std::fprintf(stderr, "kvb: %s\n", Printable(line).c_str());
    };

    struct fuse_operations ops {};
    ops.init = Init;
    ops.getattr = GetAttr;
    ops.readdir = ReadDir;
    ops.open = Open;
    ops.create = Create;
    ops.read = Read;
    ops.write = Write;
    ops.truncate = Truncate;
    ops.flush = Flush;
    ops.fsync = Fsync;
    ops.release = Release;
    ops.unlink = Unlink;
    ops.mkdir = MakeDirectory;
    ops.rmdir = RemoveDirectory;
    ops.rename = Rename;
    ops.chmod = Chmod;
    ops.chown = Chown;
    ops.utimens = Utimens;
    ops.statfs = StatFs;

    Args args(
        {"kvb", "-o",
         "fsname=kvb:" + kv::Latin1ToUtf8(serial.empty() ? "device" : serial) + ",subtype=kvb"});
    struct fuse_args fargs = FUSE_ARGS_INIT(static_cast<int>(args.argv.size()), args.argv.data());
    struct fuse* fuse = fuse_new(&fargs, &ops, sizeof ops, &mount);
    if (!fuse) throw Failure(kUsage, "FUSE did not take the mount's options");
    if (fuse_mount(fuse, o.mountPoint.c_str()) != 0) {
        fuse_destroy(fuse);
        throw Failure(kPcFileError, "cannot mount on " + o.mountPoint +
                                        " (it must be an empty folder, and /dev/fuse usable)");
    }
    s.Say("device folder " + kv::Latin1ToUtf8(dir.empty() ? "/" : dir) + " is mounted on " +
          o.mountPoint + (o.background ? "" : "; Ctrl+C or fusermount3 -u unmounts"));
    if (o.background) {
        // The link is made anew in the process that stays: a device's own threads do not
        // survive the fork.
        s.Comms.Disconnect();
        if (fuse_daemonize(0) != 0) {
            fuse_unmount(fuse);
            fuse_destroy(fuse);
            throw Failure(kPcFileError, "cannot go into the background");
        }
        try {
            s.Open();
        } catch (const Failure&) {
            // Looked for again at the first call, as a device that went away is.
        }
    }
    // Ctrl+C, SIGTERM and SIGHUP end the loop, which unmounts; FUSE sets its handlers only
    // where none is set.
    std::signal(SIGINT, SIG_DFL);
    struct fuse_session* session = fuse_get_session(fuse);
    fuse_set_signal_handlers(session);
    const int looped = fuse_loop(fuse);
    fuse_remove_signal_handlers(session);
    fuse_unmount(fuse);
    fuse_destroy(fuse);
    s.Say("unmounted " + o.mountPoint);
    // fusermount3 -u ends the loop as done; a signal (its number comes back) as interrupted.
    return looped == 0 ? kOk : looped > 0 ? kInterrupted : kDeviceError;
}

} // namespace kvb
