// Drops of PC files and firmware loading against the simulated device, with drops delivered as
// real drop events carrying file URLs and the Ctrl state.
#include "UiFixture.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QLineEdit>
#include <QMimeData>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUrl>

using kvtest::TextRun;

namespace {

const QColor kGreen(0, 128, 0);

struct Drops : kvtest::UiTest {
    QTemporaryDir pc;
    void SetUp() override {
        env.fs->AddDir("/Lua");
        env.fs->AddDir("/Config");
        env.fs->AddDir("/Scripts");
        Connect();
        fmMain->actTermClearExecute();
    }
    QString File(const QString& relative, const QByteArray& content) {
        const QString path = pc.filePath(relative);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(content);
        return path;
    }
    // Delivers a drop of the given files to a drop target as the desktop would.
    Qt::DropAction Drop(QWidget* target, const QStringList& files, bool ctrl = false,
                        Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction) {
        QMimeData data;
        QList<QUrl> urls;
        for (const QString& f : files)
            urls.append(QUrl::fromLocalFile(f));
        data.setUrls(urls);
        const Qt::KeyboardModifiers mods = ctrl ? Qt::ControlModifier : Qt::NoModifier;
        const size_t sentBefore = device().commands.size();
        QDragEnterEvent enter(QPoint(5, 5), actions, &data, Qt::NoButton, mods);
        QApplication::sendEvent(target, &enter);
        if (!enter.isAccepted()) return Qt::IgnoreAction;
        QDropEvent drop(QPointF(5, 5), actions, &data, Qt::NoButton, mods);
        QApplication::sendEvent(target, &drop);
        // The drop is answered at once; its work follows from the event loop.
        EXPECT_EQ(device().commands.size(), sentBefore) << "work inside the drop event";
        QCoreApplication::sendPostedEvents();
        return drop.isAccepted() ? drop.dropAction() : Qt::IgnoreAction;
    }
    std::string Stored(const std::string& path) {
        std::string content;
        return env.fs->ReadFile(kv::sim::SplitPath(path), content) ? content : "<missing>";
    }
    void Show(const std::string& dir) {
        fmMain->edDir->setText(FromDevice(dir));
        fmMain->actRefreshExecute();
        fmMain->actTermClearExecute();
    }
    QString Terminal() { return kvtest::PaneText(fmMain->reTerm); }
};

TEST_F(Drops, AnUploadTheDeviceDidNotTakeIsSaidSo) {
    device().faults.uploadAbortAfter = 5000;
    Drop(fmMain->lvFiles->viewport(), {File("data.bin", QByteArray(20000, 'd'))}, true);
    EXPECT_TRUE(Terminal().contains("Not written: /data.bin")) << Terminal().toStdString();
    device().faults.uploadAbortAfter = -1;
    fmMain->actTermClearExecute();
    Drop(fmMain->lvFiles->viewport(), {File("ok.bin", "0123456789")}, true);
    EXPECT_FALSE(Terminal().contains("Not written"));
    EXPECT_EQ(Stored("/ok.bin"), "0123456789");
}

TEST_F(Drops, ProperPlacesWithYesNoAndCancel) {
    const QStringList files = {File("a.lua", "lua!"), File("b.txt", "text")};
    EXPECT_EQ(Drop(fmMain->lvFiles->viewport(), files), Qt::CopyAction) << "never a move";
    EXPECT_EQ(questions, QStringList{"Confirmation: Do you want files put in their proper "
                                     "place?\r\n(Hold CTRL down to override this)"});
    EXPECT_EQ(Stored("/Lua/a.lua"), "lua!");
    EXPECT_EQ(Stored("/b.txt"), "text");
    EXPECT_TRUE(QRegularExpression("^\nUploading 2 files...\na.lua\n 4 > /Lua/a.lua\nb.txt\n"
                                   " 4 > /b.txt\n\ndone.\n\nUploaded 2 files \\(8 bytes\\) to "
                                   "/Lua and / in \\d+\\.\\d s\n$")
                    .match(Terminal())
                    .hasMatch())
        << Terminal().toStdString();
    const auto runs = kvtest::Runs(fmMain->reTerm);
    EXPECT_EQ(runs[0], (TextRun{"\nUploading 2 files...\n", kGreen, false, true}));
    EXPECT_EQ(runs[1], (TextRun{"a.lua", kGreen, true, false}));
    EXPECT_EQ(runs[2], (TextRun{"\n 4 > /Lua/a.lua\n", kGreen, false, true}));

    answers = {QMessageBox::No};
    fmMain->actTermClearExecute();
    env.fs->DeleteFile({"Lua", "a.lua"});
    Drop(fmMain->lvFiles->viewport(), files);
    EXPECT_EQ(Stored("/a.lua"), "lua!");
    EXPECT_EQ(Stored("/Lua/a.lua"), "<missing>");

    answers = {QMessageBox::Cancel};
    fmMain->actTermClearExecute();
    env.fs->DeleteFile({"a.lua"});
    Drop(fmMain->lvFiles->viewport(), files);
    EXPECT_EQ(Stored("/a.lua"), "<missing>");
    EXPECT_EQ(Terminal(), "\ndone.\n");
    EXPECT_TRUE(Captions().contains("b.txt")) << "listed again";
}

TEST_F(Drops, CtrlSkipsTheQuestionAndTheShownDirectoryDecides) {
    const QString lua = File("a.lua", "x");
    Drop(fmMain->lvFiles->viewport(), {lua}, true);
    EXPECT_TRUE(questions.isEmpty());
    EXPECT_EQ(Stored("/a.lua"), "x");

    Show("/Lua");
    Drop(fmMain->lvFiles->viewport(), {File("b.lua", "y")});
    EXPECT_TRUE(questions.isEmpty()) << "already under /Lua/";
    EXPECT_EQ(Stored("/Lua/b.lua"), "y");

    Show("/Scripts");
    Drop(fmMain->lvFiles->viewport(), {File("CONFIG.TXT", "cfg")});
    EXPECT_EQ(questions.size(), 1);
    EXPECT_EQ(Stored("/Config/CONFIG.TXT"), "cfg");
}

TEST_F(Drops, EmptyFilesFoldersAndTheInformationPanel) {
    Drop(fmMain->memInfo->viewport(), {File("zero.bin", "")});
    EXPECT_EQ(Stored("/zero.bin"), "");
    EXPECT_TRUE(Terminal().contains("zero.bin\n 0 > /zero.bin\n"));

    // A folder goes as a tree, between the files dropped with it.
    fmMain->actTermClearExecute();
    File("folder/in.txt", "i");
    File("folder/sub/deep.txt", "d");
    QDir().mkpath(pc.filePath("folder/empty"));
    Drop(fmMain->lvFiles->viewport(),
         {File("first.txt", "1"), pc.filePath("folder"), File("last.txt", "3")});
    EXPECT_EQ(Stored("/first.txt"), "1");
    EXPECT_EQ(Stored("/folder/in.txt"), "i");
    EXPECT_EQ(Stored("/folder/sub/deep.txt"), "d");
    kv::sim::SimEntry empty;
    EXPECT_TRUE(env.fs->Stat({"folder", "empty"}, empty) && empty.IsDir());
    EXPECT_EQ(Stored("/last.txt"), "3");
    EXPECT_TRUE(Terminal().contains("done.")) << Terminal().toStdString();
    EXPECT_TRUE(Captions().contains("folder"));

    // A folder as some programs send it, with a trailing "/", and a file gone before the drop
    // was taken: the drop stops there with a line that names the file and says why.
    fmMain->actTermClearExecute();
    File("other/o.txt", "o");
    const QString gone = pc.filePath("gone.txt");
    Drop(fmMain->lvFiles->viewport(), {pc.filePath("other") + "/", gone, File("after.txt", "a")});
    EXPECT_EQ(Stored("/other/o.txt"), "o");
    EXPECT_EQ(Stored("/after.txt"), "<missing>");
    EXPECT_TRUE(Terminal().contains("\n\u00D7 The upload stopped: Cannot open file \"" +
                                    QDir::toNativeSeparators(gone) + "\". "))
        << Terminal().toStdString();
    EXPECT_FALSE(Terminal().contains("done."));
    EXPECT_TRUE(messages.isEmpty()) << "said in the pane";
    EXPECT_TRUE(Captions().contains("other")) << "listed again all the same";
}

TEST_F(Drops, MovesAndNonFilesAreRefused) {
    EXPECT_EQ(Drop(fmMain->lvFiles->viewport(), {File("m.txt", "m")}, false, Qt::MoveAction),
              Qt::IgnoreAction);
    EXPECT_EQ(Stored("/m.txt"), "<missing>");
    EXPECT_EQ(Drop(fmMain->lvFiles->viewport(), {File("l.txt", "l")}, false, Qt::LinkAction),
              Qt::LinkAction);
    EXPECT_EQ(Stored("/l.txt"), "l");
}

// ---- firmware ----

struct Firmware : Drops {
    Firmware() { device().config.rebootMs = 2500; }
    int Count(const QString& text) { return static_cast<int>(Terminal().count(text)); }
};

TEST_F(Firmware, DroppedImagesLoadInReverseOrderThroughTheBootLoader) {
    const QString a = File("a.blf", QByteArray(5000, 'a'));
    const QString b = File("b.blf", QByteArray(70000, 'b'));
    Drop(fmMain->lvFiles->viewport(), {a, b});
    ASSERT_EQ(device().images.size(), 2u);
    EXPECT_EQ(device().images[0].name, "b.blf");
    EXPECT_EQ(device().images[1].name, "a.blf");
    EXPECT_EQ(device().images[0].content, std::string(70000, 'b'));
    EXPECT_TRUE(Terminal().startsWith("Rebooting..."));
    EXPECT_TRUE(Terminal().contains(".\n\nUpload BLF\nb.blf / 70000\nReceived 70000 bytes\n load\n"
                                    "Load OK\n verify\nVerify OK\n burn\nBurn OK\n"))
        << Terminal().toStdString();
    EXPECT_FALSE(Terminal().contains("not loaded"));
    EXPECT_TRUE(Terminal().contains("Run firmware...\n\ndone.\n"));
    EXPECT_EQ(device().commands.back(), "run");
    const auto runs = kvtest::Runs(fmMain->reTerm);
    EXPECT_NE(std::find(runs.begin(), runs.end(), TextRun{"b.blf", kGreen, true}), runs.end());
    EXPECT_NE(
        std::find(runs.begin(), runs.end(), TextRun{" / 70000\nReceived 70000 bytes\n", kGreen}),
        runs.end());
    EXPECT_NE(std::find(runs.begin(), runs.end(), TextRun{"Burn OK\n", kGreen}), runs.end())
        << "the boot loader's words, plain";
    env.clock.AdvanceMs(5000);
    EXPECT_TRUE(device().Present());
    EXPECT_FALSE(device().InBootLoader()) << "the run restarted the application";
    Tick1();
    Tick1();
    EXPECT_TRUE(fmMain->Comms->IsConnected());
    EXPECT_FALSE(fmMain->Terminal->IsBootLoader()) << "back in its application";
}

TEST_F(Firmware, NamesCaseAndTheBootLoaderImageFlag) {
    Drop(fmMain->lvFiles->viewport(),
         {File("Main.BLF", "m"), File("main.blf.bak", "bak"), File("BootLoader/x.blf", "x")});
    ASSERT_EQ(device().images.size(), 2u);
    EXPECT_EQ(device().images[0].name, "x.blf");
    EXPECT_EQ(device().images[1].name, "Main.BLF") << "the drop keeps the name's case";
    EXPECT_EQ(Count("Rebooting..."), 2) << "a boot-loader image reboots again before the run";
    EXPECT_EQ(Stored("/main.blf.bak"), "bak")
        << "the upload waits for the device to be back in its application after the run";
    EXPECT_FALSE(fmMain->Terminal->IsBootLoader());
    EXPECT_TRUE(Terminal().contains("Uploading 1 file..."));
}

TEST_F(Firmware, ADeviceAlreadyInItsBootLoaderIsNotRebooted) {
    fmMain->Terminal->SendLine("boot");
    env.clock.AdvanceMs(3000);
    fmMain->Comms->Disconnect();
    Tick1();
    ASSERT_TRUE(fmMain->Terminal->IsBootLoader());
    fmMain->actTermClearExecute();
    Drop(fmMain->lvFiles->viewport(), {File("app.blf", "app")});
    EXPECT_EQ(Count("Rebooting..."), 0);
    EXPECT_EQ(device().images.size(), 1u);
}

TEST_F(Firmware, ABootLoaderThatNeverComesGivesUpAfterFifteenAttempts) {
    device().config.rebootMs = 60000;
    const int64_t t0 = env.clock.NowMs();
    Drop(fmMain->lvFiles->viewport(), {File("app.blf", "app")});
    EXPECT_TRUE(
        Terminal().startsWith("Rebooting..." + QString(15, '.') + "FAILED" + "Run firmware...\n"))
        << Terminal().toStdString();
    EXPECT_TRUE(device().images.empty());
    EXPECT_NEAR(env.clock.NowMs() - t0, 2000 + 15 * 1000, 1000);
    const auto runs = kvtest::Runs(fmMain->reTerm);
    EXPECT_NE(std::find(runs.begin(), runs.end(), TextRun{"FAILED", kGreen, true}), runs.end());
}

TEST_F(Firmware, AFailedVerifyOrBurnIsSaidInBoldWithTheFileAndThePhase) {
    const QString app = File("app.blf", QByteArray(5000, 'a'));
    const QString ok = File("ok.blf", QByteArray(10, 'o'));
    for (const bool verify : {true, false}) {
        SCOPED_TRACE(verify ? "verify" : "burn");
        fmMain->actTermClearExecute();
        device().faults.verifyFails = verify;
        device().faults.burnFails = !verify;
        Drop(fmMain->lvFiles->viewport(), {app, ok});
        const QString line = verify
                                 ? "\u00D7 app.blf: the boot loader did not take it (verify phase: "
                                   "Verify FAILED)\n"
                                 : "\u00D7 app.blf: the boot loader did not take it (burn phase: "
                                   "Burn FAILED)\n";
        EXPECT_TRUE(Terminal().contains(verify ? "\n verify\nVerify FAILED\n burn\n" + line
                                               : "\n burn\nBurn FAILED\n" + line))
            << Terminal().toStdString();
        const auto runs = kvtest::Runs(fmMain->reTerm);
        EXPECT_NE(std::find(runs.begin(), runs.end(), TextRun{line, kGreen, true}), runs.end());
        // The device restarts into its application: the listing after the drop finds it gone.
        EXPECT_TRUE(
            Terminal().endsWith("Run firmware...\n\u00D7 Firmware not loaded: ok.blf, app.blf\n\n"
                                "done.\n\u00D7 /: the device is gone; the folder is listed "
                                "again when the device is back\n"))
            << "both failed, listed at the end: " << Terminal().toStdString();
        EXPECT_EQ(device().commands.back(), "run");
        env.clock.AdvanceMs(5000); // back in its application for the next drop
        Tick1();
        Tick1();
    }
}

TEST_F(Firmware, TheActionOutsideTheBootLoaderGivesTheWholeReplyAndTheWayThere) {
    EXPECT_TRUE(fmMain->actFirmware->isEnabled());
    const QString chosen = File("app.blf", QByteArray(100, 'z'));
    UiHooks().OpenFile = [&](QWidget*, const QString&) { return chosen; };
    fmMain->actFirmwareExecute();
    EXPECT_TRUE(device().images.empty());
    EXPECT_TRUE(
        Terminal().startsWith("\u00D7 app.blf: the boot loader did not take it (load phase: the "
                              "boot loader did not ask for the image: Unknown command "
                              "'LOAD')\nThe device is not in its boot loader"))
        << Terminal().toStdString();
    EXPECT_TRUE(Terminal().contains("Drop the .blf file on this window"));
}

TEST_F(Firmware, TheActionSendsTheChosenFileInLowerCase) {
    fmMain->Terminal->SendLine("boot");
    env.clock.AdvanceMs(3000);
    fmMain->Comms->Disconnect();
    Tick1();
    Tick2();
    EXPECT_TRUE(fmMain->actFirmware->isEnabled());
    fmMain->actTermClearExecute(); // what the boot loader's arrival said
    QString chosen = File("APP.BLF", QByteArray(10000, 'z'));
    UiHooks().OpenFile = [&](QWidget*, const QString& filter) {
        EXPECT_EQ(filter, "Firmware (*.blf);;All files (*.*)");
        return chosen;
    };
    fmMain->actFirmwareExecute();
    ASSERT_EQ(device().images.size(), 1u);
    EXPECT_EQ(device().images[0].name, "app.blf");
    EXPECT_EQ(Terminal(), "\napp.blf: taken by the boot loader\n");
    EXPECT_EQ(kvtest::Runs(fmMain->reTerm),
              (std::vector<TextRun>{{"\napp.blf: taken by the boot loader\n", kGreen}}));

    fmMain->actTermClearExecute();
    device().faults.imageRefuseAfter = 100;
    fmMain->actFirmwareExecute();
    EXPECT_EQ(Terminal(), "\u00D7 app.blf: the boot loader did not take it (load phase: the boot "
                          "loader stopped the transfer: Error: image rejected)\n");
    const auto runs = kvtest::Runs(fmMain->reTerm);
    EXPECT_TRUE(!runs.empty() && runs.back().bold);
    device().faults.imageRefuseAfter = -1;
    fmMain->actTermClearExecute();

    chosen = File("empty.blf", "");
    const size_t commands = device().commands.size();
    fmMain->actFirmwareExecute();
    EXPECT_EQ(device().commands.size(), commands) << "an empty file sends nothing";
    EXPECT_EQ(device().images.size(), 1u);
    EXPECT_EQ(Terminal(),
              "\u00D7 Firmware not loaded: empty.blf: the file is empty; nothing to load\n")
        << "and says so";

    // A failure that lands right after the device's prompt starts a line of its own, which
    // wraps at the pane's width; the prompt's line stays as the device made it.
    fmMain->TermOutput("boot> ");
    fmMain->TermFail(" Not saved: /Data/blob.bin: the device is gone " + std::string(200, 'x'));
    const QTextBlock last = fmMain->reTerm->document()->lastBlock().previous();
    EXPECT_TRUE(last.text().startsWith("\u00D7 Not saved: /Data/blob.bin"))
        << last.text().toStdString();
    EXPECT_FALSE(last.blockFormat().nonBreakableLines());
    EXPECT_TRUE(last.previous().text().endsWith("boot> "));

    chosen = pc.filePath("missing.blf");
    fmMain->Guarded([&] { fmMain->actFirmwareExecute(); });
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].startsWith("Error: Cannot open file \"")) << messages[0].toStdString();
}

TEST_F(Drops, AFileTooLargeForTheLengthFieldIsRefused) {
    const QString big = pc.filePath("huge.bin");
    QFile f(big);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_TRUE(f.resize(qint64(INT32_MAX) + 1)); // sparse: no disk space used
    f.close();
    EXPECT_THROW(fmMain->UploadFile(big, false), kv::EKvError);
    EXPECT_EQ(Stored("/huge.bin"), "<missing>");
}

} // namespace

// In the boot loader the console says how to go on and how to leave, once; Device > Start
// Firmware (enabled there alone) sends "run", and the device is back in its application.
TEST_F(Firmware, TheBootLoaderSaysTheWayOutAndStartFirmwareTakesIt) {
    fmMain->mnDeviceShow();
    EXPECT_EQ(fmMain->actStartFirmware, nullptr) << "not offered outside the boot loader";
    fmMain->Terminal->SendLine("boot");
    env.clock.AdvanceMs(3000);
    fmMain->Comms->Disconnect();
    Tick1();
    Tick2();
    Tick1();
    ASSERT_TRUE(device().InBootLoader());
    const QString hint = "Device > Start Firmware starts the firmware.";
    EXPECT_EQ(Terminal().count(hint), 1) << Terminal().toStdString();
    fmMain->mnDeviceShow();
    ASSERT_TRUE(fmMain->actStartFirmware->isEnabled());
    fmMain->actStartFirmware->trigger();
    EXPECT_EQ(device().commands.back(), "run");
    env.clock.AdvanceMs(3000);
    Tick1();
    Tick2();
    EXPECT_FALSE(device().InBootLoader()) << "the firmware runs";
    EXPECT_EQ(Terminal().count(hint), 1);
}
