// The device's text is 8-bit and shown as Latin-1 (each byte one character, nothing lost). PC file
// names are UTF-8; these convert between the two.
#pragma once

#include "HidPlatform.h"

#include <string>

namespace kv {
class TRawHid;
}

namespace kv {

// The 8-bit text as UTF-8.
std::string Latin1ToUtf8(const std::string& text);
// UTF-8 text in the device's 8-bit form; false when the text is not UTF-8 or holds a character
// above U+00FF, which the device cannot store.
bool Utf8ToLatin1(const std::string& utf8, std::string& text);
// A HID string (UTF-16) as the device's 8-bit text; a character above U+00FF becomes "?".
std::string HidTo8Bit(const std::u16string& text);
// The device's identity in three lines, as the information panel shows it: manufacturer,
// "#" and serial number, product with version, build and date (strings 201 to 203).
std::string IdentityText(TRawHid& device);
// Why a device that is attached could not be opened, in words for the user.
std::string OpenFailureText(OpenError why);
// A device another program holds, for the user: "KV-104-000123 is in use by kvb mount (process
// 4711)", by its serial number (or path) and the holder as far as the system tells.
std::string InUseText(const std::string& SerialOrPath, const std::string& Holder);
// The text with A-Z as a-z; every other byte as it is.
std::string AsciiLower(std::string text);

// Text for a screen or a line, with its control characters written as \xHH so that what the device
// says can neither drive a terminal nor break a line: C0 and DEL always, and by Form also others.
enum class TextForm {
    EightBit, // device text: bytes 0x80 and above are its characters
    Utf8,     // UTF-8 text: its C1 controls (U+0080 to U+009F) too, as \x80 to \x9F
    Ascii,    // every byte outside printable ASCII, and "\" doubled, so that the text reads back
};
// How TAB, CR and LF are written: as the other controls, as they are, as \t, \r and \n, or as
// Lines for a terminal: TAB and LF as they are, CR LF as LF, and a CR alone (which would write
// over its line) as the other controls.
enum class LineEnds { Escaped, Kept, Named, Lines };
std::string EscapeControls(const std::string& Text, TextForm Form, LineEnds Ends);
// What the device's feature string (string 204) offers: firmware loading (".uft.") and the file
// commands with quoted paths (".nfi.").
struct DeviceFeatures {
    bool Firmware = false;
    bool QuotedPaths = false;
};
DeviceFeatures ReadFeatures(TRawHid& device);
// True for well-formed UTF-8 that holds a character above U+00FF.
bool HasWideUtf8(const std::string& text);

} // namespace kv
