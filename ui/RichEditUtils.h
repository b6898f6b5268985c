// Helpers shared by the rich-text panes: bounded growth, scrolling to the end, styled appends.
#pragma once

#include <QColor>
#include <QString>

class QTextCursor;
class QTextEdit;

// Font style flags of a run of text.
enum TFontStyle : int { fsRegular = 0, fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
using TFontStyles = int;

// Caret to the end of the pane's text, scrolled into view.
void RichEditScrollToEnd(QTextEdit* Pane);
// When the pane holds more than Limit characters, deletes its first Limit*20/100 characters,
// extended to the end of the line they end in; when no line end follows, just those characters.
void RichEditTrim(QTextEdit* Pane, int Limit);
// Appends Text at the end of the pane in the given colour and style; the caret ends after it
// unless MoveCaret is false (a batch that scrolls to the end once when it closes).
void RichEditAppend(QTextEdit* Pane, const QString& Text, const QColor& Color, TFontStyles Style,
                    bool MoveCaret = true);
// Inserts Text at the cursor in the given colour and style (the cursor ends after it). Appends of a
// batch go through one cursor inside one edit block, so the pane is laid out once per batch.
void RichEditInsert(QTextCursor& Cursor, const QString& Text, const QColor& Color,
                    TFontStyles Style);
// Characters in the pane, as the trim counts them (a line break is one character).
int RichEditLength(QTextEdit* Pane);
