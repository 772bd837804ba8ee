#include "CKelvaneDlg.h"

#include "CGuiPrompt.h"
#include "CKelvaneSetting.h"
#include "CMsgListView.h"
#include "CRibbonBar.h"
#include "KelvaneEvents.h"
#include "NinePart.h"
#include "PkiDialogs.h"
#include "UiThread.h"
#include "app/FreeSpaceCheck.h"
#include "app/LanguageCatalogue.h"
#include "app/LocalLog.h"
#include "app/SettingFile.h"
#include "app/Utility.h"
#include "audit/OperationRecord.h"
#include "audit/OperatorSignature.h"
#include "opening/OpenersDrill.h"
#include "opening/TimeStampTest.h"
#include "verify/ImportCommand.h"
#include "verify/widgets/CSingleBidFileVerifyDlg.h"
#include "verify/widgets/CVerifyProgressDlg.h"
#include "workspace/CrashLeftovers.h"
#include "workspace/PackageFolder.h"
#include "workspace/widgets/CBidFileListView.h"
#include "workspace/widgets/CFolderTreeView.h"
#include "workspace/widgets/CImportFileDlg.h"
#include "workspace/widgets/CImportFileInterNetDlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QShortcut>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <map>

namespace {

QString Text(const char* key)
{
    return QString::fromStdWString(CLanguageCatalogue::Instance().GetText(key));
}

// Windows rectangle (left, top, right, bottom) as a QRect.
QRect Span(int left, int top, int right, int bottom)
{
    return QRect(left, top, right - left, bottom - top);
}

// The keys of the commands of a day's work.
const std::map<int, QKeySequence>& CommandShortcuts()
{
    static const std::map<int, QKeySequence> shortcuts {
        { kCmdImport, QKeySequence(Qt::CTRL | Qt::Key_I) },
        { kCmdRefresh, QKeySequence(Qt::Key_F5) },
        { kCmdSelectAll, QKeySequence(Qt::CTRL | Qt::Key_A) },
        { kCmdDecrypt, QKeySequence(Qt::CTRL | Qt::Key_D) },
        { kCmdExportToLog, QKeySequence(Qt::CTRL | Qt::Key_E) },
        { kCmdExitSafe, QKeySequence(Qt::CTRL | Qt::Key_Q) },
    };
    return shortcuts;
}

} // namespace

// Between the drill's worker and the window: questions and lines pass until the window closes;
// after that a question is not answered (0, which the drill takes as a skipped opener) and a line
// is dropped.
class CKelvaneDlg::CDrillGate final : public IPrompt, public CMsgOutput
{
public:
    CDrillGate(IPrompt& windowPrompt, CMsgOutput& windowOutput, QObject* context)
        : prompt(windowPrompt)
        , output(windowOutput)
        , owner(context)
    {
    }

    int Ask(const std::wstring& text, const std::wstring& caption, unsigned type) override
    {
        // Checked again on the UI thread: the window may have closed while the call waited.
        return closed.load()
            ? 0
            : RunOnUiThread(owner, [&] { return closed.load() ? 0 : prompt.Ask(text, caption, type); });
    }

    void Output(const std::wstring& text, int kind) override
    {
        RunOnUiThread(owner, [&] {
            if (!closed.load())
                output.Output(text, kind);
        });
    }

    void Close() { closed.store(true); }

private:
    IPrompt& prompt;
    CMsgOutput& output;
    QObject* owner;
    std::atomic<bool> closed { false };
};

CKelvaneLayout ComputeKelvaneLayout(QSize client, int ribbonHeight)
{
    const int w = client.width();
    const int b = client.height();
    const int h = ribbonHeight;
    return {
        Span(0, 0, w, h),
        Span(0, h, 200, b - 20),
        Span(202, h, w, b - 200),
        Span(202, b - 198, w, b - 20),
        Span(0, b - 20, w, b),
    };
}

CKelvaneDlg::CKelvaneDlg(IPrompt* givenPrompt, QWidget* parent)
    : QWidget(parent)
    , ownPrompt(givenPrompt != nullptr ? nullptr : std::make_unique<CGuiPrompt>(this))
    , prompt(givenPrompt != nullptr ? *givenPrompt : *ownPrompt)
{
    CLanguageCatalogue::Instance().Load();
    setAutoFillBackground(true);
    QPalette colours = palette();
    colours.setColor(QPalette::Window, QColor(240, 240, 240));
    setPalette(colours);
    setMinimumSize(640, 480);
    setAcceptDrops(true);

    ribbon = new CRibbonBar(this);
    BuildRibbon();
    connect(ribbon, &CRibbonBar::Command, this, &CKelvaneDlg::OnCommand);

    treePane = new CContainWnd(Text("workspace"), this);
    tree = new CFolderTreeView(prompt, this);
    treePane->SetClient(tree);
    listPane = new CContainWnd(Text("bidfile_list"), this);
    list = new CBidFileListView(prompt, this);
    listPane->SetClient(list);
    output = new CMsgListView(Text("output"), this);
    list->SetOutputSink(output);
    drillGate = std::make_unique<CDrillGate>(prompt, *output, this);

    statusBar = new QStatusBar(this);
    statusBar->setSizeGripEnabled(false);
    statusBar->addWidget(new QLabel(Text("copyright"), statusBar), 1);
    // There is no system menu to extend here: the About box hangs on F1 and on the status bar.
    auto* const about = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(about, &QShortcut::activated, this, &CKelvaneDlg::ShowAbout);
    // The commands of a day's work from the keyboard; Enter and Escape stay swallowed.
    for (const auto& [command, keys] : CommandShortcuts()) {
        auto* const shortcut = new QShortcut(keys, this);
        connect(shortcut, &QShortcut::activated, this, [this, id = command] { OnCommand(id); });
    }
    statusBar->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(statusBar, &QWidget::customContextMenuRequested, this, [this](const QPoint& point) {
        QMenu menu(this);
        menu.addAction(QStringLiteral("关于 Kelvane(&A)..."), this, &CKelvaneDlg::ShowAbout);
        menu.exec(statusBar->mapToGlobal(point));
    });
    resize(1024, 700);
    LayoutChildren();
    // The workspace tree has the keyboard at the start, as before the ribbon could take it.
    tree->setFocus();
}

void CKelvaneDlg::ShowAbout()
{
    QDialog box(this);
    box.setWindowTitle(QStringLiteral("关于 Kelvane"));
    auto* const icon = new QLabel(&box);
    icon->setPixmap(QPixmap::fromImage(LoadRibbonImage(QStringLiteral("kelvane"), QSize(48, 48))));
    auto* const texts = new QVBoxLayout;
    texts->addWidget(new QLabel(QStringLiteral("Kelvane 1.0 版"), &box));
    texts->addWidget(new QLabel(QStringLiteral("开标工作站（单机版），供开标现场解密投标文件使用"), &box));
    auto* const row = new QHBoxLayout;
    row->addWidget(icon, 0, Qt::AlignTop);
    row->addLayout(texts, 1);
    auto* const buttons = new QDialogButtonBox(&box);
    buttons->addButton(QStringLiteral("确定"), QDialogButtonBox::AcceptRole);
    connect(buttons, &QDialogButtonBox::accepted, &box, &QDialog::accept);
    auto* const layout = new QVBoxLayout(&box);
    layout->addLayout(row);
    layout->addWidget(buttons);
    box.exec();
}

CKelvaneDlg::~CKelvaneDlg()
{
    // Before any child goes: the opening's worker may still be writing to the list or the output.
    list->StopOpeningForClose();
    StopDrillForClose();
    RemovePkiHooks();
    SetAuditPrompt(nullptr);
}

void CKelvaneDlg::BuildRibbon()
{
    struct Command
    {
        int id;
        const char* key;
    };
    struct Group
    {
        const char* key;
        std::vector<Command> commands;
    };
    const Group groups[] = {
        { "prepare",
            { { kCmdImport, "import" }, { kCmdImportInternet, "import_internet" }, { kCmdRefresh, "refresh" },
                { kCmdTrash, "trash" } } },
        { "openbid", { { kCmdSelectAll, "select_all" }, { kCmdDecrypt, "decrypt" } } },
        { "tools",
            { { kCmdVerifyBidFile, "verify_bidfile" }, { kCmdTestTimestamp, "test_timestamp" },
                { kCmdExportToLog, "export_to_log" } } },
        { "config", { { kCmdSetting, "setting" } } },
        { "exit", { { kCmdExitSafe, "exit_safe" } } },
    };
    CRibbonTab* const tab = ribbon->AddTab(Text("start"), 1);
    int groupId = 1;
    for (const Group& group : groups) {
        CRibbonGroup* const added = tab->AddGroup(Text(group.key), groupId++);
        for (const Command& command : group.commands) {
            CRibbonControl* const control = added->AddControl(0, command.id, Text(command.key));
            control->SetImage(
                LoadRibbonImage(QStringLiteral("cmd_%1").arg(QLatin1String(command.key)), QSize(32, 32)));
            const auto keys = CommandShortcuts().find(command.id);
            control->toolTip = keys == CommandShortcuts().end()
                ? control->Name()
                : QStringLiteral("%1 (%2)").arg(
                    control->Name(), keys->second.toString(QKeySequence::NativeText));
        }
    }
    ribbon->SelectTab(1);
    // The drill beside the time-stamp test, in its context menu: the ribbon keeps its buttons.
    for (CRibbonControl* control : ribbon->SelectedControls()) {
        if (control->item.id == kCmdTestTimestamp)
            control->menu.push_back({ kCmdOpenersDrill, Text("drill_menu") });
    }
}

void CKelvaneDlg::InitDialog()
{
    setWindowTitle(Text("title"));
    SetAuditPrompt(&prompt);
    InstallPkiHooks(this);
    InitLocalLog(CSettingFile::Instance().GetWriteLocalLog());
    // What a killed import or opening left behind is partial and under no bid's name.
    RemoveCrashLeftovers(WorkingFolder());
    // Creates the working directory when it is missing, so the operator finds it from the start.
    tree->RefreshTree();
    QTimer::singleShot(500, this, &CKelvaneDlg::OnFirstTimer);
}

void CKelvaneDlg::OnFirstTimer()
{
    ResendPendingRecords();
    TimeStampTest();
    CheckWorkingDirFreeSpace(prompt, CLanguageCatalogue::Instance());
}

void CKelvaneDlg::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    LayoutChildren();
}

void CKelvaneDlg::LayoutChildren()
{
    const CKelvaneLayout layout = ComputeKelvaneLayout(size(), ribbon->GetHeight());
    ribbon->setGeometry(layout.ribbon);
    treePane->setGeometry(layout.tree);
    listPane->setGeometry(layout.list);
    output->setGeometry(layout.output);
    statusBar->setGeometry(layout.status);
}

bool CKelvaneDlg::BusyGuard()
{
    if (!busy)
        return false;
    const CLanguageCatalogue& texts = CLanguageCatalogue::Instance();
    prompt.Ask(texts.GetText("decrypting"), texts.GetText("tips"), MB_OK | MB_ICONINFORMATION);
    return true;
}

void CKelvaneDlg::OnCommand(int id)
{
    switch (id) {
    case kCmdImport:
        ImportBidFiles();
        break;
    case kCmdImportInternet:
        ImportInternet();
        break;
    case kCmdRefresh:
        if (!BusyGuard())
            tree->RefreshKeepSelection();
        break;
    case kCmdSelectAll:
        if (!BusyGuard())
            list->CheckAll();
        break;
    case kCmdDecrypt:
        // The drill's questions would mix with the opening's: one at a time.
        if (drilling.load())
            prompt.Ask(CLanguageCatalogue::Instance().GetText("drill_running"),
                CLanguageCatalogue::Instance().GetText("tips"), MB_OK | MB_ICONINFORMATION);
        else if (!BusyGuard() && CheckOperatorCert() == 1)
            list->OpenTickedFiles();
        break;
    case kCmdTestTimestamp:
        TimeStampTest();
        break;
    case kCmdOpenersDrill:
        OpenersDrill();
        break;
    case kCmdTrash:
        // Unguarded, but the folder that the running opening decrypts into is never deleted.
        tree->DeleteSelectedFolder(busy ? list->GetShownFolder() : std::wstring());
        break;
    case kCmdVerifyBidFile:
        VerifyBidFile();
        break;
    case kCmdExportToLog:
        output->ExportLog();
        break;
    case kCmdSetting:
        Settings();
        break;
    case kCmdExitSafe:
        close();
        break;
    default:
        break;
    }
}

void CKelvaneDlg::TimeStampTest()
{
    if (BusyGuard())
        return;
    RunTimeStampTest(*output, [](bool waiting) {
        if (waiting)
            QApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QApplication::restoreOverrideCursor();
    });
}

void CKelvaneDlg::OpenersDrill()
{
    if (BusyGuard())
        return;
    const CLanguageCatalogue& texts = CLanguageCatalogue::Instance();
    if (drilling.load()) {
        prompt.Ask(texts.GetText("drill_running"), texts.GetText("tips"), MB_OK | MB_ICONINFORMATION);
        return;
    }
    const std::wstring project = tree->GetSelectedProject();
    if (project.empty()) {
        prompt.Ask(texts.GetText("drill_select_project"), texts.GetText("tips"), MB_OK | MB_ICONINFORMATION);
        return;
    }
    if (drillWorker.joinable())
        drillWorker.join();
    drilling.store(true);
    CDrillGate& gate = *drillGate;
    drillWorker = std::thread([this, &gate, project] {
        try {
            COpenersDrill(gate, &gate).Run(project);
        } catch (...) {
            // The drill reads nothing the opening needs: a failure ends it, and the window goes on.
        }
        drilling.store(false);
    });
}

void CKelvaneDlg::StopDrillForClose()
{
    drillGate->Close();
    // A question the worker asked before may be waiting on this thread: serve it (the gate
    // answers it at once) until the worker has ended.
    while (drilling.load()) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 10);
        QThread::msleep(5);
    }
    if (drillWorker.joinable())
        drillWorker.join();
}

void CKelvaneDlg::ImportBidFiles(const std::vector<std::wstring>& files)
{
    if (BusyGuard() || CheckOperatorCert() != 1)
        return;
    CImportFileDlg dialog(prompt, this);
    dialog.SetPresetProject(tree->GetSelectedProject());
    dialog.SetPresetPackage(tree->GetSelectedPackage());
    if (!files.empty())
        dialog.AddChosenFiles(files);
    if (dialog.exec() != QDialog::Accepted)
        return;
    ImportFiles(
        dialog.GetProjectNumber(), dialog.GetPackageNumber(), dialog.GetImportList(), L"导入标书操作开始");
}

void CKelvaneDlg::ImportInternet()
{
    if (BusyGuard() || CheckOperatorCert() != 1)
        return;
    CImportFileInterNetDlg dialog(prompt, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    ImportFiles(dialog.GetProjectNumber(), dialog.GetPackageNumber(), dialog.GetImportList(),
        L"网上导入标书操作开始");
}

int CKelvaneDlg::ImportFiles(const std::wstring& project, const std::wstring& package,
    const std::vector<std::wstring>& files, const std::wstring& startMessage)
{
    CVerifyBidFile verify;
    const int result = RunImport(verify, { project, package, files, startMessage }, output,
        [this](CVerifyBidFile& started) { return CVerifyProgressDlg(started, prompt, this).Run(); });
    if (result != kVerifyProcessed)
        return result;
    tree->RefreshTree();
    tree->SelectProjectPackage(project, package);
    return result;
}

void CKelvaneDlg::VerifyBidFile()
{
    CSingleBidFileVerifyDlg dialog(this);
    dialog.SetPath(list->GetSelectedFilePath());
    dialog.exec();
}

void CKelvaneDlg::Settings()
{
    CKelvaneSetting dialog(prompt, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const CSettingFile& settings = CSettingFile::Instance();
    if (settings.SetWorkingDir(dialog.WorkingDir()) == 0)
        OnCommand(kCmdRefresh);
    if (settings.SetNetWorkingDir(dialog.NetWorkingDir()) == 0)
        OnCommand(kCmdRefresh);
    if (settings.SetFreeSpace(dialog.FreeSpaceBytes()) == 0)
        CheckWorkingDirFreeSpace(prompt, CLanguageCatalogue::Instance());
    settings.SetWriteLocalLog(dialog.WriteLocalLog());
    // The log follows the setting at once, the program's own warnings included.
    InitLocalLog(settings.GetWriteLocalLog());
}

void CKelvaneDlg::customEvent(QEvent* event)
{
    switch (static_cast<int>(event->type())) {
    case KelvaneEventType(WM_FOLDER_SELECTED):
        if (!BusyGuard())
            list->ShowFolder(tree->GetSelectedPath());
        break;
    case KelvaneEventType(WM_OPENING_STARTED):
        busy = true;
        treePane->setEnabled(false);
        break;
    case KelvaneEventType(WM_OPENING_FINISHED):
        busy = false;
        treePane->setEnabled(true);
        break;
    default:
        QWidget::customEvent(event);
        break;
    }
}

void CKelvaneDlg::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        event->accept();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

namespace {

// The local files of a drag, or nothing when any of it is not a local file.
std::vector<std::wstring> LocalFilesOf(const QMimeData* data)
{
    std::vector<std::wstring> files;
    if (data == nullptr || !data->hasUrls())
        return files;
    for (const QUrl& url : data->urls()) {
        if (!url.isLocalFile())
            return {};
        files.push_back(url.toLocalFile().toStdWString());
    }
    return files;
}

} // namespace

void CKelvaneDlg::dragEnterEvent(QDragEnterEvent* event)
{
    if (!busy && !LocalFilesOf(event->mimeData()).empty())
        event->acceptProposedAction();
}

void CKelvaneDlg::dropEvent(QDropEvent* event)
{
    const std::vector<std::wstring> files = LocalFilesOf(event->mimeData());
    if (files.empty())
        return;
    event->acceptProposedAction();
    // The drag's source waits for the drop to return: the import's dialogs come after it.
    QTimer::singleShot(0, this, [this, files] { ImportBidFiles(files); });
}

void CKelvaneDlg::closeEvent(QCloseEvent* event)
{
    const CLanguageCatalogue& texts = CLanguageCatalogue::Instance();
    if (prompt.Ask(texts.GetText("static_exit"), texts.GetText("exit"), MB_YESNO | MB_ICONQUESTION)
        != IDYES) {
        event->ignore();
        return;
    }
    // The opening's and the drill's workers must be off the windows before they go.
    list->StopOpeningForClose();
    StopDrillForClose();
    event->accept();
}
