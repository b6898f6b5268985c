// The window for daily work: File > Upload Files..., the transfer's progress and summary, the
// editor's cancellable read, and the keys for moving about (Backspace, Alt+Up, F6, Alt+letter).
#include "UiFixture.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "ui/ufmDialogs.h"

namespace {

using kv::sim::PackFatTime;

struct DailyWork : kvtest::UiTest {
    QTemporaryDir pc;
    QStringList shown; // what the transfer label said at each progress event
    void SetUp() override {
        env.fs->AddFile("/a.txt", "alpha", PackFatTime(2021, 6, 1, 10, 0, 0));
        env.fs->AddFile("/big.bin", std::string(60000, 'b'), 0);
        env.fs->AddFile("/Lua/Old/readme.txt", "x");
        env.fs->AddFile("/Lua/x.lua", "x = 1");
        Connect();
        UiHooks().BrowseForFolder = [this](QWidget*, const QString&, QString& folder) {
            folder = pc.path();
            return true;
        };
        // Each progress event as the window takes it, then what its label says.
        auto window = fmMain->Files->OnProgress;
        fmMain->Files->OnProgress = [this, window](kv::TkvbFiles* f, int32_t p, int32_t t) {
            fmMain->NextPaintTick = 0;
            window(f, p, t);
            shown << fmMain->lblTransfer->text();
        };
    }
    QString PcFile(const QString& name, const QByteArray& bytes) {
        QFile f(pc.filePath(name));
        f.open(QIODevice::WriteOnly);
        f.write(bytes);
        return f.fileName();
    }
    QString Terminal() { return kvtest::PaneText(fmMain->reTerm); }
    QString Selected() {
        const int row = fmMain->lvFiles->currentIndex().row();
        return row < 0 ? QString() : fmMain->Caption(row);
    }
};

TEST_F(DailyWork, UploadFilesGoesAsADropOfThemWould) {
    const QStringList files{PcFile("u.lua", "lua!"), PcFile("v.txt", "text")};
    QString title;
    UiHooks().OpenFiles = [&](QWidget*, const QString& t) {
        title = t;
        return files;
    };
    fmMain->actUpload->trigger();
    EXPECT_EQ(title, "Upload Files");
    EXPECT_EQ(questions.size(), 1) << "the proper-place question of a drop";
    std::string stored;
    EXPECT_TRUE(env.fs->ReadFile({"Lua", "u.lua"}, stored));
    EXPECT_EQ(stored, "lua!");
    EXPECT_TRUE(env.fs->ReadFile({"v.txt"}, stored));
    EXPECT_TRUE(Terminal().contains(
        QRegularExpression("done.\n\nUploaded 2 files \\(8 bytes\\) to /Lua and / in [0-9.]+ s\n")))
        << Terminal().toStdString();
    EXPECT_TRUE(Captions().contains("v.txt")) << "listed again";

    UiHooks().OpenFiles = [](QWidget*, const QString&) { return QStringList(); };
    const size_t commands = device().commands.size();
    fmMain->actUpload->trigger();
    EXPECT_EQ(device().commands.size(), commands) << "a cancelled dialog sends nothing";
}

TEST_F(DailyWork, SaveToPcShowsFileCountBytesSpeedAndEndsWithOneLine) {
    Select({"a.txt", "big.bin"});
    fmMain->actSaveExecute();
    ASSERT_FALSE(shown.isEmpty());
    EXPECT_TRUE(shown.front().startsWith("a.txt\nfile 1 of 2 - 5 of 60,005 bytes"))
        << shown.front().toStdString();
    EXPECT_TRUE(shown.back().contains(QRegularExpression(
        "^big.bin\nfile 2 of 2 - 60,005 of 60,005 bytes\n[0-9.]+ kB/s - 0:00 left$")))
        << shown.back().toStdString();
    EXPECT_TRUE(Terminal().contains(QRegularExpression("\nSaved 2 files \\(60,005 bytes\\) to " +
                                                       QRegularExpression::escape(pc.path()) +
                                                       " in [0-9]+\\.[0-9] s\n$")))
        << Terminal().toStdString();
    EXPECT_EQ(fmMain->lblTransfer->text(), "") << "cleared at the end";

    // A tree's files are counted as its listings find them.
    shown.clear();
    fmMain->actTermClearExecute();
    Select({"big.bin", "Lua"});
    fmMain->actSaveExecute();
    EXPECT_TRUE(shown.front().contains("file 1 of 1 so far")) << shown.front().toStdString();
    EXPECT_TRUE(Terminal().contains("Saved 3 files (60,006 bytes)")) << Terminal().toStdString();
}

TEST_F(DailyWork, OpeningALargeFileInTheEditorCanBeCancelled) {
    bool editorShown = false;
    QTimer::singleShot(0, [&] {
        editorShown = fmFile->isVisible();
        fmFile->reject();
    });
    auto window = fmMain->Files->OnProgress;
    fmMain->Files->OnProgress = [&](kv::TkvbFiles* f, int32_t p, int32_t t) {
        window(f, p, t);
        EXPECT_TRUE(fmMain->btnCancel->isVisible()) << "Cancel is live during the read";
        fmMain->Activity->AskCancel();
    };
    fmMain->show();
    Select({"big.bin"});
    fmMain->actEditExecute();
    QCoreApplication::processEvents();
    EXPECT_FALSE(editorShown);
    EXPECT_TRUE(Terminal().contains("Cancelled: \"/big.bin\" was not opened."))
        << Terminal().toStdString();
    // The link is in step afterwards: the next command works.
    std::vector<kv::DeviceDirEntry> entries;
    EXPECT_TRUE(fmMain->Work->Verbs.List("/Lua", entries).Ok());
    fmMain->hide();
}

TEST_F(DailyWork, BackspaceAndAltUpGoUpSelectingWhereWeCameFrom) {
    fmMain->edDir->setText("/Lua/Old");
    fmMain->actRefreshExecute();
    QTest::keyClick(fmMain->lvFiles, Qt::Key_Backspace);
    EXPECT_EQ(fmMain->CurrentDir, "/Lua");
    EXPECT_EQ(Selected(), "Old");
    fmMain->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(fmMain));
    fmMain->reTerm->setFocus();
    QTest::keyClick(fmMain->reTerm, Qt::Key_Up, Qt::AltModifier);
    EXPECT_EQ(fmMain->CurrentDir, "");
    EXPECT_EQ(Selected(), "Lua");
    QTest::keyClick(fmMain->reTerm, Qt::Key_Up, Qt::AltModifier);
    EXPECT_EQ(fmMain->CurrentDir, "") << "the root stays";
    // ".." goes up the same way.
    fmMain->edDir->setText("/Lua");
    fmMain->actRefreshExecute();
    Select({".."});
    fmMain->lvFilesDblClick();
    EXPECT_EQ(Selected(), "Lua");
    fmMain->hide();
}

TEST_F(DailyWork, F6CyclesTheAreasAndAltLetterOpensTheMenus) {
    fmMain->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(fmMain));
    fmMain->reTerm->setFocus();
    const size_t reports = device().received.size();
    QStringList order;
    for (int i = 0; i < 3; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F6);
        order << QApplication::focusWidget()->objectName();
    }
    EXPECT_EQ(order, (QStringList{"edDir", "lvFiles", "reTerm"}));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F6, Qt::ShiftModifier);
    EXPECT_EQ(QApplication::focusWidget()->objectName(), "lvFiles");
    fmMain->reTerm->setFocus();
    QTest::keyClick(fmMain->reTerm, Qt::Key_F, Qt::AltModifier);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr) << "Alt+F opens the File menu";
    EXPECT_EQ(menu->title(), "&File");
    menu->close();
    EXPECT_EQ(device().received.size(), reports) << "no key reached the device";
    fmMain->hide();
}

TEST_F(DailyWork, DraggedRowsBecomeStagedPcFilesWithTheDevicesStamps) {
    env.fs->AddFile("/../evil.txt", "x"); // a name the device should never list
    const auto urls = fmMain->FetchForDrag({fmMain->Entry(RowOf("a.txt"))}, {"Lua", ".."}, "");
    ASSERT_EQ(urls.size(), 2) << "the file and the tree; nothing for the unsafe name";
    const QString file = urls[0].toLocalFile(), tree = urls[1].toLocalFile();
    EXPECT_TRUE(file.endsWith("/a.txt"));
    QFile staged(file);
    ASSERT_TRUE(staged.open(QIODevice::ReadOnly));
    EXPECT_EQ(staged.readAll(), "alpha");
    EXPECT_EQ(QFileInfo(file).lastModified(), QDateTime(QDate(2021, 6, 1), QTime(10, 0, 0)));
    EXPECT_TRUE(QFileInfo::exists(tree + "/Old/readme.txt"));
    EXPECT_TRUE(file.startsWith(fmMain->DragStage->path() + "/"));
    EXPECT_EQ(QFileInfo(fmMain->DragStage->path()).permissions() &
                  (QFile::ReadGroup | QFile::ReadOther | QFile::ExeGroup | QFile::ExeOther),
              0)
        << "staged where only the user can read";
    EXPECT_TRUE(
        Terminal().contains(QRegularExpression("Saved 3 files \\(11 bytes\\) for the drop")))
        << Terminal().toStdString();

    // A second drag stages afresh; a cancelled one hands nothing on.
    auto window = fmMain->Files->OnProgress;
    fmMain->Files->OnProgress = [&](kv::TkvbFiles* f, int32_t p, int32_t t) {
        window(f, p, t);
        fmMain->Activity->AskCancel();
    };
    EXPECT_TRUE(
        fmMain
            ->FetchForDrag({fmMain->Entry(RowOf("big.bin")), fmMain->Entry(RowOf("a.txt"))}, {}, "")
            .isEmpty());
}

} // namespace
