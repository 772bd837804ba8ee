#include "workspace/ImportInput.h"

#include "RegularFile.h"
#include "app/TextConversion.h"
#include "app/Utility.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// Cuts text before its last "."; a text without any "." becomes empty.
std::wstring CutExtension(const std::wstring& text)
{
    const size_t dot = text.rfind(L'.');
    return dot == std::wstring::npos ? std::wstring() : text.substr(0, dot);
}

bool IsBidxName(const std::string& name)
{
    if (name.size() < 5)
        return false;
    std::string extension = name.substr(name.size() - 5);
    std::transform(extension.begin(), extension.end(), extension.begin(),
        [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    return extension == ".bidx";
}

} // namespace

bool ParseBidFileName(const std::wstring& path, std::wstring& project, std::wstring& package)
{
    const size_t slash = path.rfind(L'/');
    std::wstring name = CutExtension(TrimBlanks(slash == std::wstring::npos ? path : path.substr(slash + 1)));
    if (name.find(L'.') != std::wstring::npos)
        name = TrimBlanks(CutExtension(name));
    std::vector<std::wstring> pieces;
    SplitString(name, L'_', pieces);
    if (pieces.size() != 3)
        return false;
    project = pieces[1];
    package = pieces[2];
    return true;
}

const char* CheckImportInput(std::wstring& project, std::wstring& package, size_t fileCount)
{
    project = TrimBlanks(project);
    package = TrimBlanks(package);
    if (project.empty())
        return "prognum_cannot_null";
    if (package.empty())
        return "package_cannot_null";
    if (!IsSafeFolderName(project))
        return "prognum_invalid";
    if (!IsSafeFolderName(package))
        return "package_invalid";
    if (fileCount == 0)
        return "select_file";
    return nullptr;
}

std::wstring BidServerFolder(
    const std::wstring& root, const std::wstring& project, const std::wstring& package)
{
    return root + L"/" + project + L"/" + package;
}

bool ShouldListBidServerFolder(bool projectEdited, const std::wstring& project, const std::wstring& package)
{
    // A number that could not name a folder lists nothing: "..", "/" and the like never reach
    // the file system.
    if ((!project.empty() && !IsSafeFolderName(project)) || (!package.empty() && !IsSafeFolderName(package)))
        return false;
    return !projectEdited || (!project.empty() && !package.empty());
}

std::vector<std::wstring> ListBidServerFolder(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    std::error_code error;
    fs::directory_iterator entry(WideToUtf8(folder), error);
    for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (IsBidxName(name) && kelvane::IsRegularFile(entry->path().string()))
            names.push_back(Utf8ToWide(name));
    }
    std::sort(names.begin(), names.end());
    for (std::wstring& name : names)
        name = folder + L"/" + name;
    return names;
}
