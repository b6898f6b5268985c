// The program's fonts: a fixed-pitch font for device text, the window font for everything else.
#pragma once

#include <QFont>

// "Lucida Console" where the machine has it, else the system's fixed-pitch font; pixels 0 keeps
// the default size.
QFont FixedFont(int pixels = 0);
// The windows' font: "Tahoma" at 11 px where the machine has it, else the given font at 11 px.
QFont WindowFont(const QFont& fallback);
