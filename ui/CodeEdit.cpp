#include "CodeEdit.h"

#include <algorithm>

#include <QPaintEvent>
#include <QPainter>
#include <QTextBlock>

namespace {

class TLineNumberArea : public QWidget {
  public:
    explicit TLineNumberArea(TCodeEdit* editor) : QWidget(editor), editor_(editor) {}
    QSize sizeHint() const override { return {editor_->LineNumberWidth(), 0}; }

  protected:
    void paintEvent(QPaintEvent* event) override { editor_->PaintLineNumbers(event); }

  private:
    TCodeEdit* editor_;
};

} // namespace

int CharacterColumn(const QString& Line, int Pos) {
    int column = 1;
    for (int i = 0; i < Pos && i < Line.size(); ++i)
        if (!Line[i].isLowSurrogate()) ++column;
    return column;
}

TCodeEdit::TCodeEdit(QWidget* parent)
    : QPlainTextEdit(parent), lineNumbers_(new TLineNumberArea(this)) {
    connect(this, &QPlainTextEdit::blockCountChanged, this, [this] { UpdateMargin(); });
    connect(this, &QPlainTextEdit::updateRequest, this, [this](const QRect& rect, int dy) {
        if (dy)
            lineNumbers_->scroll(0, dy);
        else
            lineNumbers_->update(0, rect.y(), lineNumbers_->width(), rect.height());
    });
    connect(this, &QPlainTextEdit::cursorPositionChanged, this, [this] {
        MarkCaretLine();
        lineNumbers_->update();
    });
    UpdateMargin();
    MarkCaretLine();
}

int TCodeEdit::LineNumberWidth() const {
    int digits = 1;
    for (int max = std::max(1, blockCount()); max >= 10; max /= 10)
        ++digits;
    digits = std::max(digits, 3);
    return 12 + fontMetrics().horizontalAdvance(QLatin1Char('9')) * digits;
}

int TCodeEdit::CaretLine() const {
    return textCursor().blockNumber() + 1;
}

int TCodeEdit::CaretColumn() const {
    const QTextCursor caret = textCursor();
    return CharacterColumn(caret.block().text(), caret.positionInBlock());
}

void TCodeEdit::resizeEvent(QResizeEvent* event) {
    QPlainTextEdit::resizeEvent(event);
    const QRect area = contentsRect();
    lineNumbers_->setGeometry(area.left(), area.top(), LineNumberWidth(), area.height());
}

void TCodeEdit::UpdateMargin() {
    setViewportMargins(LineNumberWidth(), 0, 0, 0);
    const QRect area = contentsRect();
    lineNumbers_->setGeometry(area.left(), area.top(), LineNumberWidth(), area.height());
}

void TCodeEdit::MarkCaretLine() {
    QTextEdit::ExtraSelection line;
    line.format.setBackground(palette().color(QPalette::AlternateBase));
    line.format.setProperty(QTextFormat::FullWidthSelection, true);
    line.cursor = textCursor();
    line.cursor.clearSelection();
    setExtraSelections({line});
}

void TCodeEdit::PaintLineNumbers(QPaintEvent* event) {
    QPainter painter(lineNumbers_);
    painter.fillRect(event->rect(), palette().color(QPalette::Window));
    painter.setFont(font());
    const int caretLine = textCursor().blockNumber();
    const int right = lineNumbers_->width() - 7;
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawLine(lineNumbers_->width() - 1, event->rect().top(), lineNumbers_->width() - 1,
                     event->rect().bottom());
    QTextBlock block = firstVisibleBlock();
    int top = qRound(blockBoundingGeometry(block).translated(contentOffset()).top());
    while (block.isValid() && top <= event->rect().bottom()) {
        const int bottom = top + qRound(blockBoundingRect(block).height());
        if (block.isVisible() && bottom >= event->rect().top()) {
            painter.setPen(palette().color(block.blockNumber() == caretLine
                                               ? QPalette::WindowText
                                               : QPalette::PlaceholderText));
            painter.drawText(0, top, right, fontMetrics().height(), Qt::AlignRight,
                             QString::number(block.blockNumber() + 1));
        }
        block = block.next();
        top = bottom;
    }
}
