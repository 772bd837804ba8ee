// The plain files of each package folder, as the bid-file list shows them: the regular files,
// directly or through a link. One cache serves the
// whole process; a folder is scanned on its first use and then kept until it is rescanned (after
// an import into it) or the whole cache is cleared (the refresh command), so a file that another
// program puts into a folder shows only after one of those.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

class CFolderFileCache
{
public:
    static CFolderFileCache& Instance();

    CFolderFileCache() = default;
    CFolderFileCache(const CFolderFileCache&) = delete;
    CFolderFileCache& operator=(const CFolderFileCache&) = delete;

    // The full paths of the plain files in folder (the exact text, with its trailing "/" as the
    // callers form it), scanning it first when the cache has no entry for it.
    std::vector<std::wstring> GetFiles(const std::wstring& folder);
    // Scans folder again and replaces its entry.
    void Rescan(const std::wstring& folder);
    // Drops every entry.
    void Clear();

    // The plain files of folder, sorted by name: only regular files, so folders (Open/, Bad/ and
    // any other), FIFOs, devices and dangling links are left out. A folder that cannot be read
    // gives an empty list.
    static std::vector<std::wstring> Scan(const std::wstring& folder);

private:
    std::mutex mutex;
    std::map<std::wstring, std::vector<std::wstring>> entries;
};
