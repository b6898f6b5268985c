// The file editor against the simulated device: Lua colours, find and replace, Ctrl+S, the
// unsaved mark in the title and the caret's position.
#include "UiFixture.h"

#include "ui/CodeEdit.h"
#include "ui/FindBar.h"
#include "ui/ScriptHighlighter.h"
#include "ui/ufmDialogs.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>

namespace {

// The format the highlighter gave the character at Pos; a default format where it gave none.
QTextCharFormat FormatAt(QTextDocument* document, int Pos) {
    const QTextBlock block = document->findBlock(Pos);
    const int in = Pos - block.position();
    for (const QTextLayout::FormatRange& range : block.layout()->formats())
        if (in >= range.start && in < range.start + range.length) return range.format;
    return {};
}

struct Editor : kvtest::UiTest {
    void SetUp() override {
        env.fs->AddFile("/Lua/x.lua", "local s = \"end\" -- if\r\n--[[ while\r\nend ]] end\r\n");
        env.fs->AddFile("/a.txt", "local s = 1\n");
        Connect();
    }
    // Opens the file of the directory ("" the root) in the editor and runs `inside` while it is
    // open; the editor is closed afterwards, its changes dropped.
    void Edit(const QString& dir, const QString& name, const std::function<void()>& inside) {
        fmMain->edDir->setText(dir);
        fmMain->actRefreshExecute();
        Select({name});
        // A large file's read delivers events: the editor is not open yet then.
        std::function<void()> once = [&] {
            if (!fmFile->isVisible()) return QTimer::singleShot(0, once);
            inside();
            answers = {QMessageBox::Yes};
            fmFile->reject();
        };
        QTimer::singleShot(0, once);
        fmMain->actEditExecute();
    }
    std::string Stored(const std::vector<std::string>& path) {
        std::string bytes;
        env.fs->ReadFile(path, bytes);
        return bytes;
    }
};

TEST_F(Editor, LuaIsColouredAcrossLinesAndOtherTextIsPlain) {
    Edit("/Lua", "x.lua", [] {
        QTextDocument* doc = fmFile->reFile->document();
        const TScriptHighlighter& h = *fmFile->Highlighter;
        const QString text = doc->toPlainText();
        EXPECT_EQ(FormatAt(doc, 0), h.Keyword) << "local";
        EXPECT_EQ(FormatAt(doc, text.indexOf("end")), h.String) << "end in a string";
        EXPECT_EQ(FormatAt(doc, text.indexOf("if")), h.Comment) << "if in a comment";
        EXPECT_EQ(FormatAt(doc, text.indexOf("\nend") + 1), h.Comment) << "in a long comment";
        EXPECT_EQ(FormatAt(doc, text.lastIndexOf("end")), h.Keyword) << "after the comment";
        EXPECT_EQ(fmFile->lblMode->text(), "Lua");
    });
    Edit("", "a.txt", [] {
        EXPECT_EQ(FormatAt(fmFile->reFile->document(), 0), QTextCharFormat());
        EXPECT_EQ(fmFile->lblMode->text(), "Text");
    });
}

TEST_F(Editor, ReplaceAllChangesEveryMatchInOneUndoStep) {
    Edit("", "a.txt", [] {
        fmFile->reFile->setPlainText("Abc abc\nxabc");
        fmFile->FindBar->OpenReplace();
        fmFile->FindBar->edFind->setText("abc");
        fmFile->FindBar->edReplace->setText("abcd");
        EXPECT_EQ(fmFile->FindBar->ReplaceAll(), 3);
        EXPECT_EQ(fmFile->reFile->toPlainText(), "abcd abcd\nxabcd");
        EXPECT_EQ(fmFile->FindBar->lblFound->text(), "3 replaced");
        fmFile->reFile->undo();
        EXPECT_EQ(fmFile->reFile->toPlainText(), "Abc abc\nxabc");
        // With the case matched, and the search going round past the end of the text.
        fmFile->FindBar->cbCase->setChecked(true);
        fmFile->reFile->moveCursor(QTextCursor::End);
        EXPECT_TRUE(fmFile->FindBar->FindNext());
        EXPECT_EQ(fmFile->reFile->textCursor().selectionStart(), 4);
    });
}

TEST_F(Editor, CtrlSSavesAndKeepsTheEditorOpenAndTheTitleMarksUnsavedText) {
    QStringList titles;
    bool open = false;
    Edit("", "a.txt", [&] {
        ASSERT_TRUE(QTest::qWaitForWindowActive(fmFile));
        titles << fmFile->windowTitle();
        QTest::keyClicks(fmFile->reFile, "-- ");
        titles << fmFile->windowTitle();
        QTest::keyClick(fmFile->reFile, Qt::Key_S, Qt::ControlModifier);
        titles << fmFile->windowTitle();
        open = fmFile->isVisible();
        QTest::keyClick(fmFile->reFile, Qt::Key_F, Qt::ControlModifier);
        EXPECT_TRUE(fmFile->FindBar->isVisible());
    });
    EXPECT_TRUE(open);
    EXPECT_EQ(titles,
              (QStringList{"Edit File: /a.txt", "Edit File: /a.txt *", "Edit File: /a.txt"}));
    EXPECT_EQ(Stored({"a.txt"}), "-- local s = 1\n");
    EXPECT_TRUE(questions.isEmpty()) << "closed after the save without asking";
}

// The timers tick while the editor waits for the user, and a save's waits deliver events: a tick
// then would read the console between the save's commands and their replies (its check listing
// would land in the terminal pane and the save would seem to fail).
TEST_F(Editor, TimerTicksDuringASaveLeaveTheConsoleToIt) {
    std::string text;
    for (int i = 0; i < 800; ++i)
        text += "line " + std::to_string(i) + " of the file\n";
    env.fs->AddFile("/big.txt", text);
    device().faults.replyDelayMs = 50; // a device under load
    bool saved = false;
    Edit("", "big.txt", [&] {
        QTimer ticks;
        ticks.setInterval(0);
        QObject::connect(&ticks, &QTimer::timeout, [] {
            fmMain->Timer1Timer();
            fmMain->Timer2Timer();
        });
        ticks.start();
        fmFile->reFile->setPlainText(QString::fromStdString(text + "-- end\n"));
        saved = fmFile->Save();
    });
    EXPECT_TRUE(saved) << messages.join("; ").toStdString();
    EXPECT_TRUE(Stored({"big.txt"}) == text + "-- end\n");
    EXPECT_FALSE(kvtest::PaneText(fmMain->reTerm).contains("Directory of"));
}

TEST_F(Editor, TheCaretIsShownInLinesAndCharacters) {
    Edit("", "a.txt", [] {
        EXPECT_EQ(fmFile->lblCaret->text(), "Line 1, Column 1");
        fmFile->reFile->setPlainText(QString::fromUtf8("ab\n😀é x"));
        QTextCursor caret = fmFile->reFile->textCursor();
        caret.setPosition(fmFile->reFile->document()->characterCount() - 2);
        fmFile->reFile->setTextCursor(caret);
        EXPECT_EQ(fmFile->lblCaret->text(), "Line 2, Column 4") << "the emoji is one character";
    });
}

} // namespace
