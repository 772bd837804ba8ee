#include "CBidFileListView.h"

#include "app/IPrompt.h"
#include "app/LanguageCatalogue.h"
#include "app/TextConversion.h"
#include "opening/CBidFileHolder.h"
#include "opening/COpeningErrorTexts.h"
#include "opening/RecordPdf.h"
#include "ui/CHeaderCtrlEx.h"
#include "ui/KelvaneEvents.h"
#include "ui/UiThread.h"
#include "workspace/CFolderFileCache.h"
#include "workspace/CWorkspaceModel.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QEventLoop>
#include <QMenu>
#include <QThread>
#include <QUrl>
#include <filesystem>
#include <system_error>

namespace {

struct Column
{
    const char* key;
    int width;
};
constexpr Column kColumns[CBidFileListView::ColumnCount] = {
    { "select_allornot", 80 },
    { "enc_bidfile", 150 },
    { "bidder", 100 },
    { "bid_company", 150 },
    { "open_company", 150 },
    { "status", 100 },
    { "opener_presence", 200 },
    { "open_time", 200 },
};

std::wstring Text(const char* key)
{
    return CLanguageCatalogue::Instance().GetText(key);
}

} // namespace

CBidFileListView::CBidFileListView(
    IPrompt& operatorPrompt, QObject* listener, QWidget* parent, COpeningTimings timings)
    : QTableWidget(parent)
    , prompt(operatorPrompt)
    , notify(listener)
    , manager(std::make_unique<COpeningManager>(timings))
{
    setObjectName(QStringLiteral("list%1").arg(ListId));
    setHorizontalHeader(new CHeaderCtrlEx(this));
    horizontalHeader()->setSectionsMovable(true);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setHighlightSections(false);
    verticalHeader()->hide();
    setShowGrid(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setFrameShape(QFrame::NoFrame);
    setColumnCount(ColumnCount);
    QStringList titles;
    for (const Column& column : kColumns)
        titles << QString::fromStdWString(Text(column.key));
    setHorizontalHeaderLabels(titles);
    for (int i = 0; i < ColumnCount; ++i)
        setColumnWidth(i, kColumns[i].width);
    connect(static_cast<CHeaderCtrlEx*>(horizontalHeader()), &CHeaderCtrlEx::ToggleAllRequested, this,
        &CBidFileListView::ToggleAll);
    // The window's openings leave their record printable too.
    SetRecordPrinter(&PrintOpeningRecord);
}

CBidFileListView::~CBidFileListView()
{
    StopOpeningForClose();
}

void CBidFileListView::ShowFolder(const std::wstring& path)
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    setRowCount(0);
    shownFolder.clear();
    if (!path.empty()) {
        const std::vector<std::wstring> files = CFolderFileCache::Instance().GetFiles(path);
        manager->ClearFiles();
        shownFolder = path;
        projectNumber = ProjectNumberOfFolder(path);
        setUpdatesEnabled(false);
        setRowCount(static_cast<int>(files.size()));
        for (int row = 0; row < rowCount(); ++row) {
            const std::wstring& file = files[static_cast<std::size_t>(row)];
            auto* const number = new QTableWidgetItem(QString::number(row + 1));
            number->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
            number->setCheckState(Qt::Unchecked);
            setItem(row, 0, number);
            const std::size_t slash = file.find_last_of(L'/');
            auto* const name = new QTableWidgetItem(
                QString::fromStdWString(slash == std::wstring::npos ? file : file.substr(slash + 1)));
            // The columns keep their fixed widths; a long name or text is read in full from its tip.
            name->setToolTip(name->text());
            setItem(row, 1, name);
            for (int column = 2; column < ColumnCount; ++column)
                setItem(row, column, new QTableWidgetItem);
        }
        setUpdatesEnabled(true);
    }
    QApplication::restoreOverrideCursor();
}

void CBidFileListView::CheckAll()
{
    for (int row = 0; row < rowCount(); ++row)
        item(row, 0)->setCheckState(Qt::Checked);
}

void CBidFileListView::ToggleAll()
{
    toggleOn = !toggleOn;
    for (int row = 0; row < rowCount(); ++row)
        item(row, 0)->setCheckState(toggleOn ? Qt::Checked : Qt::Unchecked);
}

bool CBidFileListView::IsChecked(int row) const
{
    const QTableWidgetItem* const box = item(row, 0);
    return box != nullptr && box->checkState() != Qt::Unchecked;
}

std::wstring CBidFileListView::RowFileName(int row) const
{
    const QTableWidgetItem* const name = item(row, 1);
    return name != nullptr ? name->text().toStdWString() : std::wstring();
}

std::wstring CBidFileListView::GetSelectedFilePath() const
{
    const QModelIndexList rows = selectionModel()->selectedRows();
    if (rows.isEmpty())
        return {};
    return shownFolder + RowFileName(rows.first().row());
}

void CBidFileListView::OpenTickedFiles()
{
    manager->SetProjectNumber(projectNumber);
    manager->ClearFiles();
    int added = 0;
    for (int row = 0; row < rowCount(); ++row) {
        if (!IsChecked(row))
            continue;
        manager->AddFile(row, shownFolder + RowFileName(row), shownFolder + L"Open/");
        ++added;
    }
    if (added == 0) {
        prompt.Ask(Text("select_decryptfile"), Text("tips"), MB_OK | MB_ICONWARNING);
        return;
    }
    closing = false;
    Notify(WM_OPENING_STARTED);
    manager->SetNotifyWindow(this);
    manager->SetListControl(this);
    manager->SetOutputSink(outputSink);
    // A start that fails posts nothing; the window would otherwise stay busy for good.
    if (manager->Start() != 0)
        Notify(WM_OPENING_FINISHED);
}

void CBidFileListView::ViewSignCert()
{
    const QModelIndexList rows = selectionModel()->selectedRows();
    if (rows.isEmpty()) {
        prompt.Ask(Text("select_bidfile_first"), Text("tips"), MB_YESNO | MB_ICONINFORMATION);
        return;
    }
    const int row = rows.first().row();
    if (manager->ShowSignCertForRow(row) == 0)
        return;
    CBidFileHolder holder;
    holder.SetPath(shownFolder + RowFileName(row));
    holder.SetOutputFolder(shownFolder + L"Open/");
    holder.SetRow(row);
    if (prompt.Ask(Text("file_not_verify"), Text("tips"), MB_YESNO | MB_ICONINFORMATION) == IDNO)
        return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    if (holder.Open() != 0) {
        QApplication::restoreOverrideCursor();
        prompt.Ask(Text("openfile_error"), Text("error"), MB_OK | MB_ICONERROR);
        return;
    }
    if (holder.VerifyStructure() != 0) {
        QApplication::restoreOverrideCursor();
        prompt.Ask(Text("fail_to_verify_file"), Text("error"), MB_OK | MB_ICONERROR);
        return;
    }
    QApplication::restoreOverrideCursor();
    holder.ShowSignCert(nullptr);
}

void CBidFileListView::StopOpeningForClose()
{
    closing = true;
    manager->Detach();
    // A call that the worker began before Detach may be waiting on this thread: serve it (the
    // closing flag answers it at once) until the worker has ended.
    while (manager->IsRunning()) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 10);
        QThread::msleep(5);
    }
    manager->Join();
    if (waitCursorShown) {
        waitCursorShown = false;
        QApplication::restoreOverrideCursor();
    }
}

void CBidFileListView::SetItemText(int row, int column, const std::wstring& text)
{
    RunOnUiThread(this, [this, row, column, &text] {
        if (closing || row < 0 || row >= rowCount() || column < 0 || column >= ColumnCount)
            return;
        if (item(row, column) == nullptr)
            setItem(row, column, new QTableWidgetItem);
        item(row, column)->setText(QString::fromStdWString(text));
        item(row, column)->setToolTip(item(row, column)->text());
    });
}

int CBidFileListView::Ask(const std::wstring& text, const std::wstring& caption, unsigned type)
{
    return RunOnUiThread(
        this, [this, &text, &caption, type] { return closing ? 0 : prompt.Ask(text, caption, type); });
}

void CBidFileListView::PostOpeningFinished(int wParam)
{
    QCoreApplication::postEvent(this, new CKelvaneEvent(WM_OPENING_FINISHED, wParam));
}

void CBidFileListView::SetWaitCursor(bool on)
{
    // Queued, not waited for: the worker goes on while the cursor changes.
    QMetaObject::invokeMethod(
        this,
        [this, on] {
            if (closing || on == waitCursorShown)
                return;
            waitCursorShown = on;
            if (on)
                QApplication::setOverrideCursor(Qt::WaitCursor);
            else
                QApplication::restoreOverrideCursor();
        },
        Qt::QueuedConnection);
}

void CBidFileListView::customEvent(QEvent* event)
{
    if (event->type() == KelvaneEventType(WM_OPENING_FINISHED)) {
        if (!closing)
            OnOpeningFinished();
        return;
    }
    QTableWidget::customEvent(event);
}

void CBidFileListView::OnOpeningFinished()
{
    Notify(WM_OPENING_FINISHED);
    const int code = manager->GetOpeningError();
    std::wstring text;
    if (code != 0 && COpeningErrorTexts::GetText(code, text)) {
        // The server asked and why, as the output view has it.
        const std::wstring& why = manager->GetRulesFailure();
        prompt.Ask(why.empty() ? text : text + L"\n" + why, Text("error"), MB_OK | MB_ICONERROR);
    }
}

void CBidFileListView::Notify(unsigned message)
{
    if (notify == nullptr)
        return;
    CKelvaneEvent event(message);
    QCoreApplication::sendEvent(notify, &event);
}

std::wstring CBidFileListView::NewestRecordPdf() const
{
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path newest;
    fs::file_time_type newestTime;
    for (auto it = fs::directory_iterator(WideToUtf8(shownFolder), error);
         !shownFolder.empty() && !error && it != fs::directory_iterator(); it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (!name.starts_with("开标记录-") || it->path().extension() != ".pdf" || !it->is_regular_file(error))
            continue;
        // Two records of one second differ by their suffix ("-2"), not by the order of their names.
        const fs::file_time_type time = it->last_write_time(error);
        if (newest.empty() || time > newestTime || (time == newestTime && it->path() > newest)) {
            newest = it->path();
            newestTime = time;
        }
    }
    return newest.empty() ? std::wstring() : Utf8ToWide(newest.string());
}

void CBidFileListView::OpenNewestRecord()
{
    if (const std::wstring pdf = NewestRecordPdf(); !pdf.empty())
        QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdWString(pdf)));
}

void CBidFileListView::contextMenuEvent(QContextMenuEvent* event)
{
    const QModelIndex index = indexAt(viewport()->mapFromGlobal(event->globalPos()));
    if (!index.isValid())
        return;
    selectRow(index.row());
    QMenu menu(this);
    menu.addAction(QStringLiteral("查看签名证书"), this, &CBidFileListView::ViewSignCert);
    QAction* record = menu.addAction(
        QString::fromStdWString(Text("opening_record")), this, &CBidFileListView::OpenNewestRecord);
    record->setEnabled(!NewestRecordPdf().empty());
    menu.exec(event->globalPos());
}
