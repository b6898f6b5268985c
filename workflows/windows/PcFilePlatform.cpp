// Windows: the new file is made with CREATE_NEW and written to the disk with FlushFileBuffers;
// MoveFileExW replaces the old one in one step, written through to the disk.
#include "workflows/PcFilePlatform.h"

#include <windows.h>

#include <algorithm>
#include <string>

namespace kv {

namespace fs = std::filesystem;

namespace {

// The system's text for an error code, without its line end.
std::string SystemText(DWORD error) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string out = n && text ? std::string(text, n) : "error " + std::to_string(error);
    if (text) LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
        out.pop_back();
    return out;
}

} // namespace

bool WriteNewPcFile(const fs::path& Path, const std::string& Content, bool& Existed,
                    std::string& Why) {
    Existed = false;
    const HANDLE file = CreateFileW(Path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        Existed = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
        Why = SystemText(error);
        return false;
    }
    const auto fail = [&] {
        Why = SystemText(GetLastError());
        CloseHandle(file);
        DeleteFileW(Path.c_str());
        return false;
    };
    for (size_t done = 0; done < Content.size();) {
        const DWORD chunk =
            static_cast<DWORD>(std::min<size_t>(Content.size() - done, size_t(1) << 20));
        DWORD written = 0;
        if (!WriteFile(file, Content.data() + done, chunk, &written, nullptr)) return fail();
        if (written == 0) {
            SetLastError(ERROR_DISK_FULL);
            return fail();
        }
        done += written;
    }
    if (!FlushFileBuffers(file)) return fail();
    if (!CloseHandle(file)) {
        Why = SystemText(GetLastError());
        DeleteFileW(Path.c_str());
        return false;
    }
    return true;
}

bool ReplacePcFile(const fs::path& From, const fs::path& To, std::string& Why) {
    if (MoveFileExW(From.c_str(), To.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    Why = SystemText(GetLastError());
    return false;
}

} // namespace kv
