// Sync benchmark against the paced simulated device (one 64-byte report per millisecond each
// way), in real time. A project of 200 files of 2 KiB in 5 folders: the first kvb sync up, a
// second with nothing changed, a third with 3 files changed, and a full kvb put -r of the same
// tree; then the cost of one small-file upload on the file service and the part of it that is
// the fixed silent waits before each command (the prompt check and the discard of pending input).
#include "files/kvbFiles.h"
#include "sim/SimDevice.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>

using namespace kv;
namespace fs = std::filesystem;

namespace {

constexpr int kFolders = 5, kFilesPerFolder = 40, kFileSize = 2048;

std::string Content(int seed) {
    std::string s(kFileSize, ' ');
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<char>('a' + (seed * 31 + i * 7) % 26);
    return s;
}

struct Timed {
    double seconds = 0;
    int written = 0; // NFWRITE commands the device received
    bool ok = false;
};

// kvb as a process against the paced simulated device on dir/dev.
Timed Kvb(const fs::path& dir, const std::string& args) {
    SteadyClock clock;
    const int64_t t0 = clock.NowUs();
    const std::string command = "cd '" + dir.string() +
                                "' && XDG_STATE_HOME=state KVB_SIM_TRACE=trace '" KV_KVB_FILE
                                "' -q --simulate dev " +
                                args + " >/dev/null";
    Timed t;
    t.ok = std::system(command.c_str()) == 0;
    t.seconds = (clock.NowUs() - t0) / 1e6;
    std::ifstream trace(dir / "trace");
    for (std::string line; std::getline(trace, line);)
        if (line.rfind("NFWRITE ", 0) == 0) ++t.written;
    return t;
}

void Line(const char* what, const Timed& t) {
    std::printf("%-34s %7.2f s  %3d file(s) sent%s\n", what, t.seconds, t.written,
                t.ok ? "" : "  (FAILED)");
}

} // namespace

int main() {
    const fs::path dir = fs::temp_directory_path() / "kvb-sync-bench";
    fs::remove_all(dir);
    fs::create_directories(dir / "dev");
    for (int f = 0; f < kFolders; ++f)
        for (int i = 0; i < kFilesPerFolder; ++i) {
            const fs::path file = dir / "pc/proj" / ("mod" + std::to_string(f)) /
                                  ("script" + std::to_string(i) + ".lua");
            fs::create_directories(file.parent_path());
            std::ofstream(file, std::ios::binary) << Content(f * 100 + i);
        }
    const Timed first = Kvb(dir, "sync up pc/proj /proj");
    Line("sync up, first (no record)", first);
    const Timed nothing = Kvb(dir, "sync up pc/proj /proj");
    Line("sync up, nothing changed", nothing);
    for (int f = 0; f < 3; ++f)
        std::ofstream(dir / "pc/proj" / ("mod" + std::to_string(f)) / "script7.lua",
                      std::ios::binary)
            << Content(9999 + f);
    const Timed three = Kvb(dir, "sync up pc/proj /proj");
    Line("sync up, 3 files changed", three);
    const Timed full = Kvb(dir, "put -r pc/proj /full");
    Line("put -r of the whole tree", full);
    const double ratio = three.seconds / full.seconds;
    std::printf("3-file sync / full put -r: %.3f\n", ratio);
    fs::remove_all(dir);

    // One small file on the file service, and the fixed silent waits before each command.
    SteadyClock clock;
    auto storage = std::make_unique<sim::MemoryStorage>();
    sim::SimDevice device(clock, std::move(storage));
    sim::SimPlatform platform(device);
    SetClock(&clock);
    SetHidPlatform(&platform);
    double upload = 0, waits = 0;
    {
        TkvComms comms;
        TkvTerminal term{comms};
        TkvbFiles files{term};
        comms.Connect();
        files.QuotePaths = true;
        const int rounds = 20;
        const std::string data = Content(1);
        int64_t t0 = clock.NowUs();
        for (int i = 0; i < rounds; ++i)
            files.WriteFile("/small" + std::to_string(i) + ".lua", data);
        upload = (clock.NowUs() - t0) / 1e3 / rounds;
        t0 = clock.NowUs();
        for (int i = 0; i < rounds; ++i) {
            term.IsReady();       // the prompt check: silence, ESC, the prompt, silence
            files.DiscardInput(); // pending input read until silent
        }
        waits = (clock.NowUs() - t0) / 1e3 / rounds;
        std::printf("one 2 KiB upload on the file service: %.1f ms, of which the prompt check and "
                    "the discard: %.1f ms (%.0f %%); the content itself at 61,000 bytes/s: %.1f "
                    "ms\n",
                    upload, waits, 100 * waits / upload, kFileSize / 61.0);
        std::printf("per file in put -r of 200: %.1f ms\n", full.seconds * 1000 / 200);
    }
    SetHidPlatform(nullptr);
    SetClock(nullptr);
    std::printf("sync_first %.2f sync_nothing %.2f sync_three %.2f put_r %.2f ratio %.3f "
                "upload_ms %.1f waits_ms %.1f\n",
                first.seconds, nothing.seconds, three.seconds, full.seconds, ratio, upload, waits);
    return first.ok && nothing.ok && three.ok && full.ok && three.written == 3 &&
                   nothing.written == 0 && first.written == 200
               ? 0
               : 1;
}
