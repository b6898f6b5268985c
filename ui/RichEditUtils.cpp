#include "RichEditUtils.h"

#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

int RichEditLength(QTextEdit* Pane) {
    return Pane->document()->characterCount() - 1;
}

void RichEditScrollToEnd(QTextEdit* Pane) {
    Pane->moveCursor(QTextCursor::End);
    Pane->ensureCursorVisible();
}

void RichEditTrim(QTextEdit* Pane, int Limit) {
    QTextDocument* doc = Pane->document();
    const int length = RichEditLength(Pane);
    if (length <= Limit) return;
    const int n = Limit * 20 / 100;
    // Extend the selection one character at a time until its last character ends a line.
    const auto isLineEnd = [](QChar c) {
        return c == QChar::ParagraphSeparator || c == QChar::LineSeparator || c == u'\r' ||
               c == u'\n';
    };
    int end = n;
    while (end < length && !isLineEnd(doc->characterAt(end - 1)))
        ++end;
    if (!isLineEnd(doc->characterAt(end - 1))) end = n; // no line end follows: only n characters
    QTextCursor cursor(doc);
    cursor.setPosition(0);
    cursor.setPosition(end, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}

void RichEditInsert(QTextCursor& Cursor, const QString& Text, const QColor& Color,
                    TFontStyles Style) {
    QTextCharFormat format;
    format.setForeground(Color);
    format.setFontWeight(Style & fsBold ? QFont::Bold : QFont::Normal);
    format.setFontItalic(Style & fsItalic);
    format.setFontUnderline(Style & fsUnderline);
    format.setFontStrikeOut(Style & fsStrikeOut);
    Cursor.insertText(Text, format);
}

void RichEditAppend(QTextEdit* Pane, const QString& Text, const QColor& Color, TFontStyles Style,
                    bool MoveCaret) {
    QTextCursor cursor(Pane->document());
    cursor.movePosition(QTextCursor::End);
    RichEditInsert(cursor, Text, Color, Style);
    if (MoveCaret) Pane->setTextCursor(cursor);
}
