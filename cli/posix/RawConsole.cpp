// The interactive console on a POSIX terminal: raw mode with termios, restored on every way out;
// SIGINT as the request to stop at the next safe point.
#include "../Kvb.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

namespace kvb {

struct RawConsole::Saved {
    termios mode{};
};

namespace {

termios* restoreOnExit = nullptr;

void RestoreTerminal() {
    if (restoreOnExit) tcsetattr(STDIN_FILENO, TCSAFLUSH, restoreOnExit);
}

void OnSignal(int signal) {
    if (signal == SIGINT && Interrupts.fetch_add(1) == 0) return; // the first: stop safely
    RestoreTerminal();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

} // namespace

void InstallInterruptHandler() {
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGHUP, OnSignal);
}

RawConsole::RawConsole() : saved_(new Saved) {
    interactive_ = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved_->mode) == 0;
    if (!interactive_) return;
    termios raw = saved_->mode;
    cfmakeraw(&raw);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw);
    restoreOnExit = &saved_->mode;
    std::atexit(RestoreTerminal);
}

RawConsole::~RawConsole() {
    if (!interactive_) return;
    RestoreTerminal();
    restoreOnExit = nullptr;
}

bool RawConsole::Read(std::string& bytes, int timeoutMs) {
    bytes.clear();
    pollfd in{STDIN_FILENO, POLLIN, 0};
    if (poll(&in, 1, timeoutMs) <= 0) return true;
    char buffer[256];
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) return false;
    bytes.assign(buffer, static_cast<size_t>(n));
    return true;
}

bool RawConsole::ColourOutput() {
    const char* term = std::getenv("TERM");
    return isatty(STDOUT_FILENO) && !std::getenv("NO_COLOR") && term && std::strcmp(term, "dumb");
}

bool RawConsole::ProgressOutput() {
    return isatty(STDERR_FILENO);
}

} // namespace kvb
