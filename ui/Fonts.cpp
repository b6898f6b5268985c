#include "Fonts.h"

#include <QFontDatabase>
#include <QStringList>

QFont FixedFont(int pixels) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setFamilies({"Lucida Console", font.family()});
    font.setStyleHint(QFont::TypeWriter); // the fallback stays monospaced
    if (pixels > 0) font.setPixelSize(pixels);
    return font;
}

QFont WindowFont(const QFont& fallback) {
    QFont font = fallback;
    font.setFamilies({"Tahoma", fallback.family()});
    font.setPixelSize(11);
    return font;
}
