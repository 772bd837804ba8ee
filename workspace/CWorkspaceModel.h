// The working directory as the workspace tree shows it: the root, one entry per project folder
// and below it one per package folder, two levels and no deeper. Files are never part of it:
// those directly in the working directory or in a project folder never appear anywhere, and the
// files of a package folder are the bid-file list's (CFolderFileCache).
//
// The model also keeps the tree's selection (a project, or a project and one of its packages) and
// carries out the clean-up of the selected folder. The window shows it; tests and kelvane-cli use
// it directly. One thread at a time.
#pragma once

#include "app/IPrompt.h"

#include <string>
#include <vector>

struct CWorkspaceProject
{
    std::wstring name;
    std::vector<std::wstring> packages;
};

// The text shown to confirm the clean-up; %s is the folder. A fixed text of ours, as the platform's
// own delete confirmation would be.
inline constexpr wchar_t kDeleteFolderQuestion[] = L"确实要永久删除文件夹“%s”及其中的全部内容吗？";
inline constexpr wchar_t kDeleteFolderCaption[] = L"确认删除文件夹";

class CWorkspaceModel
{
public:
    enum RefreshResult : int
    {
        kRefreshed = 0,
        kNoWorkingDir = 1,
        kCannotCreate = -1
    };
    enum DeleteResult : int
    {
        kDeleted = 0,
        kNothingSelected = 1,
        kDeclined = 2,
        kFolderInUse = 3,
        kDeleteFailed = -1
    };

    // Reads the working directory from the settings and rebuilds the model from disk. A working
    // directory that is empty after trimming leaves the model as it was (kNoWorkingDir); a missing
    // one is created with its parents, and when that fails the model is empty (kCannotCreate: the
    // window shows "create_workdir_fail"). Projects and packages are sorted by name. The first
    // package of the first project that has one becomes the selection, else the root.
    int Refresh();
    // The same from a given working directory text.
    int Refresh(const std::wstring& workingDirSetting);

    // The root's text: the working directory as configured, trimmed.
    const std::wstring& GetRootText() const { return rootText; }
    const std::vector<CWorkspaceProject>& GetProjects() const { return projects; }

    // Selects the root (empty project), a project (empty package) or a package of a project, by
    // exact, case-sensitive names. False, with the selection unchanged, when nothing matches.
    bool SelectProjectPackage(const std::wstring& project, const std::wstring& package);
    const std::wstring& GetSelectedProject() const { return selectedProject; }
    const std::wstring& GetSelectedPackage() const { return selectedPackage; }
    // The selected package folder with a trailing "/", or empty unless a package is selected.
    std::wstring GetSelectedPath() const;
    // The selected folder with a trailing "/": the package folder, the project folder or the
    // working directory.
    std::wstring GetSelectedFolder() const;
    // The folder that the clean-up would delete: the package folder when a package is selected,
    // else the whole project folder; empty when no project is selected.
    std::wstring GetDeleteTarget() const;

    // The clean-up command. Without a selected project shows "select_progorpackage" and stops.
    // Refuses (showing "decrypting") when folderInUse, the package folder of an opening that
    // still runs, lies in the target. Otherwise asks kDeleteFolderQuestion; on Yes deletes the
    // target with everything in it and refreshes. A failed deletion refreshes too, since part of
    // the folder may be gone.
    int DeleteSelectedFolder(IPrompt& prompt, const std::wstring& folderInUse = {});

private:
    std::wstring rootText;
    std::vector<CWorkspaceProject> projects;
    std::wstring selectedProject;
    std::wstring selectedPackage;
};

// The project number of a shown package folder (with its trailing "/"): the last-but-one element
// of the path. The opening fetches the rules of this project.
std::wstring ProjectNumberOfFolder(const std::wstring& shownFolder);
