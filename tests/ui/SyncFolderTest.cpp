// File > Sync Folder... and Keep in Step: the preview and the user's changes to it, the run with
// its one line in the pane, the record shared with kvb's sync, and keeping in step while files
// are saved, paused while other work runs and while the device is away.
#include "UiFixture.h"
#include "device/DeviceText.h"
#include "ui/DeviceActivity.h"
#include "ui/ufmSync.h"
#include "workflows/DeviceSync.h"
#include "workflows/PcFiles.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <cstdlib>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using kv::sim::PackFatTime;

struct SyncWindow : kvtest::UiTest {
    QTemporaryDir tmp;
    fs::path pc, state;
    SyncWindow() {
        state = fs::path(tmp.path().toStdString()) / "state";
        pc = fs::path(tmp.path().toStdString()) / "proj";
        ::setenv("XDG_STATE_HOME", state.c_str(), 1);
        fs::create_directories(pc);
        env.fs->AddDir("/Lua");
        Connect();
    }
    ~SyncWindow() override { ::unsetenv("XDG_STATE_HOME"); }
    void Write(const std::string& name, const std::string& content) {
        fs::create_directories((pc / name).parent_path());
        std::ofstream(pc / name, std::ios::binary) << content;
    }
    std::string OnDevice(const kv::sim::SimPath& path) {
        std::string content;
        return env.fs->ReadFile(path, content) ? content : "(none)";
    }
    // The dialog for PC folder pc and device folder /Lua, previewed.
    TfmSync& Preview(bool up = true) {
        fmMain->ShowDirectory("/Lua");
        fmMain->PrepareSync();
        fmMain->fmSync->SetPair(QString::fromStdString(pc.string()), "/Lua", up);
        fmMain->SyncPreview();
        return *fmMain->fmSync;
    }
    QString What(const QString& file) {
        QTreeWidgetItem* row = fmMain->fmSync->RowOf(file);
        if (!row) return "(no row)";
        QComboBox* winner = fmMain->fmSync->WinnerOf(row);
        return (winner ? winner->currentText() : row->text(0)) + " | " + row->text(2);
    }
    QString LastLine() {
        const QStringList lines = kvtest::PaneText(fmMain->reTerm).split('\n', Qt::SkipEmptyParts);
        return lines.isEmpty() ? QString() : lines.back();
    }
    int SendsPlannedByKvb() {
        // kvb's sync of the same pair: the same workflow, the same options, its own work.
        kv::SyncOptions options = kv::SyncPairOptions(
            kv::HidTo8Bit(fmMain->Comms->Device.GetSerialNumber()), true, pc, "/Lua");
        kv::TDeviceSync sync(*fmMain->Work, options);
        EXPECT_TRUE(sync.Plan().Ok());
        int sends = 0;
        for (const auto& item : sync.Items)
            sends += item.Decision.Action == kv::SyncAction::Send;
        return sends;
    }
};

TEST_F(SyncWindow, ThePreviewSaysWhatEachFileWouldDoAndTheRunDoesWhatTheUserLeftTicked) {
    Write("a.lua", "a = 1");
    Write("b.lua", "b = 1");
    Write("sub/c.lua", "c = 1");
    TfmSync& first = Preview();
    EXPECT_EQ(What("a.lua"), "send | not on the device yet");
    EXPECT_EQ(What("sub/"), "make folder | not on the device yet");
    fmMain->RunSync();
    EXPECT_EQ(OnDevice({"Lua", "sub", "c.lua"}), "c = 1");
    EXPECT_TRUE(LastLine().startsWith("Sync up of ")) << LastLine().toStdString();
    EXPECT_TRUE(LastLine().contains(": 3 sent, 0 deleted, 0 unchanged, 0 conflicts"));
    (void)first;

    // Changed on the PC, on both sides, new and left out, only on the device, ignored.
    Write("a.lua", "a = 22");
    Write("b.lua", "b = 2 (PC)");
    env.fs->AddFile("/Lua/b.lua", "b = 2 (device)", PackFatTime(2020, 1, 2, 3, 4, 6));
    Write("new.lua", "n = 1");
    Write("sub/d.lua", "d = 1");
    Write("a.lua~", "backup");
    env.fs->AddFile("/Lua/extra.lua", "x", PackFatTime(2020, 1, 2, 3, 4, 6));
    const int linesBefore = kvtest::PaneText(fmMain->reTerm).count('\n');
    TfmSync& dialog = Preview();
    EXPECT_EQ(What("a.lua"), "send | changed on the PC since the last sync");
    EXPECT_EQ(What("b.lua"), "conflict: keep both | changed on both sides since the last sync");
    EXPECT_EQ(What("sub/c.lua"), "unchanged | the same on both sides");
    EXPECT_EQ(What("a.lua~"), "ignored | matched by the ignore patterns (.kvbignore)");
    EXPECT_EQ(What("extra.lua"), "kept | only on the device: deletes are not allowed");
    EXPECT_FALSE(dialog.DeletesAllowed()) << "deletes are off unless the user allows them";
    EXPECT_EQ(dialog.lblSummary->text(), "3 to send, 1 conflict, 1 unchanged, 1 ignored, 1 kept");
    dialog.RowOf("new.lua")->setCheckState(0, Qt::Unchecked);
    dialog.WinnerOf(dialog.RowOf("b.lua"))->setCurrentIndex(1); // the PC's wins
    fmMain->RunSync();
    EXPECT_EQ(OnDevice({"Lua", "a.lua"}), "a = 22");
    EXPECT_EQ(OnDevice({"Lua", "b.lua"}), "b = 2 (PC)");
    EXPECT_EQ(OnDevice({"Lua", "sub", "d.lua"}), "d = 1");
    EXPECT_EQ(OnDevice({"Lua", "new.lua"}), "(none)") << "left unticked";
    EXPECT_EQ(OnDevice({"Lua", "extra.lua"}), "x");
    EXPECT_EQ(OnDevice({"Lua", "a.lua~"}), "(none)");
    // The run adds one line to the pane, and no line per file.
    EXPECT_EQ(kvtest::PaneText(fmMain->reTerm).count('\n') - linesBefore, 2);
    EXPECT_TRUE(LastLine().contains(": 3 sent, 0 deleted, 1 unchanged, 0 conflicts"))
        << LastLine().toStdString();
    EXPECT_EQ(kvtest::Runs(fmMain->reTerm).back().color, QColor(0, 128, 0));

    // The device's side of a conflict kept; deletes once allowed.
    Write("b.lua", "b = 3 (PC)");
    env.fs->AddFile("/Lua/b.lua", "b = 3 (device)", PackFatTime(2020, 1, 2, 3, 4, 8));
    Preview();
    dialog.cbDeletes->setChecked(true); // planned afresh at once
    EXPECT_EQ(What("extra.lua"), "delete | only on the device");
    dialog.WinnerOf(dialog.RowOf("b.lua"))->setCurrentIndex(2);
    dialog.RowOf("new.lua")->setCheckState(0, Qt::Unchecked);
    fmMain->RunSync();
    EXPECT_EQ(OnDevice({"Lua", "b.lua"}), "b = 3 (device)");
    EXPECT_EQ(OnDevice({"Lua", "extra.lua"}), "(none)");
    EXPECT_TRUE(LastLine().contains(": 0 sent, 1 deleted,")) << LastLine().toStdString();

    // What the preview saw is checked again before it is carried out: a file changed on the
    // device while the preview was open stays as it is, and is named.
    Write("a.lua", "a = 33");
    Preview();
    EXPECT_EQ(What("a.lua"), "send | changed on the PC since the last sync");
    env.fs->AddFile("/Lua/a.lua", "device's a", PackFatTime(2020, 1, 2, 3, 4, 10));
    fmMain->RunSync();
    EXPECT_EQ(OnDevice({"Lua", "a.lua"}), "device's a");
    EXPECT_TRUE(LastLine().contains(", 2 conflicts")) << LastLine().toStdString();
    EXPECT_TRUE(kvtest::PaneText(fmMain->reTerm)
                    .contains("Not synced: a.lua (changed on the device since the last sync, "
                              "after the preview)"))
        << kvtest::PaneText(fmMain->reTerm).toStdString();
}

TEST_F(SyncWindow, TheWindowAndKvbKeepOneRecordSoWhatOneSyncedTheOtherDoesNotSendAgain) {
    Write("a.lua", "a = 1");
    Write("sub/b.lua", "b = 1");
    Preview();
    fmMain->RunSync();
    EXPECT_EQ(SendsPlannedByKvb(), 0);
    // And the other way round: kvb's sync of a change, then the window's preview.
    Write("a.lua", "a = 2");
    {
        kv::TDeviceSync sync(
            *fmMain->Work,
            kv::SyncPairOptions(kv::HidTo8Bit(fmMain->Comms->Device.GetSerialNumber()), true, pc,
                                "/Lua"));
        ASSERT_TRUE(sync.Plan().Ok());
        sync.Run();
    }
    TfmSync& dialog = Preview();
    EXPECT_EQ(What("a.lua"), "unchanged | the same on both sides");
    EXPECT_TRUE(dialog.lblSummary->text().startsWith("0 to send,"));
    // The pair is offered again, from that record.
    ASSERT_EQ(dialog.cbPairs->count(), 2);
    EXPECT_TRUE(dialog.cbPairs->itemText(1).endsWith("proj  \u21c4  /Lua"))
        << dialog.cbPairs->itemText(1).toStdString();
    // Device to PC: the device's files are fetched into another PC folder.
    const fs::path copy = pc.parent_path() / "copy";
    fmMain->PrepareSync();
    dialog.SetPair(QString::fromStdString(copy.string()), "/Lua", false);
    fmMain->SyncPreview();
    EXPECT_EQ(What("sub/b.lua"), "fetch | not on the PC yet");
    fmMain->RunSync();
    EXPECT_EQ(kv::ReadPcFile(copy / "sub" / "b.lua"), "b = 1");
    EXPECT_TRUE(LastLine().contains(": 2 fetched, 0 deleted")) << LastLine().toStdString();
    // Another folder shown: no pair is formed that nobody chose, and Preview says so.
    fmMain->ShowDirectory("");
    fmMain->PrepareSync();
    EXPECT_EQ(dialog.edDeviceFolder->text(), "/") << "the device folder is the one shown";
    EXPECT_EQ(dialog.edPcFolder->text(), "") << "not the latest pair's PC folder";
    EXPECT_EQ(dialog.cbPairs->currentIndex(), 0);
    EXPECT_EQ(dialog.cbPairs->count(), 3);
    fmMain->SyncPreview();
    EXPECT_EQ(dialog.lblSummary->text(), "Choose the PC folder first.");
    // A pair used before whose PC folder is gone is not offered.
    fs::remove_all(copy);
    fmMain->PrepareSync();
    EXPECT_EQ(dialog.cbPairs->count(), 2);
}

TEST_F(SyncWindow, KeepingInStepSendsEachSaveAndWaitsForOtherWorkAndForTheDevice) {
    Write("a.lua", "a = 1");
    TfmSync& dialog = Preview();
    dialog.cbKeep->setChecked(true);
    fmMain->RunSync();
    ASSERT_TRUE(fmMain->KeptInStep);
    fmMain->KeepTimer->stop(); // ticked by the test
    EXPECT_TRUE(fmMain->actKeepInStep->isChecked());
    const auto tick = [&](int ms) {
        env.clock.AdvanceMs(ms);
        fmMain->KeepInStepTick();
    };
    const auto status = [&] { return fmMain->lblKeep->text().toStdString(); };
    EXPECT_NE(status().find("proj in step with /Lua: no file sent yet"), std::string::npos)
        << status();

    // A save that finished goes 50 ms after it, as kvb's watch sends it.
    Write("a.lua", "a = 2");
    tick(0);
    tick(20);
    EXPECT_EQ(OnDevice({"Lua", "a.lua"}), "a = 1") << "not before the save settles";
    tick(40);
    EXPECT_EQ(OnDevice({"Lua", "a.lua"}), "a = 2");
    EXPECT_NE(status().find("1 file sent, the last at "), std::string::npos) << status();

    // Another command holds the link: the save waits, and goes once it is over.
    Write("a.lua", "a = 3");
    {
        TDeviceOperation other(*fmMain->Activity);
        tick(0);
        tick(600);
        EXPECT_EQ(OnDevice({"Lua", "a.lua"}), "a = 2");
        EXPECT_NE(status().find("paused while other work runs"), std::string::npos) << status();
    }
    tick(100);
    EXPECT_EQ(OnDevice({"Lua", "a.lua"}), "a = 3");
    EXPECT_NE(status().find("2 files sent"), std::string::npos) << status();

    // The device away: the save waits for it.
    device().Unplug();
    Tick1();
    Write("b.lua", "b = 1");
    tick(0);
    tick(600);
    EXPECT_NE(status().find("paused: the device is away"), std::string::npos) << status();
    device().Replug();
    Tick1();
    Tick1();
    tick(100);
    EXPECT_EQ(OnDevice({"Lua", "b.lua"}), "b = 1");
    EXPECT_NE(status().find("3 files sent"), std::string::npos) << status();

    // Changed on the device meanwhile: the save is left alone, said and counted.
    env.fs->AddFile("/Lua/a.lua", "device's a", PackFatTime(2020, 1, 2, 3, 4, 12));
    Write("a.lua", "a = 5");
    tick(0);
    tick(100);
    EXPECT_EQ(OnDevice({"Lua", "a.lua"}), "device's a");
    EXPECT_TRUE(kvtest::PaneText(fmMain->reTerm)
                    .contains("Not synced: a.lua (changed on both sides since the last sync)"))
        << kvtest::PaneText(fmMain->reTerm).toStdString();
    EXPECT_NE(status().find("1 left alone as conflict"), std::string::npos) << status();

    fmMain->actKeepInStep->trigger(); // unchecked: it stops
    EXPECT_FALSE(fmMain->KeptInStep);
    Write("a.lua", "a = 4");
    tick(600);
    EXPECT_EQ(OnDevice({"Lua", "a.lua"}), "device's a");
}

} // namespace
