// What a transfer of several files has done so far: the file being moved, how many of how many,
// bytes, speed and time left for the progress line, and one summary line at the end. The window
// shows it during Save to PC, uploads and the editor's read; the work that moves the files feeds
// it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kv {

class TTransferTally {
  public:
    // A new transfer of Files files holding Bytes bytes, begun at NowMs. Complete is false while
    // directory trees still to be listed may add files (then the line says "so far" and gives
    // no time left).
    void Begin(int Files, uint64_t Bytes, bool Complete, int64_t NowMs);
    // Files found in a listing during the transfer.
    void Add(int Files, uint64_t Bytes);
    // Every file of the transfer is known now.
    void AllKnown() { complete_ = true; }
    // The transfer is over: nothing is shown any more.
    void End() { active_ = false; }
    bool Active() const { return active_; }

    // One file begins; Position of it has moved (bytes); it ended, moved whole or not.
    void StartFile(const std::string& Name, uint64_t Size);
    void FileProgress(uint64_t Position);
    void FileDone(bool Moved);
    // A file counted as moved turned out not to be there (an upload the listing did not show).
    void NotStored(uint64_t Bytes);

    // The progress in parts: the file's name (empty before the first), "file 2 of 5",
    // "40,960 of 204,800 bytes", and (after half a second) "58.1 kB/s" and "0:03 left".
    std::vector<std::string> Parts(int64_t NowMs) const;
    // The parts in one line, separated by " - ".
    std::string Line(int64_t NowMs) const;
    // "Saved 4 files (819,200 bytes) to /home/me/kovrin in 13.6 s", with Verb "Saved" and
    // Where "to /home/me/kovrin".
    std::string Summary(const std::string& Verb, const std::string& Where, int64_t NowMs) const;

    int Moved() const { return moved_; }
    int Files() const { return files_; }
    uint64_t MovedBytes() const { return movedBytes_; }

  private:
    uint64_t Done() const { return doneBytes_ + position_; }
    bool active_ = false;
    bool complete_ = true;
    int files_ = 0;
    int index_ = 0;
    int moved_ = 0;
    uint64_t bytes_ = 0;
    uint64_t doneBytes_ = 0;
    uint64_t movedBytes_ = 0;
    uint64_t position_ = 0;
    uint64_t size_ = 0;
    int64_t startMs_ = 0;
    std::string name_;
};

// 1234567 as "1,234,567".
std::string GroupedNumber(uint64_t Value);

} // namespace kv
