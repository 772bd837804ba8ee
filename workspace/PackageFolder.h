// Where a project's package lives: <working directory>/<project>/<package>/. The working directory
// is the setting with its blanks trimmed at both ends, as the workspace tree shows it, so that the
// import, the opening, the tree and kelvane-cli all name the same folder (and the same entry of the
// folder file cache).
#pragma once

#include <string>

// The working directory text trimmed (TrimBlanks) with one trailing "/"; empty when nothing is
// left.
std::wstring WorkingFolderOf(const std::wstring& workingDirSetting);
// WorkingFolderOf the settings' working directory.
std::wstring WorkingFolder();

// The package folder below a working directory text, with its trailing "/". The numbers are taken
// as they are: the import dialogs and kelvane-cli trim and check them first (CheckImportInput).
std::wstring PackageFolderIn(
    const std::wstring& workingDirSetting, const std::wstring& project, const std::wstring& package);
// The package folder below the settings' working directory.
std::wstring PackageFolder(const std::wstring& project, const std::wstring& package);
