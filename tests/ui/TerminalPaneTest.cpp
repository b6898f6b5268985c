// The terminal pane: colours of output and prompts, local echo, password masking, paste, copy,
// trimming, and the window-wide shortcuts.
#include "UiFixture.h"

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QTest>
#include <QTextBlock>
#include <QTextLayout>

using kvtest::TextRun;

namespace {

const QColor kBlack(0, 0, 0), kRed(255, 0, 0), kBlue(0, 0, 255), kGreen(0, 128, 0);

struct TerminalPane : kvtest::UiTest {
    void SetUp() override {
        env.fs->AddFile("/a.txt", "x");
        Connect();
        fmMain->actTermClearExecute();
        device().received.clear();
    }
    // Console bytes the device received since the last call.
    std::string Sent() {
        std::string out;
        for (const auto& r : device().received)
            if (r[0] == 0) out.append(reinterpret_cast<const char*>(r.data()) + 3, r[2]);
        device().received.clear();
        return out;
    }
};

TEST_F(TerminalPane, OutputIsBlackPromptsRedAndThePasswordTestIsCaseSensitive) {
    fmMain->TermOutput("abc\xAB"
                       "Password:\xBBx");
    EXPECT_EQ(kvtest::Runs(fmMain->reTerm),
              (std::vector<TextRun>{{"abc", kBlack}, {"Password:", kRed}, {"x", kBlack}}));
    EXPECT_FALSE(fmMain->PasswordEcho);
    fmMain->TermOutput("\xAB"
                       "Enter PASSWORD:\xBB");
    EXPECT_TRUE(fmMain->PasswordEcho);
    fmMain->TermOutput("\xAB"
                       "Kovrin>\xBB");
    EXPECT_FALSE(fmMain->PasswordEcho);
    // A prompt split over two polls, even inside its word, is red and asks for the password as
    // a whole; the text after it is black again.
    fmMain->actTermClearExecute();
    fmMain->TermOutput("ok\r\n\xAB"
                       "Enter PASS");
    fmMain->TermOutput("WORD:\xBB");
    EXPECT_TRUE(fmMain->PasswordEcho);
    EXPECT_EQ(kvtest::Runs(fmMain->reTerm),
              (std::vector<TextRun>{{"ok\n", kBlack}, {"Enter PASSWORD:", kRed}}));
    device().received.clear();
    QTest::keyClicks(fmMain->reTerm, "pw");
    EXPECT_TRUE(kvtest::PaneText(fmMain->reTerm).endsWith("PASSWORD:**"));
}

TEST_F(TerminalPane, ProgramMessagesWrapAtThePaneWidthAndDeviceLinesDoNot) {
    fmMain->resize(819, 602);
    fmMain->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(fmMain));
    const QString words = QString("word ").repeated(60);
    fmMain->TermOutput(ToDevice(words) + "\r\n");
    fmMain->TermPrint("\r\n" + ToDevice(words) + "\r\n", fsBold);
    fmMain->TermOutput("tail " + ToDevice(words));
    QApplication::processEvents();
    // The lines each paragraph takes on the screen: the device's, the message, the device's.
    std::vector<int> shown;
    for (QTextBlock b = fmMain->reTerm->document()->begin(); b.isValid(); b = b.next())
        if (b.text().startsWith("word") || b.text().startsWith("tail"))
            shown.push_back(b.layout()->lineCount());
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0], 1) << "device output keeps its line";
    EXPECT_GT(shown[1], 2) << "the program's message is wrapped";
    EXPECT_EQ(shown[2], 1) << "device output after the message keeps its line";
}

TEST_F(TerminalPane, TypedKeysGoFirstAndEchoInBlueBold) {
    QTest::keyClicks(fmMain->reTerm, "ver");
    QTest::keyClick(fmMain->reTerm, Qt::Key_Return);
    EXPECT_EQ(Sent(), "ver\r");
    EXPECT_EQ(kvtest::Runs(fmMain->reTerm), (std::vector<TextRun>{{"ver\n", kBlue, true}}));
    QTest::keyClick(fmMain->reTerm, Qt::Key_Backspace);
    QTest::keyClick(fmMain->reTerm, Qt::Key_Backspace);
    EXPECT_EQ(Sent(), "\b\b");
    EXPECT_EQ(kvtest::PaneText(fmMain->reTerm), "ve") << "the pane deleted the last echo";
}

TEST_F(TerminalPane, APasswordPromptMasksTheEchoButNotWhatIsSent) {
    fmMain->TermOutput("\xAB"
                       "PASSWORD:\xBB");
    QTest::keyClicks(fmMain->reTerm, "abc");
    QTest::keyClick(fmMain->reTerm, Qt::Key_I, Qt::ControlModifier); // TAB
    QTest::keyClick(fmMain->reTerm, Qt::Key_J, Qt::ControlModifier); // LF
    QTest::keyClick(fmMain->reTerm, Qt::Key_Return);
    EXPECT_EQ(Sent(), "abc\t\n\r");
    EXPECT_EQ(kvtest::PaneText(fmMain->reTerm), "PASSWORD:****\n\n");
}

TEST_F(TerminalPane, WithoutADeviceTypingSendsAndShowsNothing) {
    device().Unplug();
    fmMain->Comms->Disconnect();
    QTest::keyClicks(fmMain->reTerm, "xy");
    EXPECT_EQ(Sent(), "");
    EXPECT_EQ(kvtest::PaneText(fmMain->reTerm), "");
}

TEST_F(TerminalPane, PasteUpTo8192Bytes) {
    QApplication::clipboard()->setText(QString(8192, 'p'));
    fmMain->actPasteExecute();
    EXPECT_EQ(Sent(), std::string(8192, 'p'));
    EXPECT_EQ(kvtest::Runs(fmMain->reTerm),
              (std::vector<TextRun>{{QString(8192, 'p'), kBlue, true, true}}));
    QApplication::clipboard()->setText(QString(8193, 'q'));
    fmMain->actPasteExecute();
    EXPECT_EQ(Sent(), "");
    EXPECT_EQ(messages, QStringList{"Error: Too much text!"});
}

TEST_F(TerminalPane, PastedLinesReachTheDeviceWithCrLfLineEnds) {
    QApplication::clipboard()->setText("cmd1\ncmd2\n");
    fmMain->actPasteExecute();
    EXPECT_EQ(Sent(), "cmd1\r\ncmd2\r\n");
    QApplication::clipboard()->setText("a\r\nb");
    fmMain->actPasteExecute();
    EXPECT_EQ(Sent(), "a\r\nb") << "a CR LF already there stays as it is";
    // The limit counts what would be sent: 4097 line feeds become 8194 bytes.
    QApplication::clipboard()->setText(QString(4097, '\n'));
    fmMain->actPasteExecute();
    EXPECT_EQ(Sent(), "");
    EXPECT_EQ(messages, QStringList{"Error: Too much text!"});
}

TEST_F(TerminalPane, AltCombinationsAreNotSentNorShown) {
    QTest::keyClick(fmMain->reTerm, Qt::Key_F, Qt::AltModifier);
    QTest::keyClick(fmMain->reTerm, Qt::Key_X, Qt::AltModifier | Qt::ShiftModifier);
    EXPECT_EQ(Sent(), "");
    EXPECT_EQ(kvtest::PaneText(fmMain->reTerm), "");
    QTest::keyClick(fmMain->reTerm, Qt::Key_F);
    EXPECT_EQ(Sent(), "f");
}

TEST_F(TerminalPane, TrimsItsOldestFifthToALineEnd) {
    QString text;
    for (int i = 0; text.size() < 131073 - 20; ++i)
        text += QString("line %1 ").arg(i, 6) + "\n";
    fmMain->TermOutput(ToDevice(text));
    const int before = RichEditLength(fmMain->reTerm);
    ASSERT_LE(before, 131072);
    const std::string tail(131073 - before, 'T');
    fmMain->TermOutput(tail);
    const QString now = kvtest::PaneText(fmMain->reTerm);
    // 26214 characters, extended to the line feed that ends the line they end in.
    const int cut = static_cast<int>(text.indexOf('\n', 26213)) + 1;
    EXPECT_EQ(now.size(), 131073 - cut);
    EXPECT_TRUE(now.startsWith(text.mid(cut, 20)));
    EXPECT_TRUE(now.endsWith(FromDevice(tail)));
    EXPECT_FALSE(fmMain->reTerm->document()->isUndoAvailable())
        << "no undo history keeps what was trimmed";
}

TEST(RichEditTrim, WithoutALineEndOnlyTheFirstFifthGoes) {
    QTextEdit pane;
    pane.setPlainText(QString(200, 'x') + "y");
    RichEditTrim(&pane, 200);
    EXPECT_EQ(pane.toPlainText(), QString(160, 'x') + "y");
    RichEditTrim(&pane, 200);
    EXPECT_EQ(pane.toPlainText().size(), 161) << "within the limit: untouched";
}

TEST_F(TerminalPane, CopyTakesEverythingWhenNothingIsSelectedAndLeavesNoSelection) {
    fmMain->TermOutput("one\r\n\xAB>\xBB");
    QApplication::clipboard()->clear();
    fmMain->actTermCopyExecute();
    const QMimeData* data = QApplication::clipboard()->mimeData();
    EXPECT_EQ(data->text(), "one\n>");
    EXPECT_TRUE(data->hasHtml());
    EXPECT_TRUE(data->html().contains("#ff0000")) << "the prompt keeps its colour";
    EXPECT_FALSE(fmMain->reTerm->textCursor().hasSelection());
}

TEST_F(TerminalPane, WindowShortcutsWinOverTheFocusedControl) {
    fmMain->show();
    QApplication::setActiveWindow(fmMain);
    ASSERT_TRUE(QTest::qWaitForWindowActive(fmMain));
    fmMain->TermOutput("pane text");
    // Ctrl+C in the file list copies the terminal pane.
    QApplication::clipboard()->clear();
    fmMain->lvFiles->setFocus();
    QTest::keyClick(fmMain->lvFiles, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), "pane text");
    // Ctrl+A in the pane selects through the action; Ctrl+C there copies, sending nothing.
    QTest::keyClick(fmMain->reTerm, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(Sent(), "");
    // F5 in the path field lists the directory again.
    const size_t commands = device().commands.size();
    QTest::keyClick(fmMain->edDir, Qt::Key_F5);
    ASSERT_GT(device().commands.size(), commands);
    EXPECT_EQ(device().commands.back(), "NFDIR @\"\"") << "the root, quoted";
    Sent();
    // Del in the terminal pane runs Delete (which asks first) and does not reach the pane.
    ASSERT_EQ(Captions(), QStringList{"a.txt"});
    fmMain->lvFiles->topLevelItem(0)->setSelected(true);
    answers = {QMessageBox::No};
    QTest::keyClick(fmMain->reTerm, Qt::Key_Delete);
    EXPECT_EQ(questions.size(), 1);
    EXPECT_EQ(Sent(), "");
    EXPECT_EQ(kvtest::PaneText(fmMain->reTerm), "pane text");
    // Ctrl+V pastes through the action.
    QApplication::clipboard()->setText("pasted");
    QTest::keyClick(fmMain->lvFiles, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(Sent(), "pasted");
    // In the path field its own editing keys act on it: nothing reaches the device.
    QApplication::clipboard()->setText("/Lua\nrm x");
    fmMain->edDir->clear();
    fmMain->edDir->setFocus();
    QTest::keyClick(fmMain->edDir, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(Sent(), "");
    EXPECT_TRUE(fmMain->edDir->text().startsWith("/Lua")) << fmMain->edDir->text().toStdString();
    QTest::keyClick(fmMain->edDir, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(fmMain->edDir->selectedText(), fmMain->edDir->text());
    QTest::keyClick(fmMain->edDir, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), fmMain->edDir->text());
    // Del deletes a character there; it asks to delete no file.
    fmMain->edDir->setText("/Luax");
    fmMain->edDir->setCursorPosition(4);
    QTest::keyClick(fmMain->edDir, Qt::Key_Delete);
    EXPECT_EQ(fmMain->edDir->text(), "/Lua");
    EXPECT_EQ(questions.size(), 1u) << "only the one Del in the terminal pane asked";
    fmMain->hide();
}

TEST_F(TerminalPane, ProgressRepaintsAtMostEvery100Ms) {
    fmMain->FilesProgress(nullptr, 100, 1000);
    EXPECT_EQ(fmMain->lblSize->text(), "100 / 1,000");
    env.clock.AdvanceMs(50);
    fmMain->FilesProgress(nullptr, 200, 1000);
    EXPECT_EQ(fmMain->lblSize->text(), "100 / 1,000");
    EXPECT_EQ(fmMain->pbFile->value(), 200) << "the bar's value still moves";
    env.clock.AdvanceMs(51);
    fmMain->FilesProgress(nullptr, 300, 1000);
    EXPECT_EQ(fmMain->lblSize->text(), "300 / 1,000");
    fmMain->FilesProgressEnd(nullptr);
    EXPECT_EQ(fmMain->lblSize->text(), "");
    EXPECT_EQ(fmMain->pbFile->value(), 0);
    fmMain->FilesProgress(nullptr, 1, 2);
    EXPECT_EQ(fmMain->lblSize->text(), "1 / 2") << "the first call after the end repaints";
}

} // namespace
