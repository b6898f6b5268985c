#include "LinuxSysfs.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include <unistd.h>

namespace kv::linuxhid {

namespace fs = std::filesystem;

namespace {

bool ReadInt(const fs::path& file, int& value) {
    std::ifstream in(file);
    return static_cast<bool>(in >> value);
}

// UTF-8 as UTF-16; a malformed sequence becomes U+FFFD.
std::u16string Utf16(const std::string& text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<uint8_t>(text[i]);
        const size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
        uint32_t c = lead & (0x7F >> extra);
        bool ok = (lead < 0x80 || lead >= 0xC0) && lead < 0xF8 && i + extra < text.size();
        for (size_t k = 1; ok && k <= extra; ++k) {
            const auto next = static_cast<uint8_t>(text[i + k]);
            ok = (next & 0xC0) == 0x80;
            c = c << 6 | (next & 0x3F);
        }
        if (!ok || c > 0x10FFFF) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        i += 1 + extra;
        if (c < 0x10000) {
            out += static_cast<char16_t>(c);
        } else {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
    }
    return out;
}

} // namespace

UsbNode FindUsbNode(const std::string& sysRoot, const std::string& hidrawPath) {
    UsbNode node;
    const std::string name = fs::path(hidrawPath).filename().string();
    if (name.empty()) return node;
    std::error_code ec;
    fs::path dir = fs::canonical(fs::path(sysRoot) / "class" / "hidraw" / name / "device", ec);
    if (ec) return node;
    const fs::path root = fs::canonical(sysRoot, ec);
    if (ec) return node;
    // Walk up: HID device, USB interface, USB device (the first one with busnum and devnum).
    for (int depth = 0; depth < 16 && dir != root && dir.has_parent_path(); ++depth) {
        int bus = -1, dev = -1;
        if (ReadInt(dir / "busnum", bus) && ReadInt(dir / "devnum", dev)) {
            node.busnum = bus;
            node.devnum = dev;
            if (!ReadInt(dir / "bNumInterfaces", node.interfaces)) node.interfaces = 0;
            node.dir = dir.string();
            return node;
        }
        dir = dir.parent_path();
    }
    return node;
}

bool NodePresent(const std::string& sysRoot, const std::string& hidrawPath) {
    const std::string name = fs::path(hidrawPath).filename().string();
    std::error_code ec;
    return !name.empty() && fs::exists(fs::path(sysRoot) / "class" / "hidraw" / name, ec);
}

bool UsbString(const UsbNode& node, const std::string& attribute, std::u16string& text) {
    std::error_code ec;
    if (node.dir.empty() || !fs::is_directory(node.dir, ec)) return false;
    text.clear();
    std::ifstream in(fs::path(node.dir) / attribute);
    std::string line;
    if (in && std::getline(in, line)) text = Utf16(line);
    // The attribute is there only when the device has the string; the directory only while the
    // device is attached, so look again after a failed read.
    return in.is_open() || fs::is_directory(node.dir, ec);
}

bool TopLevelUsage(const uint8_t* descriptor, size_t size, int& usagePage, int& usage) {
    uint32_t page = 0, local = 0;
    bool extended = false; // a four-byte usage carries its own page
    for (size_t i = 0; i < size;) {
        const uint8_t prefix = descriptor[i];
        if (prefix == 0xFE) { // long item: size, tag, data
            if (i + 1 >= size) break;
            i += 3 + descriptor[i + 1];
            continue;
        }
        const size_t length = (prefix & 3) == 3 ? 4 : prefix & 3;
        if (i + 1 + length > size) break;
        uint32_t value = 0;
        for (size_t k = 0; k < length; ++k)
            value |= uint32_t(descriptor[i + 1 + k]) << (8 * k);
        switch (prefix & 0xFC) {
        case 0x04: // Usage Page
            page = value;
            break;
        case 0x08: // Usage
            local = value;
            extended = length == 4;
            break;
        case 0xA0: // Collection: the first one met is the first top-level one
            usagePage = static_cast<int>(extended ? local >> 16 : page);
            usage = static_cast<int>(local & 0xFFFF);
            return true;
        }
        if ((prefix & 0x0C) == 0) local = 0, extended = false; // a main item ends local items
        i += 1 + length;
    }
    return false;
}

std::string UsbDevicePath(const UsbNode& node) {
    char text[64];
    std::snprintf(text, sizeof text, "/dev/bus/usb/%03d/%03d", node.busnum, node.devnum);
    return text;
}

} // namespace kv::linuxhid

namespace kv::linuxhid {

std::string NodeHolder(const std::string& nodePath, const std::string& procRoot) {
    std::error_code ec;
    const std::string self = std::to_string(::getpid());
    for (const auto& process : fs::directory_iterator(procRoot, ec)) {
        const std::string pid = process.path().filename().string();
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
            continue;
        std::error_code none;
        bool holds = false;
        for (const auto& fd : fs::directory_iterator(process.path() / "fd", none)) {
            std::error_code link;
            if (fs::read_symlink(fd.path(), link).string() == nodePath) {
                holds = true;
                break;
            }
        }
        if (!holds) continue;
        std::ifstream in(process.path() / "cmdline", std::ios::binary);
        std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<std::string> words;
        for (size_t at = 0; at < cmdline.size();) {
            const size_t end = cmdline.find('\0', at);
            words.push_back(cmdline.substr(at, end == std::string::npos ? end : end - at));
            at = end == std::string::npos ? cmdline.size() : end + 1;
        }
        std::string name = words.empty() ? std::string() : fs::path(words[0]).filename().string();
        for (size_t i = 1; i < words.size(); ++i)
            if (!words[i].empty() && words[i][0] != '-') {
                name += " " + words[i];
                break;
            }
        // Only printable text of another program's command line goes into a message.
        for (char& c : name)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
        if (name.size() > 80) name = name.substr(0, 80);
        return (name.empty() ? std::string("a program") : name) + " (process " + pid + ")";
    }
    return {};
}

} // namespace kv::linuxhid
