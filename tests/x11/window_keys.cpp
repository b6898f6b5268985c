// The window on a real X server with a window manager, typed into by another X client as a
// person's keys arrive:
//  1. a locked device whose password prompt comes in two parts, far enough apart that the window
//     reads them in two polls: the keys go to the device as typed, the pane shows them as "*",
//     and the device opens its console;
//  2. a path that is not on the device, typed into the path field: said, and the list stays;
//  3. Delete on a folder's row, then Enter: the question names the folder and Enter keeps it;
//  4. About from the keyboard, as Alt+A and as Alt let go, then A.
// Run under xvfb-run with QT_QPA_PLATFORM=xcb and a window manager (with-wm.sh); exits non-zero
// when a step fails.
#include "device/Clock.h"
#include "tools/SimWindow.h"

#include "ui/ufmAbout.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QTextEdit>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <thread>

namespace {

int failures = 0;

void Check(bool ok, const std::string& what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what.c_str());
    if (!ok) ++failures;
}

template <typename Condition> bool RunUntil(Condition done, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms)
        SimWindow::Run(50);
    return done();
}

QString Pane() {
    return fmMain->reTerm->toPlainText();
}

void Xdotool(const std::string& arguments) {
    std::system(("xdotool " + arguments).c_str());
}

std::string At(QWidget* widget, QPoint point) {
    const QPoint global = widget->mapToGlobal(point);
    return "mousemove " + std::to_string(global.x()) + " " + std::to_string(global.y());
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    auto storage = std::make_unique<kv::sim::MemoryStorage>();
    storage->AddDir("/Lua");
    kv::sim::SimConfig config;
    config.password = "sesame";
    SimWindow window(std::move(storage), config);
    // Longer than the window's poll, so that no poll sees the prompt whole.
    window.device.faults.promptPauseMs = 700;
    fmMain->activateWindow();
    if (!RunUntil([] { return Pane().contains("PASSWORD:"); }, 20000)) {
        std::fprintf(stderr, "no password prompt came: %s\n", Pane().toStdString().c_str());
        return 1;
    }
    SimWindow::Run(1000);
    const QPoint pane = fmMain->reTerm->viewport()->mapToGlobal(
        fmMain->reTerm->viewport()->rect().bottomLeft() + QPoint(20, -10));
    std::system(("xdotool mousemove " + std::to_string(pane.x()) + " " + std::to_string(pane.y()) +
                 " click 1 sleep 0.3 type --delay 120 sesame")
                    .c_str());
    SimWindow::Run(1500);
    const QString typed = Pane();
    Check(typed.endsWith("PASSWORD:******"),
          "the keys show as * after the prompt: ..." + typed.right(40).toStdString());
    Check(!typed.contains("sesame"), "the password itself is not shown");
    std::system("xdotool key Return");
    Check(RunUntil([] { return Pane().contains("Kovrin>"); }, 10000),
          "the device took the password as typed and opened its console");
    window.device.faults.promptPauseMs = 0;
    fmMain->actRefreshExecute();
    if (!RunUntil([] { return SimWindow::SelectOnly("Lua"); }, 10000)) {
        std::fprintf(stderr, "the window did not list the device after the password\n");
        return 1;
    }

    // What the person's keys met, seen from the window's event loop while they type.
    QString asked, aboutBy;
    std::atomic<int> step{0};
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            asked = box->text();
        if (fmAbout->isVisible() && !aboutBy.contains(QString::number(step)))
            aboutBy += QString::number(step);
    });
    look.start(50);
    const std::string field = At(fmMain->edDir, fmMain->edDir->rect().center());
    const QRect row = fmMain->lvFiles->visualItemRect(fmMain->lvFiles->topLevelItem(
        fmMain->lvFiles->indexOfTopLevelItem(fmMain->lvFiles->selectedItems().value(0))));
    const std::string lua = At(fmMain->lvFiles->viewport(), row.center());
    const QString shown = fmMain->edDir->text();
    std::atomic<bool> done{false};
    std::thread person([&] {
        Xdotool(field + " click --repeat 3 1 sleep 0.3 type --delay 60 /nowhere");
        Xdotool("key Return sleep 1.5");
        Xdotool(lua + " click 1 sleep 0.5 key Delete sleep 1.5 key Return sleep 1");
        step = 1;
        Xdotool("key alt+a sleep 1.5 key Escape sleep 1");
        step = 2;
        Xdotool("key alt sleep 0.3 key a sleep 1.5 key Escape sleep 1");
        done = true;
    });
    RunUntil([&] { return done.load(); }, 40000);
    person.join();
    Check(Pane().contains("/nowhere: there is no such folder on the device"),
          "a path that is not there is said");
    Check(SimWindow::SelectOnly("Lua") && fmMain->edDir->text() == shown,
          "and the window stays where it was: " + fmMain->edDir->text().toStdString());
    Check(asked == "Delete the folder \"Lua\" and everything in it?",
          "Delete on a folder asks about the folder: " + asked.toStdString());
    kv::sim::SimEntry folder;
    Check(window.device.storage().Stat(kv::sim::SplitPath("/Lua"), folder) && folder.IsDir(),
          "Enter at the question keeps the folder");
    Check(aboutBy == "12", "About opens with Alt+A and with Alt, then A: " + aboutBy.toStdString());
    if (failures) std::printf("the console pane:\n%s\n", Pane().toStdString().c_str());
    return failures == 0 ? 0 : 1;
}
