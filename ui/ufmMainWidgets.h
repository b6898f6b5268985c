// The main window's panes that take their events to the window (the TfmMain they are in):
// the terminal pane, the device file list and the device information panel.
#pragma once

#include <QPlainTextEdit>
#include <QTextEdit>
#include <QTreeWidget>

class TfmMain;

// The main window a pane is in (none while it is in no such window).
TfmMain* MainWindowOf(const QWidget* pane);

// The terminal pane: typed keys go to the window's key handler before the pane sees them.
class TTermEdit : public QTextEdit {
  public:
    explicit TTermEdit(QWidget* parent = nullptr);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
};

// The device file list: double-click and Enter go to the window; PC files may be dropped on it.
class TFileList : public QTreeWidget {
  public:
    explicit TFileList(QWidget* parent = nullptr);

  protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    // Rows dragged out of the list go to the drop target as PC files (TfmMain::DragRowsOut).
    void startDrag(Qt::DropActions supportedActions) override;

  public:
    // The column the user sorted by (-1: none yet, by name alone) and its order.
    int SortColumn = -1;
    Qt::SortOrder SortOrder = Qt::AscendingOrder;
};

// The device information panel: PC files may be dropped on it as on the file list.
class TInfoMemo : public QPlainTextEdit {
  public:
    explicit TInfoMemo(QWidget* parent = nullptr);

  protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
};
