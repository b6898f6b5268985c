// Several devices attached: the Device menu and --device choose the one the window connects to,
// and the window keeps to it while it restarts or is unplugged for a moment.
#include "UiFixture.h"
#include "ui/CommandLine.h"
#include "ui/ufmDialogs.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QTemporaryDir>
#include <QTimer>

namespace {

struct DeviceChoice : kvtest::UiTest {
    kv::sim::SimDevice& second = env.AddDevice();

    // The menu's entries as it shows them when it opens: "* " before a checked one, "(off) "
    // before one that cannot be chosen.
    QStringList Menu() {
        emit fmMain->mnDevice->aboutToShow();
        QStringList out;
        for (QAction* action : fmMain->mnDevice->actions())
            if (!action->isSeparator())
                out.append(QString(action->isChecked() ? "* " : "") +
                           (action->isEnabled() ? "" : "(off) ") + action->text());
        return out;
    }
    void Choose(const QString& start) {
        Menu();
        for (QAction* action : fmMain->mnDevice->actions())
            if (action->text().startsWith(start)) return action->trigger();
        ADD_FAILURE() << "no entry " << start.toStdString();
    }
    QString Info() const { return fmMain->memInfo->toPlainText(); }
};

const QString kFirst = "KV-104-000123  Kovrin Device v2.4.1",
              kSecond = "KV-104-000124  Kovrin Device v2.4.1";

TEST_F(DeviceChoice, TheMenuChoosesADeviceAndItIsKeptWhileItIsGoneForAMoment) {
    device().Unplug();
    second.Unplug();
    EXPECT_EQ(Menu(), (QStringList{"* Any device", "(off) No device attached"}));
    device().Replug();
    second.Replug();
    Connect();
    EXPECT_TRUE(Info().contains("#KV-104-000123")) << Info().toStdString();
    EXPECT_EQ(Menu(), (QStringList{"* Any device", kFirst, kSecond}));

    Choose("KV-104-000124");
    EXPECT_FALSE(fmMain->Comms->IsConnected()) << "the first device's link is closed at once";
    Tick1();
    EXPECT_TRUE(Info().contains("#KV-104-000124")) << Info().toStdString();
    EXPECT_EQ(Menu(), (QStringList{"Any device", kFirst, "* " + kSecond}));

    // Unplugged for a moment: the window waits for it, takes no other and says nothing.
    fmMain->actTermClearExecute();
    second.Unplug();
    Tick2();
    Tick1();
    Tick1();
    EXPECT_FALSE(fmMain->Comms->IsConnected());
    EXPECT_EQ(Menu(), (QStringList{"Any device", kFirst, "* (off) KV-104-000124 (not attached)"}));
    second.Replug();
    Tick1();
    EXPECT_TRUE(Info().contains("#KV-104-000124")) << Info().toStdString();
    EXPECT_FALSE(kvtest::PaneText(fmMain->reTerm).contains("Waiting"));

    // Any device: the link stays; once it is gone, whichever device is found.
    Choose("Any device");
    EXPECT_TRUE(fmMain->Comms->IsConnected());
    second.Unplug();
    Tick2();
    Tick1();
    EXPECT_TRUE(Info().contains("#KV-104-000123")) << Info().toStdString();
}

// The restarts into the boot loader and back are reconnects of the link inside the work.
TEST_F(DeviceChoice, FirmwareGoesToTheChosenDeviceThroughItsRestarts) {
    QTemporaryDir pc;
    QFile image(QDir(pc.path()).filePath("app.blf"));
    ASSERT_TRUE(image.open(QIODevice::WriteOnly));
    image.write(QByteArray(3000, 'F'));
    image.close();
    Connect();
    Choose("KV-104-000124");
    Connect();
    fmMain->dftFilesDrop({image.fileName()}, false);
    EXPECT_TRUE(device().images.empty());
    ASSERT_EQ(second.images.size(), 1u);
    EXPECT_EQ(second.images[0].name, "app.blf");
    env.clock.AdvanceMs(5000);
    Tick1();
    EXPECT_TRUE(Info().contains("#KV-104-000124")) << Info().toStdString();
}

// The editor is modal and the timers reconnect meanwhile: its save goes to the device the text
// came from, or nowhere, and the text stays in the editor until that device is back.
TEST_F(DeviceChoice, TheEditorsSaveNeverGoesToAnotherDevice) {
    env.fs->AddFile("/cfg.txt", "first\n");
    static_cast<kv::sim::MemoryStorage&>(second.storage()).AddFile("/cfg.txt", "second\n");
    Connect();
    const auto stored = [](kv::sim::SimStorage& fs) {
        std::string bytes;
        fs.ReadFile({"cfg.txt"}, bytes);
        return bytes;
    };
    bool keptOpen = false, savedOnReturn = false;
    QString terminal;
    Select({"cfg.txt"});
    QTimer::singleShot(0, [&] {
        fmFile->reFile->setPlainText("edited\n");
        device().Unplug();
        Tick2();
        Tick1();
        Tick1();
        EXPECT_FALSE(fmMain->Comms->IsConnected()) << "the other device is not taken meanwhile";
        EXPECT_FALSE(fmFile->Save());
        keptOpen = fmFile->isVisible() && fmFile->reFile->toPlainText() == "edited\n";
        terminal = kvtest::PaneText(fmMain->reTerm);
        device().Replug();
        Tick1();
        savedOnReturn = fmFile->Save();
        fmFile->reject();
    });
    fmMain->actEditExecute();
    EXPECT_TRUE(keptOpen);
    EXPECT_EQ(stored(second.storage()), "second\n");
    EXPECT_TRUE(terminal.contains("\nWaiting for device KV-104-000123: the work under way began "
                                  "on it; no other device is taken until it ends.\n"))
        << terminal.toStdString();
    EXPECT_TRUE(
        terminal.contains("\n\u00D7 The device changed (KV-104-000124 is not KV-104-000123): "
                          "nothing was written; the text is kept.\n"))
        << terminal.toStdString();
    EXPECT_TRUE(savedOnReturn);
    EXPECT_EQ(stored(*env.fs), "edited\n");
    // The editor closed, the window takes any device again.
    device().Unplug();
    Tick2();
    Tick1();
    EXPECT_TRUE(Info().contains("#KV-104-000124")) << Info().toStdString();
}

TEST_F(DeviceChoice, TheCommandLineChoosesTheDeviceAndOneNotAttachedIsWaitedFor) {
    TCommandLine line =
        ParseCommandLine({"kvbFileAccess", "--simulate", "--device", "KV-104-000124"});
    EXPECT_EQ(line.Simulated, QStringList{""}) << "--device is no folder";
    fmMain->ChooseDevice(ToDevice(line.Device));
    Connect();
    EXPECT_TRUE(Info().contains("#KV-104-000124")) << Info().toStdString();

    line = ParseCommandLine({"kvbFileAccess", "--device=KV-104-000999", "--simulate", "d"});
    EXPECT_EQ(line.Simulated, QStringList{"d"});
    fmMain->actTermClearExecute();
    fmMain->ChooseDevice(ToDevice(line.Device));
    for (int tick = 0; tick < 3; ++tick)
        Tick1();
    EXPECT_FALSE(fmMain->Comms->IsConnected());
    EXPECT_EQ(kvtest::PaneText(fmMain->reTerm),
              "\nWaiting for device KV-104-000999: not attached.\nThe Device menu lists those "
              "that are.\n");

    EXPECT_FALSE(ParseCommandLine({"kvbFileAccess", "--device"}).Error.isEmpty());
    qputenv("KVB_DEVICE", "KV-104-000124");
    EXPECT_EQ(ParseCommandLine({"kvbFileAccess"}).Device, "KV-104-000124");
    EXPECT_EQ(ParseCommandLine({"kvbFileAccess", "--device", "sim:kovrin-1"}).Device,
              "sim:kovrin-1");
    qunsetenv("KVB_DEVICE");
}

} // namespace
