// Opening a name that must be a plain file, such as a bid file, for reading. Anything else under
// that name, directly or through a link, is refused at once: a FIFO would block the opening until
// some writer came, and a device such as /dev/zero never ends, so a hash or a copy of it would run
// forever; a device is not even opened, since opening one may act on it.
#pragma once

#include <ctime>
#include <string>
#include <sys/stat.h>

namespace kelvane {

// Why a name could not be opened as a regular file.
enum class ERegularFileFailure
{
    kNone,
    kCannotOpen, // the name cannot be examined or opened; error holds errno
    kNoStatus, // fstat failed on what was opened; error holds errno
    kNotRegular, // a folder, FIFO, device or socket; status shows which
};

struct SOpenedFile
{
    int fd = -1; // open read-only and close-on-exec, owned by the caller; -1 on failure
    ERegularFileFailure failure = ERegularFileFailure::kNone;
    int error = 0;
    // Of the opened file, or of the refused entry.
    struct stat status
    {
    };
};

// Whether two statuses show the same file unchanged: device, inode, size, type and permissions,
// modification and change times. A reading kept on this test must also have settled (below).
bool SameFileStatus(const struct stat& a, const struct stat& b);

// Whether the file's last change is more than two seconds older than `now`: file times advance in
// coarse steps, so a change made in the same step as a reading would not show in its status.
bool HasSettled(const struct stat& status, time_t now);

// Opens path read-only without ever blocking on a FIFO and answers the descriptor once fstat shows
// a regular file; its reads then block as for any file.
SOpenedFile OpenRegularFile(const char* path);

// The reason given for a name that is not a regular file; the kind of the entry follows it.
inline constexpr char kNotRegularFile[] = "不是普通文件 (not a regular file)";

// As above with the reason as text: the descriptor, or -1 and reason, kNotRegularFile with the kind
// of the entry ("... : FIFO") or why it cannot be opened.
int OpenRegularFile(const std::string& path, std::string& reason);

// Whether path, following links, is a regular file, by its status alone: never opened, so a
// listing may ask it of every entry. When not, and reason is given, why.
bool IsRegularFile(const std::string& path, std::string* reason = nullptr);

} // namespace kelvane
