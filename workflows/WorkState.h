// What one piece of work on a device keeps while it runs, whichever job does it: what it moved,
// what it did not and why, whether the user stopped it, and the host it reports to.
#pragma once

#include "TransferTally.h"
#include "VerbResult.h"
#include "WorkHost.h"

namespace kv {

class TWorkState {
  public:
    explicit TWorkState(IWorkHost& host) : Host(host) {}
    TWorkState(const TWorkState&) = delete;
    TWorkState& operator=(const TWorkState&) = delete;

    // Starts a new piece of work: the failures and the cancel state start afresh.
    void Begin() {
        NotMoved.clear();
        Cancelled = false;
    }
    // True (and said once) when the user asked to stop; called at the safe points only.
    bool StopHere() {
        if (Cancelled) return true;
        if (!Host.CancelRequested()) return false;
        Cancelled = true;
        Host.Print("\r\nCancelled: what was done so far is kept.\r\n", MessageStyle::Italic);
        return true;
    }
    // Counts the device gone in NotMoved, once: what was under way when the link went down says
    // so already.
    void DeviceGone(const std::string& Where) {
        const auto& outcomes = NotMoved.Outcomes();
        if (outcomes.empty() || outcomes.back() != Outcome::DeviceGone)
            NotMoved.Add(VerbResult::Failed(Outcome::DeviceGone, Where));
    }

    // What was not moved or loaded whole: the path, why, and the outcome. The window leaves them
    // out silently (its listing afterwards is the user's feedback); kvb reports them and fails
    // with the status their outcomes give.
    TNotMoved NotMoved;
    // What the transfer under way has moved: Save to PC begins it; uploads count in it once
    // their caller has begun it.
    TTransferTally Tally;
    // Set when a cancel was honoured; the work stopped at a safe point.
    bool Cancelled = false;
    IWorkHost& Host;
};

} // namespace kv
