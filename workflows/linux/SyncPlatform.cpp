// Linux: the state folder of the XDG base directories, and inotify for the watch.
#include "workflows/SyncPlatform.h"

#include "device/Errors.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace kv {

namespace fs = std::filesystem;

fs::path UserStateFolder() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/') return state;
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : "/tmp") / ".local" / "state";
}

namespace {

constexpr uint32_t kEvents = IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE |
                             IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;

// inotify watches one directory per watch: each directory below the folder gets its own,
// including those made while watching.
class InotifyWatch final : public IFolderWatch {
  public:
    explicit InotifyWatch(const fs::path& folder) : folder_(folder) {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0)
            throw EPcFileError("Cannot watch \"" + folder.string() + "\". " + std::strerror(errno));
        if (!Add(fs::path()))
            throw EPcFileError("Cannot watch \"" + folder.string() + "\". " + std::strerror(errno));
        AddTree(fs::path());
    }
    ~InotifyWatch() override { close(fd_); }

    bool Wait(int TimeoutMs, std::vector<fs::path>& Changed) override {
        std::vector<FolderChange> changes;
        const bool whole = Wait(TimeoutMs, changes);
        for (auto& change : changes)
            Changed.push_back(std::move(change.Path));
        return whole;
    }

    bool Wait(int TimeoutMs, std::vector<FolderChange>& Changes) override {
        pollfd p{fd_, POLLIN, 0};
        const int ready = poll(&p, 1, TimeoutMs);
        if (ready <= 0) return true; // time-out, or a signal (Ctrl+C) to look at
        alignas(inotify_event) char buffer[16384];
        for (;;) {
            const ssize_t got = read(fd_, buffer, sizeof buffer);
            if (got <= 0) break;
            for (ssize_t at = 0; at < got;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
                const auto dir = dirs_.find(e->wd);
                if (e->mask & IN_Q_OVERFLOW) broken_ = true;
                if (dir == dirs_.end()) continue;
                if (e->mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
                    if (dir->second.empty()) broken_ = true; // the folder itself
                    continue;
                }
                if (e->mask & IN_IGNORED) {
                    dirs_.erase(dir);
                    continue;
                }
                if (e->len == 0) continue;
                const fs::path path = dir->second / e->name;
                // A file made or written is still open for writing; the rest ends a step.
                const bool writing =
                    (e->mask & IN_MODIFY) || ((e->mask & IN_CREATE) && !(e->mask & IN_ISDIR));
                Changes.push_back({path, !writing});
                if ((e->mask & IN_ISDIR) && (e->mask & (IN_CREATE | IN_MOVED_TO))) AddTree(path);
            }
        }
        return !broken_;
    }

  private:
    bool Add(const fs::path& rel) {
        const int wd = inotify_add_watch(fd_, (folder_ / rel).c_str(), kEvents | IN_ONLYDIR);
        if (wd < 0) return false;
        dirs_[wd] = rel;
        return true;
    }
    // A directory and everything already in it (made before its watch began).
    void AddTree(const fs::path& rel) {
        Add(rel);
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(folder_ / rel, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
            if (it->is_directory(ec)) Add(it->path().lexically_relative(folder_));
    }

    fs::path folder_;
    int fd_ = -1;
    std::map<int, fs::path> dirs_;
    bool broken_ = false;
};

} // namespace

std::unique_ptr<IFolderWatch> WatchFolder(const fs::path& Folder) {
    return std::make_unique<InotifyWatch>(Folder);
}

} // namespace kv
