// Transfer benchmark against the simulated device: a 1 MiB download and upload and a listing of
// 1000 entries in real time with link pacing on, as ratios to what the link allows; then the
// host's CPU time per MiB on virtual time, where nothing waits.
#include "files/kvbFiles.h"
#include "sim/SimDevice.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

using namespace kv;

namespace {

constexpr double kLinkPayloadBytesPerSecond = 61000.0;
constexpr size_t kMiB = 1 << 20;

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

std::string Payload(size_t size) {
    std::string s(size, '\0');
    uint32_t x = 12345;
    for (auto& c : s) {
        x = x * 1103515245 + 12345;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

struct Rig {
    explicit Rig(IClock& clock) {
        auto storage = std::make_unique<sim::MemoryStorage>();
        fs = storage.get();
        fs->AddFile("/bench/file.bin", Payload(kMiB));
        for (int i = 0; i < 1000; ++i)
            fs->AddFile("/many/entry_" + std::to_string(i) + ".lua", "x",
                        sim::PackFatTime(2026, 12, 1, 10, 0, 0));
        device = std::make_unique<sim::SimDevice>(clock, std::move(storage));
        platform = std::make_unique<sim::SimPlatform>(*device);
        SetClock(&clock);
        SetHidPlatform(platform.get());
        comms.Connect();
    }
    ~Rig() {
        SetHidPlatform(nullptr);
        SetClock(nullptr);
    }
    sim::MemoryStorage* fs;
    std::unique_ptr<sim::SimDevice> device;
    std::unique_ptr<sim::SimPlatform> platform;
    TkvComms comms;
    TkvTerminal term{comms};
    TkvbFiles files{term};
};

} // namespace

int main() {
    const std::string data = Payload(kMiB);
    double download = 0, upload = 0, list = 0, cpuPerMiB = 0;
    {
        SteadyClock clock;
        Rig rig(clock);
        std::string content;

        int64_t t0 = clock.NowUs();
        const bool okDown = rig.files.ReadFile("/bench/file.bin", content) && content == data;
        const double downSeconds = (clock.NowUs() - t0) / 1e6;
        download = kMiB / downSeconds / kLinkPayloadBytesPerSecond;
        std::printf("download 1 MiB: %.2f s, %.0f bytes/s, ratio %.3f%s\n", downSeconds,
                    kMiB / downSeconds, download, okDown ? "" : " (CONTENT WRONG)");

        t0 = clock.NowUs();
        const bool okUp = rig.files.WriteFile("/bench/up.bin", data);
        const double upSeconds = (clock.NowUs() - t0) / 1e6;
        std::string stored;
        rig.fs->ReadFile({"bench", "up.bin"}, stored);
        upload = kMiB / upSeconds / kLinkPayloadBytesPerSecond;
        std::printf("upload 1 MiB: %.2f s, %.0f bytes/s, ratio %.3f%s\n", upSeconds,
                    kMiB / upSeconds, upload, okUp && stored == data ? "" : " (CONTENT WRONG)");

        // The listing's own floor: every report of the exchange at one per millisecond, plus the
        // reads that by design end in silence (50 ms in the prompt check; 100 ms before the
        // command and 100 ms after the prompt).
        std::vector<std::string> lines;
        const uint64_t inBefore = rig.device->reportsSent;
        const size_t outBefore = rig.device->received.size();
        t0 = clock.NowUs();
        rig.files.ListDirectory("/many", lines);
        const double listSeconds = (clock.NowUs() - t0) / 1e6;
        const double reports = double(rig.device->reportsSent - inBefore) +
                               double(rig.device->received.size() - outBefore);
        const double floorSeconds = reports * 0.001 + 0.250;
        list = floorSeconds / listSeconds;
        std::printf("list 1000 entries: %zu lines, %.0f reports, %.3f s (floor %.3f s), "
                    "%.0f entries/s, ratio %.3f\n",
                    lines.size(), reports, listSeconds, floorSeconds, lines.size() / listSeconds,
                    list);
    }
    {
        VirtualClock clock;
        Rig rig(clock);
        std::string content;
        const double c0 = CpuSeconds();
        rig.files.ReadFile("/bench/file.bin", content);
        rig.files.WriteFile("/bench/up.bin", data);
        cpuPerMiB = (CpuSeconds() - c0) * 1000 / 2;
        std::printf("CPU per MiB on virtual time (host and simulated device together): %.1f ms\n",
                    cpuPerMiB);
    }
    // kvb as the user runs it: a whole process against the paced simulated device on a folder,
    // start-up, the listing that finds the file's time stamp and the transfer together.
    double kvbGet = 0, kvbPut = 0;
    {
        namespace fs = std::filesystem;
        const fs::path dir = fs::temp_directory_path() / "kvb-bench";
        fs::remove_all(dir);
        fs::create_directories(dir / "dev");
        std::ofstream(dir / "dev/file.bin", std::ios::binary) << data;
        std::ofstream(dir / "up.bin", std::ios::binary) << data;
        const auto run = [&](const std::string& args) {
            SteadyClock clock;
            const int64_t t0 = clock.NowUs();
            const std::string command = "cd '" + dir.string() + "' && '" KV_KVB_FILE "' -q " + args;
            const bool ok = std::system(command.c_str()) == 0;
            return ok ? kMiB / ((clock.NowUs() - t0) / 1e6) / kLinkPayloadBytesPerSecond : 0.0;
        };
        kvbGet = run("--simulate dev get /file.bin got.bin");
        std::string got;
        std::ifstream in(dir / "got.bin", std::ios::binary);
        got.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        std::printf("kvb get 1 MiB: ratio %.3f%s\n", kvbGet, got == data ? "" : " (CONTENT WRONG)");
        kvbPut = run("--simulate dev put up.bin /");
        std::string stored;
        std::ifstream up(dir / "dev/up.bin", std::ios::binary);
        stored.assign(std::istreambuf_iterator<char>(up), std::istreambuf_iterator<char>());
        std::printf("kvb put 1 MiB: ratio %.3f%s\n", kvbPut,
                    stored == data ? "" : " (CONTENT WRONG)");
        fs::remove_all(dir);
    }
    std::printf(
        "download %.3f upload %.3f list %.3f cpu_ms_per_mib %.1f kvb_get %.3f kvb_put %.3f\n",
        download, upload, list, cpuPerMiB, kvbGet, kvbPut);
    return 0;
}
