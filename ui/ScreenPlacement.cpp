#include "ScreenPlacement.h"

#include <QGuiApplication>
#include <QLayout>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <algorithm>

QRect FitInto(const QRect& Frame, const QRect& Area) {
    QRect fitted(Frame.topLeft(), QSize(std::min(Frame.width(), Area.width()),
                                        std::min(Frame.height(), Area.height())));
    if (fitted.right() > Area.right()) fitted.moveRight(Area.right());
    if (fitted.bottom() > Area.bottom()) fitted.moveBottom(Area.bottom());
    if (fitted.left() < Area.left()) fitted.moveLeft(Area.left());
    if (fitted.top() < Area.top()) fitted.moveTop(Area.top());
    return fitted;
}

void KeepOnScreen(QWidget* Window) {
    const QScreen* screen = Window->screen();
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    // The frame the desktop draws around the window: known once it was shown, else none.
    const QSize frame = Window->frameGeometry().size() - Window->size();
    const QRect area = screen->availableGeometry();
    const QRect outer(Window->pos(), Window->size() + frame);
    const QRect fitted = FitInto(outer, area);
    if (fitted == outer) return;
    // Layouts may ask for more than the screen has (large fonts): the window may be smaller.
    if (Window->layout()) Window->layout()->setSizeConstraint(QLayout::SetNoConstraint);
    Window->setMinimumSize(0, 0);
    Window->resize(fitted.size() - frame);
    Window->move(fitted.topLeft());
}

namespace {

// Waits for the window's showing (the first one, or each one), then checks it again when the
// frame has come.
class TFrameWatch : public QObject {
  public:
    TFrameWatch(QWidget* window, bool everyShowing)
        : QObject(window), window_(window), every_(everyShowing) {
        window->installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::Show) return false;
        // A dialog is placed (centred on its owner) as it is shown: its place is known now.
        if (every_) KeepOnScreen(window_);
        // The window manager frames a window soon after mapping it; later again for a slow one.
        for (const int ms : {150, 600, 1500}) {
            QTimer::singleShot(ms, window_, [window = QPointer<QWidget>(window_)] {
                if (window && window->isVisible()) KeepOnScreen(window);
            });
        }
        if (!every_) {
            window_->removeEventFilter(this);
            deleteLater();
        }
        return false;
    }

  private:
    QWidget* window_;
    bool every_;
};

} // namespace

void KeepOnScreenWithFrame(QWidget* Window) {
    KeepOnScreen(Window);
    new TFrameWatch(Window, false);
}

void KeepOnScreenEachShowing(QWidget* Window) {
    new TFrameWatch(Window, true);
}
