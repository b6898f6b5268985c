// Inside kvb for many devices (Many.cpp): the runner and what it knows of each device's run.
// Its parts live by concern: the children and their output (ManyWorkers.cpp), the live board and
// the summary (ManyBoard.cpp), the report file (ManyReport.cpp), the policy of --each-new
// (ManyEachNew.cpp), and the runs of --all and the --device set (Many.cpp).
#pragma once

#include "ChildProcess.h"
#include "Many.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace kvb::many {

using Steady = std::chrono::steady_clock;
using json = nlohmann::json;

// A device that goes away within this long after its flash ended, and comes back within this long
// after that, is restarting into its new firmware: the same attachment, not a new device.
constexpr int64_t kRestartMs = 20000;
constexpr int kScanMs = 250; // --each-new looks for new devices this often

// Text from a device (its serial number) for the screen: no control characters.
std::string Printable(const std::string& eightBit);
// Now, in UTC, as the report writes times.
std::string UtcNow();

// Output of the children as it arrives: chunks of a stream, an empty one at its end.
struct Event {
    size_t worker;
    int stream;
    std::string bytes;
};

class Inbox {
  public:
    void Push(Event e);
    bool Pop(Event& e, int timeoutMs);

  private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Event> events_;
};

// One device's run: its child, what it said, how far it got.
struct Worker {
    std::string id;    // what the child gets as --device: the serial number, or the path
    std::string shown; // the id for the screen
    std::unique_ptr<ChildProcess> child;
    std::thread readers[2];
    int openStreams = 2;
    std::string partial[3]; // per stream: bytes of a line not ended yet
    std::string step;       // its last message
    std::string reason;     // its last error ("kvb: ...")
    int64_t position = 0, total = 0, rateFrom = 0;
    Steady::time_point start, end, transferStart;
    double rate = 0; // bytes per second of the transfer under way
    int status = -1;
    bool running = true;
    int64_t startUs = -1, clockUs = -1; // where its virtual time started and ended
    double Seconds() const {
        if (!running && startUs >= 0 && clockUs >= startUs) return (clockUs - startUs) / 1e6;
        return std::chrono::duration<double>((running ? Steady::now() : end) - start).count();
    }
};

// What --each-new knows of a serial number.
struct Track {
    bool present = false, running = false, done = false;
    bool restartExpected = false, inRestart = false;
    int64_t finishedAt = 0, restartBy = 0;
};

class Runner {
  public:
    Runner(const GlobalOptions& global, const ManyOptions& options);
    // Left early (an error of this process): the children's output is read to its end.
    ~Runner();
    int All();
    int EachNew();

  private:
    // The devices attached now: (path, 8-bit serial number); those that cannot be opened apart.
    std::vector<std::pair<std::string, std::string>> Attached(std::vector<std::string>& unopened);
    // Boards another program holds, by path: said as busy, and the status is not 0.
    std::map<std::string, std::string> busy_;
    void Start(const std::string& id);
    void Pump(int timeoutMs);
    void Handle(Event& e);
    void Line(Worker& w, int stream, std::string line);
    void Record(Worker& w, const std::string& record);
    void Finished(Worker& w);
    // --each-new: what the end of a device's run means for its serial number.
    void TrackFinished(Worker& w);
    void Above(FILE* out, const std::string& text);
    void Draw(bool now);
    void Clear();
    std::string Board(const Worker& w) const;
    std::string Tally() const;
    void Summary();
    void WriteReport();
    int Status() const;
    int Running() const {
        int n = 0;
        for (const auto& w : workers_)
            n += w->running;
        return n;
    }

    const GlobalOptions& global_;
    const ManyOptions& options_;
    bool live_;
    bool virtualTime_ = false;
    Inbox inbox_;
    std::deque<std::unique_ptr<Worker>> workers_;
    std::map<std::string, std::string> serials_; // path -> serial, of the last enumeration
    std::map<std::string, Track> tracks_;
    std::set<std::string> told_; // paths already said to be unusable
    json firmware_ = json::array();
    std::string started_;
    int drawn_ = 0;                  // lines of the live board on the screen
    std::vector<std::string> board_; // and what they say
    Steady::time_point drawnAt_;
    int done_ = 0, failed_ = 0;
};

} // namespace kvb::many
