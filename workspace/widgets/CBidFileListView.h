// The bid-file list: one row per plain file of the package folder selected in the workspace tree,
// with a check box on each row. The ticked rows are what an opening decrypts; the opening's worker
// writes each file's bidder, companies, status, openers and time into the row's other columns.
//
// The list owns the opening manager and is the window that the worker talks to: its questions,
// its row texts and its end all reach the UI thread through here.
#pragma once

#include "opening/COpeningManager.h"
#include "opening/OpeningInterfaces.h"

#include <QTableWidget>
#include <atomic>
#include <memory>
#include <string>

class CMsgOutput;
class IPrompt;

class CBidFileListView : public QTableWidget, public IBidFileList, public IOpeningWindow
{
    Q_OBJECT

public:
    static constexpr int ListId = 8001;
    static constexpr int ColumnCount = 8;

    // Questions go through prompt; WM_OPENING_STARTED and WM_OPENING_FINISHED go to notify.
    CBidFileListView(
        IPrompt& prompt, QObject* notify, QWidget* parent = nullptr, COpeningTimings timings = {});
    // Stops the opening's access to the window first, as StopOpeningForClose does.
    ~CBidFileListView() override;

    // The output sink that the opening writes its lines to.
    void SetOutputSink(CMsgOutput* sink) { outputSink = sink; }

    // Lists the plain files of a package folder (with its trailing "/"); empty shows nothing.
    void ShowFolder(const std::wstring& path);
    const std::wstring& GetShownFolder() const { return shownFolder; }
    const std::wstring& GetProjectNumber() const { return projectNumber; }
    // Ticks every row.
    void CheckAll();
    // The header click on the first column: ticks every row, and the next click clears them all.
    void ToggleAll();
    bool IsChecked(int row) const;
    // The shown folder followed by the first selected row's file name; empty without a selection.
    std::wstring GetSelectedFilePath() const;

    // Hands every ticked row to the opening manager and starts the opening; warns with
    // "select_decryptfile" when nothing is ticked.
    void OpenTickedFiles();
    // Verifies the first selected row's file, when the opening has not, and shows its signer's
    // certificate.
    void ViewSignCert();
    // The newest opening record's PDF in the shown package folder, empty when it has none; the
    // context menu's "opening record" opens it with the desktop's viewer.
    std::wstring NewestRecordPdf() const;
    void OpenNewestRecord();
    // For a window that is closing: the opening's worker makes no further call into the window,
    // a question it is waiting on is answered as not shown, and the worker has ended on return.
    void StopOpeningForClose();

    COpeningManager& Manager() { return *manager; }

    // IBidFileList, from the worker: the text lands on the UI thread before the call returns.
    void SetItemText(int row, int column, const std::wstring& text) override;
    // IOpeningWindow, from the worker.
    int Ask(const std::wstring& text, const std::wstring& caption, unsigned type) override;
    void PostOpeningFinished(int wParam) override;
    void SetWaitCursor(bool on) override;

protected:
    void customEvent(QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void OnOpeningFinished();
    void Notify(unsigned message);
    std::wstring RowFileName(int row) const;

    IPrompt& prompt;
    QObject* notify;
    std::unique_ptr<COpeningManager> manager;
    CMsgOutput* outputSink = nullptr;
    std::wstring shownFolder;
    std::wstring projectNumber;
    bool toggleOn = false;
    // Set on the UI thread only; read there too, inside the work that the worker sends over.
    bool closing = false;
    bool waitCursorShown = false;
};
