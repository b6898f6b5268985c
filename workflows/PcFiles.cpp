#include "PcFiles.h"

#include "PcFilePlatform.h"

#include "device/DeviceText.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <system_error>

namespace kv {

namespace fs = std::filesystem;

namespace {

std::string Utf8Of(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

fs::path PathOfUtf8(const std::string& text) {
    return fs::path(std::u8string(text.begin(), text.end()));
}

[[noreturn]] void Fail(const char* what, const fs::path& path, const std::string& why) {
    throw EPcFileError(std::string(what) + " \"" + ShownPath(path) + "\". " + why);
}

// The system's text for the last failed call, or a plain one when it left none.
std::string SystemReason(const char* otherwise) {
    return errno ? std::generic_category().message(errno) : otherwise;
}

// Windows opens these devices under any folder, in any letter case, with any extension, and
// with spaces before the extension: "nul", "Com1.txt", "CON .log".
bool WindowsDeviceName(const std::string& pcName) {
    std::string base = pcName.substr(0, pcName.find('.'));
    base.erase(base.find_last_not_of(' ') + 1);
    for (char& c : base)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    static const char* const kFixed[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* name : kFixed)
        if (base == name) return true;
    if (base.rfind("COM", 0) != 0 && base.rfind("LPT", 0) != 0) return false;
    const std::string number = base.substr(3);
    // A digit, or the superscripts one to three (UTF-8, as the PC name holds them).
    return (number.size() == 1 && number[0] >= '0' && number[0] <= '9') || number == "\xC2\xB9" ||
           number == "\xC2\xB2" || number == "\xC2\xB3";
}

} // namespace

#ifdef _WIN32
const PcNameRules kPcNameRules = PcNameRules::Windows;
#else
const PcNameRules kPcNameRules = PcNameRules::Posix;
#endif

bool SafePcName(const std::string& Name, PcNameRules Rules) {
    if (Name.empty() || Name == "." || Name == ".." ||
        Name.find_first_of(std::string("/\\\0", 3)) != std::string::npos)
        return false;
    if (Rules == PcNameRules::Posix) return true;
    const std::string pcName = Latin1ToUtf8(Name);
    for (const unsigned char c : pcName)
        if (c < 32 || std::strchr(":*?\"<>|", c)) return false;
    // The system drops a trailing dot or space: "a." would be stored, and opened, as "a".
    if (pcName.back() == '.' || pcName.back() == ' ') return false;
    return !WindowsDeviceName(pcName);
}

fs::path PcNameOf(const std::string& DeviceName) {
    return PathOfUtf8(Latin1ToUtf8(DeviceName));
}

std::string DeviceNameOf(const fs::path& PcPath) {
    std::string name;
    if (!Utf8ToLatin1(Utf8Of(PcPath.filename()), name))
        Fail("Cannot open file", PcPath, "Its name has characters the device cannot store.");
    return name;
}

std::string ShownPath(const fs::path& PcPath) {
    return Utf8Of(fs::path(PcPath).make_preferred());
}

std::string ReadPcFile(const fs::path& PcPath) {
    std::error_code ec;
    if (fs::is_directory(PcPath, ec)) Fail("Cannot open file", PcPath, "It is a folder.");
    errno = 0;
    std::ifstream in(PcPath, std::ios::binary);
    if (!in) Fail("Cannot open file", PcPath, SystemReason("The file cannot be opened."));
    const auto size = fs::file_size(PcPath, ec);
    // The device's length field is a signed 32-bit number; a larger file cannot be sent.
    if (!ec && size > static_cast<uintmax_t>(INT32_MAX))
        Fail("Cannot open file", PcPath,
             "The file has " + std::to_string(size) + " bytes; the device takes at most " +
                 std::to_string(INT32_MAX) + ".");
    std::string content;
    if (!ec) content.reserve(static_cast<size_t>(size));
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) Fail("Cannot open file", PcPath, SystemReason("The file cannot be read."));
    return content;
}

void WritePcFile(const fs::path& PcPath, const std::string& Content,
                 const std::optional<DateTime>& Stamp) {
    std::error_code ec;
    const fs::path folder = PcPath.parent_path();
    if (!folder.empty() && !fs::is_directory(folder, ec)) {
        fs::create_directories(folder, ec);
        if (ec) Fail("Cannot create file", PcPath, ec.message());
    }
    const fs::file_status old = fs::status(PcPath, ec);
    if (fs::is_directory(old)) Fail("Cannot create file", PcPath, "It is a folder.");
    // Written beside the target and put in its place only when every byte is on the disk, so a
    // failed write never leaves a truncated file that looks saved, nor spoils the old one. The
    // file beside it is made afresh: one of that name that is there already is never written.
    static std::mt19937 random{std::random_device{}()};
    fs::path part;
    for (int attempt = 0;; ++attempt) {
        part = PcPath;
        part += ".kvb-" + std::to_string(random() % 1000000) + ".part";
        bool existed = false;
        std::string why;
        if (WriteNewPcFile(part, Content, existed, why)) break;
        if (!existed || attempt == 20) Fail("Cannot create file", PcPath, why);
    }
    // A file that is replaced keeps its permission bits.
    if (fs::is_regular_file(old)) fs::permissions(part, old.permissions(), ec);
    if (Stamp) {
        DateTime even = *Stamp;
        even.Second &= ~1; // the device's stamps have two-second steps
        const std::time_t when = TimeOf(even);
        if (when != static_cast<std::time_t>(-1))
            fs::last_write_time(
                part,
                std::chrono::file_clock::from_sys(std::chrono::system_clock::from_time_t(when)),
                ec);
    }
    std::string why;
    if (!ReplacePcFile(part, PcPath, why)) {
        fs::remove(part, ec);
        Fail("Cannot create file", PcPath, why);
    }
}

std::time_t TimeOf(const DateTime& Stamp) {
    std::tm local{};
    local.tm_year = Stamp.Year - 1900;
    local.tm_mon = Stamp.Month - 1;
    local.tm_mday = Stamp.Day;
    local.tm_hour = Stamp.Hour;
    local.tm_min = Stamp.Minute;
    local.tm_sec = Stamp.Second;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

} // namespace kv
