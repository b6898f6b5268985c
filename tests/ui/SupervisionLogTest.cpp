// Connection supervision and the log window against the simulated device.
#include "UiFixture.h"
#include "ui/ScreenPlacement.h"

#include "ui/QueryVersion.h"
#include "ui/ufmAbout.h"
#include "ui/ufmDialogs.h"
#include "ui/ufmLog.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QFile>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

using kvtest::TextRun;

namespace {

const QColor kBlack(0, 0, 0), kRed(255, 0, 0), kBlue(0, 0, 255), kGreen(0, 128, 0);

kv::sim::SimConfig WithFeatures(const std::u16string& features) {
    kv::sim::SimConfig c;
    c.features = features;
    return c;
}

struct Features : kvtest::UiTest, ::testing::WithParamInterface<int> {
    Features()
        : kvtest::UiTest(WithFeatures(GetParam() == 0   ? u".nfi."
                                      : GetParam() == 1 ? u".uft."
                                                        : u"xuftnfix")) {}
};

TEST_P(Features, DecideBrowserQuotingAndFirmware) {
    env.fs->AddFile("/a", "a");
    Connect();
    EXPECT_EQ(fmMain->memInfo->toPlainText(),
              "Kovrin Systems\n#KV-104-000123\nKovrin Device v2.4.1 (build 1187 @ 2026-11-20)");
    const int p = GetParam();
    EXPECT_EQ(fmMain->lvFiles->isEnabled(), p != 2);
    EXPECT_EQ(fmMain->edDir->isVisibleTo(fmMain), p != 2);
    EXPECT_EQ(fmMain->Files->QuotePaths, p == 0);
    EXPECT_EQ(fmMain->actFirmware->isEnabled(), p == 1);
    EXPECT_EQ(fmMain->Button1->isEnabled(), p == 1);
    EXPECT_EQ(Captions().size(), p == 2 ? 0 : 1);
}
INSTANTIATE_TEST_SUITE_P(Tokens, Features, ::testing::Values(0, 1, 2));

struct Supervision : kvtest::UiTest {};

TEST_F(Supervision, UnplugGreysTheListAndReplugListsTheSameDirectoryAgain) {
    env.fs->AddFile("/Lua/x.lua", "x");
    Connect();
    fmMain->edDir->setText("/Lua");
    fmMain->actRefreshExecute();
    ASSERT_EQ(Captions(), (QStringList{"..", "x.lua"}));
    fmMain->actTermClearExecute();

    device().Unplug();
    Tick2(); // within 500 ms: the probe finds no serial number
    EXPECT_FALSE(fmMain->Comms->IsConnected());
    EXPECT_EQ(fmMain->memInfo->toPlainText(), "");
    EXPECT_TRUE(fmMain->lvFiles->isEnabled());
    Tick2(); // a further 500 ms: greyed and the path field hidden, content kept
    EXPECT_FALSE(fmMain->lvFiles->isEnabled());
    EXPECT_FALSE(fmMain->edDir->isVisibleTo(fmMain));
    EXPECT_EQ(Captions(), (QStringList{"..", "x.lua"}));
    Tick1();
    EXPECT_FALSE(fmMain->Comms->IsConnected());

    device().Replug();
    const size_t before = device().commands.size();
    Tick1(); // reconnects, lists /Lua, asks for a fresh prompt
    EXPECT_TRUE(fmMain->lvFiles->isEnabled());
    ASSERT_GT(device().commands.size(), before);
    EXPECT_EQ(device().commands.back(), "NFDIR @\"/Lua\"");
    EXPECT_EQ(Captions(), (QStringList{"..", "x.lua"}));
    Tick1();
    EXPECT_EQ(kvtest::PaneText(fmMain->reTerm), "Kovrin>");
}

TEST_F(Supervision, AnEmptySerialNumberCyclesTheLink) {
    device().faults.emptySerial = true;
    int listings = 0;
    for (int cycle = 0; cycle < 3; ++cycle) {
        const size_t before = device().commands.size();
        Tick1();
        EXPECT_TRUE(fmMain->Comms->IsConnected());
        for (size_t i = before; i < device().commands.size(); ++i)
            if (device().commands[i].rfind("NFDIR", 0) == 0) ++listings;
        Tick2();
        EXPECT_FALSE(fmMain->Comms->IsConnected());
    }
    EXPECT_EQ(listings, 3);
}

TEST_F(Supervision, AnIdleTickCostsAboutTenMilliseconds) {
    Connect();
    const int64_t t0 = env.clock.NowMs();
    Tick1();
    EXPECT_LE(env.clock.NowMs() - t0, 13);
    const int64_t t1 = env.clock.NowMs();
    Tick2();
    EXPECT_LE(env.clock.NowMs() - t1, 1);
}

// ---- log window ----

struct LogWindow : kvtest::UiTest {
    void SetUp() override {
        Connect();
        fmLog->ShowFromMain(fmMain);
        device().received.clear();
    }
    std::vector<std::pair<uint8_t, std::string>> Channel31() {
        std::vector<std::pair<uint8_t, std::string>> out;
        for (const auto& r : device().received)
            if (r[0] == 31)
                out.emplace_back(r[1],
                                 std::string(reinterpret_cast<const char*>(r.data()) + 3, r[2]));
        device().received.clear();
        return out;
    }
};

TEST_F(LogWindow, MessagesAreTimeStampedAndTagged) {
    device().Log(4, "link up");
    device().Log(7, "seven");
    device().Log(0, "");
    env.clock.AdvanceMs(10);
    Tick1();
    const auto runs = kvtest::Runs(fmLog->reLog);
    ASSERT_EQ(runs.size(), 9u);
    EXPECT_EQ(runs[0].color, kBlue);
    EXPECT_TRUE(
        QRegularExpression("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d $").match(runs[0].text).hasMatch())
        << runs[0];
    EXPECT_EQ(runs[1], (TextRun{"[m.ev] ", kRed, true}));
    EXPECT_EQ(runs[2], (TextRun{"link up\n", kBlack}));
    EXPECT_EQ(runs[4], (TextRun{"[#007] ", kRed, true}));
    EXPECT_EQ(runs[7], (TextRun{"[#000] ", kRed, true}));
    EXPECT_EQ(runs[8], (TextRun{"\n", kBlack})) << "a type byte alone: stamp and tag only";
    EXPECT_EQ(TfmLog::MessageTag(200), "[#200]");
    EXPECT_EQ(TfmLog::MessageTag(16), "[Lua!]");
    EXPECT_EQ(TfmLog::MessageTag(14), "[e.tx]");
}

TEST_F(LogWindow, ModemTrafficIsEscapedAndRunsOnUntilReceiveData) {
    fmLog->cbModemRxTx->click();
    EXPECT_TRUE(fmLog->pnlModem->isVisibleTo(fmLog));
    device().Log(6, "AT\x1B");
    device().Log(6, "\\A");
    device().Log(5, "OK");
    env.clock.AdvanceMs(10);
    Tick1();
    EXPECT_EQ(kvtest::Runs(fmLog->reModem),
              (std::vector<TextRun>{{"AT\\x1B\\\\A", kRed}, {"OK\n", kBlue}}));
    EXPECT_EQ(TfmLog::EscapeText(std::string("\t\r\n\x7F\xFF\x00 ~", 8)),
              "\t\r\n\\x7F\\xFF\\x00 ~");
    EXPECT_TRUE(kvtest::PaneText(fmLog->reLog).isEmpty());
}

TEST_F(LogWindow, FilterBytesOnShowOnTheBoxAndOffOnClose) {
    fmLog->hide();
    fmLog->FirstShow = true;
    Channel31();
    fmLog->ShowFromMain(fmMain);
    const std::string on = "FILTER " + std::string("\x9F\x99\xFF\xFF\xFF\xFF\xFF\xFF", 8);
    const auto sent = Channel31();
    ASSERT_EQ(sent.size(), 2u) << "the first show sends it twice";
    EXPECT_EQ(sent[0], std::make_pair(uint8_t(128), on));
    EXPECT_EQ(sent[1], sent[0]);
    fmLog->cbModemRxTx->click();
    EXPECT_EQ(Channel31(), (std::vector<std::pair<uint8_t, std::string>>{
                               {128, "FILTER " + std::string(8, '\xFF')}}));
    fmLog->close();
    EXPECT_EQ(Channel31(), (std::vector<std::pair<uint8_t, std::string>>{
                               {64, "FILTER-" + std::string(8, '\xFF')}}));
    EXPECT_FALSE(device().FilterOn());
}

TEST_F(LogWindow, TheModemPaneOpensAtItsOwnWidth) {
    fmLog->hide();
    fmLog->FirstShow = true;
    fmLog->ShowFromMain(fmMain);
    QApplication::processEvents();
    fmLog->cbModemRxTx->click();
    QApplication::processEvents();
    EXPECT_EQ(fmLog->pnlModem->width(), 536);
    fmLog->cbModemRxTx->click();
}

// A window that asks for more than the screen has (a large font setting) or that would open past
// its edge is cut to the screen's available area and moved into it.
TEST_F(LogWindow, WindowsStayOnTheScreen) {
    const QRect area(0, 0, 1000, 700);
    EXPECT_EQ(FitInto(QRect(100, 100, 400, 300), area), QRect(100, 100, 400, 300)) << "fits";
    EXPECT_EQ(FitInto(QRect(800, -20, 400, 300), area), QRect(600, 0, 400, 300));
    EXPECT_EQ(FitInto(QRect(-100, 50, 1432, 1054), area), area);
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    fmMain->show();
    fmMain->setMinimumSize(screen.width() + 400, screen.height() + 300);
    fmMain->move(screen.right() - 100, screen.bottom() - 100);
    KeepOnScreen(fmMain);
    EXPECT_TRUE(screen.contains(fmMain->frameGeometry())) << "main window";
    fmMain->setMinimumSize(0, 0);
    fmMain->setGeometry(100, screen.bottom() - 300, 819, 602);
    fmLog->hide();
    fmLog->FirstShow = true;
    fmLog->ShowFromMain(fmMain);
    EXPECT_TRUE(screen.contains(fmLog->frameGeometry())) << "log window below the main window";
    // The dialogs each time they are shown: the editor asked for more than the screen.
    fmFile->resize(screen.width() + 400, screen.height() + 300);
    fmFile->show();
    QApplication::processEvents();
    EXPECT_TRUE(screen.contains(fmFile->frameGeometry())) << "editor";
    fmFile->hide();
}

// In the menu bar's keyboard mode (Alt pressed and let go) the letter of About opens the box, as
// Alt+A does.
TEST_F(Supervision, TheLetterOfAboutInTheMenuBarOpensIt) {
    fmMain->show();
    bool opened = false;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, [&] {
        if (!fmAbout->isVisible()) return;
        opened = true;
        fmAbout->accept();
    });
    look.start(10);
    QTest::keyClick(fmMain->menuBar(), Qt::Key_A);
    for (int i = 0; i < 100 && !opened; ++i)
        QTest::qWait(10);
    EXPECT_TRUE(opened);
}

TEST_F(LogWindow, FirstShowIsPlacedUnderTheMainWindowLaterShowsStayPut) {
    fmLog->hide();
    fmLog->FirstShow = true;
    fmMain->setGeometry(100, 50, 819, 602);
    fmMain->show();
    QApplication::processEvents();
    fmLog->ShowFromMain(fmMain);
    const QRect main = fmMain->frameGeometry();
    EXPECT_EQ(fmLog->frameGeometry().left(), main.left() + 32);
    EXPECT_EQ(fmLog->frameGeometry().top(),
              main.top() + main.height() -
                  (fmLog->frameGeometry().height() - fmLog->reLog->height()));
    EXPECT_EQ(fmLog->frameGeometry().width(), main.width());
    fmLog->move(10, 20);
    fmLog->hide();
    fmLog->ShowFromMain(fmMain);
    EXPECT_EQ(fmLog->pos(), QPoint(10, 20));
}

TEST_F(LogWindow, ReconnectWritesTheSeparatorAndSendsTheFilterWhileVisible) {
    device().Unplug();
    Tick2();
    device().Replug();
    Tick1();
    EXPECT_EQ(kvtest::Runs(fmLog->reLog),
              (std::vector<TextRun>{{"-.-.-.-.-.-.-.-.-.-\n", kGreen, false, true}}));
    EXPECT_TRUE(device().FilterOn());
}

TEST_F(LogWindow, ClearCopyAndTrim) {
    fmMain->TermOutput("console");
    device().Log(4, "event");
    fmLog->cbModemRxTx->click();
    device().Log(5, "modem");
    env.clock.AdvanceMs(10);
    Tick1();
    fmLog->cbModemRxTx->click();
    fmLog->actCopyExecute();
    const QMimeData* data = QApplication::clipboard()->mimeData();
    EXPECT_TRUE(data->text().contains("console\n"))
        << "the console's last line ends before the log pane's text: "
        << data->text().toStdString();
    EXPECT_TRUE(data->text().contains("[m.ev] event"));
    EXPECT_FALSE(data->text().contains("modem")) << "the modem pane is hidden";
    EXPECT_TRUE(data->html().contains("#ff0000"));

    fmLog->actClearExecute();
    EXPECT_TRUE(kvtest::PaneText(fmLog->reLog).isEmpty());
    EXPECT_TRUE(kvtest::PaneText(fmLog->reModem).isEmpty());
    EXPECT_TRUE(kvtest::PaneText(fmMain->reTerm).contains("console"));

    RichEditAppend(fmLog->reLog, QString(131072 - 100, 'x') + "\n", kBlack, fsRegular);
    for (int i = 0; i < 4; ++i)
        device().Log(8, std::string(40, 'd'));
    env.clock.AdvanceMs(10);
    Tick1();
    EXPECT_LT(RichEditLength(fmLog->reLog), 131072 - 26214 + 300);
}

// ---- about box ----

struct VersionFile {
    QTemporaryDir dir;
    QString Write(const std::string& bytes) {
        const QString path = dir.filePath("program");
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(bytes.data(), static_cast<qint64>(bytes.size()));
        return path;
    }
};

TEST(VersionReader, ReadsTheFixedBlockAndKeepsDefaultsWithoutData) {
    VersionFile file;
    const std::string block = "\\StringFileInfo\\080904E4\\";
    TVersionReader full(file.Write("\x7F"
                                   "ELF junk" +
                                   MakeVersionData({{block + "FileVersion", "1.2.3"},
                                                    {block + "FileDate", "2026-12-08"},
                                                    {block + "FileDescription", ""},
                                                    {block + "LegalCopyright", "\xA9 me"}}) +
                                   "more junk")
                            .toStdString());
    EXPECT_TRUE(full.Valid);
    EXPECT_EQ(full.FileVersion, "1.2.3");
    EXPECT_EQ(full.FileDate, "2026-12-08");
    EXPECT_EQ(full.FileDescription, "");
    EXPECT_EQ(full.LegalCopyright, "\xA9 me");

    TVersionReader none(file.Write("no version data here").toStdString());
    EXPECT_FALSE(none.Valid);
    EXPECT_EQ(none.FileVersion, "?");
    EXPECT_EQ(none.LegalCopyright, "\xA9 ?");

    TVersionReader other(
        file.Write(MakeVersionData({{"\\StringFileInfo\\040904B0\\FileVersion", "9"}}))
            .toStdString());
    EXPECT_TRUE(other.Valid);
    EXPECT_EQ(other.FileVersion, "");
    EXPECT_EQ(other.LegalCopyright, "");
}

TEST(VersionReader, FindsTheProgramsOwnVersionData) {
    TVersionReader program(KV_PROGRAM_FILE);
    EXPECT_TRUE(program.Valid);
    EXPECT_EQ(program.FileVersion, KV_PROJECT_VERSION);
    EXPECT_EQ(program.FileDate.size(), 10u);
    EXPECT_EQ(program.FileDescription, "Kovrin file access");
    EXPECT_EQ(program.LegalCopyright.rfind("\xA9 ", 0), 0u);
}

TEST_F(Supervision, TheAboutBoxOpensCentredOnTheScreenNotOnTheMainWindow) {
    fmMain->setGeometry(10, 10, 819, 602);
    fmMain->show();
    QApplication::processEvents();
    fmAbout->show();
    QApplication::processEvents();
    const QPoint screen = fmMain->screen()->availableGeometry().center();
    EXPECT_LE((fmAbout->frameGeometry().center() - screen).manhattanLength(), 2)
        << "the screen's centre is " << screen.x() << "," << screen.y();
    fmAbout->hide();
}

TEST_F(Supervision, TheInformationPanelShowsItsLinesWithoutScrolling) {
    Connect();
    fmMain->show();
    QApplication::processEvents();
    ASSERT_TRUE(fmMain->memInfo->toPlainText().contains("(build"));
    EXPECT_EQ(fmMain->memInfo->horizontalScrollBar()->maximum(), 0)
        << "the widest line of the design strings fits the panel";
}

TEST_F(Supervision, LoadFirmwareKeepsItsSizeAndPlaceWhenTheCountIsHidden) {
    fmMain->show();
    QApplication::processEvents();
    const QRect before = fmMain->Button1->geometry();
    fmMain->ShowFileCount(12);
    QApplication::processEvents();
    fmMain->HideFileCount();
    QApplication::processEvents();
    EXPECT_EQ(fmMain->Button1->geometry(), before);
}

TEST_F(Supervision, ADeviceThatCannotBeOpenedIsSaidOnceInGreenAndTriedAgain) {
    device().faults.refuseOpen = true;
    fmMain->actTermClearExecute();
    for (int i = 0; i < 3; ++i)
        Tick1();
    const QString text = kvtest::PaneText(fmMain->reTerm);
    EXPECT_EQ(text.count("cannot be opened"), 1) << text.toStdString();
    EXPECT_TRUE(text.contains("70-kovrin.rules"));
    for (const auto& run : kvtest::Runs(fmMain->reTerm))
        if (!run.text.trimmed().isEmpty()) {
            EXPECT_EQ(run.color, QColor(0, 128, 0));
        }
    EXPECT_FALSE(fmMain->Comms->IsConnected());
    device().faults.refuseOpen = false;
    Tick1();
    EXPECT_TRUE(fmMain->Comms->IsConnected()) << "the attempts went on";
}

TEST_F(Supervision, ADeviceAnotherProgramHoldsIsNamedOnceAndTakenWhenFree) {
    device().faults.busy = true;
    device().faults.busyHolder = "kvb mount (process 4711)";
    fmMain->actTermClearExecute();
    for (int i = 0; i < 3; ++i)
        Tick1();
    const QString text = kvtest::PaneText(fmMain->reTerm);
    EXPECT_EQ(text.count("KV-104-000123 is in use by kvb mount (process 4711)"), 1)
        << text.toStdString();
    EXPECT_FALSE(fmMain->Comms->IsConnected());
    device().faults.busy = false;
    Tick1();
    EXPECT_TRUE(fmMain->Comms->IsConnected()) << "taken once the holder let it go";
}

TEST_F(Supervision, NoDeviceYetIsSaidOnceWithWhatToDo) {
    device().Unplug();
    fmMain->actTermClearExecute();
    for (int i = 0; i < 3; ++i)
        Tick1();
    QString text = kvtest::PaneText(fmMain->reTerm);
    EXPECT_EQ(text.count("No Kovrin device is attached"), 1) << text.toStdString();
    EXPECT_TRUE(text.contains("--simulate"));
    EXPECT_TRUE(text.contains("Access to the device on Linux"));
    device().Replug();
    Tick1();
    ASSERT_TRUE(fmMain->Comms->IsConnected());
    device().Unplug();
    fmMain->Comms->Disconnect();
    fmMain->actTermClearExecute();
    Tick1();
    EXPECT_FALSE(kvtest::PaneText(fmMain->reTerm).contains("No Kovrin device"))
        << "not said again once a device was there";
}

TEST_F(Supervision, AboutBoxShowsFiveLines) {
    VersionFile file;
    const std::string block = "\\StringFileInfo\\080904E4\\";
    const QString path = file.Write(
        MakeVersionData({{block + "FileVersion", "1.0"}, {block + "LegalCopyright", "\xA9 x"}}));
    TfmAbout about(nullptr, path);
    EXPECT_EQ(about.memVersion->toPlainText(), "\n1.0\n\n\n\u00A9 x");
    TfmAbout bare(nullptr, file.Write("nothing"));
    EXPECT_EQ(bare.memVersion->toPlainText(), "?\n?\n?\n\n\u00A9 ?");
}

} // namespace

namespace {

struct FreshLogWindow : kvtest::UiTest {};

TEST_F(FreshLogWindow, TheFirstPlacementUsesTheLaidOutHeightsOfAWindowNeverShownBefore) {
    fmMain->setGeometry(100, 50, 819, 602);
    fmMain->show();
    QApplication::processEvents();
    ASSERT_FALSE(fmLog->isVisible());
    fmLog->ShowFromMain(fmMain);
    QApplication::processEvents();
    const QRect main = fmMain->frameGeometry();
    // Measured after the window is up, with every widget at its real size.
    EXPECT_EQ(fmLog->frameGeometry().top(),
              main.top() + main.height() -
                  (fmLog->frameGeometry().height() - fmLog->reLog->height()));
    EXPECT_EQ(fmLog->frameGeometry().width(), main.width());
    EXPECT_EQ(fmLog->frameGeometry().left(), main.left() + 32);
}

} // namespace
