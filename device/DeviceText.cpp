#include "DeviceText.h"

#include "RawHid.h"

namespace kv {

namespace {

// Decodes UTF-8 into code points; false for malformed or overlong sequences.
bool DecodeUtf8(const std::string& text, std::u32string& out) {
    out.clear();
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const int extra = c < 0x80         ? 0
                          : (c >> 5) == 6  ? 1
                          : (c >> 4) == 14 ? 2
                          : (c >> 3) == 30 ? 3
                                           : -1;
        if (extra < 0 || i + extra >= text.size() + 1) return false; // bad lead or cut short
        char32_t code = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            const auto n = static_cast<unsigned char>(text[i + k]);
            if ((n & 0xC0) != 0x80) return false;
            code = code << 6 | (n & 0x3F);
        }
        if ((extra == 1 && code < 0x80) || (extra == 2 && code < 0x800) ||
            (extra == 3 && code < 0x10000))
            return false;
        out += code;
        i += extra + 1;
    }
    return true;
}

} // namespace

std::string Latin1ToUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool Utf8ToLatin1(const std::string& utf8, std::string& text) {
    std::u32string codes;
    if (!DecodeUtf8(utf8, codes)) return false;
    std::string out;
    for (char32_t c : codes) {
        if (c > 0xFF) return false;
        out += static_cast<char>(c);
    }
    text = std::move(out);
    return true;
}

std::string HidTo8Bit(const std::u16string& text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text)
        out += c <= 0xFF ? static_cast<char>(c) : '?';
    return out;
}

std::string IdentityText(TRawHid& device) {
    // One string at a time, in this order on the wire: manufacturer, serial number, product,
    // then the indexed strings 201, 202 and 203.
    const std::string manufacturer = HidTo8Bit(device.GetManufacturer());
    const std::string serial = HidTo8Bit(device.GetSerialNumber());
    const std::string product = HidTo8Bit(device.GetProduct());
    const std::string version = HidTo8Bit(device.GetIndexedString(201));
    const std::string build = HidTo8Bit(device.GetIndexedString(202));
    const std::string date = HidTo8Bit(device.GetIndexedString(203));
    return manufacturer + "\n#" + serial + "\n" + product + " v" + version + " (build " + build +
           " @ " + date + ")";
}

bool HasWideUtf8(const std::string& text) {
    std::u32string codes;
    if (!DecodeUtf8(text, codes)) return false;
    for (char32_t c : codes)
        if (c > 0xFF) return true;
    return false;
}

std::string AsciiLower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    return text;
}

DeviceFeatures ReadFeatures(TRawHid& device) {
    const std::string features = HidTo8Bit(device.GetIndexedString(204));
    DeviceFeatures offered;
    offered.Firmware = features.find(".uft.") != std::string::npos;
    offered.QuotedPaths = features.find(".nfi.") != std::string::npos;
    return offered;
}

std::string InUseText(const std::string& SerialOrPath, const std::string& Holder) {
    return SerialOrPath + " is in use by " + (Holder.empty() ? "another program" : Holder);
}

std::string OpenFailureText(OpenError why) {
    switch (why) {
    case OpenError::NoPermission:
        return "no permission";
    case OpenError::Busy:
        return "another program is using it";
    case OpenError::Absent:
        return "it went away";
    case OpenError::Unsuitable:
        return "its reports are not the 64-byte reports of the device";
    case OpenError::None:
    case OpenError::Other:
        break;
    }
    return "the system refused to open it";
}

std::string EscapeControls(const std::string& Text, TextForm Form, LineEnds Ends) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(Text.size());
    for (size_t i = 0; i < Text.size(); ++i) {
        auto c = static_cast<unsigned char>(Text[i]);
        if (Ends == LineEnds::Lines && c == '\r' && i + 1 < Text.size() && Text[i + 1] == '\n')
            continue;
        if (c == '\t' || c == '\n' || c == '\r') {
            if (Ends == LineEnds::Kept || (Ends == LineEnds::Lines && c != '\r')) {
                out += Text[i];
                continue;
            }
            if (Ends == LineEnds::Named) {
                out += c == '\t' ? "\\t" : c == '\n' ? "\\n" : "\\r";
                continue;
            }
        }
        bool escape = c < 0x20 || c == 0x7F;
        if (Form == TextForm::Ascii) {
            if (c == '\\') {
                out += "\\\\";
                continue;
            }
            escape = escape || c >= 0x80;
        } else if (Form == TextForm::Utf8 && c == 0xC2 && i + 1 < Text.size() &&
                   static_cast<unsigned char>(Text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(Text[i + 1]) <= 0x9F) {
            // U+0080 to U+009F, the C1 controls, are C2 80 to C2 9F in UTF-8.
            c = static_cast<unsigned char>(Text[++i]);
            escape = true;
        }
        if (escape) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += Text[i];
        }
    }
    return out;
}

} // namespace kv
