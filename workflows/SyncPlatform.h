// What a sync needs of the system it runs on: the user's folder for state that programs keep,
// and notice of changes in a PC folder. One implementation per platform (linux/, windows/).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

namespace kv {

// $XDG_STATE_HOME (or ~/.local/state) on Linux, %LOCALAPPDATA% on Windows.
std::filesystem::path UserStateFolder();

// Changes below one PC folder, as the system reports them.
class IFolderWatch {
  public:
    virtual ~IFolderWatch() = default;
    // Waits at most TimeoutMs (real time) for changes and adds the paths that changed (relative
    // to the folder; made, written, moved or removed) to Changed. False when the watch broke
    // (the folder went away): a full sync is then the only way to know what changed.
    virtual bool Wait(int TimeoutMs, std::vector<std::filesystem::path>& Changed) = 0;
};

// Starts watching Folder and everything below it; raises EPcFileError when the system refuses.
std::unique_ptr<IFolderWatch> WatchFolder(const std::filesystem::path& Folder);

// Editors save in several steps: a path is handed on only once it has been quiet for a while.
class TQuietPaths {
  public:
    explicit TQuietPaths(int64_t QuietMs) : quietMs_(QuietMs) {}
    void Changed(const std::filesystem::path& Path, int64_t NowMs) { last_[Path] = NowMs; }
    // The paths quiet since QuietMs, taken out.
    std::vector<std::filesystem::path> Settled(int64_t NowMs);
    // How long until the next path settles; -1 when none waits.
    int64_t NextInMs(int64_t NowMs) const;
    bool Empty() const { return last_.empty(); }

  private:
    int64_t quietMs_;
    std::map<std::filesystem::path, int64_t> last_;
};

} // namespace kv
