// Opening files for reading and writing to a file descriptor, shared by the sealing and the
// decryption side.
#pragma once

#include "AtomicFile.h"
#include "BidFormat.h"
#include "RegularFile.h"

#include <cerrno>
#include <cstddef>
#include <sys/stat.h>

namespace kelvane::bidx {

// Writes every byte, going on after short writes and interruptions: kOk, or kWriteDataFailed.
inline int WriteAllToFd(int fd, const unsigned char* data, size_t size)
{
    return kelvane::WriteAllToFd(fd, data, size) ? kOk : kWriteDataFailed;
}

// Opens a regular file for reading (RegularFile.h): kOk with *fd set, kFileNotFound,
// kOpenFileFailed when it cannot be opened or is no regular file, kReadFileLenFailed when fstat
// fails. A FIFO, a device or a folder is refused before a single byte is read.
inline int OpenInputFile(const char* path, int* fd, struct stat* st)
{
    const SOpenedFile opened = OpenRegularFile(path);
    switch (opened.failure) {
    case ERegularFileFailure::kNone:
        *fd = opened.fd;
        *st = opened.status;
        return kOk;
    case ERegularFileFailure::kCannotOpen:
        return opened.error == ENOENT ? kFileNotFound : kOpenFileFailed;
    case ERegularFileFailure::kNoStatus:
        return kReadFileLenFailed;
    case ERegularFileFailure::kNotRegular:
        break;
    }
    return kOpenFileFailed;
}

} // namespace kelvane::bidx
