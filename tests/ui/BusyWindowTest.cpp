// The window during long device work, on virtual time: it keeps painting, takes no input but
// Cancel, its timers do no work, and Cancel stops the work at the next safe point only.
#include "UiFixture.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>

namespace {

// A corner of the window that asks to be painted again whenever it is painted, as an area
// uncovered by another window would: only a window that delivers its events paints it.
class PaintProbe : public QWidget {
  public:
    PaintProbe(QWidget* parent, kv::IClock& clock) : QWidget(parent), clock_(clock) {
        setGeometry(0, 0, 8, 8);
        show();
    }
    std::vector<int64_t> paints;

  protected:
    void paintEvent(QPaintEvent*) override {
        paints.push_back(clock_.NowMs());
        QPainter(this).fillRect(rect(), Qt::gray);
        update();
    }

  private:
    kv::IClock& clock_;
};

// Runs on every delivery of the window's events while the test's command runs.
class During {
  public:
    explicit During(std::function<void()> step) : step_(std::move(step)) {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            ++calls;
            step_();
        });
        timer_.start(0);
    }
    int calls = 0;

  private:
    std::function<void()> step_;
    QTimer timer_;
};

struct BusyWindow : kvtest::UiTest {
    BusyWindow() {
        answers.clear();
        UiHooks().BrowseForFolder = [this](QWidget*, const QString&, QString& folder) {
            folder = pc.path();
            return true;
        };
        fmMain->show();
        fmMain->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(fmMain));
        Connect();
    }
    QByteArray PcFile(const QString& name) {
        QFile f(pc.filePath(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    // Console reports of one byte the host sent since report number `from`.
    std::string KeysSentSince(size_t from) {
        std::string keys;
        for (size_t i = from; i < device().received.size(); ++i) {
            const auto& r = device().received[i];
            if (r[0] == 0 && r[2] == 1) keys += static_cast<char>(r[3]);
        }
        return keys;
    }
    void ClickCancel() { QTest::mouseClick(fmMain->btnCancel, Qt::LeftButton); }
    QTemporaryDir pc;
};

TEST_F(BusyWindow, PaintsThroughALongDownloadTakesNoInputAndItsTimersDoNothing) {
    const std::string big = kvtest::RandomBytes(1 << 20, 15);
    env.fs->AddFile("/big.bin", big);
    fmMain->actRefreshExecute();
    Select({"big.bin"});
    PaintProbe probe(fmMain, env.clock);
    int refreshes = 0;
    QObject::connect(fmMain->actRefresh, &QAction::triggered, [&] { ++refreshes; });
    const size_t sentBefore = device().received.size();
    bool cancelShown = false;
    const int64_t start = env.clock.NowMs();
    {
        During during([&] {
            cancelShown = cancelShown || fmMain->btnCancel->isVisible();
            // A key for the console, a shortcut, and the timers' ticks: none may act.
            QTest::keyClick(fmMain->reTerm, Qt::Key_X);
            QTest::keyClick(fmMain->reTerm, Qt::Key_F5);
            fmMain->Timer1Timer();
            fmMain->Timer2Timer();
        });
        fmMain->actSaveExecute();
        EXPECT_GT(during.calls, 100);
    }
    const int64_t end = env.clock.NowMs();
    EXPECT_GT(end - start, 15000) << "a 1 MiB download takes about 17 s on the link";
    EXPECT_TRUE(PcFile("big.bin").toStdString() == big) << "Timer1 took no reply bytes";
    EXPECT_TRUE(cancelShown);
    EXPECT_FALSE(fmMain->btnCancel->isVisible());
    EXPECT_EQ(refreshes, 0);
    EXPECT_EQ(KeysSentSince(sentBefore).find('x'), std::string::npos);

    std::vector<int64_t> times = probe.paints;
    times.erase(
        std::remove_if(times.begin(), times.end(), [&](int64_t t) { return t < start || t > end; }),
        times.end());
    times.insert(times.begin(), start);
    times.push_back(end);
    int64_t longest = 0, later = 0; // the latter from the first paint on
    for (size_t i = 1; i < times.size(); ++i) {
        longest = std::max(longest, times[i] - times[i - 1]);
        if (i > 1) later = std::max(later, times[i] - times[i - 1]);
    }
    std::printf("[ paints ] %zu during %lld ms of device time, longest gap %lld ms (%lld ms "
                "after the first)\n",
                times.size() - 2, static_cast<long long>(end - start),
                static_cast<long long>(longest), static_cast<long long>(later));
    EXPECT_LE(longest, 100);

    // The same input once the work is done does reach the window.
    QTest::keyClick(fmMain->reTerm, Qt::Key_X);
    EXPECT_NE(KeysSentSince(sentBefore).find('x'), std::string::npos);
    QTest::keyClick(fmMain->reTerm, Qt::Key_F5);
    EXPECT_EQ(refreshes, 1);
}

TEST_F(BusyWindow, CancelDuringATreeSaveStopsAfterTheCurrentFile) {
    const std::string a = kvtest::RandomBytes(120000, 1), b = kvtest::RandomBytes(90000, 2);
    env.fs->AddFile("/Tree/a.bin", a);
    env.fs->AddFile("/Tree/b.bin", b);
    env.fs->AddFile("/Tree/sub/c.bin", "c");
    fmMain->actRefreshExecute();
    Select({"Tree"});
    QString labelAfterCancel, buttonAfterCancel;
    bool clicked = false;
    {
        During during([&] {
            if (!clicked && fmMain->pbFile->value() > 30000) {
                ClickCancel();
                clicked = true;
            } else if (clicked && labelAfterCancel.isEmpty() && fmMain->pbFile->value() > 60000) {
                labelAfterCancel = fmMain->lblSize->text();
                buttonAfterCancel = fmMain->btnCancel->text();
            }
        });
        fmMain->actSaveExecute();
    }
    ASSERT_TRUE(clicked);
    EXPECT_TRUE(labelAfterCancel.endsWith("stops after this file"))
        << labelAfterCancel.toStdString();
    EXPECT_EQ(buttonAfterCancel, "Cancelling...");
    EXPECT_TRUE(PcFile("Tree/a.bin").toStdString() == a) << "the file under way is finished";
    EXPECT_EQ(
        QDir(pc.filePath("Tree")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
        QStringList{"a.bin"});
    const QString pane = kvtest::PaneText(fmMain->reTerm);
    EXPECT_TRUE(pane.contains("Cancelled: what was done so far is kept."));
    EXPECT_TRUE(pane.contains(QRegularExpression("\u00D7 Saved 1 file of \\d+ .*; cancelled\n")))
        << "the summary says it was cancelled: " << pane.toStdString();
    // The console is where it should be: the next command works.
    fmMain->actRefreshExecute();
    EXPECT_TRUE(Captions().contains("Tree"));

    // A cancel belongs to its own work: the next Save to PC runs whole.
    Select({"Tree"});
    fmMain->actSaveExecute();
    EXPECT_TRUE(PcFile("Tree/b.bin").toStdString() == b);
    EXPECT_EQ(PcFile("Tree/sub/c.bin"), "c");
}

TEST_F(BusyWindow, DeleteStopsBetweenRowsAndClosingWaitsForTheWork) {
    for (const char* name : {"d1.txt", "d2.txt", "d3.txt", "d4.txt", "d5.txt", "d6.txt"})
        env.fs->AddFile(std::string("/") + name, "x");
    fmMain->actRefreshExecute();
    Select({"d1.txt", "d2.txt", "d3.txt", "d4.txt", "d5.txt", "d6.txt"});
    {
        During during([&] { ClickCancel(); });
        fmMain->actDeleteExecute();
    }
    const QStringList left = Captions().filter(QRegularExpression("^d[1-6]\\.txt$"));
    EXPECT_FALSE(left.isEmpty());
    EXPECT_LT(left.size(), 6);

    // Closing the window during work: the work stops at its next safe point, then it closes.
    env.fs->AddFile("/Tree/a.bin", kvtest::RandomBytes(100000, 3));
    env.fs->AddFile("/Tree/b.bin", "b");
    fmMain->actRefreshExecute();
    Select({"Tree"});
    {
        During during([&] {
            if (fmMain->pbFile->value() > 0) fmMain->close();
        });
        fmMain->actSaveExecute();
        EXPECT_TRUE(fmMain->isVisible()) << "not closed under the work";
    }
    EXPECT_EQ(PcFile("Tree/a.bin").size(), 100000);
    EXPECT_EQ(PcFile("Tree/b.bin"), "<missing>");
    QCoreApplication::processEvents();
    EXPECT_FALSE(fmMain->isVisible());
}

TEST_F(BusyWindow, EscapeDuringTheBootLoaderWaitStopsTheAttempts) {
    device().config.rebootMs = 60000; // the boot loader does not come in time
    QFile blf(pc.filePath("app.blf"));
    ASSERT_TRUE(blf.open(QIODevice::WriteOnly));
    blf.write(QByteArray(3000, 'F'));
    blf.close();
    const int64_t start = env.clock.NowMs();
    {
        During during([&] {
            if (kvtest::PaneText(fmMain->reTerm).contains("Rebooting....."))
                QTest::keyClick(fmMain->reTerm, Qt::Key_Escape);
        });
        fmMain->dftFilesDrop({blf.fileName()}, false);
    }
    const QString pane = kvtest::PaneText(fmMain->reTerm);
    EXPECT_TRUE(pane.contains("Cancelled: what was done so far is kept.")) << pane.toStdString();
    EXPECT_FALSE(pane.contains("FAILED"));
    EXPECT_FALSE(pane.contains("Rebooting......."));
    EXPECT_LT(env.clock.NowMs() - start, 9000) << "not the 17 s of all attempts";
}

} // namespace
