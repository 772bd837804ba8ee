#include "CFolderTreeView.h"

#include "app/IPrompt.h"
#include "app/LanguageCatalogue.h"
#include "ui/KelvaneEvents.h"
#include "workspace/CFolderFileCache.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QFileIconProvider>
#include <QMenu>
#include <QSignalBlocker>
#include <QStyle>
#include <QUrl>

namespace {

// The level of an item: 0 the root, 1 a project, 2 a package.
int Level(const QTreeWidgetItem* item)
{
    int level = 0;
    for (const QTreeWidgetItem* up = item->parent(); up != nullptr; up = up->parent())
        ++level;
    return level;
}

} // namespace

CFolderTreeView::CFolderTreeView(IPrompt& operatorPrompt, QObject* listener, QWidget* parent)
    : QTreeWidget(parent)
    , prompt(operatorPrompt)
    , notify(listener)
{
    setObjectName(QStringLiteral("tree%1").arg(TreeId));
    setHeaderHidden(true);
    setColumnCount(1);
    setRootIsDecorated(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setFrameShape(QFrame::NoFrame);
    folderIcon = QFileIconProvider().icon(QFileIconProvider::Folder);
    if (folderIcon.isNull())
        folderIcon = style()->standardIcon(QStyle::SP_DirClosedIcon);
    openFolderIcon = style()->standardIcon(QStyle::SP_DirOpenIcon);
    if (openFolderIcon.isNull())
        openFolderIcon = folderIcon;
    connect(this, &QTreeWidget::currentItemChanged, this, &CFolderTreeView::OnCurrentItemChanged);
}

void CFolderTreeView::RefreshTree()
{
    const int result = model.Refresh();
    if (result == CWorkspaceModel::kNoWorkingDir)
        return;
    RebuildOrSayWhyNot(result);
    PostFolderSelected();
}

void CFolderTreeView::RebuildOrSayWhyNot(int refreshResult)
{
    Rebuild();
    // Without this the operator would only see an empty tree after a refresh or a new setting.
    if (refreshResult == CWorkspaceModel::kCannotCreate) {
        const CLanguageCatalogue& texts = CLanguageCatalogue::Instance();
        prompt.Ask(texts.GetText("create_workdir_fail"), texts.GetText("title"), MB_OK | MB_ICONERROR);
    }
}

void CFolderTreeView::RefreshKeepSelection()
{
    const std::wstring project = model.GetSelectedProject();
    const std::wstring package = model.GetSelectedPackage();
    CFolderFileCache::Instance().Clear();
    if (const int result = model.Refresh(); result != CWorkspaceModel::kNoWorkingDir)
        RebuildOrSayWhyNot(result);
    if (model.SelectProjectPackage(project, package))
        ShowModelSelection();
    PostFolderSelected();
}

bool CFolderTreeView::SelectProjectPackage(const std::wstring& project, const std::wstring& package)
{
    if (!model.SelectProjectPackage(project, package))
        return false;
    ShowModelSelection();
    PostFolderSelected();
    return true;
}

void CFolderTreeView::OpenSelectedFolder() const
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdWString(model.GetSelectedFolder())));
}

int CFolderTreeView::DeleteSelectedFolder(const std::wstring& folderInUse)
{
    const int result = model.DeleteSelectedFolder(prompt, folderInUse);
    // The model has refreshed itself from disk after every attempt that deleted anything.
    if (result == CWorkspaceModel::kDeleted || result == CWorkspaceModel::kDeleteFailed) {
        Rebuild();
        PostFolderSelected();
    }
    return result;
}

void CFolderTreeView::Rebuild()
{
    const QSignalBlocker quiet(this);
    setUpdatesEnabled(false);
    clear();
    if (!model.GetRootText().empty()) {
        auto* const root = new QTreeWidgetItem(this, { QString::fromStdWString(model.GetRootText()) });
        root->setToolTip(0, root->text(0)); // the working directory rarely fits the pane
        root->setIcon(0, folderIcon);
        for (const CWorkspaceProject& project : model.GetProjects()) {
            auto* const projectItem = new QTreeWidgetItem(root, { QString::fromStdWString(project.name) });
            projectItem->setIcon(0, folderIcon);
            for (const std::wstring& package : project.packages)
                new QTreeWidgetItem(projectItem, { QString::fromStdWString(package) });
            for (int i = 0; i < projectItem->childCount(); ++i)
                projectItem->child(i)->setIcon(0, folderIcon);
            projectItem->setExpanded(true);
        }
        root->setExpanded(true);
    }
    ShowModelSelection();
    setUpdatesEnabled(true);
}

void CFolderTreeView::ShowModelSelection()
{
    QTreeWidgetItem* target = topLevelItemCount() > 0 ? topLevelItem(0) : nullptr;
    const QString project = QString::fromStdWString(model.GetSelectedProject());
    const QString package = QString::fromStdWString(model.GetSelectedPackage());
    if (target != nullptr && !project.isEmpty()) {
        for (int p = 0; p < target->childCount(); ++p) {
            QTreeWidgetItem* const projectItem = target->child(p);
            if (projectItem->text(0) != project)
                continue;
            target = projectItem;
            for (int k = 0; !package.isEmpty() && k < projectItem->childCount(); ++k) {
                if (projectItem->child(k)->text(0) == package) {
                    target = projectItem->child(k);
                    break;
                }
            }
            break;
        }
    }
    QTreeWidgetItem* const previous = currentItem();
    {
        const QSignalBlocker quiet(this);
        setCurrentItem(target);
    }
    if (previous != target) {
        // The open-folder icon follows the selection; the previous item may be gone already.
        for (QTreeWidgetItemIterator it(this); *it != nullptr; ++it)
            (*it)->setIcon(0, *it == target ? openFolderIcon : folderIcon);
    } else if (target != nullptr) {
        target->setIcon(0, openFolderIcon);
    }
}

void CFolderTreeView::OnCurrentItemChanged(QTreeWidgetItem* current, QTreeWidgetItem* previous)
{
    if (previous != nullptr)
        previous->setIcon(0, folderIcon);
    if (current != nullptr)
        current->setIcon(0, openFolderIcon);
    std::wstring project;
    std::wstring package;
    if (current != nullptr) {
        const int level = Level(current);
        if (level == 1)
            project = current->text(0).toStdWString();
        if (level == 2) {
            project = current->parent()->text(0).toStdWString();
            package = current->text(0).toStdWString();
        }
    }
    model.SelectProjectPackage(project, package);
    PostFolderSelected();
}

void CFolderTreeView::PostFolderSelected()
{
    if (notify != nullptr)
        QCoreApplication::postEvent(notify, new CKelvaneEvent(WM_FOLDER_SELECTED));
}

void CFolderTreeView::contextMenuEvent(QContextMenuEvent* event)
{
    if (QTreeWidgetItem* const item = itemAt(viewport()->mapFromGlobal(event->globalPos())))
        setCurrentItem(item);
    QMenu menu(this);
    menu.addAction(QStringLiteral("刷新(&R)"), this, &CFolderTreeView::RefreshKeepSelection);
    menu.addAction(QStringLiteral("打开(&R)"), this, &CFolderTreeView::OpenSelectedFolder);
    menu.addAction(QStringLiteral("清理(&C)"), this, [this] { DeleteSelectedFolder(); });
    menu.exec(event->globalPos());
}
