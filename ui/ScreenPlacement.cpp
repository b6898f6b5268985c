#include "ScreenPlacement.h"

#include <QGuiApplication>
#include <QLayout>
#include <QScreen>
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
