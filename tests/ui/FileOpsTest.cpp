// The file commands against the simulated device, with the dialogs and questions answered by the
// test: Delete, Save to PC, Edit, Rename, Make Dir and New File, and the mends to what the device
// or the PC could otherwise spoil.
#include "UiFixture.h"
#include "support/WireLines.h"

#include "ui/ufmDialogs.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <sys/resource.h>

namespace {

using kv::sim::PackFatTime;

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

void WriteAll(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
}

// Records the texts lblCount shows each time it is repainted.
struct PaintWatcher : QObject {
    QLabel* label;
    QStringList seen;
    explicit PaintWatcher(QLabel* l) : label(l) { label->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint && (seen.isEmpty() || seen.back() != label->text()))
            seen.append(label->text());
        return false;
    }
};

struct FileOps : kvtest::UiTest {
    QTemporaryDir pc;
    void SetUp() override {
        env.fs->AddFile("/a.txt", "alpha", PackFatTime(2021, 6, 1, 10, 0, 0));
        env.fs->AddFile("/Lua/x.lua", "x = 1", 0);
        env.fs->AddFile("/Lua/sub/y.lua", "y = 2", PackFatTime(2021, 6, 2, 11, 30, 4));
        env.fs->AddDir("/Empty/Deeper");
        Connect();
        UiHooks().BrowseForFolder = [this](QWidget*, const QString& title, QString& folder) {
            EXPECT_EQ(title, "Save to Directory");
            folder = pc.path();
            return true;
        };
    }
    std::vector<std::string> CommandsSince(size_t from) {
        return {device().commands.begin() + static_cast<long>(from), device().commands.end()};
    }
    std::vector<std::string> Reads(size_t from) {
        std::vector<std::string> out;
        for (const auto& c : CommandsSince(from))
            if (c.rfind("NFTYPE", 0) == 0) out.push_back(c);
        return out;
    }
    bool Wrote(size_t from) {
        for (const auto& c : CommandsSince(from))
            if (c.rfind("NFWRITE", 0) == 0) return true;
        return false;
    }
    // Runs a command whose modal dialog is answered by `answer` once it is open.
    void WithDialog(const std::function<void()>& answer, const std::function<void()>& command) {
        QTimer::singleShot(0, answer);
        command();
    }
};

// The window's command lines for each verb are the ones kvb's tests check kvb against.
TEST_F(FileOps, TheCommandLinesOnTheWireAreTheSharedOnes) {
    const auto& wire = kvtest::WireLines();
    const auto sent = [&](const std::function<void()>& verb) {
        const size_t from = device().commands.size();
        verb();
        return CommandsSince(from);
    };
    using kvtest::WithoutListings;
    EXPECT_EQ(sent([] { fmMain->actRefreshExecute(); }), wire.at("list /"));
    Select({"a.txt"});
    EXPECT_EQ(WithoutListings(sent([] { fmMain->actSaveExecute(); })), wire.at("read /a.txt"));
    WriteAll(pc.filePath("u p.lua"), "12345");
    const QString up = pc.filePath("u p.lua");
    EXPECT_EQ(WithoutListings(sent([&] { fmMain->dftFilesDrop({up}, true); })),
              wire.at("upload u p.lua to /"));
    answers = {QMessageBox::Yes};
    EXPECT_EQ(WithoutListings(sent([&] { fmMain->dftFilesDrop({up}, false); })),
              wire.at("upload u p.lua to its proper place"));
    Select({"a.txt"});
    EXPECT_EQ(WithoutListings(sent([&] {
                  WithDialog(
                      [] {
                          fmRename->edToName->setText("b.txt");
                          fmRename->accept();
                      },
                      [] { fmMain->actRenameExecute(); });
              })),
              wire.at("rename /a.txt to b.txt"));
    EXPECT_EQ(WithoutListings(sent([&] {
                  WithDialog(
                      [] {
                          fmMkDir->edDir->setText("New Dir");
                          fmMkDir->accept();
                      },
                      [] { fmMain->actMkDirExecute(); });
              })),
              wire.at("make directory /New Dir"));
    Select({"b.txt"});
    answers = {QMessageBox::Yes};
    EXPECT_EQ(WithoutListings(sent([] { fmMain->actDeleteExecute(); })), wire.at("delete /b.txt"));
}

// What the device did not do is said in the terminal pane, naming the file.
TEST_F(FileOps, FailuresAreSaidInTheTerminalPane) {
    const auto said = [] { return kvtest::PaneText(fmMain->reTerm); };
    const auto named = [&](const QString& text) {
        return said().contains(text) ? testing::AssertionSuccess()
                                     : testing::AssertionFailure() << said().toStdString();
    };
    Select({"a.txt"});
    WithDialog(
        [] {
            fmRename->edToName->setText("Lua");
            fmRename->accept();
        },
        [] { fmMain->actRenameExecute(); });
    EXPECT_TRUE(named("/a.txt: the device refused it: \""));
    WithDialog(
        [] {
            fmMkDir->edDir->setText("Lua");
            fmMkDir->accept();
        },
        [] { fmMain->actMkDirExecute(); });
    EXPECT_TRUE(named("/Lua: the device refused it: \""));
    // A name pasted into the field passes the typed-key filter; the device does not store it.
    WithDialog(
        [] {
            fmMkDir->edDir->setText("bad*name.lua");
            fmMkDir->accept();
        },
        [] { fmMain->actMakeFileExecute(); });
    EXPECT_TRUE(
        named("/bad*name.lua: the device refused it: \"10:Invalid name\"; no file was replaced"));
    env.fs->AddFile("/gone.txt", "g");
    fmMain->actRefreshExecute();
    device().faults.downloadStallAfter = 0;
    env.fs->AddFile("/gone.txt", std::string(9000, 'g'));
    Select({"gone.txt"});
    fmMain->actEditExecute();
    EXPECT_TRUE(named("/gone.txt: it did not move whole"));
}

TEST_F(FileOps, DeleteAsksWithTheRightWordsAndRemovesFilesAndTrees) {
    Select({"a.txt"});
    answers = {QMessageBox::No};
    fmMain->actDeleteExecute();
    EXPECT_EQ(questions, QStringList{"Confirm: Delete \"a.txt\"?"});
    EXPECT_EQ(Captions(), (QStringList{"a.txt", "Empty", "Lua"}));

    // A folder goes with everything in it, and the question says so; Enter answers No.
    Select({"Lua"});
    answers = {QMessageBox::No};
    fmMain->actDeleteExecute();
    EXPECT_EQ(questions.last(), "Confirm: Delete the folder \"Lua\" and everything in it?");
    Select({"a.txt", "Empty", "Lua"});
    fmMain->actDeleteExecute();
    EXPECT_EQ(questions.last(),
              "Confirm: Delete 3 entries, 2 of them folders with everything in them?");
    EXPECT_EQ(cautions, questions) << "every delete question has No as its default";
    EXPECT_TRUE(Captions().isEmpty()) << "listed again afterwards";
    const auto& cmds = device().commands;
    EXPECT_NE(std::find(cmds.begin(), cmds.end(), "NFDEL \"/a.txt\""), cmds.end());
    EXPECT_NE(std::find(cmds.begin(), cmds.end(), "NFWIPEDIR \"/Lua\""), cmds.end());
}

TEST_F(FileOps, EnterInTheRealDeleteQuestionKeepsTheFolder) {
    ResetUiHooks();
    Select({"Lua"});
    QString asked;
    bool noIsDefault = false;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        asked = box->text();
        noIsDefault = box->defaultButton() == box->button(QMessageBox::No);
        QTest::keyClick(box, Qt::Key_Return);
    });
    fmMain->actDeleteExecute();
    EXPECT_EQ(asked, "Delete the folder \"Lua\" and everything in it?");
    EXPECT_TRUE(noIsDefault);
    EXPECT_TRUE(Captions().contains("Lua"));
    const auto& cmds = device().commands;
    EXPECT_EQ(std::find(cmds.begin(), cmds.end(), "NFWIPEDIR \"/Lua\""), cmds.end());
}

TEST_F(FileOps, DeleteWithTheLinkDownSendsNothingAndListsAgain) {
    Select({"a.txt"});
    device().Unplug();
    fmMain->Comms->Disconnect();
    const size_t before = device().received.size();
    fmMain->actDeleteExecute();
    EXPECT_EQ(device().received.size(), before);
    EXPECT_TRUE(Captions().isEmpty()) << "the listing after it found no device";
}

TEST_F(FileOps, SaveToPcCopiesFilesThenTreesInOrderWithStamps) {
    PaintWatcher watcher(fmMain->lblCount);
    fmMain->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(fmMain));
    watcher.seen.clear();
    Select({"a.txt", "Lua", "Empty"});
    const size_t from = device().commands.size();
    fmMain->actSaveExecute();
    EXPECT_EQ(Reads(from), (std::vector<std::string>{"NFTYPE @\"/a.txt\"", "NFTYPE @\"/Lua/x.lua\"",
                                                     "NFTYPE @\"/Lua/sub/y.lua\""}));
    EXPECT_EQ(watcher.seen, (QStringList{"1", "2", "3"})) << "no count before the first file";
    EXPECT_FALSE(fmMain->lblCount->isVisible());
    EXPECT_EQ(fmMain->SaveDir, pc.path());
    EXPECT_EQ(ReadAll(pc.filePath("a.txt")), "alpha");
    EXPECT_EQ(ReadAll(pc.filePath("Lua/x.lua")), "x = 1");
    EXPECT_EQ(ReadAll(pc.filePath("Lua/sub/y.lua")), "y = 2");
    EXPECT_TRUE(QFileInfo(pc.filePath("Empty")).isDir()) << "an empty directory is a folder too";
    EXPECT_EQ(QFileInfo(pc.filePath("a.txt")).lastModified(),
              QDateTime(QDate(2021, 6, 1), QTime(10, 0, 0)));
    EXPECT_EQ(QFileInfo(pc.filePath("Lua/sub/y.lua")).lastModified(),
              QDateTime(QDate(2021, 6, 2), QTime(11, 30, 4)));
    EXPECT_GT(QFileInfo(pc.filePath("Lua/x.lua")).lastModified(),
              QDateTime::currentDateTime().addSecs(-60))
        << "stamp 0: the time of saving";
    EXPECT_EQ(Captions(), (QStringList{"a.txt", "Empty", "Lua"}));
    fmMain->hide();
}

TEST_F(FileOps, SaveToPcReplacesWithoutAskingAndCancelSavesNothing) {
    WriteAll(pc.filePath("a.txt"), "old old old");
    Select({"a.txt"});
    fmMain->actSaveExecute();
    EXPECT_EQ(ReadAll(pc.filePath("a.txt")), "alpha");
    EXPECT_TRUE(questions.isEmpty());
    EXPECT_EQ(QDir(pc.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"a.txt"})
        << "no temporary file left behind";

    UiHooks().BrowseForFolder = [](QWidget*, const QString&, QString&) { return false; };
    const size_t from = device().commands.size();
    fmMain->actSaveExecute();
    EXPECT_TRUE(Reads(from).empty());
}

TEST_F(FileOps, TheParentRowIsPassedOverByEveryRowCommand) {
    fmMain->edDir->setText("/Lua");
    fmMain->actRefreshExecute();
    Select({".."});
    const size_t from = device().commands.size();
    fmMain->actDeleteExecute();
    fmMain->actSaveExecute();
    fmMain->actEditExecute();
    fmMain->actRenameExecute();
    EXPECT_TRUE(questions.isEmpty());
    EXPECT_TRUE(CommandsSince(from).empty()) << "nothing at all sent for the parent row";
    EXPECT_TRUE(QDir(pc.path()).isEmpty());

    Select({"..", "x.lua"});
    fmMain->actDeleteExecute();
    EXPECT_EQ(questions, QStringList{"Confirm: Delete \"x.lua\"?"});
    kv::sim::SimEntry e;
    EXPECT_TRUE(env.fs->Stat({"Lua", "sub"}, e));
    EXPECT_TRUE(env.fs->Stat({"a.txt"}, e)) << "the parent directory is untouched";
}

TEST_F(FileOps, HostileNamesFromTheDeviceAreNotWrittenAnywhere) {
    kv::sim::SimEntry bad;
    bad.size = 4;
    bad.attr = kv::sim::kAttrArchive;
    for (const char* name : {"..\\..\\x", "../x", "..", "", "a/b"}) {
        bad.name = name;
        env.fs->AddRawEntry("/Lua", bad, "evil");
    }
    bad.name = "../escape";
    bad.attr = kv::sim::kAttrDirectory;
    env.fs->AddRawEntry("/Lua", bad, "");
    fmMain->actTermClearExecute();
    Select({"Lua"});
    fmMain->actSaveExecute();
    EXPECT_EQ(ReadAll(pc.filePath("Lua/x.lua")), "x = 1") << "the good entries are saved";
    EXPECT_EQ(ReadAll(pc.filePath("Lua/sub/y.lua")), "y = 2");
    QStringList everything;
    QDir root(QFileInfo(pc.path()).absolutePath());
    for (const QString& f : QDir(pc.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot))
        everything.append(f);
    EXPECT_EQ(everything, QStringList{"Lua"});
    EXPECT_FALSE(QFileInfo::exists(root.filePath("x")));
    EXPECT_FALSE(QFileInfo::exists(root.filePath("escape")));
    const QString terminal = kvtest::PaneText(fmMain->reTerm);
    EXPECT_TRUE(terminal.contains("unsafe name \"..\\..\\x\"")) << terminal.toStdString();
    EXPECT_TRUE(terminal.contains("unsafe name \"../x\""));
    EXPECT_TRUE(terminal.contains("unsafe name \"a/b\""));
    EXPECT_TRUE(terminal.contains("unsafe name \"../escape\""));
    const auto runs = kvtest::Runs(fmMain->reTerm);
    for (const auto& run : runs) {
        if (!run.text.trimmed().isEmpty()) {
            EXPECT_EQ(run.color, QColor(0, 128, 0)) << run;
        }
    }
}

TEST_F(FileOps, AFailedWriteLeavesTheOldFileAndNoPartialOne) {
    env.fs->AddFile("/big.bin", std::string(50000, 'B'));
    fmMain->actRefreshExecute();
    WriteAll(pc.filePath("big.bin"), "precious");
    Select({"big.bin"});
    // The PC refuses files over 1000 bytes: the write comes up short.
    signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 1000;
    setrlimit(RLIMIT_FSIZE, &small);
    fmMain->Guarded([&] { fmMain->actSaveExecute(); });
    setrlimit(RLIMIT_FSIZE, &old);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].startsWith("Error: Cannot create file \"" +
                                       QDir::toNativeSeparators(pc.filePath("big.bin")) + "\". "))
        << messages[0].toStdString();
    EXPECT_EQ(ReadAll(pc.filePath("big.bin")), "precious");
    EXPECT_EQ(QDir(pc.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"big.bin"});
    EXPECT_FALSE(fmMain->lblCount->isVisible()) << "the clean-up ran";
}

TEST_F(FileOps, ACutShortDownloadWritesNothing) {
    env.fs->AddFile("/big.bin", std::string(50000, 'B'));
    fmMain->actRefreshExecute();
    WriteAll(pc.filePath("big.bin"), "precious");
    device().faults.downloadStallAfter = 20000;
    Select({"big.bin"});
    fmMain->actSaveExecute();
    EXPECT_EQ(ReadAll(pc.filePath("big.bin")), "precious");
}

TEST_F(FileOps, AFolderThatCannotBeMadeGivesTheSystemsReason) {
    WriteAll(pc.filePath("Lua"), "a file where the tree's folder would go");
    Select({"Lua"});
    fmMain->Guarded([&] { fmMain->actSaveExecute(); });
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].endsWith(". Not a directory")) << messages[0].toStdString();
    EXPECT_TRUE(messages[0].startsWith("Error: Cannot create file \""))
        << messages[0].toStdString();
}

TEST_F(FileOps, AFolderInTheWayIsReportedAsAFileThatCannotBeCreated) {
    QDir().mkpath(pc.filePath("a.txt"));
    Select({"a.txt"});
    fmMain->Guarded([&] { fmMain->actSaveExecute(); });
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].startsWith("Error: Cannot create file \""))
        << messages[0].toStdString();
}

TEST_F(FileOps, EditWritesOnlyChangesAndKeepsCrLf) {
    env.fs->AddFile("/win.txt", "one\r\ntwo\r\n");
    fmMain->actRefreshExecute();
    Select({"win.txt"});
    size_t from = device().commands.size();
    WithDialog([] { fmFile->accept(); }, [] { fmMain->actEditExecute(); });
    EXPECT_FALSE(Wrote(from)) << "saved unchanged: nothing written";
    EXPECT_EQ(fmFile->windowTitle(), "Edit File: /win.txt");

    WithDialog(
        [] {
            fmFile->reFile->setPlainText("one\ntwo\nthree\n");
            fmFile->accept();
        },
        [] { fmMain->actEditExecute(); });
    std::string stored;
    env.fs->ReadFile({"win.txt"}, stored);
    EXPECT_EQ(stored, "one\r\ntwo\r\nthree\r\n");

    // Typed back to what it was: Cancel closes without a question.
    from = device().commands.size();
    WithDialog(
        [] {
            fmFile->reFile->setPlainText("changed");
            fmFile->reFile->setPlainText(fmFile->LoadedText);
            fmFile->reject();
        },
        [] { fmMain->actEditExecute(); });
    EXPECT_TRUE(questions.isEmpty());
    EXPECT_FALSE(Wrote(from));
}

TEST_F(FileOps, EditRefusesContentItCannotHoldExactly) {
    env.fs->AddFile("/nul.bin", std::string("a\0b", 3));
    env.fs->AddFile("/cr.txt", "a\rb");
    env.fs->AddFile("/mixed.txt", "a\r\nb\nc");
    env.fs->AddFile("/nbsp.txt", "a\xA0"
                                 "b");
    env.fs->AddFile("/latin.txt", "caf\xE9\n");
    fmMain->actRefreshExecute();
    bool opened = false;
    for (const char* name : {"nul.bin", "cr.txt", "mixed.txt", "nbsp.txt"}) {
        Select({name});
        QTimer::singleShot(0, [&] {
            if (!fmFile->isVisible()) return;
            opened = true;
            fmFile->reject();
        });
        fmMain->actEditExecute();
        QCoreApplication::processEvents();
        EXPECT_FALSE(opened) << name;
        opened = false;
    }
    EXPECT_EQ(messages.size(), 4);
    EXPECT_TRUE(messages[0].contains("NUL"));

    Select({"latin.txt"});
    WithDialog(
        [] {
            fmFile->reFile->setPlainText(fmFile->reFile->toPlainText() + "ok\n");
            fmFile->accept();
        },
        [] { fmMain->actEditExecute(); });
    std::string stored;
    env.fs->ReadFile({"latin.txt"}, stored);
    EXPECT_EQ(stored, "caf\xE9\nok\n");
}

TEST_F(FileOps, TheEditorAsksBeforeDroppingChanges) {
    Select({"a.txt"});
    answers = {QMessageBox::No, QMessageBox::Yes};
    bool stillOpen = false;
    WithDialog(
        [&] {
            fmFile->reFile->setPlainText("edited");
            fmFile->reject();
            stillOpen = fmFile->isVisible() && fmFile->reFile->toPlainText() == "edited";
            fmFile->close(); // the close box: asked again, Yes this time
        },
        [] { fmMain->actEditExecute(); });
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(questions, (QStringList{"Confirm: Lose changes?", "Confirm: Lose changes?"}));
    EXPECT_EQ(cautions, questions) << "Enter keeps the changes";
    std::string stored;
    env.fs->ReadFile({"a.txt"}, stored);
    EXPECT_EQ(stored, "alpha");
}

// A character the device cannot store keeps the editor open with it selected and named by line
// and column; nothing typed is lost, and the mended text is saved.
TEST_F(FileOps, AnUnstorableCharacterIsShownAndTheTextKept) {
    env.fs->AddFile("/cfg.txt", "name=bench\r\n");
    fmMain->actRefreshExecute();
    Select({"cfg.txt"});
    const QString typed = QString::fromUtf8("name=bench\nprice=20€ ✓\n");
    bool stillOpen = false, wrote = true;
    QString selected, kept;
    const size_t from = device().commands.size();
    WithDialog(
        [&] {
            fmFile->reFile->setPlainText(typed);
            fmFile->accept();
            stillOpen = fmFile->isVisible();
            selected = fmFile->reFile->textCursor().selectedText();
            kept = fmFile->reFile->toPlainText();
            wrote = Wrote(from);
            fmFile->reFile->setPlainText("name=bench\nprice=20 EUR\n");
            fmFile->accept();
        },
        [] { fmMain->actEditExecute(); });
    EXPECT_TRUE(stillOpen);
    EXPECT_FALSE(wrote);
    EXPECT_EQ(selected, QString::fromUtf8("€"));
    EXPECT_EQ(kept, typed);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains(QString::fromUtf8("\"€\" (U+20AC) on line 2, column 9")))
        << messages[0].toStdString();
    std::string stored;
    env.fs->ReadFile({"cfg.txt"}, stored);
    EXPECT_EQ(stored, "name=bench\r\nprice=20 EUR\r\n");
}

// A write the device refuses leaves the text in the open editor, and the refusal is shown.
TEST_F(FileOps, ARefusedWriteKeepsTheEditorOpen) {
    Select({"a.txt"});
    device().faults.forceResult = 5;
    bool stillOpen = false;
    QString kept;
    WithDialog(
        [&] {
            fmFile->reFile->setPlainText("edited");
            fmFile->accept();
            stillOpen = fmFile->isVisible();
            kept = fmFile->reFile->toPlainText();
            device().faults.forceResult = 0;
            fmFile->accept();
        },
        [] { fmMain->actEditExecute(); });
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(kept, "edited");
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("The text was not saved: /a.txt: "))
        << messages[0].toStdString();
    EXPECT_TRUE(kvtest::PaneText(fmMain->reTerm).contains("/a.txt: "));
    std::string stored;
    env.fs->ReadFile({"a.txt"}, stored);
    EXPECT_EQ(stored, "edited");
}

TEST_F(FileOps, RenameAndMakeDirSendEvenWhenNothingChanged) {
    Select({"a.txt"});
    WithDialog([] { fmRename->accept(); }, [] { fmMain->actRenameExecute(); });
    EXPECT_EQ(device().commands.back().rfind("NFDIR", 0), 0u);
    EXPECT_NE(std::find(device().commands.begin(), device().commands.end(),
                        "NFRENAME \"/a.txt\" \"a.txt\""),
              device().commands.end());
    WithDialog(
        [] {
            fmMkDir->edDir->setText("Lua");
            fmMkDir->accept();
        },
        [] { fmMain->actMkDirExecute(); });
    EXPECT_EQ(fmMkDir->windowTitle(), "Make Directory");
    EXPECT_NE(std::find(device().commands.begin(), device().commands.end(), "NFMKDIR \"/Lua\""),
              device().commands.end());

    Select({"a.txt"});
    WithDialog(
        [] {
            fmRename->edToName->setText("b.txt");
            fmRename->accept();
        },
        [] { fmMain->actRenameExecute(); });
    EXPECT_EQ(Captions(), (QStringList{"b.txt", "Empty", "Lua"}));
}

TEST_F(FileOps, NewFileAsksWhenTheNameExistsInAnyCase) {
    answers = {QMessageBox::No};
    WithDialog(
        [] {
            fmMkDir->edDir->setText("A.TXT");
            fmMkDir->accept();
        },
        [] { fmMain->actMakeFileExecute(); });
    EXPECT_EQ(fmMkDir->windowTitle(), "New File");
    EXPECT_EQ(questions, QStringList{"Confirm: File exists! Overwrite?"});
    std::string stored;
    env.fs->ReadFile({"a.txt"}, stored);
    EXPECT_EQ(stored, "alpha");

    WithDialog(
        [] {
            fmMkDir->edDir->setText("lua");
            fmMkDir->accept();
        },
        [] { fmMain->actMakeFileExecute(); });
    EXPECT_EQ(questions.size(), 2) << "a directory's name counts too";

    WithDialog(
        [] {
            fmMkDir->edDir->setText("new.txt");
            fmMkDir->accept();
        },
        [] { fmMain->actMakeFileExecute(); });
    EXPECT_EQ(questions.size(), 2);
    EXPECT_TRUE(Captions().contains("new.txt"));

    // Made on the device since the list was shown: the device's folder is asked, not the rows.
    env.fs->AddFile("/late.txt", "made by the device's program");
    answers = {QMessageBox::No};
    WithDialog(
        [] {
            fmMkDir->edDir->setText("late.txt");
            fmMkDir->accept();
        },
        [] { fmMain->actMakeFileExecute(); });
    EXPECT_EQ(questions.size(), 3);
    env.fs->ReadFile({"late.txt"}, stored);
    EXPECT_EQ(stored, "made by the device's program");
}

TEST_F(FileOps, NameFieldsDropForbiddenTypedCharacters) {
    WithDialog(
        [] {
            QTest::keyClicks(fmMkDir->edDir, "a/b\\c+d!e?f*g;h:i\"j'k");
            fmMkDir->edDir->insert("/pasted");
            QTest::keyClick(fmMkDir->edDir, Qt::Key_Escape); // as Cancel, as in Rename
        },
        [] {
            fmMkDir->SetMode(true);
            EXPECT_EQ(fmMkDir->exec(), QDialog::Rejected);
        });
    EXPECT_EQ(fmMkDir->GetName(), "abcdefghijk/pasted");
    EXPECT_EQ(fmMkDir->edDir->LastRefusal, "A name cannot hold \"'\": it was not typed.");
    WithDialog(
        [] {
            QTest::keyClicks(fmRename->edToName, "x/y");
            QTest::keyClick(fmRename->edToName, Qt::Key_Escape);
        },
        [] {
            fmRename->SetName("old");
            EXPECT_EQ(fmRename->exec(), QDialog::Rejected);
        });
    EXPECT_EQ(fmRename->GetNewName(), "xy") << "typing replaced the selected old name";
}

} // namespace

namespace {

// Names the name dialogs must refuse, pasted (typing drops some of these characters first), with
// whether paths go quoted and what the reason says.
struct HostileName {
    QString name;
    bool quoted;
    QString why;
};

const HostileName kHostileNames[] = {
    {"z\rNFWIPEDIR Lua\rz", true, "a carriage return (CR), which would end the command line"},
    {"a\nb", false, "a line feed (LF)"},
    {"a\tb", true, "a TAB"},
    {"a\x1b"
     "b",
     false, "the control character 0x1B"},
    {"backup/old", true, "a \"/\", which would make it a path"},
    {"q\"x.txt", true, "a double quote (\"), which would end the quoted argument early"},
    {"\"x", false, "a double quote (\") at its start"},
    {QString("caf") + QChar(0x65E5) + ".lua", true, "\"" + QString(QChar(0x65E5)) + "\" (U+65E5)"},
};

} // namespace

// The name dialogs refuse a name the device's command line cannot carry, or its 8-bit text
// cannot store, with the reason in the dialog; the name stays as typed and nothing is sent.
// A valid name with spaces and Latin-1 letters goes byte for byte.
TEST_F(FileOps, NameDialogsRefuseHostileNamesWithTheReason) {
    struct Command {
        void (TfmMain::*run)();
        QDialog* dialog;
        QLineEdit* field;
        QLabel* why;
    };
    const Command commands[] = {
        {&TfmMain::actMkDirExecute, fmMkDir, fmMkDir->edDir, fmMkDir->lblWhy},
        {&TfmMain::actMakeFileExecute, fmMkDir, fmMkDir->edDir, fmMkDir->lblWhy},
        {&TfmMain::actRenameExecute, fmRename, fmRename->edToName, fmRename->lblWhy},
    };
    for (const Command& command : commands)
        for (const HostileName& hostile : kHostileNames) {
            fmMain->Files->QuotePaths = hostile.quoted;
            Select({"a.txt"});
            const size_t from = device().commands.size();
            bool open = false;
            QString kept, reason;
            WithDialog(
                [&] {
                    command.field->setText(hostile.name);
                    QTest::keyClick(command.field, Qt::Key_Return);
                    open = command.dialog->isVisible();
                    kept = command.field->text();
                    reason = command.why->isVisible() ? command.why->text() : QString();
                    command.dialog->reject();
                },
                [&] { (fmMain->*command.run)(); });
            const QString shown = command.dialog->windowTitle() + ": " + hostile.name;
            EXPECT_TRUE(open) << shown.toStdString();
            EXPECT_EQ(kept, hostile.name) << shown.toStdString();
            EXPECT_TRUE(reason.startsWith("The name cannot hold " + hostile.why))
                << reason.toStdString();
            EXPECT_TRUE(CommandsSince(from).empty()) << shown.toStdString();
        }

    fmMain->Files->QuotePaths = true;
    size_t from = device().commands.size();
    WithDialog(
        [] {
            fmMkDir->edDir->setText(QString("d") + QChar(0xE9) + " x.txt");
            QTest::keyClick(fmMkDir->edDir, Qt::Key_Return);
        },
        [] { fmMain->actMakeFileExecute(); });
    EXPECT_EQ(kvtest::WithoutListings(CommandsSince(from)),
              (std::vector<std::string>{"NFWRITE \"/d\xE9 x.txt.kvbnew\"\t0\tw",
                                        "NFRENAME \"/d\xE9 x.txt.kvbnew\" \"d\xE9 x.txt\""}));
    EXPECT_TRUE(Captions().contains(QString("d") + QChar(0xE9) + " x.txt"));
    // A dropped PC file whose name would end the command line is named, not sent.
    WriteAll(pc.filePath("z\rNFWIPEDIR Lua\rz"), "h");
    from = device().commands.size();
    fmMain->dftFilesDrop({pc.filePath("z\rNFWIPEDIR Lua\rz")}, true);
    EXPECT_EQ(kvtest::WithoutListings(CommandsSince(from)), std::vector<std::string>{});
    EXPECT_TRUE(
        kvtest::PaneText(fmMain->reTerm)
            .contains("/z\\rNFWIPEDIR Lua\\rz: not sent: the path holds a carriage return"));
    EXPECT_TRUE(Captions().contains("Lua"));
}
