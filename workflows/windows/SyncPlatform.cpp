// Windows: the state folder under %LOCALAPPDATA%, and ReadDirectoryChangesW for the watch.
#include "workflows/SyncPlatform.h"

#include "device/Errors.h"

#include <windows.h>

#include <cstdlib>
#include <string>

namespace kv {

namespace fs = std::filesystem;

fs::path UserStateFolder() {
    if (const wchar_t* local = _wgetenv(L"LOCALAPPDATA"); local && *local) return fs::path(local);
    if (const wchar_t* profile = _wgetenv(L"USERPROFILE"); profile && *profile)
        return fs::path(profile) / L"AppData" / L"Local";
    return fs::temp_directory_path();
}

namespace {

std::string SystemText(DWORD error) {
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                   text, sizeof text, nullptr);
    std::string out = text;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
        out.pop_back();
    return out;
}

// One overlapped read of the folder's changes, the whole subtree at once, always under way
// between calls so that nothing is lost while a sync runs.
class DirectoryWatch final : public IFolderWatch {
  public:
    explicit DirectoryWatch(const fs::path& folder) {
        dir_ =
            CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
        if (dir_ == INVALID_HANDLE_VALUE)
            throw EPcFileError("Cannot watch \"" + folder.string() + "\". " +
                               SystemText(GetLastError()));
        overlapped_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!overlapped_.hEvent || !Start()) {
            const DWORD error = GetLastError();
            Close();
            throw EPcFileError("Cannot watch \"" + folder.string() + "\". " + SystemText(error));
        }
    }
    ~DirectoryWatch() override { Close(); }

    bool Wait(int TimeoutMs, std::vector<fs::path>& Changed) override {
        if (broken_) return false;
        if (WaitForSingleObject(overlapped_.hEvent, static_cast<DWORD>(TimeoutMs)) != WAIT_OBJECT_0)
            return true;
        DWORD got = 0;
        if (!GetOverlappedResult(dir_, &overlapped_, &got, FALSE)) {
            broken_ = true; // the folder went away
            return false;
        }
        if (got == 0) {
            // More changes than the buffer held: the caller cannot know which.
            broken_ = !Start();
            return false;
        }
        for (DWORD at = 0;;) {
            const auto* info = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer_ + at);
            Changed.emplace_back(
                std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t)));
            if (info->NextEntryOffset == 0) break;
            at += info->NextEntryOffset;
        }
        broken_ = !Start();
        return !broken_;
    }

  private:
    bool Start() {
        ResetEvent(overlapped_.hEvent);
        const DWORD filter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                             FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;
        return ReadDirectoryChangesW(dir_, buffer_, sizeof buffer_, TRUE, filter, nullptr,
                                     &overlapped_, nullptr) != 0;
    }
    void Close() {
        if (dir_ != INVALID_HANDLE_VALUE) {
            CancelIo(dir_);
            if (overlapped_.hEvent) {
                DWORD got = 0;
                GetOverlappedResult(dir_, &overlapped_, &got, TRUE);
            }
            CloseHandle(dir_);
            dir_ = INVALID_HANDLE_VALUE;
        }
        if (overlapped_.hEvent) CloseHandle(overlapped_.hEvent);
        overlapped_.hEvent = nullptr;
    }

    HANDLE dir_ = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped_{};
    alignas(DWORD) BYTE buffer_[65536];
    bool broken_ = false;
};

} // namespace

std::unique_ptr<IFolderWatch> WatchFolder(const fs::path& Folder) {
    return std::make_unique<DirectoryWatch>(Folder);
}

} // namespace kv
