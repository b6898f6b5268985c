// A sync up that follows a PC folder while its user edits: the changes the system reports are
// handed on once quiet (editors save in several steps), then planned and sent as one pass. It
// has no loop of its own: kvb drives it from its blocking wait, the window from a timer, and each
// decides when a pass may run (the device there, no other work under way).
#pragma once

#include "DeviceSync.h"
#include "SyncPlatform.h"

#include <filesystem>
#include <functional>
#include <vector>

namespace kv {

class TSyncWatch {
  public:
    // Follows Watch's folder for Sync (a sync up of that folder). WholeFirst: the first pass is a
    // whole sync (the last one did not get through). NowMs gives the time the quiet is measured
    // in: QuietMs after a change, FinishedMs (when not negative) after one that finished a write
    // (an editor's save takes its steps one right after the other; a writer that keeps the file
    // open is given the longer quiet).
    TSyncWatch(TDeviceSync& Sync, IFolderWatch& Watch, bool WholeFirst,
               std::function<int64_t()> NowMs, int64_t QuietMs = 500, int64_t FinishedMs = -1);

    // How long the next TakeChanges may wait for changes: at most MaxMs, less when a path settles
    // sooner.
    int WaitMs(int MaxMs) const;
    // Takes the changes the system reports within WaitMs (0: those reported already); the
    // paths quiet long enough become due. A watch that broke makes a whole pass due.
    void TakeChanges(int WaitMs);
    // Whether a pass has something to do.
    bool HasDue() const { return whole_ || !pending_.empty(); }
    // Plans what is due (everything, after a break) and carries it out. What is due stays due
    // when the device went meanwhile (DeviceAway, for the next pass once it is back); otherwise
    // the pass is over, done or not: what it could not do is in the workflow's NotMoved, and a
    // plan that failed is returned.
    VerbResult RunPass();
    bool DeviceAway() const { return away_; }
    // Files sent whole by the passes so far, and when the last of them went (NowMs; -1: none).
    int Sent() const { return sent_; }
    // Files the passes so far left alone as conflicts, and files they could not send.
    int Conflicts() const { return conflicts_; }
    int Failed() const { return failed_; }
    int64_t LastSentMs() const { return lastSentMs_; }

  private:
    TDeviceSync& sync_;
    IFolderWatch& watch_;
    bool whole_;
    std::function<int64_t()> now_;
    TQuietPaths quiet_;
    std::vector<std::filesystem::path> pending_;
    bool away_ = false;
    int sent_ = 0, conflicts_ = 0, failed_ = 0;
    // Paths whose send failed in the last pass: due again in the next (once).
    std::vector<std::filesystem::path> retry_;
    int64_t lastSentMs_ = -1;
};

} // namespace kv
