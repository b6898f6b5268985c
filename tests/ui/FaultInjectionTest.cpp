// Unplugs at seeded, repeatable points in the middle of every workflow that moves data: nothing
// crashes, no PC file that existed is spoilt, no partial PC file looks complete, and after the
// replug the window finds the device and lists the directory again.
#include "UiFixture.h"

#include "ui/ufmDialogs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <random>

namespace {

struct Workflow {
    const char* name;
    std::function<void(kvtest::UiTest&, QTemporaryDir&)> run;
};

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void WriteAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
}

struct Scenario : kvtest::UiTest {
    void TestBody() override {}
    using kvtest::UiTest::Captions;
    using kvtest::UiTest::Connect;
    using kvtest::UiTest::env;
    using kvtest::UiTest::Select;
    using kvtest::UiTest::Tick1;
    using kvtest::UiTest::Tick2;
    kv::sim::SimDevice& Device() { return device(); }
};

const std::string kBig = kvtest::RandomBytes(60000, 5);
const std::string kTree1 = kvtest::RandomBytes(9000, 6);
const std::string kTree2 = kvtest::RandomBytes(7000, 7);

std::vector<Workflow> Workflows() {
    return {
        {"listing", [](kvtest::UiTest&, QTemporaryDir&) { fmMain->actRefreshExecute(); }},
        {"download",
         [](kvtest::UiTest& t, QTemporaryDir&) {
             static_cast<Scenario&>(t).Select({"big.bin"});
             fmMain->actSaveExecute();
         }},
        {"tree",
         [](kvtest::UiTest& t, QTemporaryDir&) {
             static_cast<Scenario&>(t).Select({"Tree"});
             fmMain->actSaveExecute();
         }},
        {"upload",
         [](kvtest::UiTest&, QTemporaryDir& pc) {
             const QString path = pc.filePath("up.bin");
             WriteAll(path, QByteArray(kBig.data(), static_cast<qsizetype>(kBig.size())));
             fmMain->dftFilesDrop({path}, true);
         }},
        {"edit",
         [](kvtest::UiTest& t, QTemporaryDir&) {
             static_cast<Scenario&>(t).Select({"notes.txt"});
             QTimer::singleShot(0, [] {
                 if (!fmFile->isVisible()) return;
                 fmFile->reFile->setPlainText(QString(20000, 'e'));
                 fmFile->accept();
             });
             fmMain->actEditExecute();
         }},
        {"newfile",
         [](kvtest::UiTest&, QTemporaryDir&) {
             QTimer::singleShot(0, [] {
                 if (!fmMkDir->isVisible()) return;
                 fmMkDir->edDir->setText("fresh.txt");
                 fmMkDir->accept();
             });
             fmMain->actMakeFileExecute();
         }},
        {"firmware",
         [](kvtest::UiTest&, QTemporaryDir& pc) {
             const QString path = pc.filePath("app.blf");
             WriteAll(path, QByteArray(30000, 'F'));
             fmMain->dftFilesDrop({path}, false);
         }},
    };
}

int cancelsPressed = 0;

// One run of a workflow with the device unplugged `unplugAfterMs` into it and Cancel pressed
// `cancelAfterMs` into it (negative: never). Returns how long the workflow took on the device's
// clock.
int64_t RunOnce(const Workflow& workflow, int64_t unplugAfterMs, int& checks,
                int64_t cancelAfterMs = -1) {
    Scenario t;
    kv::sim::MemoryStorage& fs = *t.env.fs;
    fs.AddFile("/big.bin", kBig);
    fs.AddFile("/notes.txt", "short note\n");
    fs.AddFile("/Tree/one.bin", kTree1);
    fs.AddFile("/Tree/sub/two.bin", kTree2);
    t.Device().config.rebootMs = 1500;
    t.Connect();
    QTemporaryDir pc;
    // PC files that exist before: the saves write over them.
    WriteAll(pc.filePath("big.bin"), "old big");
    QDir().mkpath(pc.filePath("Tree/sub"));
    WriteAll(pc.filePath("Tree/sub/two.bin"), "old two");
    UiHooks().BrowseForFolder = [&](QWidget*, const QString&, QString& folder) {
        folder = pc.path();
        return true;
    };
    if (unplugAfterMs >= 0) t.Device().ScheduleUnplug(unplugAfterMs, 700);
    const int64_t start = t.env.clock.NowMs();
    QTimer cancel;
    QObject::connect(&cancel, &QTimer::timeout, [&] {
        if (t.env.clock.NowMs() - start < cancelAfterMs || !fmMain->btnCancel->isEnabled() ||
            fmMain->btnCancel->isHidden())
            return;
        fmMain->btnCancel->click();
        ++cancelsPressed;
        cancel.stop();
    });
    if (cancelAfterMs >= 0) cancel.start(0);
    fmMain->Guarded([&] { workflow.run(t, pc); });
    const int64_t took = t.env.clock.NowMs() - start;
    EXPECT_FALSE(fmMain->Activity->Running());
    EXPECT_TRUE(fmMain->btnCancel->isHidden());

    // PC files are either as they were or complete.
    const QByteArray big = ReadAll(pc.filePath("big.bin"));
    EXPECT_TRUE(big == "old big" || big.toStdString() == kBig) << workflow.name;
    const QByteArray two = ReadAll(pc.filePath("Tree/sub/two.bin"));
    EXPECT_TRUE(two == "old two" || two.toStdString() == kTree2) << workflow.name;
    const QByteArray one = ReadAll(pc.filePath("Tree/one.bin"));
    EXPECT_TRUE(one == "<missing>" || one.toStdString() == kTree1) << workflow.name;
    for (const QString& dir : {pc.path(), pc.filePath("Tree"), pc.filePath("Tree/sub")})
        for (const QString& name : QDir(dir).entryList(QDir::Files | QDir::Hidden))
            EXPECT_FALSE(name.contains(".tmp") || name.startsWith(".")) << name.toStdString();

    // After the replug the window finds the device again and lists the current directory.
    // The two timers as they tick: 250 ms and 500 ms, for three seconds.
    for (int tick = 1; tick <= 12; ++tick) {
        t.env.clock.AdvanceMs(250);
        t.Tick1();
        if (tick % 2 == 0) t.Tick2();
    }
    EXPECT_TRUE(fmMain->Comms->IsConnected()) << workflow.name << " at " << unplugAfterMs;
    EXPECT_TRUE(fmMain->lvFiles->isEnabled()) << workflow.name << " at " << unplugAfterMs;
    if (unplugAfterMs >= 0 && unplugAfterMs < took) {
        // The link went down during the workflow: the window listed the directory afresh.
        EXPECT_TRUE(t.Captions().contains("big.bin")) << workflow.name << " at " << unplugAfterMs;
    }
    ++checks;
    return took;
}

TEST(FaultInjection, UnplugsThroughEveryWorkflow) {
    std::mt19937 random(20261208);
    int checks = 0;
    for (const Workflow& workflow : Workflows()) {
        const int64_t duration = RunOnce(workflow, -1, checks);
        ASSERT_GT(duration, 0) << workflow.name;
        std::uniform_int_distribution<int64_t> point(0, duration);
        for (int i = 0; i < 30; ++i)
            RunOnce(workflow, point(random), checks);
    }
    EXPECT_GE(checks, 200);
    std::printf("[ fault injection ] %d runs, %d with an unplug\n", checks, checks - 7);
}

// The same with Cancel pressed at random points as well: a cancel spoils nothing either.
TEST(FaultInjection, CancelsAndUnplugsThroughEveryWorkflow) {
    std::mt19937 random(20261209);
    int checks = 0;
    for (const Workflow& workflow : Workflows()) {
        const int64_t duration = RunOnce(workflow, -1, checks);
        std::uniform_int_distribution<int64_t> point(0, duration);
        for (int i = 0; i < 8; ++i)
            RunOnce(workflow, -1, checks, point(random));
        for (int i = 0; i < 8; ++i)
            RunOnce(workflow, point(random), checks, point(random));
    }
    EXPECT_GE(checks, 100);
    EXPECT_GE(cancelsPressed, 40); // the listing, the editor and a new file offer no Cancel
    std::printf("[ fault injection ] %d runs, Cancel pressed in %d\n", checks, cancelsPressed);
}

} // namespace
