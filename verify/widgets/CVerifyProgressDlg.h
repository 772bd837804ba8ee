// The progress window of an import: a small modal window with "please wait" while the import's
// worker verifies and copies the chosen files. The operator cannot close it; it closes itself when
// the worker posts WM_VERIFY_FINISHED, with OK when the list was processed and Cancel when the
// rules could not be fetched. The worker's questions (the replace question, the closing
// "check_count") go to the window's prompt.
#pragma once

#include "verify/CVerifyBidFile.h"

#include <QDialog>

class CVerifyProgressDlg : public QDialog, public IVerifyWindow
{
    Q_OBJECT

public:
    // verify holds the work order; prompt answers the worker's questions. Both outlive the window.
    CVerifyProgressDlg(CVerifyBidFile& verify, IPrompt& prompt, QWidget* parent = nullptr);

    // Starts the worker, runs the window until the worker's closing message and then keeps
    // serving the UI thread until the worker has ended (it may still ask "check_count"), so that
    // nothing the worker waits for is left undone. Returns kVerifyProcessed or kVerifyCancelled;
    // kVerifyCancelled at once when the list is empty or the worker cannot start.
    int Run();

    // IVerifyWindow, called on the worker.
    int Ask(const std::wstring& text, const std::wstring& caption, unsigned type) override;
    void PostVerifyFinished(int wParam, int lParam) override;

public slots:
    // Only the closing message ends the window.
    void reject() override;

protected:
    void customEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    CVerifyBidFile& verify;
    IPrompt& prompt;
    bool finished = false;
};
