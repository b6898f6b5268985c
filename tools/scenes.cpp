// Pictures of the program's windows in typical situations, against the simulated device in real
// time: the connected main window, the log window with traffic, the terminal after a drop of two
// files and after a firmware drop, the screen in the middle of a Save to PC chosen in the
// folder dialog, the editor on a Lua script with a search under way and a change not yet saved,
// the file list sorted by size (largest first), a long program message wrapped in the pane, and
// the boot loader with the Device menu open.
// Usage: scenes SCENE OUT.png  (SCENE: main, log, drop, firmware, save, editor, sorted, message,
// bootloader)
#include "tools/SimWindow.h"
#include "ui/CodeEdit.h"
#include "ui/FindBar.h"
#include "ui/ufmDialogs.h"
#include "ui/ufmLog.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QScreen>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTimer>
#include <cstdio>

namespace {

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
        std::fprintf(stderr,
                     "usage: scenes main|log|drop|firmware|save|editor|sorted|message|bootloader "
                     "OUT.png\n");
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
    if (scene == "sorted") {
        storage->AddFile("/Lua/blink.lua", std::string(310, 'b'));
        storage->AddFile("/Lua/sensors.lua", std::string(5120, 's'));
        storage->AddFile("/Lua/modem.lua", std::string(1744, 'm'));
        storage->AddDir("/Lua/old");
    }
    if (scene == "editor")
        storage->AddFile("/Lua/blink.lua",
                         "--[[ Blinks the status light while the device waits for work.\r\n"
                         "     Started from main.lua. ]]\r\n"
                         "local util = require(\"lib.util\")\r\n\r\n"
                         "local PERIOD_MS = 500 -- one on and one off\r\n"
                         "local count = 0\r\n\r\n"
                         "function blink(times)\r\n"
                         "  for i = 1, times do\r\n"
                         "    led(1)\r\n"
                         "    sleep(PERIOD_MS)\r\n"
                         "    led(0)\r\n"
                         "    sleep(PERIOD_MS)\r\n"
                         "    count = count + 1\r\n"
                         "  end\r\n"
                         "  print(\"blinked \" .. tostring(count) .. ' times')\r\n"
                         "end\r\n\r\n"
                         "while not util.stopped() do\r\n"
                         "  blink(3)\r\n"
                         "  sleep(0x7D0)\r\n"
                         "end\r\n");
    SimWindow window(std::move(storage), config);
    UiHooks().Question = [](QWidget*, const QString&, const QString&,
                            QMessageBox::StandardButtons) { return QMessageBox::Yes; };
    UiHooks().Caution = UiHooks().Question;
    SimWindow::Run(1500);
    const QTemporaryDir& pc = window.pc;
    QWidget* subject = fmMain;
    if (scene == "main") {
        for (char c : std::string("ver\r"))
            fmMain->reTermKeyPress(c); // typed, with echo
        SimWindow::Run(600);
        fmMain->edDir->setText("/Lua");
        fmMain->actRefreshExecute();
        SimWindow::Run(600);
        // Two rows selected, as Save to PC or Delete would take them.
        for (int row = 0; row < fmMain->lvFiles->topLevelItemCount(); ++row)
            fmMain->lvFiles->topLevelItem(row)->setSelected(
                fmMain->lvFiles->topLevelItem(row)->text(0).endsWith(".lua"));
        SimWindow::Run(200);
    } else if (scene == "log") {
        fmMain->actShowLog->trigger();
        fmLog->cbModemRxTx->click();
        fmLog->resize(1000, 380);
        SimWindow::Run(4000);
        subject = fmLog;
    } else if (scene == "drop") {
        fmMain->dftFilesDrop({MakeFile(pc, "blink.lua", "led(1)\r\nsleep(500)\r\nled(0)\r\n"),
                              MakeFile(pc, "config.txt", "name=bench\r\ninterval=30\r\n")},
                             false);
        SimWindow::Run(800);
    } else if (scene == "firmware") {
        fmMain->dftFilesDrop({MakeFile(pc, "app.blf", QByteArray(70000, 'F'))}, false);
        SimWindow::Run(3000); // the device restarts into its application and is found again
    } else if (scene == "save") {
        // The folder dialog of the program, over the window, answered after a moment; the
        // screen as the X server shows it, 3 s into the copy.
        fmMain->SaveDir = pc.path();
        SimWindow::SelectOnly("Data");
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
        return shot ? 0 : 1;
    } else if (scene == "sorted") {
        fmMain->edDir->setText("/Lua");
        fmMain->actRefreshExecute();
        fmMain->SortBy(1);
        fmMain->SortBy(1); // the header clicked twice: the largest first
        SimWindow::Run(400);
    } else if (scene == "message") {
        // Device output on long lines, then Load Firmware outside the boot loader: its message
        // wraps at the pane's edge, the device's lines do not.
        for (char c : std::string("help\r"))
            fmMain->reTermKeyPress(c);
        SimWindow::Run(600);
        const QString image = MakeFile(pc, "app.blf", QByteArray(2000, 'F'));
        UiHooks().OpenFile = [image](QWidget*, const QString&) { return image; };
        fmMain->actFirmwareExecute();
        SimWindow::Run(600);
    } else if (scene == "bootloader") {
        // The device restarted into its boot loader: the console says how to go on, and the
        // Device menu offers Start Firmware.
        for (char c : std::string("boot\r"))
            fmMain->reTermKeyPress(c);
        SimWindow::Run(4000);
        bool shot = false;
        QTimer::singleShot(800, [&] {
            shot = QGuiApplication::primaryScreen()->grabWindow(0).save(argv[2]);
            fmMain->mnDevice->close();
        });
        const QRect title = fmMain->menuBar()->actionGeometry(fmMain->mnDevice->menuAction());
        fmMain->mnDevice->exec(fmMain->menuBar()->mapToGlobal(title.bottomLeft()));
        return shot ? 0 : 1;
    } else if (scene == "editor") {
        fmMain->edDir->setText("/Lua");
        fmMain->actRefreshExecute();
        SimWindow::Run(400);
        SimWindow::SelectOnly("blink.lua");
        bool shot = false;
        QTimer::singleShot(800, [&] {
            // A change typed on line 5, then a search for the light's calls.
            QTextCursor caret(fmFile->reFile->document()->findBlockByNumber(4));
            caret.movePosition(QTextCursor::EndOfBlock);
            caret.insertText(", in ms");
            fmFile->FindBar->OpenFind();
            fmFile->FindBar->edFind->setText("led(");
            fmFile->FindBar->FindNext();
            fmFile->FindBar->FindNext();
            SimWindow::Run(300);
            shot = fmFile->grab().save(argv[2]);
            fmFile->done(QDialog::Rejected); // the question is answered Yes: the change dropped
        });
        fmMain->actEditExecute();
        return shot ? 0 : 1;
    }
    return subject->grab().save(argv[2]) ? 0 : 1;
}
