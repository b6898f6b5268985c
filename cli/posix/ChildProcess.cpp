// Child processes on POSIX: posix_spawn with an argument vector, pipes that close on exec in
// every other child.
#include "../ChildProcess.h"
#include "../Kvb.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace kvb {

struct ChildProcess::Impl {
    pid_t pid = -1;
    int out = -1, err = -1;
    int status = -1;
};

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args)
    : impl_(new Impl) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw Failure(kPcFileError, std::strerror(errno));
    if (pipe2(err, O_CLOEXEC) != 0) {
        const int error = errno;
        close(out[0]);
        close(out[1]);
        throw Failure(kPcFileError, std::strerror(error));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int error =
        posix_spawn(&impl_->pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (error != 0) {
        close(out[0]);
        close(err[0]);
        throw Failure(kPcFileError, "cannot start " + program + ": " + std::strerror(error));
    }
    impl_->out = out[0];
    impl_->err = err[0];
}

ChildProcess::~ChildProcess() {
    if (impl_->pid > 0) Wait();
    if (impl_->out >= 0) close(impl_->out);
    if (impl_->err >= 0) close(impl_->err);
}

int ChildProcess::Read(int stream, char* buffer, int size) {
    const int fd = stream == 1 ? impl_->out : impl_->err;
    for (;;) {
        const ssize_t n = read(fd, buffer, static_cast<size_t>(size));
        if (n >= 0) return static_cast<int>(n);
        if (errno != EINTR) return 0;
    }
}

int ChildProcess::Wait() {
    if (impl_->pid <= 0) return impl_->status;
    int status = 0;
    while (waitpid(impl_->pid, &status, 0) < 0)
        if (errno != EINTR) {
            status = -1;
            break;
        }
    impl_->pid = -1;
    impl_->status = status < 0            ? -1
                    : WIFEXITED(status)   ? WEXITSTATUS(status)
                    : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                          : -1;
    return impl_->status;
}

std::string OwnProgram(const char* argv0) {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n > 0) return std::string(path, static_cast<size_t>(n));
    return argv0;
}

void SetEnvironment(const std::string& name, const std::string& value) {
    setenv(name.c_str(), value.c_str(), 1);
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

bool LiveOutput() {
    const char* term = std::getenv("TERM");
    return isatty(STDERR_FILENO) && term && std::strcmp(term, "dumb") != 0;
}

} // namespace kvb
