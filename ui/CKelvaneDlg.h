// The main window: the ribbon bar with every command, the workspace tree, the bid-file list, the
// output view and the status bar. It owns the busy state of an opening and refuses the commands
// that must not run while bids are being decrypted.

#pragma once

#include "CContainWnd.h"

#include <QRect>
#include <QWidget>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class CBidFileListView;
class CFolderTreeView;
class CGuiPrompt;
class CMsgListView;
class CRibbonBar;
class IPrompt;
class QLabel;
class QStatusBar;

// Command identifiers of the ribbon.
enum KelvaneCommand : int
{
    kCmdExitSafe = 98,
    kCmdImportInternet = 99,
    kCmdImport = 100,
    kCmdSelectAll = 101,
    kCmdDecrypt = 102,
    kCmdVerifyBidFile = 105,
    kCmdTestTimestamp = 106,
    kCmdRefresh = 107,
    kCmdSetting = 109,
    kCmdExportToLog = 110,
    kCmdTrash = 111,
    // The openers' drill, from the context menu of the time-stamp test's button.
    kCmdOpenersDrill = 112,
};

// Where the children go for a client area and a ribbon height.
struct CKelvaneLayout
{
    QRect ribbon;
    QRect tree;
    QRect list;
    QRect output;
    QRect status;
};
CKelvaneLayout ComputeKelvaneLayout(QSize client, int ribbonHeight);

class CKelvaneDlg : public QWidget
{
    Q_OBJECT

public:
    // Message boxes go through prompt when given (tests), else through the window's own.
    explicit CKelvaneDlg(IPrompt* prompt = nullptr, QWidget* parent = nullptr);
    ~CKelvaneDlg() override;

    // What follows creation: the title, the local log as the settings say, the prompts and hooks of
    // the libraries, and the first checks 500 ms later.
    void InitDialog();

    // The About box: the program's icon, its version and who made it.
    void ShowAbout();

    // Carries out a ribbon command.
    void OnCommand(int id);
    // The import of local files (command 100); files given on the command line or dropped on the
    // window are already in its dialog's list, where the operator confirms or changes them.
    void ImportBidFiles(const std::vector<std::wstring>& files = {});
    bool IsBusy() const { return busy; }
    // Whether the openers' drill runs on its worker.
    bool IsDrilling() const { return drilling.load(); }
    // Ends a drill in progress for the window's close: every later question counts as not
    // answered, so the drill ends at its next one; returns when the worker has ended.
    void StopDrillForClose();

    // What an import command does once its dialog has given the files: the start record with
    // startMessage, the progress window over the files, and after a processed list the tree
    // refreshed and the package rescanned and selected, so that the list shows its new files.
    // Returns 0 when the start record was refused (nothing else is done), else the progress
    // window's kVerifyProcessed or kVerifyCancelled.
    int ImportFiles(const std::wstring& project, const std::wstring& package,
        const std::vector<std::wstring>& files, const std::wstring& startMessage);

    CRibbonBar* RibbonBar() const { return ribbon; }
    CContainWnd* TreePane() const { return treePane; }
    CContainWnd* ListPane() const { return listPane; }
    CFolderTreeView* Tree() const { return tree; }
    CBidFileListView* List() const { return list; }
    CMsgListView* OutputView() const { return output; }
    QStatusBar* StatusBar() const { return statusBar; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void customEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // Shows "decrypting" and answers true while an opening runs.
    bool BusyGuard();
    void BuildRibbon();
    void TimeStampTest();
    // The openers' drill of the project selected in the tree, on a worker of its own: its questions
    // and lines go to the window's prompt and output view.
    void OpenersDrill();
    void Settings();
    // The import from the bid-server folder (command 99).
    void ImportInternet();
    // The verification report of the file selected in the list (none selected: an empty path).
    void VerifyBidFile();
    void LayoutChildren();
    void OnFirstTimer();

    std::unique_ptr<CGuiPrompt> ownPrompt;
    IPrompt& prompt;
    CRibbonBar* ribbon;
    CContainWnd* treePane;
    CContainWnd* listPane;
    CFolderTreeView* tree;
    CBidFileListView* list;
    CMsgListView* output;
    QStatusBar* statusBar;
    bool busy = false;
    // The drill's way to the prompt and the output view, closed when the window closes.
    class CDrillGate;
    std::unique_ptr<CDrillGate> drillGate;
    std::thread drillWorker;
    std::atomic<bool> drilling { false };
};
