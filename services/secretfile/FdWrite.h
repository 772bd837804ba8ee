// Writing to a file descriptor, shared by the sealing and the decryption side.
#pragma once

#include "BidFormat.h"

#include <cerrno>
#include <cstddef>
#include <unistd.h>

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

} // namespace kelvane::bidx
