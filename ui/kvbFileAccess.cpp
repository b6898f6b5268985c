// Program entry. Normally the program looks for the device by itself. With --simulate [FOLDER] it
// runs against the built-in simulated device instead, whose file system is FOLDER or a demo tree.
#include "Forms.h"
#include "sim/SimDevice.h"
#include "ufmMain.h"

#include <QApplication>
#include <QDir>
#include <cstdio>
#include <cstring>
#include <memory>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("kvbFileAccess");

    std::unique_ptr<kv::sim::SimDevice> device;
    std::unique_ptr<kv::sim::SimPlatform> platform;
    const QStringList args = QApplication::arguments();
    const qsizetype at = args.indexOf("--simulate");
    if (at >= 0) {
        std::unique_ptr<kv::sim::SimStorage> storage;
        if (at + 1 < args.size() && !args[at + 1].startsWith("-")) {
            const QString folder = QDir(args[at + 1]).absolutePath();
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
        device = std::make_unique<kv::sim::SimDevice>(kv::Clock(), std::move(storage), config);
        device->PrintConsole("Kovrin simulated device\r\n");
        platform = std::make_unique<kv::sim::SimPlatform>(*device);
        kv::SetHidPlatform(platform.get());
    }
    CreateForms();
    fmMain->show();
    const int result = QApplication::exec();
    DestroyForms();
    kv::SetHidPlatform(nullptr);
    return result;
}
