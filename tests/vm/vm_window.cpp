// Runs inside the virtual machine: the program's real main window (offscreen) with its own timers
// against the bridged device, on the real Linux backend. The device is unplugged and comes back,
// then restarts into its boot loader and back into its application; the window must notice each
// change and recover by itself, with no key pressed after the command that asked for it.
// Prints one line per check and "VMWINDOW RESULT: PASS" or "... FAIL" at the end.
#include "ui/Forms.h"
#include "ui/ufmMain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>
#include <cstdio>
#include <functional>

namespace {

int failures = 0;

void Check(bool ok, const QString& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", qPrintable(what));
    std::fflush(stdout);
    if (!ok) ++failures;
}

// Lets the window run (timers, painting) until done() holds or timeoutMs pass; the time it took.
qint64 RunUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeoutMs)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done() ? t.elapsed() : -1;
}

QString Panel() {
    return fmMain->memInfo->toPlainText();
}

bool Listed(const char* dir) {
    return fmMain->Comms->IsConnected() && fmMain->lvFiles->isEnabled() &&
           fmMain->lvFiles->topLevelItemCount() > 0 && fmMain->edDir->text() == dir;
}

// Keys as the user types them into the terminal pane.
void Type(const std::string& text) {
    for (char c : text) {
        char key = c;
        fmMain->reTermKeyPress(key);
    }
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    CreateForms();
    fmMain->show();

    Check(RunUntil([] { return Listed(""); }, 60000) >= 0, "the window finds the device");
    fmMain->ShowDirectory("/Lua");
    Check(Listed("/Lua"), "and lists /Lua");

    // Unplugged for 2 s: nothing is written by the window while it is away.
    fmMain->Comms->WriteMessage("BRIDGE UNPLUG", 30, 0, 200);
    qint64 ms = RunUntil([] { return !fmMain->Comms->IsConnected() && Panel().isEmpty(); }, 3000);
    Check(ms >= 0 && ms <= 1500,
          QString("the unplug closes the link and empties the panel (%1 ms)").arg(ms));
    fmMain->lvFiles->clear();
    ms = RunUntil([] { return Listed("/Lua") && !Panel().isEmpty(); }, 15000);
    Check(ms >= 0, QString("the device is found again and /Lua listed afresh (%1 ms)").arg(ms));

    // "boot" typed: the device restarts into its boot loader, which the window must find alone.
    Type("boot\r");
    ms = RunUntil([] { return Panel().contains("BootLoader") && fmMain->Comms->IsConnected(); },
                  20000);
    Check(ms >= 0, QString("after \"boot\" the panel shows the boot loader (%1 ms)").arg(ms));
    Type("run\r");
    ms = RunUntil([] { return !Panel().contains("BootLoader") && Listed("/Lua"); }, 20000);
    Check(ms >= 0, QString("after \"run\" the application is back and /Lua listed (%1 ms): %2")
                       .arg(ms)
                       .arg(Panel().replace('\n', " | ")));

    std::printf("VMWINDOW RESULT: %s\n", failures == 0 ? "PASS" : "FAIL");
    std::fflush(stdout);
    DestroyForms();
    return failures == 0 ? 0 : 1;
}
