#include "workspace/CFolderFileCache.h"

#include "RegularFile.h"
#include "app/TextConversion.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

CFolderFileCache& CFolderFileCache::Instance()
{
    static CFolderFileCache cache;
    return cache;
}

std::vector<std::wstring> CFolderFileCache::GetFiles(const std::wstring& folder)
{
    const std::lock_guard lock(mutex);
    auto entry = entries.find(folder);
    if (entry == entries.end())
        entry = entries.emplace(folder, Scan(folder)).first;
    return entry->second;
}

void CFolderFileCache::Rescan(const std::wstring& folder)
{
    std::vector<std::wstring> files = Scan(folder);
    const std::lock_guard lock(mutex);
    entries[folder] = std::move(files);
}

void CFolderFileCache::Clear()
{
    const std::lock_guard lock(mutex);
    entries.clear();
}

std::vector<std::wstring> CFolderFileCache::Scan(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    std::error_code error;
    fs::directory_iterator entry(WideToUtf8(folder), error);
    for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
        // Only regular files, directly or through a link, are bids to show: a folder (Open/, Bad/, or
        // one named x.bidx), a FIFO, a device or a dangling link is no file the opening could read.
        if (!kelvane::IsRegularFile(entry->path().string()))
            continue;
        // Hidden files are ours (an import's temporary left by a crash) or nobody's bid.
        if (entry->path().filename().string().starts_with('.'))
            continue;
        // The openings' records (开标记录-*.json, .p7s) are no bids: opened as one, a record would
        // be refused and moved to Bad/.
        if (const std::string name = entry->path().filename().string(); name.starts_with("开标记录-")
            && (name.ends_with(".json") || name.ends_with(".p7s") || name.ends_with(".pdf")))
            continue;
        names.push_back(Utf8ToWide(entry->path().filename().string()));
    }
    // The order of directory entries differs between file systems and even between two scans of
    // one folder; sorting by name keeps the rows (and the row numbers) where the operator saw them.
    std::sort(names.begin(), names.end());
    std::wstring prefix = folder;
    if (!prefix.empty() && prefix.back() != L'/')
        prefix += L'/';
    for (std::wstring& name : names)
        name = prefix + name;
    return names;
}
