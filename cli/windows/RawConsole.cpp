// The interactive console on a Windows console: input without line editing or echo, restored on
// every way out; Ctrl+C as the request to stop at the next safe point.
#include "../Kvb.h"

#include <windows.h>

#include <io.h>

#include <cstdio>
#include <cstdlib>

namespace kvb {

struct RawConsole::Saved {
    DWORD mode = 0;
};

namespace {

BOOL WINAPI OnControl(DWORD type) {
    if (type == CTRL_C_EVENT && Interrupts.fetch_add(1) == 0) return TRUE; // the first: stop safely
    return FALSE;
}

} // namespace

void InstallInterruptHandler() {
    SetConsoleCtrlHandler(OnControl, TRUE);
}

RawConsole::RawConsole() : saved_(new Saved) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    interactive_ = GetConsoleMode(in, &saved_->mode) != 0;
    if (interactive_)
        SetConsoleMode(in, saved_->mode &
                               ~(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT));
}

RawConsole::~RawConsole() {
    if (interactive_) SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), saved_->mode);
}

bool RawConsole::Read(std::string& bytes, int timeoutMs) {
    bytes.clear();
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (interactive_) {
        if (WaitForSingleObject(in, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) return true;
        INPUT_RECORD records[64];
        DWORD n = 0;
        if (!ReadConsoleInputA(in, records, 64, &n)) return false;
        for (DWORD i = 0; i < n; ++i)
            if (records[i].EventType == KEY_EVENT && records[i].Event.KeyEvent.bKeyDown &&
                records[i].Event.KeyEvent.uChar.AsciiChar)
                bytes += records[i].Event.KeyEvent.uChar.AsciiChar;
        return true;
    }
    char buffer[256];
    DWORD n = 0;
    if (!ReadFile(in, buffer, sizeof buffer, &n, nullptr) || n == 0) return false;
    bytes.assign(buffer, n);
    return true;
}

bool RawConsole::ColourOutput() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (std::getenv("NO_COLOR") || !GetConsoleMode(out, &mode)) return false;
    return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

bool RawConsole::ProgressOutput() {
    return _isatty(_fileno(stderr)) != 0;
}

} // namespace kvb
