// kvb edit on POSIX: a private folder for the text, and the user's editor started with the file as
// an argument of its own, so that nothing in a device file name is ever read as a command.
#include "../Kvb.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace kvb {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void Fail(const std::string& what, const fs::path& path) {
    throw Failure(kPcFileError, what + " " + path.string() + ": " + std::strerror(errno));
}

} // namespace

fs::path MakePrivateFolder() {
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    if (ec) base = "/tmp";
    std::string pattern = (base / "kvb-edit-XXXXXX").string();
    // mkdtemp makes the folder with mode 0700 under a name nobody could have taken before.
    if (!mkdtemp(pattern.data())) Fail("cannot make a folder for the edit in", base);
    return fs::path(pattern);
}

void CreatePrivateFile(const fs::path& file, const std::string& content) {
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) Fail("cannot make", file);
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = errno;
            close(fd);
            errno = error;
            Fail("cannot write", file);
        }
        done += static_cast<size_t>(n);
    }
    if (close(fd) != 0) Fail("cannot write", file);
}

std::string EditFileName(const std::string& name) {
    // A device name holds neither "/" nor NUL; every other byte is a valid POSIX file name.
    return name;
}

const char* DefaultEditor() {
    return "vi";
}

int RunEditor(const std::string& command, const fs::path& file) {
    // The command is the user's own setting and may hold arguments ("code --wait"); the shell
    // reads it, and the file reaches the editor as "$1", never as part of the command text.
    const std::string script = command + " \"$@\"";
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", script.c_str(), "sh", file.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace kvb
