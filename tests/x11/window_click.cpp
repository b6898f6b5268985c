// The main window on a real X server: a separate X client presses the mouse button on Cancel
// (press, 150 ms, release, from another X client, as a person's click arrives) two seconds
// into a Save to PC of four 200 KiB files. The click must stop the work after the file under way.
// Then two clicks on the Size header of the file list sort it by size, and the other way round.
// Run under xvfb-run with QT_QPA_PLATFORM=xcb; exits non-zero when a click was not taken.
#include "device/Clock.h"
#include "tools/SimWindow.h"
#include "ui/UiHooks.h"

#include <QDir>
#include <QHeaderView>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

// A person's click at a screen position, from another X client (xdotool, through the XTEST
// extension): move, press, 150 ms, release.
bool Click(int x, int y) {
    const std::string command = "xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) +
                                " mousedown 1 sleep 0.15 mouseup 1";
    return std::system(command.c_str()) == 0;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    auto storage = std::make_unique<kv::sim::MemoryStorage>();
    for (int i = 1; i <= 4; ++i)
        storage->AddFile("/Save/file" + std::to_string(i) + ".bin", std::string(200 * 1024, 'x'));
    storage->AddFile("/a-big.txt", std::string(3000, 'b'));
    storage->AddFile("/z-small.txt", "s");
    kv::sim::SimConfig config; // the link's own pace: each file takes about 3.4 s
    SimWindow window(std::move(storage), config);
    QElapsedTimer waited;
    waited.start();
    while (!SimWindow::SelectOnly("Save") && waited.elapsed() < 10000)
        SimWindow::Run(50);
    if (!SimWindow::SelectOnly("Save")) {
        std::fprintf(stderr, "the window did not list the simulated device\n");
        return 1;
    }
    fmMain->activateWindow();
    SimWindow::Run(500);
    QPushButton* cancel = fmMain->btnCancel;
    // Where the button is on the screen, taken during the work (the window manager may have
    // moved the window since it was shown); the click comes from another thread and connection.
    std::atomic<int> atX{-1}, atY{-1};
    std::atomic<bool> clicked{false};
    QTimer::singleShot(1800, [&] {
        const QPoint centre = cancel->mapToGlobal(cancel->rect().center());
        atX = centre.x();
        atY = centre.y();
    });
    std::thread clicker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(2000));
        for (int i = 0; i < 100 && atX < 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        clicked = atX >= 0 && Click(atX, atY);
    });
    QString shownDuring;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, [&] {
        if (cancel->text() != "Cancel") shownDuring = cancel->text();
    });
    look.start(50);
    const int64_t start = kv::SteadyClock().NowMs();
    fmMain->actSaveExecute();
    const int64_t took = kv::SteadyClock().NowMs() - start;
    clicker.join();
    const int saved =
        static_cast<int>(QDir(window.pc.filePath("Save")).entryList(QDir::Files).size());
    const bool said = fmMain->reTerm->toPlainText().contains("Cancelled:");
    std::printf("click at %d,%d %s; Save to PC %lld ms, %d of 4 files saved; the button showed "
                "\"%s\"; %s\n",
                atX.load(), atY.load(), clicked ? "sent" : "NOT sent", static_cast<long long>(took),
                saved, shownDuring.toUtf8().constData(),
                said ? "the pane says it was cancelled" : "NOT cancelled");
    if (!(clicked && said && saved < 4 && shownDuring == "Cancelling...")) return 1;

    // The Size header, clicked twice as a person would: by size, folders first, then reversed.
    QHeaderView* header = fmMain->lvFiles->header();
    const auto clickSize = [&] {
        const QPoint at = header->viewport()->mapToGlobal(QPoint(
            header->sectionViewportPosition(1) + header->sectionSize(1) / 2, header->height() / 2));
        Click(at.x(), at.y());
        SimWindow::Run(800);
        QStringList rows;
        for (int row = 0; row < fmMain->lvFiles->topLevelItemCount(); ++row)
            rows << fmMain->lvFiles->topLevelItem(row)->text(0);
        std::printf("after a click on Size: %s\n", rows.join(", ").toUtf8().constData());
        return rows;
    };
    const bool bySize = clickSize() == QStringList{"Save", "z-small.txt", "a-big.txt"} &&
                        header->isSortIndicatorShown() && header->sortIndicatorSection() == 1;
    const bool reversed = clickSize() == QStringList{"Save", "a-big.txt", "z-small.txt"} &&
                          header->sortIndicatorOrder() == Qt::DescendingOrder;
    return bySize && reversed ? 0 : 1;
}
