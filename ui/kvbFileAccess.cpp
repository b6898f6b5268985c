// Program entry. Normally the program looks for the device by itself. With --simulate [FOLDER] it
// runs against the built-in simulated device instead, whose file system is FOLDER or a demo tree;
// each further --simulate attaches one more, with the next serial number. --device SERIAL makes
// the window connect to that device alone, and wait for it while it is not attached.
// For the tests that drive the program from outside, KVB_SIM_FAULTS (every simulated device) and
// KVB_SIM_FAULTS_N (the Nth alone) name faults as for kvb, with the times of unplug-at and
// present-from counted in milliseconds from the program's start.
#include "CommandLine.h"
#include "Forms.h"
#include "UiHooks.h"
#include "device/Clock.h"
#include "sim/SimDevice.h"
#include "sim/SimTimeline.h"
#include "ufmMain.h"

#include <QApplication>
#include <QDir>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

// The process clock counted from the program's start, for the times of a fault timeline.
class SinceStart final : public kv::IClock {
  public:
    int64_t NowUs() override { return kv::Clock().NowUs() - start_; }
    void SleepUntilUs(int64_t t) override { kv::Clock().SleepUntilUs(t + start_); }

  private:
    int64_t start_ = kv::Clock().NowUs();
};

} // namespace

int main(int argc, char* argv[]) {
    SinceStart sinceStart;
    QApplication app(argc, argv);
    QApplication::setApplicationName("kvbFileAccess");

    const TCommandLine line = ParseCommandLine(QApplication::arguments());
    if (!line.Error.isEmpty()) {
        std::fprintf(stderr, "kvbFileAccess: %s\n", qPrintable(line.Error));
        return 2;
    }
    if (!line.Dialect.isEmpty()) qputenv("KVB_SIM_DIALECT", line.Dialect.toLatin1());
    std::vector<std::unique_ptr<kv::sim::SimDevice>> devices;
    kv::sim::SimBus bus;
    for (qsizetype i = 0; i < line.Simulated.size(); ++i) {
        std::unique_ptr<kv::sim::SimStorage> storage;
        if (!line.Simulated[i].isEmpty()) {
            const QString folder = QDir(line.Simulated[i]).absolutePath();
            if (!QDir(folder).exists()) {
                std::fprintf(stderr, "kvbFileAccess: no such folder: %s\n", qPrintable(folder));
                return 2;
            }
            storage = std::make_unique<kv::sim::FolderStorage>(folder.toLocal8Bit().toStdString());
        } else {
            storage = kv::sim::DemoStorage();
        }
        kv::sim::SimConfig config;
        config.logRatePerSecond = 2;
        config.serial = kv::sim::NthSerial(config.serial, static_cast<size_t>(i));
        devices.push_back(
            std::make_unique<kv::sim::SimDevice>(kv::Clock(), std::move(storage), config));
        devices.back()->PrintConsole("Kovrin simulated device\r\n");
        for (const std::string& name :
             {std::string("KVB_SIM_FAULTS"), "KVB_SIM_FAULTS_" + std::to_string(i + 1)}) {
            const char* faults = std::getenv(name.c_str());
            std::string rest;
            if (faults && (!kv::sim::ApplyTimeline(faults, sinceStart, *devices.back(), rest) ||
                           !kv::sim::ParseFaults(rest, devices.back()->faults))) {
                std::fprintf(stderr, "kvbFileAccess: unknown %s: %s\n", name.c_str(), faults);
                return 2;
            }
        }
        bus.Attach(*devices.back(), kv::sim::NthPath(static_cast<size_t>(i)));
    }
    if (!devices.empty()) kv::SetHidPlatform(&bus);
    CreateForms();
    if (!line.Device.isEmpty()) fmMain->ChooseDevice(ToDevice(line.Device));
    fmMain->show();
    const int result = QApplication::exec();
    DestroyForms();
    kv::SetHidPlatform(nullptr);
    return result;
}
