// Publishing a file under its final name only once it is complete and on disk: it is written
// aside under a temporary name in the same folder, synced, renamed, and then the folder is synced
// so that the new name survives a crash too. A crash at any point leaves the old file (or none)
// and at most a temporary, never a file cut short under the final name.
#pragma once

#include <cstddef>
#include <fcntl.h>
#include <string>
#include <sys/types.h>

namespace kelvane {

class CAtomicFile
{
public:
    // finalName: the file to publish. temporaryTemplate: the temporary's path in the same folder,
    // ending in XXXXXX (mkostemp's template).
    CAtomicFile(std::string finalName, std::string temporaryTemplate);
    // Closes and removes the temporary unless it was published.
    ~CAtomicFile();
    CAtomicFile(const CAtomicFile&) = delete;
    CAtomicFile& operator=(const CAtomicFile&) = delete;

    // Creates the temporary, close-on-exec, with permissions mode (exactly: mkostemp's private
    // file is changed with fchmod, the umask does not apply). 0, or errno.
    int Create(mode_t mode);
    // The temporary's descriptor for the caller's writes; -1 before Create and after Publish.
    int Fd() const { return fd; }

    enum class EPublish
    {
        kReplace, // an existing file of the final name is replaced
        kNoReplace, // an existing name is kept and EEXIST answered
    };
    // Syncs and closes the temporary and gives it the final name, then syncs the folder (its
    // result ignored: the file itself is complete). 0, or errno; on failure the temporary is
    // removed.
    int Publish(EPublish how);

private:
    void Discard();

    std::string target;
    std::string temporary;
    int fd = -1;
    bool created = false;
};

// Writes every byte, going on after short writes and interruptions: false with errno set.
bool WriteAllToFd(int fd, const void* data, std::size_t size);

// Syncs a folder so that a rename or a new entry in it survives a crash; path is relative to the
// folder at (as for openat), and a link as its last part is refused when followLink is false.
bool SyncFolder(const std::string& path, int at = AT_FDCWD, bool followLink = true);

} // namespace kelvane
