// The terminal pane: console output with the prompt in red, typed keys with local echo, paste,
// copy and the program's own green messages.
#include "BusyCursor.h"
#include "UiHooks.h"
#include "ufmMain.h"
#include "workflows/ConsoleText.h"

#include <QApplication>
#include <QClipboard>
#include <QTextBlock>
#include <QTextDocument>

namespace {

constexpr int kTermLimit = 131072;
constexpr int kPasteLimit = 8192;
const QColor kBlack(0, 0, 0), kRed(255, 0, 0), kBlue(0, 0, 255), kGreen(0, 128, 0);

} // namespace

void TfmMain::TermAppend(const QString& Text, const QColor& Color, TFontStyles Style) {
    // The pane wraps at its width only the lines of the program's own messages; the device's
    // output keeps its lines as the device made them.
    QTextDocument* doc = reTerm->document();
    QTextCursor end(doc);
    end.movePosition(QTextCursor::End);
    const bool freshLine = end.atBlockStart();
    QTextBlock block = end.block();
    RichEditAppend(reTerm, Text, Color, Style);
    const bool message = Color == kGreen;
    for (bool first = true; block.isValid(); block = block.next(), first = false) {
        // A line that holds device output does not wrap, whatever else it holds.
        const bool keep =
            !message || (first && !freshLine && block.blockFormat().nonBreakableLines());
        if (block.blockFormat().nonBreakableLines() == keep) continue;
        QTextBlockFormat format = block.blockFormat();
        format.setNonBreakableLines(keep);
        QTextCursor(block).setBlockFormat(format);
    }
}

void TfmMain::TermScrollEnd() {
    RichEditTrim(reTerm, kTermLimit);
    RichEditScrollToEnd(reTerm);
}

void TfmMain::TermOutput(const std::string& Data) {
    {
        TUpdatesOff off(reTerm);
        // The prompt's colour and its password test go on from the last output: a prompt may
        // arrive over two polls.
        bool ended = false;
        for (const auto& run : ConsolePrompt.Feed(Data, &ended))
            TermAppend(FromDevice(run.Text), run.Prompt ? kRed : kBlack, fsRegular);
        if (ended) PasswordEcho = ConsolePrompt.Password();
    }
    TermScrollEnd();
}

void TfmMain::TermPrint(const std::string& Text, TFontStyles Style) {
    TermAppend(FromDevice(Text), kGreen, Style);
    TermScrollEnd();
    reTerm->repaint();
}

void TfmMain::TermFail(const std::string& Text) {
    // A failure is a line of its own, bold and marked at its start, and it wraps at the pane's
    // width also when it comes right after the device's prompt.
    const size_t from = Text.find_first_not_of("\r\n ");
    if (from == std::string::npos) return;
    std::string line = Text.substr(from);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    QTextCursor end(reTerm->document());
    end.movePosition(QTextCursor::End);
    TermPrint(std::string(end.atBlockStart() ? "" : "\r\n") + "\xD7 " + line + "\r\n", fsBold);
}

void TfmMain::reTermKeyPress(char& Key) {
    if (!Comms->WriteMessage(std::string(1, Key), kv::kConsoleChannel, 0, 200)) {
        Key = 0;
        return;
    }
    const auto code = static_cast<unsigned char>(Key);
    if (code == 8) return; // Backspace: the pane deletes the character before the caret
    if (code >= 32 || code == 9 || code == 10 || code == 13) {
        char shown = Key;
        if (PasswordEcho && code != 10 && code != 13) shown = '*';
        TermAppend(FromDevice(std::string(1, shown)), kBlue, fsBold);
        TermScrollEnd();
        Key = 0;
    }
}

void TfmMain::actSendBreakExecute() {
    if (!Comms->IsConnected()) return;
    TDeviceOperation op(*Activity);
    Comms->WriteMessage(std::string(1, '\x03'), kv::kConsoleChannel, 0, 200);
}

void TfmMain::actPasteExecute() {
    // The device runs a line at its CR: line ends of the clipboard become CR LF.
    const std::string text = kv::ToConsoleLineEnds(ToDevice(QApplication::clipboard()->text()));
    if (text.empty()) return;
    if (text.size() > kPasteLimit) {
        UiHooks().Message(this, "Too much text!", "Error");
        return;
    }
    TDeviceOperation op(*Activity);
    if (Comms->WriteMessage(text, kv::kConsoleChannel, 0, 200))
        TermAppend(FromDevice(text), kBlue, fsBold | fsItalic);
}

void TfmMain::actTermCopyExecute() {
    TBusyCursor busy;
    {
        TUpdatesOff off(reTerm);
        const bool all = !reTerm->textCursor().hasSelection();
        if (all) reTerm->selectAll();
        reTerm->copy();
        if (all) {
            QTextCursor cursor = reTerm->textCursor();
            cursor.clearSelection();
            reTerm->setTextCursor(cursor);
        }
    }
}

void TfmMain::actTermAllExecute() {
    reTerm->selectAll();
}

void TfmMain::actTermClearExecute() {
    reTerm->clear();
}
