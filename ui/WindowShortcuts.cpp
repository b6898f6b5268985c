#include "WindowShortcuts.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QWidget>

TWindowShortcuts::TWindowShortcuts(QWidget* window) : QObject(window), window_(window) {
    qApp->installEventFilter(this);
}

bool TWindowShortcuts::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::ShortcutOverride) return false;
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || widget->window() != window_) return false;
    auto* key = static_cast<QKeyEvent*>(event);
    // A text field's own editing keys act on the field (the path field): pasting there must not
    // send the clipboard to the device's console, nor Del, which deletes a character there,
    // ask to delete the selected files.
    if (qobject_cast<QLineEdit*>(widget))
        for (const auto standard :
             {QKeySequence::Cut, QKeySequence::Copy, QKeySequence::Paste, QKeySequence::SelectAll,
              QKeySequence::Undo, QKeySequence::Redo, QKeySequence::Delete})
            if (key->matches(standard)) return false;
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
