// The device's log channel as both front ends use it: the filter commands the host sends and the
// text of one message as it is shown (tag, escaped modem data).
#pragma once

#include <cstdint>
#include <string>

namespace kv {

// Every type but the modem's and the other sources' received and transmitted data.
constexpr uint64_t kLogInitialMask = 0xFFFFFFFFFFFF999Full;
// The modem's received and transmitted data (types 5 and 6) and the other sources' (9, 10, 13, 14).
constexpr uint64_t kLogModemBits = 0x6660;

// "FILTER " and the mask's eight bytes, lowest first; sent on channel 31 with flags 128.
std::string LogFilterCommand(uint64_t Mask);
// "FILTER-" and eight 0xFF bytes; sent on channel 31 with flags 64.
std::string LogFilterOffCommand();
// The tag of a message type: "[m.ev]", "[Lua!]", ... or "[#NNN]" for a type without a name.
std::string LogTag(uint8_t Type);
// Modem data as text: printable ASCII, TAB, CR and LF as they are, "\\" doubled, every other byte
// as \xHH.
std::string EscapeLogText(const std::string& Text);

} // namespace kv
