// The device file browser: listing, order, images, navigation by double-click, Enter and the path
// field, and the password check.
#include "UiFixture.h"

#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <map>

#include "ui/ufmDialogs.h"

namespace {

using kv::sim::PackFatTime;

struct Browser : kvtest::UiTest {
    void SetUp() override {
        env.fs->AddFile("/b", "bbb", PackFatTime(2020, 1, 31, 9, 5, 0));
        env.fs->AddFile("/A", "", 0);
        env.fs->AddFile("/a", "a");
        env.fs->AddFile("/Lua/Main.LUA", "x");
        env.fs->AddFile("/Lua/tool.lua.bak", "x");
        env.fs->AddFile("/Lua/Old/readme.txt", "x");
        Connect();
    }
    QString Cell(const QString& caption, int column) const {
        return fmMain->lvFiles->topLevelItem(RowOf(caption))->text(column);
    }
    void DoubleClick(const QString& caption) {
        Select({caption});
        fmMain->lvFilesDblClick();
    }
    int ImageOf(const QString& caption) const {
        const QIcon icon = fmMain->lvFiles->topLevelItem(RowOf(caption))->icon(0);
        for (int i = 0; i < 4; ++i)
            if (icon.pixmap(16, 16).toImage() == FileListImage(i).pixmap(16, 16).toImage())
                return i;
        return -1;
    }
};

TEST_F(Browser, RootListingOrderColumnsAndImages) {
    EXPECT_EQ(Captions(), (QStringList{"a", "A", "b", "Lua"}));
    EXPECT_EQ(fmMain->edDir->text(), "");
    EXPECT_EQ(fmMain->CurrentDir, "");
    EXPECT_EQ(Cell("A", 1), "0") << "a file of size 0 shows 0";
    EXPECT_EQ(Cell("A", 3), "") << "stamp 0 shows nothing";
    EXPECT_EQ(Cell("b", 3), "2020-01-31 09:05:00");
    EXPECT_EQ(Cell("b", 2), "A");
    EXPECT_EQ(Cell("Lua", 1), "") << "directories show no size";
    EXPECT_EQ(Cell("Lua", 2), "<DIR>");
    EXPECT_TRUE(fmMain->ItemIsDir(RowOf("Lua")));
    EXPECT_FALSE(fmMain->ItemIsDir(RowOf("b")));
    EXPECT_EQ(ImageOf("Lua"), 0);
    EXPECT_EQ(ImageOf("b"), 1);
    const kv::DeviceDirEntry b = fmMain->Entry(RowOf("b"));
    EXPECT_EQ(b.Name, "b");
    EXPECT_EQ(b.Size, 3);
    EXPECT_EQ(b.Created, (kv::DateTime{2020, 1, 31, 9, 5, 0}));
}

TEST_F(Browser, SubdirectoryHidesDotAndShowsDotDotWithItsImage) {
    DoubleClick("Lua");
    EXPECT_EQ(fmMain->CurrentDir, "/Lua");
    EXPECT_EQ(fmMain->edDir->text(), "/Lua");
    EXPECT_EQ(Captions(), (QStringList{"..", "Main.LUA", "Old", "tool.lua.bak"}));
    EXPECT_EQ(ImageOf(".."), 3);
    EXPECT_EQ(Cell("..", 1), "");
    EXPECT_EQ(ImageOf("Main.LUA"), 2);
    EXPECT_EQ(ImageOf("tool.lua.bak"), 2);
    DoubleClick("Old");
    EXPECT_EQ(fmMain->CurrentDir, "/Lua/Old");
    DoubleClick("..");
    EXPECT_EQ(fmMain->CurrentDir, "/Lua");
    DoubleClick("..");
    EXPECT_EQ(fmMain->CurrentDir, "");
    EXPECT_EQ(Captions(), (QStringList{"a", "A", "b", "Lua"}));
}

TEST_F(Browser, ATypedSlashThenDoubleClickIsNormalised) {
    fmMain->edDir->setText("/");
    EXPECT_EQ(fmMain->CurrentDir, "/");
    QTest::keyClick(fmMain->edDir, Qt::Key_Return);
    DoubleClick("Lua");
    EXPECT_EQ(device().commands.back(), "NFDIR @\"/Lua\"") << "//Lua went out as /Lua";
    EXPECT_EQ(fmMain->CurrentDir, "/Lua");
    // A typed path listed with Enter.
    fmMain->edDir->setText("/Lua/Old");
    QTest::keyClick(fmMain->edDir, Qt::Key_Return);
    EXPECT_EQ(Captions(), (QStringList{"..", "readme.txt"}));
}

TEST_F(Browser, EnterOpensDirectoriesAndFiles) {
    Select({"Lua"});
    QTest::keyClick(fmMain->lvFiles, Qt::Key_Return);
    EXPECT_EQ(fmMain->CurrentDir, "/Lua");
    bool edited = false;
    QTimer::singleShot(0, [&] {
        edited = fmFile->isVisible() && fmFile->reFile->toPlainText() == "x";
        fmFile->reject();
    });
    Select({"Main.LUA"});
    QTest::keyClick(fmMain->lvFiles, Qt::Key_Return);
    EXPECT_TRUE(edited) << "Enter on a file opens it in the editor";
}

TEST_F(Browser, ParentDir) {
    EXPECT_EQ(TfmMain::ParentDir("/Lua/Old"), "/Lua");
    EXPECT_EQ(TfmMain::ParentDir("/Lua"), "");
    EXPECT_EQ(TfmMain::ParentDir("/Lua/"), "/Lua");
    EXPECT_EQ(TfmMain::ParentDir("/"), "");
    EXPECT_EQ(TfmMain::ParentDir(""), "");
    EXPECT_EQ(TfmMain::ParentDir("Lua"), "");
}

TEST(CaptionOrder, CaseIsOnlyATieBreakWithLowerCaseFirst) {
    using kv::CaptionLess;
    EXPECT_TRUE(CaptionLess("a", "A"));
    EXPECT_FALSE(CaptionLess("A", "a"));
    EXPECT_TRUE(CaptionLess("A", "b"));
    EXPECT_TRUE(CaptionLess("abc", "ABD"));
    EXPECT_TRUE(CaptionLess("ab", "abc"));
    EXPECT_FALSE(CaptionLess("x", "x"));
    EXPECT_TRUE(CaptionLess("\xE9t\xE9", "\xC9T\xC9")) << "accented letters fold too";
    EXPECT_TRUE(CaptionLess("f", "\xC9t\xE9")) << "by the folded 8-bit value";
}

struct LockedBrowser : kvtest::UiTest {
    LockedBrowser()
        : kvtest::UiTest([] {
              kv::sim::SimConfig c;
              c.password = "sesame";
              return c;
          }()) {}
};

TEST_F(LockedBrowser, APasswordPromptLeavesTheListAsItWas) {
    env.fs->AddFile("/a", "a");
    Connect();
    EXPECT_TRUE(Captions().isEmpty()) << "the first listing met the password prompt";
    fmMain->Comms->WriteMessage("sesame\r", 0, 0, 200);
    fmMain->actRefreshExecute();
    EXPECT_EQ(Captions(), QStringList{"a"});
    device().Lock();
    fmMain->edDir->setText("/elsewhere");
    fmMain->actRefreshExecute();
    EXPECT_EQ(Captions(), QStringList{"a"});
    EXPECT_EQ(fmMain->edDir->text(), "/elsewhere");
}

TEST_F(Browser, RefreshAfterAnUnplugEmptiesTheList) {
    device().Unplug();
    fmMain->actRefreshExecute();
    EXPECT_TRUE(Captions().isEmpty());
}

TEST_F(Browser, AFolderThatCannotBeListedIsSaidAndTheWindowStaysWhereItWas) {
    DoubleClick("Lua");
    fmMain->actTermClearExecute();
    const auto said = [] { return kvtest::PaneText(fmMain->reTerm); };
    fmMain->edDir->setText("/Lua/Nope");
    QTest::keyClick(fmMain->edDir, Qt::Key_Return);
    EXPECT_EQ(said(), "\u00D7 /Lua/Nope: there is no such folder on the device\n");
    EXPECT_EQ(fmMain->edDir->text(), "/Lua");
    EXPECT_EQ(fmMain->CurrentDir, "/Lua");
    EXPECT_EQ(Captions(), (QStringList{"..", "Main.LUA", "Old", "tool.lua.bak"}));
    // The shown folder itself went: its parent is shown.
    DoubleClick("Old");
    env.fs->WipeDir(kv::sim::SplitPath("/Lua/Old"));
    fmMain->actRefreshExecute();
    EXPECT_EQ(fmMain->CurrentDir, "/Lua");
    EXPECT_EQ(Captions(), (QStringList{"..", "Main.LUA", "tool.lua.bak"}));
    fmMain->actTermClearExecute();
    device().faults.listingLinesLeft = 4; // the header, ".", ".." and one entry
    fmMain->actRefreshExecute();
    EXPECT_TRUE(
        said().startsWith("\u00D7 /Lua: the listing was cut short; the list shows what arrived"))
        << said().toStdString();
    EXPECT_EQ(Captions().size(), 2) << "what arrived is shown";
    device().faults.listingLinesLeft = -1;
    fmMain->actTermClearExecute();
    device().Unplug();
    fmMain->actRefreshExecute();
    EXPECT_TRUE(said().contains("/Lua: the device is gone")) << said().toStdString();
}

TEST_F(Browser, AHeaderClickSortsByItsColumnFoldersFirstAndAgainTheOtherWay) {
    env.fs->AddFile("/Lua/big.txt", std::string(500, 'x'), PackFatTime(2019, 5, 1, 0, 0, 0));
    env.fs->AddDir("/Lua/Aa");
    DoubleClick("Lua");
    fmMain->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(fmMain));
    QHeaderView* header = fmMain->lvFiles->header();
    const auto click = [&](int column) {
        const QPoint at(header->sectionViewportPosition(column) + 10, header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
    };
    EXPECT_FALSE(header->isSortIndicatorShown()) << "by name alone until a header is clicked";
    click(1);
    EXPECT_EQ(Captions(), (QStringList{"..", "Aa", "Old", "Main.LUA", "tool.lua.bak", "big.txt"}));
    EXPECT_TRUE(header->isSortIndicatorShown());
    EXPECT_EQ(header->sortIndicatorSection(), 1);
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::AscendingOrder);
    click(1);
    EXPECT_EQ(Captions(), (QStringList{"..", "Aa", "Old", "big.txt", "Main.LUA", "tool.lua.bak"}))
        << "the other way round, folders still first and equals still by name";
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
    click(0);
    EXPECT_EQ(Captions(), (QStringList{"..", "Aa", "Old", "big.txt", "Main.LUA", "tool.lua.bak"}));
    fmMain->actRefreshExecute();
    EXPECT_EQ(Captions(), (QStringList{"..", "Aa", "Old", "big.txt", "Main.LUA", "tool.lua.bak"}))
        << "a new listing keeps the chosen order";
    click(3);
    EXPECT_EQ(header->sortIndicatorSection(), 3);
    EXPECT_EQ(Captions().last(), "big.txt") << "the only stamped file after those without";
}

} // namespace

namespace {

// How many pixels of the row's name cell stand out from the cell's most common colour: the
// drawn text of the name (a row whose text matches its background shows next to none).
int InkInNameCell(int row) {
    QTreeWidget* list = fmMain->lvFiles;
    const QRect cell = list->visualRect(list->model()->index(row, 0)).adjusted(22, 2, -2, -2);
    const QImage image = list->viewport()->grab(cell).toImage();
    std::map<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ++counts[image.pixel(x, y)];
    QRgb background = 0;
    int most = -1;
    for (auto [rgb, n] : counts)
        if (n > most) most = n, background = rgb;
    int ink = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (std::abs(qGray(image.pixel(x, y)) - qGray(background)) > 90) ++ink;
    return ink;
}

TEST_F(Browser, ASelectedRowShowsItsTextWithAndWithoutFocus) {
    fmMain->resize(900, 700);
    fmMain->show();
    QApplication::processEvents();
    const int row = RowOf("Lua");
    const int unselected = InkInNameCell(row);
    ASSERT_GT(unselected, 15) << "the name is drawn on an unselected row";
    Select({"Lua", "b"});
    fmMain->lvFiles->setFocus();
    QApplication::processEvents();
    EXPECT_GT(InkInNameCell(row), unselected / 2) << "selected, focused";
    fmMain->edDir->setFocus();
    QApplication::processEvents();
    EXPECT_GT(InkInNameCell(row), unselected / 2) << "selected, without focus";
}

} // namespace
