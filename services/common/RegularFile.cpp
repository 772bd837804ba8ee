#include "RegularFile.h"

#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace kelvane {
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

SOpenedFile Failed(SOpenedFile opened, ERegularFileFailure failure, int error)
{
    if (opened.fd >= 0)
        ::close(opened.fd);
    opened.fd = -1;
    opened.failure = failure;
    opened.error = error;
    return opened;
}

} // namespace

SOpenedFile OpenRegularFile(const char* path)
{
    SOpenedFile opened;
    // The status first, so that a device is not even opened; the open itself cannot block on a
    // FIFO put there meanwhile, and fstat decides on what was opened.
    if (::stat(path, &opened.status) != 0)
        return Failed(opened, ERegularFileFailure::kCannotOpen, errno);
    if (!S_ISREG(opened.status.st_mode))
        return Failed(opened, ERegularFileFailure::kNotRegular, 0);
    opened.fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (opened.fd < 0)
        return Failed(opened, ERegularFileFailure::kCannotOpen, errno);
    if (::fstat(opened.fd, &opened.status) != 0)
        return Failed(opened, ERegularFileFailure::kNoStatus, errno);
    if (!S_ISREG(opened.status.st_mode))
        return Failed(opened, ERegularFileFailure::kNotRegular, 0);
    // Reads of the file behave as usual: a file system that honours the flag could answer EAGAIN.
    const int flags = ::fcntl(opened.fd, F_GETFL);
    if (flags < 0 || ::fcntl(opened.fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return Failed(opened, ERegularFileFailure::kCannotOpen, errno);
    return opened;
}

int OpenRegularFile(const std::string& path, std::string& reason)
{
    const SOpenedFile opened = OpenRegularFile(path.c_str());
    if (opened.failure == ERegularFileFailure::kNotRegular)
        reason = NotRegular(opened.status.st_mode);
    else if (opened.failure != ERegularFileFailure::kNone)
        reason = CannotOpen(opened.error);
    return opened.fd;
}

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

bool SameFileStatus(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size && a.st_mode == b.st_mode
        && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec
        && a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool HasSettled(const struct stat& status, time_t now)
{
    constexpr time_t kSettledSeconds = 2;
    return status.st_ctim.tv_sec + kSettledSeconds < now;
}

} // namespace kelvane
