#include "app/RegularFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace {

const char* KindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "directory";
    if (S_ISFIFO(mode))
        return "FIFO";
    if (S_ISCHR(mode))
        return "character device";
    if (S_ISBLK(mode))
        return "block device";
    if (S_ISSOCK(mode))
        return "socket";
    return "unknown kind";
}

std::string NotRegular(mode_t mode)
{
    return std::string(kNotRegularFile) + ": " + KindOf(mode);
}

std::string CannotOpen(int error)
{
    return "无法打开 (cannot open): " + std::generic_category().message(error);
}

} // namespace

bool IsRegularFile(const std::string& path, std::string* reason)
{
    struct stat info
    {
    };
    if (::stat(path.c_str(), &info) != 0) {
        if (reason != nullptr)
            *reason = CannotOpen(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        if (reason != nullptr)
            *reason = NotRegular(info.st_mode);
        return false;
    }
    return true;
}

int OpenRegularFile(const std::string& path, std::string& reason)
{
    // The status first, so that a device is not even opened (opening one may act on it); the
    // open itself cannot block on a FIFO put there meanwhile, and fstat decides on what was opened.
    if (!IsRegularFile(path, &reason))
        return -1;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        reason = CannotOpen(errno);
        return -1;
    }
    struct stat info
    {
    };
    if (::fstat(fd, &info) != 0) {
        reason = CannotOpen(errno);
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        reason = NotRegular(info.st_mode);
        ::close(fd);
        return -1;
    }
    // Reads of the file behave as usual: a file system that honours the flag could answer EAGAIN.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        reason = CannotOpen(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}
