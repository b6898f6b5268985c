// Small things of the window: upload counts and their one byte count, the Ctrl hint only for
// drops, paths typed with extra "/", the list's menu on empty space, Send Break, and the line that
// says the window switches device.
#include "UiFixture.h"
#include "device/DeviceText.h"

#include <QAction>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <algorithm>

namespace {

struct SmallThings : kvtest::UiTest {
    QTemporaryDir pc;
    QStringList sizes; // what the size label said at each progress event
    void SetUp() override {
        env.fs->AddFile("/Lua/x.lua", "x = 1");
        Connect();
        auto window = fmMain->Files->OnProgress;
        fmMain->Files->OnProgress = [this, window](kv::TkvbFiles* f, int32_t p, int32_t t) {
            fmMain->NextPaintTick = 0;
            window(f, p, t);
            sizes << fmMain->lblSize->text();
        };
    }
    QString PcFile(const QString& name, const QByteArray& bytes) {
        QFile f(pc.filePath(name));
        f.open(QIODevice::WriteOnly);
        f.write(bytes);
        return f.fileName();
    }
    QString Terminal() { return kvtest::PaneText(fmMain->reTerm); }
};

TEST_F(SmallThings, UploadsSayOneFileWithOneByteCountAndTheCtrlHintOnlyForADrop) {
    const QString file = PcFile("one.lua", QByteArray(5000, 'a'));
    UiHooks().OpenFiles = [&](QWidget*, const QString&) { return QStringList{file}; };
    fmMain->actUpload->trigger();
    ASSERT_EQ(questions.size(), 1);
    EXPECT_FALSE(questions[0].contains("CTRL")) << "no key is held in a dialog";
    EXPECT_TRUE(Terminal().contains("Uploading 1 file...\n")) << Terminal().toStdString();
    ASSERT_FALSE(sizes.isEmpty());
    for (const QString& text : sizes)
        EXPECT_EQ(text, "") << "the transfer line has the bytes; no second count";
    EXPECT_TRUE(fmMain->lblTransfer->text().isEmpty());
    fmMain->dftFilesDrop({file}, false);
    ASSERT_EQ(questions.size(), 2);
    EXPECT_TRUE(questions[1].contains("Hold CTRL down")) << questions[1].toStdString();

    // A single file read on its own has its own count, with thousands separators.
    sizes.clear();
    env.fs->AddFile("/big.bin", std::string(12345, 'b'));
    std::string content;
    fmMain->Files->ReadFile("/big.bin", content);
    ASSERT_FALSE(sizes.isEmpty());
    EXPECT_EQ(sizes.back(), "12,345 / 12,345");
}

TEST_F(SmallThings, APathTypedWithExtraSlashesShowsNoDoubleSlash) {
    fmMain->edDir->setText("//Lua//");
    QTest::keyClick(fmMain->edDir, Qt::Key_Return);
    EXPECT_EQ(fmMain->CurrentDir, "/Lua");
    EXPECT_EQ(device().commands.back(), "NFDIR @\"/Lua\"");
    Select({"x.lua"});
    fmMain->actDeleteExecute();
    EXPECT_TRUE(
        std::count(device().commands.begin(), device().commands.end(), "NFDEL \"/Lua/x.lua\"") == 1)
        << "no //: " << device().commands.back();
}

TEST_F(SmallThings, TheMenusOfferWhatAppliesAndSendBreakSendsCtrlC) {
    // On empty space of the list: what needs no selection.
    QMenu* space = fmMain->puFilesSpace;
    EXPECT_FALSE(space->actions().contains(fmMain->actEdit));
    EXPECT_FALSE(space->actions().contains(fmMain->actDelete));
    EXPECT_FALSE(space->actions().contains(fmMain->actRename));
    EXPECT_TRUE(space->actions().contains(fmMain->actMkDir));
    QTreeWidget* list = fmMain->lvFiles;
    list->resize(400, 300);
    const QPoint empty(10, list->viewport()->height() - 5);
    ASSERT_EQ(list->itemAt(empty), nullptr);
    emit list->customContextMenuRequested(empty);
    EXPECT_TRUE(space->isVisible());
    EXPECT_FALSE(fmMain->puFiles->isVisible());
    space->hide();
    const QPoint row = list->visualItemRect(list->topLevelItem(0)).center();
    emit list->customContextMenuRequested(row);
    EXPECT_TRUE(fmMain->puFiles->isVisible());
    fmMain->puFiles->hide();

    // Terminal > Send Break, with its shortcut shown, sends 0x03 on the console channel.
    QMenu* terminal = nullptr;
    for (QAction* menu : fmMain->menuBar()->actions())
        if (menu->text() == "&Terminal") terminal = menu->menu();
    ASSERT_NE(terminal, nullptr);
    EXPECT_TRUE(terminal->actions().contains(fmMain->actSendBreak));
    EXPECT_EQ(fmMain->actSendBreak->shortcut().toString(), "Ctrl+Pause");
    device().received.clear();
    fmMain->actSendBreak->trigger();
    ASSERT_EQ(device().received.size(), 1u);
    const std::vector<uint8_t>& report = device().received[0];
    EXPECT_EQ(report[0], 0) << "the console channel";
    EXPECT_EQ(report[2], 1) << "one byte";
    EXPECT_EQ(report[3], 3) << "Ctrl+C";
}

TEST_F(SmallThings, SwitchingToAnotherDeviceIsSaid) {
    kv::sim::SimDevice& second = env.AddDevice();
    fmMain->ChooseDevice(kv::HidTo8Bit(second.config.serial));
    EXPECT_TRUE(Terminal().contains("Switching to device KV-104-000124.\n"))
        << Terminal().toStdString();
}

} // namespace
