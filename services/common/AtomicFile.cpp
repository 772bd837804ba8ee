#include "AtomicFile.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace kelvane {

CAtomicFile::CAtomicFile(std::string finalName, std::string temporaryTemplate)
    : target(std::move(finalName))
    , temporary(std::move(temporaryTemplate))
{
}

CAtomicFile::~CAtomicFile()
{
    Discard();
}

void CAtomicFile::Discard()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    if (created)
        ::unlink(temporary.c_str());
    created = false;
}

int CAtomicFile::Create(mode_t mode)
{
    if (created)
        return EEXIST;
    fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return errno;
    created = true;
    if (::fchmod(fd, mode) != 0) {
        const int error = errno;
        Discard();
        return error;
    }
    return 0;
}

int CAtomicFile::Publish(EPublish how)
{
    if (!created || fd < 0)
        return EBADF;
    // A close may be where a delayed write error shows.
    const bool synced = ::fsync(fd) == 0;
    int error = synced ? 0 : errno;
    const bool closed = ::close(fd) == 0;
    fd = -1;
    if (synced && !closed)
        error = errno;
    if (error == 0 && how == EPublish::kReplace && ::rename(temporary.c_str(), target.c_str()) != 0)
        error = errno;
    if (error == 0 && how == EPublish::kNoReplace
        && ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
        error = errno;
        // File systems without RENAME_NOREPLACE: a hard link refuses an existing name too.
        if (error == EINVAL)
            error = ::link(temporary.c_str(), target.c_str()) == 0 ? 0 : errno;
        if (error == 0)
            ::unlink(temporary.c_str());
    }
    if (error != 0) {
        Discard();
        return error;
    }
    created = false;
    const std::filesystem::path folder = std::filesystem::path(target).parent_path();
    SyncFolder(folder.empty() ? std::string(".") : folder.string());
    return 0;
}

bool WriteAllToFd(int fd, const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return false;
        if (written == 0) {
            errno = EIO;
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool SyncFolder(const std::string& path, int at, bool followLink)
{
    const int fd
        = ::openat(at, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW));
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

} // namespace kelvane
