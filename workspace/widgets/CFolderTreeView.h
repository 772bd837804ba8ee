// The workspace tree: the working directory, its project folders and their package folders, two
// levels and no deeper. It shows the workspace model and keeps its selection in step with it;
// every change of the selected project or package is posted to the main window as
// WM_FOLDER_SELECTED, upon which the bid-file list shows the selected package.
#pragma once

#include "workspace/CWorkspaceModel.h"

#include <QIcon>
#include <QTreeWidget>
#include <string>

class IPrompt;

class CFolderTreeView : public QTreeWidget
{
    Q_OBJECT

public:
    static constexpr int TreeId = 8000;

    // Questions and errors go through prompt; WM_FOLDER_SELECTED goes to notify.
    CFolderTreeView(IPrompt& prompt, QObject* notify, QWidget* parent = nullptr);

    // Rebuilds the tree from disk and selects the first package, else the root. A working
    // directory that cannot be created shows "create_workdir_fail" and leaves the tree empty.
    void RefreshTree();
    // Forgets every cached file list, rebuilds the tree and selects the same project and package
    // again where they still exist.
    void RefreshKeepSelection();
    // Selects the root (empty project), a project (empty package) or a package of a project, by
    // exact names. False, with the selection unchanged, when nothing matches.
    bool SelectProjectPackage(const std::wstring& project, const std::wstring& package);

    const std::wstring& GetSelectedProject() const { return model.GetSelectedProject(); }
    const std::wstring& GetSelectedPackage() const { return model.GetSelectedPackage(); }
    // The selected package folder with its trailing "/", or empty unless a package is selected.
    std::wstring GetSelectedPath() const { return model.GetSelectedPath(); }

    // Opens the selected project or package folder (the working directory when neither is
    // selected) in the desktop's file browser.
    void OpenSelectedFolder() const;
    // The clean-up: asks, then deletes the selected package folder, or the whole project folder
    // when only a project is selected. folderInUse, the package folder of a running opening, is
    // never deleted. A CWorkspaceModel::DeleteResult.
    int DeleteSelectedFolder(const std::wstring& folderInUse = {});

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    // Rebuild, and the "create_workdir_fail" message when the refresh could not make the folder.
    void RebuildOrSayWhyNot(int refreshResult);
    void Rebuild();
    // Makes the tree's current item the model's selection, without a notification of its own.
    void ShowModelSelection();
    void OnCurrentItemChanged(QTreeWidgetItem* current, QTreeWidgetItem* previous);
    void PostFolderSelected();

    IPrompt& prompt;
    QObject* notify;
    CWorkspaceModel model;
    QIcon folderIcon;
    QIcon openFolderIcon;
};
