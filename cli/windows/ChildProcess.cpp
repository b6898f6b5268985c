// Child processes on Windows: CreateProcessW with a command line that quotes each argument as the
// C runtime reads it back, standard output and error on pipes only the child inherits.
#include "../ChildProcess.h"
#include "../Kvb.h"
#include "QuotedArgument.h"

#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace kvb {

namespace {

std::wstring Wide(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end())).wstring();
}

std::string Message(DWORD error) {
    return std::system_category().message(static_cast<int>(error));
}

} // namespace

struct ChildProcess::Impl {
    HANDLE process = nullptr;
    HANDLE out = nullptr, err = nullptr;
    int status = -1;
};

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args)
    : impl_(new Impl) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE outWrite = nullptr, errWrite = nullptr;
    if (!CreatePipe(&impl_->out, &outWrite, &inherit, 0) ||
        !CreatePipe(&impl_->err, &errWrite, &inherit, 0))
        throw Failure(kPcFileError, "cannot make a pipe: " + Message(GetLastError()));
    // Only the write ends go to the child.
    SetHandleInformation(impl_->out, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(impl_->err, HANDLE_FLAG_INHERIT, 0);
    HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                            OPEN_EXISTING, 0, nullptr);
    std::wstring line;
    for (const auto& a : args)
        line += (line.empty() ? L"" : L" ") + QuotedArgument(Wide(a));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION process{};
    const std::wstring file = Wide(program);
    const BOOL started = CreateProcessW(file.c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process);
    const DWORD error = GetLastError();
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    if (!started) throw Failure(kPcFileError, "cannot start " + program + ": " + Message(error));
    CloseHandle(process.hThread);
    impl_->process = process.hProcess;
}

ChildProcess::~ChildProcess() {
    if (impl_->process) Wait();
    if (impl_->out) CloseHandle(impl_->out);
    if (impl_->err) CloseHandle(impl_->err);
}

int ChildProcess::Read(int stream, char* buffer, int size) {
    DWORD n = 0;
    if (!ReadFile(stream == 1 ? impl_->out : impl_->err, buffer, static_cast<DWORD>(size), &n,
                  nullptr))
        return 0; // ERROR_BROKEN_PIPE: the child has closed its end
    return static_cast<int>(n);
}

int ChildProcess::Wait() {
    if (!impl_->process) return impl_->status;
    WaitForSingleObject(impl_->process, INFINITE);
    DWORD code = static_cast<DWORD>(-1);
    GetExitCodeProcess(impl_->process, &code);
    CloseHandle(impl_->process);
    impl_->process = nullptr;
    impl_->status = static_cast<int>(code);
    return impl_->status;
}

std::string OwnProgram(const char* argv0) {
    std::wstring path(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0 || n >= path.size()) return argv0;
    path.resize(n);
    const std::u8string utf8 = std::filesystem::path(path).u8string();
    return std::string(utf8.begin(), utf8.end());
}

void SetEnvironment(const std::string& name, const std::string& value) {
    // Both the C runtime's copy and the process's own, which CreateProcessW passes on.
    _putenv_s(name.c_str(), value.c_str());
    SetEnvironmentVariableW(Wide(name).c_str(), Wide(value).c_str());
}

namespace {

std::string Utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return {};
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.resize(static_cast<size_t>(size - 1));
    return out;
}

UINT consoleOutput = 0; // the console's output code page before kvb set UTF-8

} // namespace

// The C runtime's own split of the command line into wide words, the one that made argv. Taken
// from it rather than from the shell's CommandLineToArgvW: loading the shell brings in the window
// system too, a cost every kvb command paid at its start.
extern "C" int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int wildcards,
                                      int* startInfo);

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    std::vector<std::string> out;
    int count = 0, newMode = 0;
    wchar_t** wide = nullptr;
    wchar_t** environment = nullptr;
    if (__wgetmainargs(&count, &wide, &environment, 0, &newMode) != 0) wide = nullptr;
    if (wide && count == argc) {
        for (int i = 0; i < count; ++i)
            out.push_back(Utf8(wide[i]));
    } else {
        // The C runtime's words in the code page, each converted on its own.
        for (int i = 0; i < argc; ++i) {
            const int size = MultiByteToWideChar(CP_ACP, 0, argv[i], -1, nullptr, 0);
            std::wstring text(static_cast<size_t>(size > 0 ? size : 1), L'\0');
            if (size > 0) MultiByteToWideChar(CP_ACP, 0, argv[i], -1, text.data(), size);
            out.push_back(Utf8(text.c_str()));
        }
    }
    consoleOutput = GetConsoleOutputCP();
    if (consoleOutput != 0 && consoleOutput != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
        std::atexit([] { SetConsoleOutputCP(consoleOutput); });
    return out;
}

bool LiveOutput() {
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(err, &mode)) return false;
    return SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

} // namespace kvb
