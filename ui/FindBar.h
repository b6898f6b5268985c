// The editor's find and replace bar, below the text: Ctrl+F opens it for finding, Ctrl+H with the
// replace row, F3 and Shift+F3 find the next and previous match, Escape closes it. A search
// wraps around the end of the text.
#pragma once

#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

class TFindBar : public QWidget {
  public:
    TFindBar(QPlainTextEdit* Editor, QWidget* parent);
    // Shows the bar with the editor's selected text (when on one line) to find.
    void OpenFind();
    void OpenReplace();
    // Selects the next (or previous) match from the caret, wrapping around; false when there is
    // none, which the bar then says.
    bool FindNext(bool Backward = false);
    // Replaces the selected match, when the selection is one, and finds the next.
    void ReplaceOne();
    // Replaces every match in one step that a single undo takes back; the number replaced.
    int ReplaceAll();

    QLineEdit* edFind;
    QLineEdit* edReplace;
    QCheckBox* cbCase;
    QPushButton* btnNext;
    QPushButton* btnPrevious;
    QPushButton* btnReplace;
    QPushButton* btnReplaceAll;
    QPushButton* btnClose;
    QLabel* lblFound;
    QWidget* ReplaceRow;

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void Open(bool WithReplace);
    bool SelectionMatches() const;
    QPlainTextEdit* editor_;
};
