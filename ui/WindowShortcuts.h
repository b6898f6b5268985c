// Makes a window's action shortcuts win over the keys that text widgets claim for themselves
// (Ctrl+C, Ctrl+A, Ctrl+V, Del, ...): the action runs wherever the focus is in the window, and the
// key does not reach the focused control.
#pragma once

#include <QObject>

class QWidget;

class TWindowShortcuts : public QObject {
  public:
    explicit TWindowShortcuts(QWidget* window);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QWidget* window_;
};
