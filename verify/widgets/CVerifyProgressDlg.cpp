#include "CVerifyProgressDlg.h"

#include "app/LanguageCatalogue.h"
#include "ui/KelvaneEvents.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QLabel>
#include <QThread>
#include <QVBoxLayout>
#include <memory>

CVerifyProgressDlg::CVerifyProgressDlg(CVerifyBidFile& verifier, IPrompt& operatorPrompt, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint)
    , verify(verifier)
    , prompt(operatorPrompt)
{
    CLanguageCatalogue& texts = CLanguageCatalogue::Instance();
    texts.Load();
    setWindowTitle(QString::fromStdWString(texts.GetText("verifying")));
    auto* const layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("请稍候..."), this));
    setMinimumWidth(300);
}

int CVerifyProgressDlg::Run()
{
    verify.SetNotifyWindow(this);
    if (verify.Start() != 0)
        return kVerifyCancelled;
    const int result = exec();

    // The worker may still be asking its closing question; wait for its end without blocking the
    // UI thread that answers it.
    QEventLoop loop;
    const std::unique_ptr<QThread> joiner(QThread::create([this] { verify.Join(); }));
    connect(joiner.get(), &QThread::finished, &loop, &QEventLoop::quit);
    joiner->start();
    loop.exec();
    joiner->wait();
    return result == QDialog::Accepted ? kVerifyProcessed : kVerifyCancelled;
}

int CVerifyProgressDlg::Ask(const std::wstring& text, const std::wstring& caption, unsigned type)
{
    return prompt.Ask(text, caption, type);
}

void CVerifyProgressDlg::PostVerifyFinished(int wParam, int)
{
    QCoreApplication::postEvent(this, new CKelvaneEvent(WM_VERIFY_FINISHED, wParam));
}

void CVerifyProgressDlg::reject()
{
    if (finished)
        QDialog::reject();
}

void CVerifyProgressDlg::customEvent(QEvent* event)
{
    if (event->type() != KelvaneEventType(WM_VERIFY_FINISHED)) {
        QDialog::customEvent(event);
        return;
    }
    finished = true;
    done(static_cast<const CKelvaneEvent*>(event)->wParam == 0 ? QDialog::Accepted : QDialog::Rejected);
}

void CVerifyProgressDlg::closeEvent(QCloseEvent* event)
{
    if (!finished)
        event->ignore();
}

void CVerifyProgressDlg::keyPressEvent(QKeyEvent* event)
{
    event->accept();
}
