// Window load benchmarks, offscreen, on virtual time for the device and real CPU time for the
// window's thread:
//   ui_bench term   console output at the link's full rate (61,000 bytes/s) for 30 s, fed to the
//                   terminal pane in 250 ms ticks; prints the share of one core spent.
//   ui_bench log    a log flood of 1000 messages/s for 30 s polled every 250 ms; prints the share
//                   of one core spent and the pane's size at the end.
//   ui_bench save   in real time with the link paced as the real one: a 1 MiB download by the
//                   file service alone, then the window's Save to PC of the same file, which
//                   delivers the window's events during the download; prints both as ratios to
//                   the link's 61,000 payload bytes/s and the CPU each took.
//   ui_bench soak [MINUTES]  console and log floods filling the link with the window open for
//                   MINUTES (default 10) of device time; prints resident memory and pane sizes.
#include "sim/SimDevice.h"
#include "tools/SimWindow.h"
#include "ui/Forms.h"
#include "ui/RichEditUtils.h"
#include "ui/ufmLog.h"
#include "ui/ufmMain.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QTimer>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

namespace {

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> value;
            return value;
        }
        status.ignore(1 << 20, '\n');
    }
    return 0;
}

// 250 ms of console output (15250 bytes: 61,000 bytes/s): lines of text with a prompt now and
// then.
std::string ConsoleChunk(int tick, size_t size = 15250) {
    std::string chunk;
    int line = 0;
    while (chunk.size() < size) {
        if (line % 20 == 19)
            chunk += "\xAB"
                     "Kovrin>\xBB";
        chunk += "tick " + std::to_string(tick) + " line " + std::to_string(line++) +
                 ": sensor=20.5 state=ok counter=123456789\r\n";
    }
    chunk.resize(size);
    return chunk;
}

struct Rig {
    explicit Rig(int logRate) {
        kv::SetClock(&clock);
        kv::sim::SimConfig config;
        config.logRatePerSecond = logRate;
        device = std::make_unique<kv::sim::SimDevice>(clock, kv::sim::DemoStorage(), config);
        platform = std::make_unique<kv::sim::SimPlatform>(*device);
        kv::SetHidPlatform(platform.get());
        CreateForms();
        fmMain->Timer1->stop();
        fmMain->Timer2->stop();
        fmMain->show();
        fmMain->Timer1Timer();
    }
    ~Rig() {
        DestroyForms();
        kv::SetHidPlatform(nullptr);
        kv::SetClock(nullptr);
    }
    kv::VirtualClock clock;
    std::unique_ptr<kv::sim::SimDevice> device;
    std::unique_ptr<kv::sim::SimPlatform> platform;
};

int Term() {
    Rig rig(0);
    const int ticks = 120; // 30 s
    std::vector<std::string> chunks;
    for (int i = 0; i < ticks; ++i)
        chunks.push_back(ConsoleChunk(i));
    const double c0 = CpuSeconds();
    for (int i = 0; i < ticks; ++i) {
        fmMain->TermOutput(chunks[i]);
        QApplication::processEvents();
    }
    const double cpu = CpuSeconds() - c0;
    std::printf("terminal: %d ticks of 15250 bytes (30 s at 61,000 bytes/s): %.3f s CPU, "
                "share of one core %.1f %%, pane %d characters\n",
                ticks, cpu, cpu / 30 * 100, RichEditLength(fmMain->reTerm));
    return 0;
}

int Log() {
    Rig rig(1000);
    fmMain->actShowLog->trigger();
    fmLog->cbModemRxTx->click();
    const double c0 = CpuSeconds();
    for (int i = 0; i < 120; ++i) {
        rig.clock.AdvanceMs(250);
        fmMain->Timer1Timer();
        QApplication::processEvents();
    }
    const double cpu = CpuSeconds() - c0;
    std::printf("log: 30 s at 1000 messages/s: %.3f s CPU, share of one core %.1f %%, "
                "log pane %d characters, modem pane %d characters\n",
                cpu, cpu / 30 * 100, RichEditLength(fmLog->reLog), RichEditLength(fmLog->reModem));
    return 0;
}

int Soak(int minutes) {
    // The link carries one report per millisecond: 400 log messages and about 590 console reports
    // (36,000 bytes) per second fill it.
    Rig rig(400);
    fmMain->actShowLog->trigger();
    fmLog->cbModemRxTx->click();
    const int ticks = minutes * 60 * 4;
    long warm = 0;
    const long start = ResidentKiB();
    for (int i = 0; i < ticks; ++i) {
        // Console output at the link's rate, on top of the log flood.
        rig.device->PrintConsole(ConsoleChunk(i, 9000));
        rig.clock.AdvanceMs(250);
        fmMain->Timer1Timer();
        if (i % 8 == 0) fmMain->Timer2Timer();
        QApplication::processEvents();
        if (i == ticks / 2) warm = ResidentKiB(); // half-way: the panes are at their limits
    }
    const long end = ResidentKiB();
    std::printf("soak: %d min of device time; resident memory at start %ld KiB, half-way %ld "
                "KiB, at the end %ld KiB (growth in the second half: %ld KiB); terminal %d, log "
                "%d, modem %d characters\n",
                minutes, start, warm, end, end - warm, RichEditLength(fmMain->reTerm),
                RichEditLength(fmLog->reLog), RichEditLength(fmLog->reModem));
    return 0;
}

int Save() {
    std::string content(1 << 20, '\0');
    uint32_t x = 12345;
    for (auto& c : content) {
        x = x * 1103515245 + 12345;
        c = static_cast<char>(x >> 16);
    }
    auto storage = kv::sim::DemoStorage();
    storage->AddFile("/big.bin", content);
    SimWindow window(std::move(storage));
    fmMain->Timer1->stop();
    fmMain->Timer2->stop();
    fmMain->Timer1Timer();
    const auto ratio = [](double seconds) { return (1 << 20) / seconds / 61000.0; };

    std::string read;
    double c0 = CpuSeconds();
    int64_t t0 = kv::Clock().NowUs();
    const bool served = fmMain->Files->ReadFile("/big.bin", read) && read == content;
    const double serviceSeconds = (kv::Clock().NowUs() - t0) / 1e6;
    const double serviceCpu = CpuSeconds() - c0;

    SimWindow::SelectOnly("big.bin");
    int deliveries = 0;
    QTimer counter;
    QObject::connect(&counter, &QTimer::timeout, [&] { ++deliveries; });
    counter.start(0);
    c0 = CpuSeconds();
    t0 = kv::Clock().NowUs();
    fmMain->actSaveExecute();
    const double windowSeconds = (kv::Clock().NowUs() - t0) / 1e6;
    const double windowCpu = CpuSeconds() - c0;
    counter.stop();
    QFile saved(window.pc.filePath("big.bin"));
    const bool whole = saved.open(QIODevice::ReadOnly) && saved.readAll().toStdString() == content;
    std::printf(
        "save: file service alone %.2f s (ratio %.3f, CPU %.2f s); window Save to PC %.2f s "
        "(ratio %.3f, CPU %.2f s, %d event deliveries); %s\n",
        serviceSeconds, ratio(serviceSeconds), serviceCpu, windowSeconds, ratio(windowSeconds),
        windowCpu, deliveries, served && whole ? "both byte-exact" : "NOT byte-exact");
    return served && whole ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const std::string mode = argc > 1 ? argv[1] : "term";
    if (mode == "term") return Term();
    if (mode == "log") return Log();
    if (mode == "save") return Save();
    if (mode == "soak") return Soak(argc > 2 ? std::atoi(argv[2]) : 10);
    std::fprintf(stderr, "usage: ui_bench term|log|save|soak [MINUTES]\n");
    return 2;
}
