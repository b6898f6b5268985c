// Windows stay on the screen: with a large font setting or a small screen, the sizes and places
// the forms ask for are cut to the screen's available area.
#pragma once

#include <QRect>

class QWidget;

// Frame cut to Area and moved into it: as large as it can be up to its own size, kept where it is
// when it fits there.
QRect FitInto(const QRect& Frame, const QRect& Area);
// The window's frame, as it would be placed now, brought within the available area of the screen
// it is on (or the primary screen).
void KeepOnScreen(QWidget* Window);
// KeepOnScreen now, and again once the window is shown and the desktop has put its frame (title
// bar, borders) around it, which is only then known.
void KeepOnScreenWithFrame(QWidget* Window);
// For a dialog shown many times: KeepOnScreen each time it is shown, and again when its frame
// has come.
void KeepOnScreenEachShowing(QWidget* Window);
