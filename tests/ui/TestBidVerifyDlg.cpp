// The verification report dialog: the two results for a sealed bid and for an empty path, the copy
// button, the certificate button, and the report command of the main window.
#include "ModalHelper.h"
#include "OpeningBench.h"
#include "QuarnPKI.h"
#include "RecordingPrompt.h"
#include "app/TextConversion.h"
#include "tests/support/TempDir.h"
#include "ui/CKelvaneDlg.h"
#include "verify/widgets/CSingleBidFileVerifyDlg.h"

#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

using namespace kelvane::test;

namespace {

int viewerCalls = 0;
void* viewedCert = nullptr;

int RecordViewer(void*, void*, void* cert)
{
    ++viewerCalls;
    viewedCert = cert;
    return 0;
}

QString Result(const CSingleBidFileVerifyDlg& dialog, int row)
{
    return dialog.ResultList()->topLevelItem(row)->text(1);
}

} // namespace

class TestBidVerifyDlg : public QObject
{
    Q_OBJECT

private:
    CTempDir temp;

private slots:
    void initTestCase()
    {
        COpeningBench::Get();
        QuarnPKISetCertViewerHook(&RecordViewer, nullptr);
    }

    void init()
    {
        viewerCalls = 0;
        viewedCert = nullptr;
    }

    void EmptyPathFailsBothChecksAndHasNoCertificate()
    {
        CSingleBidFileVerifyDlg dialog;
        dialog.SetPath(L"");
        QCOMPARE(Result(dialog, 0), QString());
        dialog.CertButton()->click();
        QCOMPARE(viewerCalls, 0);
        dialog.VerifyButton()->click();
        QCOMPARE(Result(dialog, 0), QStringLiteral("×"));
        QCOMPARE(Result(dialog, 1), QStringLiteral("×"));
        QVERIFY(dialog.BidderLabel()->text().isEmpty());
        dialog.CertButton()->click();
        QCOMPARE(viewerCalls, 0);
    }

    void SealedBidPassesShowsSignerCopiesCodeAndShowsCertificate()
    {
        const std::filesystem::path bid = temp / "甲公司_P1_L1.bidx";
        const std::string rules = COpeningBench::Get().WriteRules(3, 2, { kOpenerA, kOpenerB, kOpenerC });
        SealBid(bid, rules, 2, { kOpenerA, kOpenerB, kOpenerC }, 20000);

        CSingleBidFileVerifyDlg dialog;
        dialog.SetPath(Utf8ToWide(bid.string()));
        QCOMPARE(dialog.PathEdit()->text(), QString::fromStdString(bid.string()));
        dialog.VerifyButton()->click();
        QCOMPARE(Result(dialog, 0), QStringLiteral("√"));
        QCOMPARE(Result(dialog, 1), QStringLiteral("√"));
        QCOMPARE(dialog.BidderLabel()->text(), QStringLiteral("投标人 甲公司_P1_L1"));
        const QString code = dialog.CodeEdit()->text();
        QCOMPARE(code.size(), 64);
        QVERIFY(code == code.toUpper());

        QApplication::clipboard()->clear();
        dialog.CopyButton()->click();
        QCOMPARE(QApplication::clipboard()->text(), code);

        dialog.CertButton()->click();
        QCOMPARE(viewerCalls, 1);
        QVERIFY(viewedCert != nullptr);

        // A later failure marks both rows but keeps the earlier signer for the certificate button.
        dialog.PathEdit()->setText(QString::fromStdString((temp / "missing.bidx").string()));
        dialog.VerifyButton()->click();
        QCOMPARE(Result(dialog, 0), QStringLiteral("×"));
        QCOMPARE(Result(dialog, 1), QStringLiteral("×"));
        dialog.CertButton()->click();
        QCOMPARE(viewerCalls, 2);
    }

    void ReportCommandWithNoRowSelectedOpensWithAnEmptyPath()
    {
        CRecordingPrompt prompt;
        CKelvaneDlg window(&prompt);
        bool opened = false;
        QString shownPath = QStringLiteral("not shown");
        AnswerNextModal<CSingleBidFileVerifyDlg>([&](CSingleBidFileVerifyDlg* dialog) {
            opened = true;
            shownPath = dialog->PathEdit()->text();
            dialog->reject();
        });
        window.OnCommand(kCmdVerifyBidFile);
        QVERIFY(opened);
        QCOMPARE(shownPath, QString());
        QVERIFY(prompt.asked.empty());
    }
};

QTEST_MAIN(TestBidVerifyDlg)
#include "TestBidVerifyDlg.moc"
