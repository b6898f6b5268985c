// Program entry. Normally the program looks for the device by itself. With --simulate [FOLDER] it
// runs against the built-in simulated device instead, whose file system is FOLDER or a demo tree;
// each further --simulate attaches one more, with the next serial number. --device SERIAL makes
// the window connect to that device alone, and wait for it while it is not attached.
#include "CommandLine.h"
#include "Forms.h"
#include "UiHooks.h"
#include "sim/SimDevice.h"
#include "ufmMain.h"

#include <QApplication>
#include <QDir>
#include <cstdio>
#include <memory>
#include <vector>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("kvbFileAccess");

    const TCommandLine line = ParseCommandLine(QApplication::arguments());
    if (!line.Error.isEmpty()) {
        std::fprintf(stderr, "kvbFileAccess: %s\n", qPrintable(line.Error));
        return 2;
    }
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
