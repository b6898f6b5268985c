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

// One path that changed, and whether its last change finished a write: the file was closed after
// writing, moved or renamed, removed, or had only its attributes changed. An editor that saves a
// file is done with it then (unless it takes a further step at once); a file still open for
// writing may grow for a while yet.
struct FolderChange {
    std::filesystem::path Path;
    bool Finished = false;
};

// Changes below one PC folder, as the system reports them.
class IFolderWatch {
  public:
    virtual ~IFolderWatch() = default;
    // Waits at most TimeoutMs (real time) for changes and adds the paths that changed (relative
    // to the folder; made, written, moved or removed) to Changed. False when the watch broke
    // (the folder went away): a full sync is then the only way to know what changed.
    virtual bool Wait(int TimeoutMs, std::vector<std::filesystem::path>& Changed) = 0;
    // The same, each path with whether its change finished a write; a system that cannot tell
    // says it did not.
    virtual bool Wait(int TimeoutMs, std::vector<FolderChange>& Changes) {
        std::vector<std::filesystem::path> changed;
        const bool whole = Wait(TimeoutMs, changed);
        for (auto& path : changed)
            Changes.push_back({std::move(path), false});
        return whole;
    }
};

// Starts watching Folder and everything below it; raises EPcFileError when the system refuses.
std::unique_ptr<IFolderWatch> WatchFolder(const std::filesystem::path& Folder);

// Editors save in several steps: a path is handed on only once it has been quiet for a while,
// QuietMs after a change, or FinishedMs after one that finished a write (the steps of one save
// follow each other within milliseconds, so the short wait still sees a save through).
class TQuietPaths {
  public:
    explicit TQuietPaths(int64_t QuietMs) : TQuietPaths(QuietMs, QuietMs) {}
    TQuietPaths(int64_t QuietMs, int64_t FinishedMs) : quietMs_(QuietMs), finishedMs_(FinishedMs) {}
    void Changed(const std::filesystem::path& Path, int64_t NowMs, bool Finished = false) {
        due_[Path] = NowMs + (Finished ? finishedMs_ : quietMs_);
    }
    // The paths quiet since QuietMs, taken out.
    std::vector<std::filesystem::path> Settled(int64_t NowMs);
    // How long until the next path settles; -1 when none waits.
    int64_t NextInMs(int64_t NowMs) const;
    bool Empty() const { return due_.empty(); }

  private:
    int64_t quietMs_, finishedMs_;
    std::map<std::filesystem::path, int64_t> due_; // when each path is quiet enough
};

} // namespace kv
