#include "workspace/CWorkspaceModel.h"

#include "app/LanguageCatalogue.h"
#include "app/SettingFile.h"
#include "app/TextConversion.h"
#include "app/Utility.h"
#include "workspace/ImportInput.h"
#include "workspace/PackageFolder.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// The names of the folders in folder, sorted; links to folders count as folders.
std::vector<std::wstring> SubFolders(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    std::error_code error;
    fs::directory_iterator entry(WideToUtf8(folder), error);
    for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
        std::error_code kindError;
        if (entry->is_directory(kindError))
            names.push_back(Utf8ToWide(entry->path().filename().string()));
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Whether path is folder itself or lies below it; both end with "/".
bool IsWithin(const std::wstring& path, const std::wstring& folder)
{
    return !folder.empty() && path.compare(0, folder.size(), folder) == 0;
}

std::wstring WithSlash(std::wstring path)
{
    if (!path.empty() && path.back() != L'/')
        path += L'/';
    return path;
}

} // namespace

int CWorkspaceModel::Refresh()
{
    return Refresh(CSettingFile::Instance().GetWorkingDir());
}

int CWorkspaceModel::Refresh(const std::wstring& workingDirSetting)
{
    const std::wstring dir = TrimBlanks(workingDirSetting);
    if (dir.empty())
        return kNoWorkingDir;
    projects.clear();
    selectedProject.clear();
    selectedPackage.clear();
    rootText.clear();
    std::error_code error;
    if (!fs::is_directory(WideToUtf8(dir), error)) {
        CreateDirectoryTree(dir);
        if (!fs::is_directory(WideToUtf8(dir), error))
            return kCannotCreate;
    }
    rootText = dir;
    const std::wstring root = WorkingFolderOf(dir);
    for (const std::wstring& name : SubFolders(root)) {
        CWorkspaceProject project { name, SubFolders(root + name + L"/") };
        if (selectedProject.empty() && !project.packages.empty()) {
            selectedProject = project.name;
            selectedPackage = project.packages.front();
        }
        projects.push_back(std::move(project));
    }
    return kRefreshed;
}

bool CWorkspaceModel::SelectProjectPackage(const std::wstring& project, const std::wstring& package)
{
    if (project.empty()) {
        selectedProject.clear();
        selectedPackage.clear();
        return true;
    }
    for (const CWorkspaceProject& candidate : projects) {
        if (candidate.name != project)
            continue;
        if (package.empty()) {
            selectedProject = project;
            selectedPackage.clear();
            return true;
        }
        if (std::find(candidate.packages.begin(), candidate.packages.end(), package)
            != candidate.packages.end()) {
            selectedProject = project;
            selectedPackage = package;
            return true;
        }
    }
    return false;
}

std::wstring CWorkspaceModel::GetSelectedPath() const
{
    if (selectedProject.empty() || selectedPackage.empty())
        return {};
    return PackageFolderIn(rootText, selectedProject, selectedPackage);
}

std::wstring CWorkspaceModel::GetSelectedFolder() const
{
    if (!selectedPackage.empty())
        return GetSelectedPath();
    const std::wstring root = WorkingFolderOf(rootText);
    return selectedProject.empty() ? root : root + selectedProject + L"/";
}

std::wstring CWorkspaceModel::GetDeleteTarget() const
{
    if (selectedProject.empty())
        return {};
    std::wstring target = WorkingFolderOf(rootText) + selectedProject;
    if (!selectedPackage.empty())
        target += L"/" + selectedPackage;
    return target;
}

int CWorkspaceModel::DeleteSelectedFolder(IPrompt& prompt, const std::wstring& folderInUse)
{
    const CLanguageCatalogue& texts = CLanguageCatalogue::Instance();
    const std::wstring target = GetDeleteTarget();
    if (target.empty()) {
        prompt.Ask(texts.GetText("select_progorpackage"), texts.GetText("tips"), MB_OK | MB_ICONWARNING);
        return kNothingSelected;
    }
    if (!folderInUse.empty() && IsWithin(WithSlash(folderInUse), target + L"/")) {
        prompt.Ask(texts.GetText("decrypting"), texts.GetText("tips"), MB_OK | MB_ICONINFORMATION);
        return kFolderInUse;
    }
    std::wstring question = kDeleteFolderQuestion;
    question.replace(question.find(L"%s"), 2, target);
    if (prompt.Ask(question, kDeleteFolderCaption, MB_YESNO | MB_ICONWARNING) != IDYES)
        return kDeclined;
    std::error_code error;
    fs::remove_all(WideToUtf8(target), error);
    Refresh(rootText);
    return error ? kDeleteFailed : kDeleted;
}

std::wstring ProjectNumberOfFolder(const std::wstring& shownFolder)
{
    std::wstring path = shownFolder;
    for (int cut = 0; cut < 2; ++cut) {
        const size_t slash = path.rfind(L'/');
        path = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
    }
    const size_t slash = path.rfind(L'/');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}
