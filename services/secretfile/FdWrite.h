// Opening files for reading and writing to a file descriptor, shared by the sealing and the
// decryption side.
#pragma once

#include "BidFormat.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace kelvane::bidx {

// Writes every byte, going on after short writes and interruptions: kOk, or kWriteDataFailed.
inline int WriteAllToFd(int fd, const unsigned char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return kWriteDataFailed;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return kOk;
}

// Opens a regular file for reading: kOk with *fd set, kFileNotFound, kOpenFileFailed when it cannot
// be opened or is no regular file, kReadFileLenFailed when fstat fails. O_NONBLOCK keeps a FIFO
// from blocking the open until a writer comes; the check refuses it, a device or a folder, before
// a single byte is read. Regular files then read as without the flag, which is cleared anyway.
inline int OpenRegularFile(const char* path, int* fd, struct stat* st)
{
    const int opened = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (opened < 0) {
        return errno == ENOENT ? kFileNotFound : kOpenFileFailed;
    }
    int rc = kOk;
    if (fstat(opened, st) != 0) {
        rc = kReadFileLenFailed;
    } else if (!S_ISREG(st->st_mode)) {
        rc = kOpenFileFailed;
    } else if (const int flags = fcntl(opened, F_GETFL);
               flags < 0 || fcntl(opened, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        rc = kOpenFileFailed;
    }
    if (rc != kOk) {
        close(opened);
        return rc;
    }
    *fd = opened;
    return kOk;
}

} // namespace kelvane::bidx
