// kvb --each-new: each device as it is plugged in, once per serial number unless --again; a
// device that restarts after its flash is the same attachment, not a new device.
#include "ManyRunner.h"

#include "device/Clock.h"

namespace kvb::many {

void Runner::TrackFinished(Worker& w) {
    if (auto t = tracks_.find(w.id); t != tracks_.end()) {
        Track& track = t->second;
        track.running = false;
        track.done = track.done || w.status == 0;
        track.finishedAt = kv::Clock().NowMs();
        // After a flash the device restarts into its firmware; it may be gone already. One that
        // failed is unplugged to be tried again: its return is a new attachment.
        track.restartExpected = options_.command == "flash" && w.status == 0;
        if (!track.present && track.restartExpected) {
            track.inRestart = true;
            track.restartBy = track.finishedAt + kRestartMs;
            track.restartExpected = false;
        }
    }
}

int Runner::EachNew() {
    const std::set<std::string> only(options_.devices.begin(), options_.devices.end());
    int started = 0;
    if (!global_.quiet) std::fprintf(stderr, "Waiting for devices; Ctrl+C ends.\n");
    for (;;) {
        const bool more =
            Interrupts.load() == 0 && (options_.count == 0 || started < options_.count);
        if (!more && Running() == 0) break;
        if (more) {
            std::vector<std::string> unopened;
            const auto attached = Attached(unopened);
            for (const auto& path : unopened)
                if (told_.insert(path).second)
                    Above(stderr, "kvb: " + Printable(path) + " cannot be opened: no permission");
            const int64_t now = kv::Clock().NowMs();
            std::set<std::string> here;
            for (const auto& [path, serial] : attached) {
                if (serial.empty()) {
                    if (told_.insert(path).second)
                        Above(stderr, "kvb: " + Printable(path) + " has no serial number; skipped");
                    continue;
                }
                if (only.empty() || only.count(serial)) here.insert(serial);
            }
            for (const auto& serial : here) {
                Track& t = tracks_[serial];
                if (t.present) continue;
                t.present = true;
                if (t.running) continue; // its own restart during the work
                if (t.inRestart && now <= t.restartBy) {
                    t.inRestart = false; // back from its restart after the flash
                    continue;
                }
                t.inRestart = false;
                if (t.done && !options_.again) {
                    if (!global_.quiet)
                        Above(stderr, Printable(serial) +
                                          ": already done; skipped (--again does it again)");
                    continue;
                }
                if (options_.count > 0 && started >= options_.count) continue;
                t.running = true;
                ++started;
                Start(serial);
            }
            for (auto& [serial, t] : tracks_) {
                if (!t.present || here.count(serial)) continue;
                t.present = false;
                if (!t.running && t.restartExpected && now - t.finishedAt <= kRestartMs) {
                    t.inRestart = true;
                    t.restartBy = now + kRestartMs;
                }
                t.restartExpected = false;
            }
        }
        if (virtualTime_ && Running() == 0) {
            // Nothing at work: the simulated bus's time moves on to the next look.
            Pump(0);
            kv::Clock().SleepMs(kScanMs);
        } else if (virtualTime_) {
            // On virtual time the bus's time stands still while children work: each child
            // reports where its own time ended (see Finished).
            Pump(100);
        } else {
            const auto until = Steady::now() + std::chrono::milliseconds(kScanMs);
            while (Steady::now() < until)
                Pump(static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          until - Steady::now())
                                          .count()) +
                     1);
        }
    }
    Summary();
    return Status();
}

} // namespace kvb::many
