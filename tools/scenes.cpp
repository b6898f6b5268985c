// Pictures of the program's windows in typical situations, against the simulated device in real
// time: the connected main window, the log window with traffic, the terminal after a drop of two
// files and after a firmware drop, and the screen in the middle of a Save to PC chosen in the
// folder dialog. Usage: scenes SCENE OUT.png  (SCENE: main, log, drop, firmware, save)
#include "sim/SimDevice.h"
#include "ui/Forms.h"
#include "ui/UiHooks.h"
#include "ui/ufmLog.h"
#include "ui/ufmMain.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QPixmap>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

namespace {

void Run(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

QString MakeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& content) {
    const QString path = dir.filePath(name);
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(content);
    return path;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: scenes main|log|drop|firmware OUT.png\n");
        return 2;
    }
    const QString scene = argv[1];
    kv::sim::SimConfig config;
    config.logRatePerSecond = scene == "log" ? 25 : 2;
    config.rebootMs = 1500;
    config.loadMs = 200;
    config.verifyMs = 400;
    config.burnMs = 600;
    auto storage = kv::sim::DemoStorage();
    if (scene == "save") {
        std::string bytes(400 * 1024, '\0');
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>(i * 7919 >> 3);
        storage->AddFile("/Data/log-2026-12-01.bin", bytes);
        storage->AddFile("/Data/log-2026-12-02.bin", bytes);
        storage->AddFile("/Data/log-2026-12-03.bin", bytes);
    }
    kv::sim::SimDevice device(kv::Clock(), std::move(storage), config);
    kv::sim::SimPlatform platform(device);
    kv::SetHidPlatform(&platform);
    UiHooks().Question = [](QWidget*, const QString&, const QString&,
                            QMessageBox::StandardButtons) { return QMessageBox::Yes; };

    CreateForms();
    fmMain->show();
    Run(1500);
    QTemporaryDir pc;
    QWidget* subject = fmMain;
    if (scene == "main") {
        for (char c : std::string("ver\r"))
            fmMain->reTermKeyPress(c); // typed, with echo
        Run(600);
        fmMain->edDir->setText("/Lua");
        fmMain->actRefreshExecute();
        Run(600);
        // Two rows selected, as Save to PC or Delete would take them.
        for (int row = 0; row < fmMain->lvFiles->topLevelItemCount(); ++row)
            fmMain->lvFiles->topLevelItem(row)->setSelected(
                fmMain->lvFiles->topLevelItem(row)->text(0).endsWith(".lua"));
        Run(200);
    } else if (scene == "log") {
        fmMain->actShowLog->trigger();
        fmLog->cbModemRxTx->click();
        fmLog->resize(1000, 380);
        Run(4000);
        subject = fmLog;
    } else if (scene == "drop") {
        fmMain->dftFilesDrop({MakeFile(pc, "blink.lua", "led(1)\r\nsleep(500)\r\nled(0)\r\n"),
                              MakeFile(pc, "config.txt", "name=bench\r\ninterval=30\r\n")},
                             false);
        Run(800);
    } else if (scene == "firmware") {
        fmMain->dftFilesDrop({MakeFile(pc, "app.blf", QByteArray(70000, 'F'))}, false);
        Run(3000); // the device restarts into its application and is found again
    } else if (scene == "save") {
        // The folder dialog of the program, over the window, answered after a moment; the
        // screen as the X server shows it, 3 s into the copy.
        fmMain->SaveDir = pc.path();
        for (int row = 0; row < fmMain->lvFiles->topLevelItemCount(); ++row)
            fmMain->lvFiles->topLevelItem(row)->setSelected(
                fmMain->lvFiles->topLevelItem(row)->text(0) == "Data");
        ResetUiHooks();
        QTimer::singleShot(1500, [] {
            if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget()))
                QMetaObject::invokeMethod(dialog, "accept");
        });
        bool shot = false;
        QTimer::singleShot(1500 + 3000, [&] {
            shot = QGuiApplication::primaryScreen()->grabWindow(0).save(argv[2]);
        });
        fmMain->actSaveExecute();
        DestroyForms();
        kv::SetHidPlatform(nullptr);
        return shot ? 0 : 1;
    }
    const bool saved = subject->grab().save(argv[2]);
    DestroyForms();
    kv::SetHidPlatform(nullptr);
    return saved ? 0 : 1;
}
