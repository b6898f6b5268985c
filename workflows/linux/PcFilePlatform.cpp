// Linux: the new file is made with O_EXCL and written to the disk with fsync; rename replaces the
// old one in one step, and an fsync of the folder makes the new name last.
#include "workflows/PcFilePlatform.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kv {

namespace fs = std::filesystem;

bool WriteNewPcFile(const fs::path& Path, const std::string& Content, bool& Existed,
                    std::string& Why) {
    Existed = false;
    const int fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        Existed = errno == EEXIST;
        Why = std::strerror(errno);
        return false;
    }
    const auto fail = [&] {
        Why = std::strerror(errno);
        ::close(fd);
        ::unlink(Path.c_str());
        return false;
    };
    for (size_t done = 0; done < Content.size();) {
        const ssize_t n = ::write(fd, Content.data() + done, Content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return fail();
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0) return fail();
    if (::close(fd) != 0) {
        Why = std::strerror(errno);
        ::unlink(Path.c_str());
        return false;
    }
    return true;
}

bool ReplacePcFile(const fs::path& From, const fs::path& To, std::string& Why) {
    if (::rename(From.c_str(), To.c_str()) != 0) {
        Why = std::strerror(errno);
        return false;
    }
    // The rename itself lasts once the folder that holds it is on the disk; a folder that cannot
    // be opened or synced leaves the file in place all the same.
    const fs::path folder = To.parent_path().empty() ? fs::path(".") : To.parent_path();
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

} // namespace kv
