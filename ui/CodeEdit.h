// The editor's text field: a plain text edit with the line numbers beside it, the caret's line
// lightly marked, and the caret's position in lines and characters.
#pragma once

#include <QPlainTextEdit>

class TCodeEdit : public QPlainTextEdit {
  public:
    explicit TCodeEdit(QWidget* parent = nullptr);
    // The widget that shows the line numbers, left of the text.
    QWidget* LineNumbers() const { return lineNumbers_; }
    // Pixels the line numbers take: room for the highest number, at least three digits.
    int LineNumberWidth() const;
    // The caret's line and column, both from 1; the column counts characters, not UTF-16 units.
    int CaretLine() const;
    int CaretColumn() const;
    void PaintLineNumbers(QPaintEvent* event);

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    void UpdateMargin();
    void MarkCaretLine();
    QWidget* lineNumbers_;
};

// The column (from 1) of the character at Pos of Line, counting a surrogate pair as one.
int CharacterColumn(const QString& Line, int Pos);
