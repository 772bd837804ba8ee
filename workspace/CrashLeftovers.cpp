#include "workspace/CrashLeftovers.h"

#include "app/LocalLog.h"
#include "app/TextConversion.h"

#include <fcntl.h>
#include <filesystem>
#include <string_view>
#include <sys/file.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Our patterns only: the prefix and mkstemp's or mkdtemp's six characters.
bool IsLeftoverName(const std::string& name, std::string_view prefix)
{
    return name.size() == prefix.size() + 6 && name.starts_with(prefix);
}

// Removes path when no running program holds its lock; true when removed.
bool RemoveUnlocked(const fs::path& path, bool folder)
{
    const int fd
        = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | (folder ? O_DIRECTORY : 0));
    if (fd < 0)
        return false;
    std::error_code error;
    const bool unlocked = flock(fd, LOCK_EX | LOCK_NB) == 0;
    const bool removed = unlocked && fs::remove_all(path, error) > 0 && !error;
    close(fd);
    if (removed)
        WriteLocalLog(2, "removed %s, left by an import or opening that was killed\n",
            EscapeControlCharacters(path.string()).c_str());
    return removed;
}

int RemoveInPackage(const fs::path& package)
{
    int removed = 0;
    std::error_code error;
    for (fs::directory_iterator entry(package, error); !error && entry != fs::directory_iterator();
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        std::error_code kind;
        if (IsLeftoverName(name, ".kelvane-import-") && entry->is_regular_file(kind)
            && !entry->is_symlink(kind))
            removed += RemoveUnlocked(entry->path(), false) ? 1 : 0;
    }
    const fs::path open = package / "Open";
    for (fs::directory_iterator entry(open, error); !error && entry != fs::directory_iterator();
         entry.increment(error)) {
        std::error_code kind;
        if (IsLeftoverName(entry->path().filename().string(), ".kvopen-") && entry->is_directory(kind)
            && !entry->is_symlink(kind))
            removed += RemoveUnlocked(entry->path(), true) ? 1 : 0;
    }
    return removed;
}

} // namespace

int RemoveCrashLeftovers(const std::wstring& workingDir)
{
    int removed = 0;
    std::error_code error;
    const fs::path root(WideToUtf8(workingDir));
    for (fs::directory_iterator project(root, error); !error && project != fs::directory_iterator();
         project.increment(error)) {
        std::error_code kind;
        if (!project->is_directory(kind) || project->is_symlink(kind))
            continue;
        std::error_code inner;
        for (fs::directory_iterator package(project->path(), inner);
             !inner && package != fs::directory_iterator(); package.increment(inner)) {
            if (package->is_directory(kind) && !package->is_symlink(kind))
                removed += RemoveInPackage(package->path());
        }
    }
    return removed;
}
