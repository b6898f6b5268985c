// Small guards of window state that must be restored on every way out, an error included.
#pragma once

#include <QApplication>
#include <QWidget>

// Shows the hourglass for the life of the object, then the cursor that was there before.
class TBusyCursor {
  public:
    TBusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~TBusyCursor() { QApplication::restoreOverrideCursor(); }
    TBusyCursor(const TBusyCursor&) = delete;
    TBusyCursor& operator=(const TBusyCursor&) = delete;
};

// Suspends a widget's repainting for the life of the object.
class TUpdatesOff {
  public:
    explicit TUpdatesOff(QWidget* widget) : widget_(widget) { widget_->setUpdatesEnabled(false); }
    ~TUpdatesOff() { widget_->setUpdatesEnabled(true); }
    TUpdatesOff(const TUpdatesOff&) = delete;
    TUpdatesOff& operator=(const TUpdatesOff&) = delete;

  private:
    QWidget* widget_;
};
