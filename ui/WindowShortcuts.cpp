#include "WindowShortcuts.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QWidget>

TWindowShortcuts::TWindowShortcuts(QWidget* window) : QObject(window), window_(window) {
    qApp->installEventFilter(this);
}

bool TWindowShortcuts::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::ShortcutOverride) return false;
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || widget->window() != window_) return false;
    auto* key = static_cast<QKeyEvent*>(event);
    const QKeySequence pressed(key->keyCombination());
    for (QAction* action : window_->actions()) {
        if (action->shortcut() == pressed) {
            // Not accepted: the shortcut map goes on and triggers the window's action.
            event->ignore();
            return true;
        }
    }
    return false;
}
