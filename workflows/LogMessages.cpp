#include "LogMessages.h"

#include "device/DeviceText.h"

#include <cstdio>

namespace kv {

std::string LogFilterCommand(uint64_t Mask) {
    std::string command = "FILTER ";
    for (int i = 0; i < 8; ++i)
        command += static_cast<char>(Mask >> (8 * i) & 0xFF);
    return command;
}

std::string LogFilterOffCommand() {
    return "FILTER-" + std::string(8, '\xFF');
}

std::string LogTag(uint8_t Type) {
    switch (Type) {
    case 4:
        return "[m.ev]";
    case 8:
        return "[d.ev]";
    case 9:
        return "[d.rx]";
    case 10:
        return "[d.tx]";
    case 12:
        return "[e.ev]";
    case 13:
        return "[e.rx]";
    case 14:
        return "[e.tx]";
    case 16:
        return "[Lua!]";
    case 17:
        return "[Lua.]";
    }
    char text[16];
    std::snprintf(text, sizeof text, "[#%03d]", Type);
    return text;
}

std::string EscapeLogText(const std::string& Text) {
    return EscapeControls(Text, TextForm::Ascii, LineEnds::Kept);
}

} // namespace kv
