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

struct Scenario;

struct Workflow {
    const char* name;
    std::function<void(kvtest::UiTest&, QTemporaryDir&)> run;
    // True when the workflow's work is complete: on the PC, on the device or in the window.
    std::function<bool(Scenario&, QTemporaryDir&)> done;
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
    std::string Stored(const std::string& path) {
        std::string content;
        return env.fs->ReadFile(kv::sim::SplitPath(path), content) ? content : "<missing>";
    }
};

const std::string kBig = kvtest::RandomBytes(60000, 5);
const std::string kTree1 = kvtest::RandomBytes(9000, 6);
const std::string kTree2 = kvtest::RandomBytes(7000, 7);

std::vector<Workflow> Workflows() {
    return {
        {"listing",
         [](kvtest::UiTest& t, QTemporaryDir&) {
             static_cast<Scenario&>(t).env.fs->AddFile("/listed.bin", "new");
             fmMain->actRefreshExecute();
         },
         [](Scenario& t, QTemporaryDir&) { return t.Captions().contains("listed.bin"); }},
        {"download",
         [](kvtest::UiTest& t, QTemporaryDir&) {
             static_cast<Scenario&>(t).Select({"big.bin"});
             fmMain->actSaveExecute();
         },
         [](Scenario&, QTemporaryDir& pc) {
             return ReadAll(pc.filePath("big.bin")).toStdString() == kBig;
         }},
        {"tree",
         [](kvtest::UiTest& t, QTemporaryDir&) {
             static_cast<Scenario&>(t).Select({"Tree"});
             fmMain->actSaveExecute();
         },
         [](Scenario&, QTemporaryDir& pc) {
             return ReadAll(pc.filePath("Tree/one.bin")).toStdString() == kTree1 &&
                    ReadAll(pc.filePath("Tree/sub/two.bin")).toStdString() == kTree2;
         }},
        {"upload",
         [](kvtest::UiTest&, QTemporaryDir& pc) {
             const QString path = pc.filePath("up.bin");
             WriteAll(path, QByteArray(kBig.data(), static_cast<qsizetype>(kBig.size())));
             fmMain->dftFilesDrop({path}, true);
         },
         [](Scenario& t, QTemporaryDir&) { return t.Stored("/up.bin") == kBig; }},
        {"edit",
         [](kvtest::UiTest& t, QTemporaryDir&) {
             static_cast<Scenario&>(t).Select({"notes.txt"});
             QTimer::singleShot(0, [] {
                 if (!fmFile->isVisible()) return;
                 fmFile->reFile->setPlainText(QString(20000, 'e'));
                 fmFile->accept();
                 // A write the unplug cut keeps the editor open with the text; dropped here.
                 if (fmFile->isVisible()) fmFile->reject();
             });
             fmMain->actEditExecute();
         },
         [](Scenario& t, QTemporaryDir&) {
             return t.Stored("/notes.txt") == std::string(20000, 'e');
         }},
        {"newfile",
         [](kvtest::UiTest&, QTemporaryDir&) {
             QTimer::singleShot(0, [] {
                 if (!fmMkDir->isVisible()) return;
                 fmMkDir->edDir->setText("fresh.txt");
                 fmMkDir->accept();
             });
             fmMain->actMakeFileExecute();
         },
         [](Scenario& t, QTemporaryDir&) { return t.Stored("/fresh.txt").empty(); }},
        {"firmware",
         [](kvtest::UiTest&, QTemporaryDir& pc) {
             const QString path = pc.filePath("app.blf");
             WriteAll(path, QByteArray(30000, 'F'));
             fmMain->dftFilesDrop({path}, false);
         },
         [](Scenario& t, QTemporaryDir&) {
             return t.Device().images.size() == 1 &&
                    t.Device().images[0].content == std::string(30000, 'F');
         }},
    };
}

int cancelsPressed = 0;

struct Outcome {
    int64_t took = 0;          // on the device's clock
    bool done = false;         // the workflow's work is complete
    bool unplugLanded = false; // the unplug came while the workflow ran
    bool cancelled = false;    // the workflow said it stopped at a safe point
};

// One run of a workflow with the device unplugged `unplugAfterMs` into it and Cancel pressed
// `cancelAfterMs` into it (negative: never).
Outcome RunOnce(const Workflow& workflow, int64_t unplugAfterMs, int64_t cancelAfterMs = -1) {
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
    Outcome outcome;
    outcome.took = t.env.clock.NowMs() - start;
    outcome.done = workflow.done(t, pc);
    outcome.unplugLanded = unplugAfterMs >= 0 && unplugAfterMs <= outcome.took;
    outcome.cancelled = kvtest::PaneText(fmMain->reTerm).contains("Cancelled:");
    EXPECT_FALSE(fmMain->Activity->Running());
    EXPECT_TRUE(fmMain->btnCancel->isHidden());

    // PC files are either as they were or complete; a file that was not there is complete or
    // absent. Nothing half-written is left beside them under any name.
    const QByteArray big = ReadAll(pc.filePath("big.bin"));
    EXPECT_TRUE(big == "old big" || big.toStdString() == kBig) << workflow.name;
    const QByteArray two = ReadAll(pc.filePath("Tree/sub/two.bin"));
    EXPECT_TRUE(two == "old two" || two.toStdString() == kTree2) << workflow.name;
    const QByteArray one = ReadAll(pc.filePath("Tree/one.bin"));
    EXPECT_TRUE(one == "<missing>" || one.toStdString() == kTree1) << workflow.name;
    const QStringList expected = {"big.bin", "Tree",   "one.bin", "sub",
                                  "two.bin", "up.bin", "app.blf"};
    for (const QString& dir : {pc.path(), pc.filePath("Tree"), pc.filePath("Tree/sub")})
        for (const QString& name :
             QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
            EXPECT_TRUE(expected.contains(name)) << "left behind: " << name.toStdString();

    // After the replug the window finds the device again and lists the current directory.
    // The two timers as they tick: 250 ms and 500 ms, for three seconds.
    for (int tick = 1; tick <= 12; ++tick) {
        t.env.clock.AdvanceMs(250);
        t.Tick1();
        if (tick % 2 == 0) t.Tick2();
    }
    EXPECT_TRUE(fmMain->Comms->IsConnected()) << workflow.name << " at " << unplugAfterMs;
    EXPECT_TRUE(fmMain->lvFiles->isEnabled()) << workflow.name << " at " << unplugAfterMs;
    if (outcome.unplugLanded && !t.Device().InBootLoader()) {
        // The link went down during the workflow: the window listed the directory afresh (a
        // device unplugged in its boot loader comes back there and has no files to list).
        EXPECT_TRUE(t.Captions().contains("big.bin")) << workflow.name << " at " << unplugAfterMs;
    }
    return outcome;
}

// A run without faults completes its workflow; the runs with faults must really land inside it.
int64_t Baseline(const Workflow& workflow) {
    const Outcome clean = RunOnce(workflow, -1);
    EXPECT_TRUE(clean.done) << workflow.name << " did not complete without faults";
    EXPECT_GT(clean.took, 0) << workflow.name;
    return clean.took;
}

TEST(FaultInjection, UnplugsThroughEveryWorkflow) {
    std::mt19937 random(20261208);
    int landed = 0, runs = 0;
    for (const Workflow& workflow : Workflows()) {
        const int64_t duration = Baseline(workflow);
        std::uniform_int_distribution<int64_t> point(0, duration);
        int landedHere = 0, cut = 0;
        for (int i = 0; i < 30; ++i) {
            const Outcome o = RunOnce(workflow, point(random));
            landedHere += o.unplugLanded;
            cut += o.unplugLanded && !o.done;
            ++runs;
        }
        // Most unplugs come during the work, and some of them stop it: the checks above met
        // interrupted work, not only finished work.
        EXPECT_GE(landedHere, 20) << workflow.name;
        EXPECT_GE(cut, 3) << workflow.name;
        landed += landedHere;
    }
    std::printf("[ fault injection ] %d runs, %d with an unplug during the work\n", runs, landed);
}

// The same with Cancel pressed at random points as well: a cancel spoils nothing either.
TEST(FaultInjection, CancelsAndUnplugsThroughEveryWorkflow) {
    std::mt19937 random(20261209);
    int runs = 0, honoured = 0;
    for (const Workflow& workflow : Workflows()) {
        const int64_t duration = Baseline(workflow);
        std::uniform_int_distribution<int64_t> point(0, duration);
        for (int i = 0; i < 16; ++i) {
            const int64_t unplug = i < 8 ? -1 : point(random);
            honoured += RunOnce(workflow, unplug, point(random)).cancelled;
            ++runs;
        }
    }
    EXPECT_GE(cancelsPressed, 40); // the listing, the editor and a new file offer no Cancel
    EXPECT_GE(honoured, 10) << "cancels that stopped the work at a safe point";
    std::printf("[ fault injection ] %d runs, Cancel pressed in %d, honoured in %d\n", runs,
                cancelsPressed, honoured);
}

} // namespace
