#include "workspace/PackageFolder.h"

#include "app/SettingFile.h"
#include "app/TextConversion.h"

std::wstring WorkingFolderOf(const std::wstring& workingDirSetting)
{
    std::wstring folder = TrimBlanks(workingDirSetting);
    if (!folder.empty() && folder.back() != L'/')
        folder += L'/';
    return folder;
}

std::wstring WorkingFolder()
{
    return WorkingFolderOf(CSettingFile::Instance().GetWorkingDir());
}

std::wstring PackageFolderIn(
    const std::wstring& workingDirSetting, const std::wstring& project, const std::wstring& package)
{
    return WorkingFolderOf(workingDirSetting) + project + L"/" + package + L"/";
}

std::wstring PackageFolder(const std::wstring& project, const std::wstring& package)
{
    return PackageFolderIn(CSettingFile::Instance().GetWorkingDir(), project, package);
}
