// Sync benchmark against the paced simulated device (one 64-byte report per millisecond each
// way), in real time. A project of 200 files of 2 KiB in 5 folders: the first kvb sync up, a
// second with nothing changed, a third with 3 files changed, a full kvb put -r of the same tree,
// and the watch cycle of kvb sync up --watch (an editor saves a file; the time until kvb says it
// is on the device); then the cost of one small-file upload on the file service and the part of
// it that is the fixed silent waits before each command (the prompt check and the discard of
// pending input).
//
// Each figure has its floor beside it, measured in the same run on the file service alone: the
// listings a sync needs to see what changed on the device, the uploads (a replaced file is
// written beside the old one, which then goes, and renamed into place) and nothing else.
//
//   sync_bench [OLD_KVB]   with the path of another build's kvb, its figures are given beside
//                          those of this build, from the same run.
#include "files/kvbFiles.h"
#include "sim/SimDevice.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <poll.h>
#include <unistd.h>

using namespace kv;
namespace fs = std::filesystem;

namespace {

constexpr int kFolders = 5, kFilesPerFolder = 40, kFileSize = 2048, kWatchSaves = 5;

std::string Content(int seed) {
    std::string s(kFileSize, ' ');
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<char>('a' + (seed * 31 + i * 7) % 26);
    const std::string mark = "-- " + std::to_string(seed) + "\n"; // no two seeds alike
    return s.replace(0, mark.size(), mark);
}

void WriteFile(const fs::path& file, const std::string& content) {
    std::ofstream(file, std::ios::binary) << content;
}

// The command words the device received ("NFDIR 6, NFWRITE 3"), from a kvb trace.
struct Commands {
    std::map<std::string, int> count;
    int Of(const std::string& word) const {
        const auto at = count.find(word);
        return at == count.end() ? 0 : at->second;
    }
    std::string Text() const {
        std::string text;
        for (const auto& [word, n] : count)
            text += (text.empty() ? "" : " ") + word + " " + std::to_string(n);
        return text;
    }
};

Commands ReadTrace(const fs::path& file) {
    Commands c;
    std::ifstream trace(file);
    for (std::string line; std::getline(trace, line);)
        ++c.count[line.substr(0, line.find_first_of(" @"))];
    return c;
}

struct Timed {
    double seconds = 0;
    Commands sent;
    bool ok = false;
};

std::string KvbLine(const fs::path& dir, const std::string& kvb, bool exec = false) {
    return "cd '" + dir.string() + "' && " + (exec ? "echo $$ && exec " : "") +
           "env XDG_STATE_HOME='" + (dir / "state").string() + "' KVB_SIM_TRACE=trace '" + kvb +
           "' --simulate dev ";
}

// kvb as a process against the paced simulated device on dir/dev.
Timed Kvb(const fs::path& dir, const std::string& kvb, const std::string& args) {
    SteadyClock clock;
    const int64_t t0 = clock.NowUs();
    const std::string command = KvbLine(dir, kvb) + "-q " + args + " >/dev/null";
    Timed t;
    t.ok = std::system(command.c_str()) == 0;
    t.seconds = (clock.NowUs() - t0) / 1e6;
    t.sent = ReadTrace(dir / "trace");
    return t;
}

// kvb sync up --watch: each save is a file rewritten in place (as an editor without a backup
// does), timed from its close to kvb's line that it was sent.
struct WatchCycle {
    double ms = 0; // the average of the saves
    Commands sent; // for all saves together, after the first pass
    bool ok = false;
};

// One line of kvb's output, or false when none comes within TimeoutMs.
bool ReadLine(FILE* out, std::string& line, int TimeoutMs) {
    line.clear();
    for (;;) {
        pollfd p{fileno(out), POLLIN, 0};
        if (poll(&p, 1, TimeoutMs) <= 0) return false;
        char c = 0;
        if (read(fileno(out), &c, 1) != 1) return false;
        if (c == '\n') {
            if (std::getenv("KVB_BENCH_TRACE")) std::fprintf(stderr, "kvb: %s\n", line.c_str());
            return true;
        }
        line += c;
    }
}

WatchCycle Watch(const fs::path& dir, const std::string& kvb, int seed) {
    WatchCycle w;
    fs::remove(dir / "trace");
    const std::string command = KvbLine(dir, kvb, true) + "sync up --watch pc/proj /proj 2>&1";
    FILE* out = popen(command.c_str(), "r");
    if (!out) return w;
    std::string line;
    pid_t pid = 0;
    bool watching = false;
    while (ReadLine(out, line, 20000)) {
        if (!pid) pid = static_cast<pid_t>(std::atol(line.c_str()));
        if (line.rfind("watching", 0) == 0) {
            watching = true;
            break;
        }
    }
    SteadyClock clock;
    int done = 0;
    double total = 0;
    for (int i = 0; watching && i < kWatchSaves; ++i) {
        clock.SleepMs(300);
        const std::string name =
            "mod" + std::to_string(i % kFolders) + "/script" + std::to_string(20 + i) + ".lua";
        WriteFile(dir / "pc/proj" / name, Content(seed + i));
        const int64_t saved = clock.NowUs();
        while (ReadLine(out, line, 10000)) {
            if (line.rfind("send ", 0) == 0 && line.find(name) != std::string::npos) {
                total += (clock.NowUs() - saved) / 1e3;
                ++done;
                break;
            }
        }
    }
    if (pid) kill(pid, SIGINT);
    while (ReadLine(out, line, 10000)) {
    }
    pclose(out);
    w.ok = done == kWatchSaves;
    w.ms = done ? total / done : 0;
    // The first pass lists the six folders: what the saves cost comes after it.
    w.sent = ReadTrace(dir / "trace");
    w.sent.count["NFDIR"] -= kFolders + 1;
    return w;
}

struct Run {
    Timed first, nothing, three, full;
    WatchCycle watch;
    bool ok = false;
};

Run RunAll(const std::string& kvb, const fs::path& dir) {
    Run r;
    fs::remove_all(dir);
    fs::create_directories(dir / "dev");
    for (int f = 0; f < kFolders; ++f)
        for (int i = 0; i < kFilesPerFolder; ++i) {
            const fs::path file = dir / "pc/proj" / ("mod" + std::to_string(f)) /
                                  ("script" + std::to_string(i) + ".lua");
            fs::create_directories(file.parent_path());
            WriteFile(file, Content(f * 100 + i));
        }
    r.first = Kvb(dir, kvb, "sync up pc/proj /proj");
    r.nothing = Kvb(dir, kvb, "sync up pc/proj /proj");
    for (int f = 0; f < 3; ++f)
        WriteFile(dir / "pc/proj" / ("mod" + std::to_string(f)) / "script7.lua", Content(9999 + f));
    r.three = Kvb(dir, kvb, "sync up pc/proj /proj");
    r.full = Kvb(dir, kvb, "put -r pc/proj /full");
    r.watch = Watch(dir, kvb, 5000);
    r.ok = r.first.ok && r.nothing.ok && r.three.ok && r.full.ok && r.watch.ok &&
           r.three.sent.Of("NFWRITE") == 3 && r.nothing.sent.Of("NFWRITE") == 0 &&
           r.first.sent.Of("NFWRITE") == 200;
    return r;
}

// The floors, on the file service alone over the device's storage as the runs left it.
struct Floors {
    double listing = 0;  // one folder of 40 files, ms
    double listings = 0; // the project's six folders, s
    double replace = 0;  // one 2 KiB file replaced: written beside, old one deleted, renamed, ms
    double create = 0;   // one new 2 KiB file, ms
    double waits = 0;    // the fixed silent waits before each command, ms
    double nothing = 0;  // s
    double three = 0;    // s
    double watch = 0;    // ms
    double first = 0;    // s
};

Floors MeasureFloors(const fs::path& dir) {
    Floors f;
    SteadyClock clock;
    sim::SimDevice device(clock, std::make_unique<sim::FolderStorage>((dir / "dev").string()));
    sim::SimPlatform platform(device);
    SetClock(&clock);
    SetHidPlatform(&platform);
    {
        TkvComms comms;
        TkvTerminal term{comms};
        TkvbFiles files{term};
        comms.Connect();
        files.QuotePaths = true;
        std::vector<std::string> lines;
        int64_t t0 = clock.NowUs();
        files.ListDirectory("/proj", lines);
        for (int m = 0; m < kFolders; ++m)
            files.ListDirectory("/proj/mod" + std::to_string(m), lines);
        f.listings = (clock.NowUs() - t0) / 1e6;
        const int rounds = 10;
        t0 = clock.NowUs();
        for (int i = 0; i < rounds; ++i)
            files.ListDirectory("/proj/mod1", lines);
        f.listing = (clock.NowUs() - t0) / 1e3 / rounds;
        t0 = clock.NowUs();
        for (int i = 0; i < rounds; ++i) {
            const std::string path = "/proj/mod2/script" + std::to_string(i) + ".lua";
            files.WriteFile(path + ".kvbnew", Content(77 + i));
            files.DeleteFile(path);
            files.RenameFile(path + ".kvbnew", "script" + std::to_string(i) + ".lua");
        }
        f.replace = (clock.NowUs() - t0) / 1e3 / rounds;
        t0 = clock.NowUs();
        for (int i = 0; i < rounds; ++i)
            files.WriteFile("/full/new" + std::to_string(i) + ".lua", Content(1));
        f.create = (clock.NowUs() - t0) / 1e3 / rounds;
        t0 = clock.NowUs();
        for (int i = 0; i < rounds; ++i) {
            term.IsReady();       // the prompt check: silence, ESC, the prompt, silence
            files.DiscardInput(); // pending input read until silent
        }
        f.waits = (clock.NowUs() - t0) / 1e3 / rounds;
    }
    SetHidPlatform(nullptr);
    SetClock(nullptr);
    // Nothing changed: the six listings. Three files changed in three folders: the listings and
    // three replacements (a listing taken after a file went beside its old one shows both, so
    // that one listing per folder sees the device's changes and confirms the upload). A saved
    // file: its folder listed, the file replaced. The first sync: the six folders made, 200 new
    // files, each folder listed once (after its files went, to confirm them).
    f.nothing = f.listings;
    f.three = f.listings + 3 * f.replace / 1e3;
    f.watch = f.listing + f.replace;
    f.first = f.listings + kFolders * kFilesPerFolder * f.create / 1e3;
    return f;
}

void Line(const char* what, double now, const char* unit, double floor, const Commands& sent,
          const Run* old, double oldValue) {
    std::printf("%-28s %8.2f %s  floor %8.2f %s (x%.2f)", what, now, unit, floor, unit,
                floor > 0 ? now / floor : 0.0);
    if (old) std::printf("  old %8.2f %s", oldValue, unit);
    std::printf("\n%28s commands: %s\n", "", sent.Text().c_str());
}

} // namespace

int main(int argc, char** argv) {
    const fs::path dir = fs::temp_directory_path() / "kvb-sync-bench";
    std::unique_ptr<Run> old;
    if (argc > 1) {
        old = std::make_unique<Run>(RunAll(argv[1], dir));
        if (!old->ok) std::printf("(the old kvb's run failed somewhere)\n");
    }
    const Run now = RunAll(KV_KVB_FILE, dir);
    const Floors f = MeasureFloors(dir);
    fs::remove_all(dir);

    const Run* o = old.get();
    Line("sync up, first (no record)", now.first.seconds, "s", f.first, now.first.sent, o,
         o ? o->first.seconds : 0);
    Line("sync up, nothing changed", now.nothing.seconds, "s", f.nothing, now.nothing.sent, o,
         o ? o->nothing.seconds : 0);
    Line("sync up, 3 files changed", now.three.seconds, "s", f.three, now.three.sent, o,
         o ? o->three.seconds : 0);
    Line("put -r of the whole tree", now.full.seconds, "s", f.first, now.full.sent, o,
         o ? o->full.seconds : 0);
    Line("watch: save to sent", now.watch.ms, "ms", f.watch, now.watch.sent, o,
         o ? o->watch.ms : 0);
    if (o) std::printf("%28s old commands: %s\n", "", o->watch.sent.Text().c_str());
    std::printf("one listing of 40 files: %.1f ms; a 2 KiB file replaced: %.1f ms; a new one: "
                "%.1f ms, of which the prompt check and the discard: %.1f ms; the content at "
                "61,000 bytes/s: %.1f ms\n",
                f.listing, f.replace, f.create, f.waits, kFileSize / 61.0);
    std::printf("sync_first %.2f sync_nothing %.2f sync_three %.2f put_r %.2f watch_ms %.0f "
                "floor_nothing %.2f floor_three %.2f floor_watch_ms %.0f upload_ms %.1f "
                "waits_ms %.1f\n",
                now.first.seconds, now.nothing.seconds, now.three.seconds, now.full.seconds,
                now.watch.ms, f.nothing, f.three, f.watch, f.create, f.waits);
    return now.ok ? 0 : 1;
}
