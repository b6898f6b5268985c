// The console pane on a real X server with a window manager, typed into by another X client as a
// person's keys arrive: a locked device whose password prompt comes in two parts, far enough
// apart that the window reads them in two polls. The keys go to the device as typed, the pane
// shows them as "*", and the device opens its console.
// Run under xvfb-run with QT_QPA_PLATFORM=xcb and a window manager (with-wm.sh); exits non-zero
// when a step fails.
#include "device/Clock.h"
#include "tools/SimWindow.h"

#include <QTextEdit>
#include <cstdio>

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
    if (failures) std::printf("the console pane:\n%s\n", Pane().toStdString().c_str());
    return failures == 0 ? 0 : 1;
}
