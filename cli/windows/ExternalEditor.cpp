// kvb edit on Windows: a folder of its own in the user's temporary folder, and the user's editor
// started as a process whose command line quotes the file as one argument; no command
// interpreter ever reads a device file name.
#include "../Kvb.h"
#include "QuotedArgument.h"

#include <windows.h>

#include <random>

namespace kvb {

namespace fs = std::filesystem;

namespace {

std::wstring Wide(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end())).wstring();
}

[[noreturn]] void Fail(const std::string& what, const fs::path& path) {
    const std::u8string shown = path.u8string();
    throw Failure(kPcFileError,
                  what + " " + std::string(shown.begin(), shown.end()) + ": " +
                      std::system_category().message(static_cast<int>(GetLastError())));
}

} // namespace

fs::path MakePrivateFolder() {
    // The user's temporary folder is the user's own; a fresh name, made exclusively, in it.
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path folder =
            base / ("kvb-edit-" + std::to_string(random()) + std::to_string(random() % 1000));
        if (CreateDirectoryW(folder.c_str(), nullptr)) return folder;
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    Fail("cannot make a folder for the edit in", base);
}

void CreatePrivateFile(const fs::path& file, const std::string& content) {
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) Fail("cannot make", file);
    DWORD written = 0;
    const bool ok =
        content.empty() ||
        (WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
         written == content.size());
    const DWORD error = GetLastError();
    CloseHandle(h);
    if (!ok) {
        SetLastError(error);
        Fail("cannot write", file);
    }
}

std::string EditFileName(const std::string& name) {
    // Characters Windows cannot store in a name become "_", and so does a dot or space at its
    // end; the prefix keeps a reserved name ("CON.lua") from naming a device.
    std::string out = "kvb-";
    for (unsigned char c : name)
        out += (c < 32 || std::string_view("<>:\"/\\|?*").find(static_cast<char>(c)) !=
                              std::string_view::npos)
                   ? '_'
                   : static_cast<char>(c);
    if (out.back() == '.' || out.back() == ' ') out.back() = '_';
    return out;
}

const char* DefaultEditor() {
    return "notepad";
}

int RunEditor(const std::string& command, const fs::path& file) {
    std::wstring line = Wide(command) + L" " + QuotedArgument(file.wstring());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return -1;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return static_cast<int>(status);
}

} // namespace kvb
