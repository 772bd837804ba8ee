// The window's prompts and the PKI library's dialogs, asked from workers and from the UI thread.
#include "DialogCert.h"
#include "ModalHelper.h"
#include "QuarnPKI.h"
#include "tests/support/TestCa.h"
#include "ui/CGuiPrompt.h"
#include "ui/PkiDialogs.h"

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTreeWidget>
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

class TestGuiPrompts : public QObject
{
    Q_OBJECT

private slots:
    void PromptFromAWorkerBlocksUntilAnswered_data()
    {
        QTest::addColumn<unsigned>("type");
        QTest::addColumn<int>("button");
        QTest::addColumn<int>("answer");
        QTest::newRow("yes") << (MB_YESNO | MB_ICONQUESTION) << int(QMessageBox::Yes) << IDYES;
        QTest::newRow("no") << (MB_YESNO | MB_ICONQUESTION) << int(QMessageBox::No) << IDNO;
        QTest::newRow("cancel") << (MB_YESNOCANCEL | MB_ICONWARNING) << int(QMessageBox::Cancel) << IDCANCEL;
        QTest::newRow("ok") << (MB_OKCANCEL | MB_ICONINFORMATION) << int(QMessageBox::Ok) << IDOK;
    }
    void PromptFromAWorkerBlocksUntilAnswered()
    {
        QFETCH(unsigned, type);
        QFETCH(int, button);
        QFETCH(int, answer);
        QWidget window;
        CGuiPrompt prompt(&window);
        std::atomic<int> result { 0 };
        QString shownText;
        QWidget* shownParent = nullptr;
        AnswerNextModal<QMessageBox>([&](QMessageBox* box) {
            shownText = box->text();
            shownParent = box->parentWidget();
            // The worker is still waiting while the box is up.
            QCOMPARE(result.load(), 0);
            box->button(QMessageBox::StandardButton(button))->click();
        });
        std::thread worker([&] { result = prompt.Ask(L"真的要退出？", L"退出", type); });
        QTRY_VERIFY_WITH_TIMEOUT(result.load() != 0, 10000);
        worker.join();
        QCOMPARE(result.load(), answer);
        QCOMPARE(shownText, QStringLiteral("真的要退出？"));
        QCOMPARE(shownParent, &window);
    }

    void PromptOnTheUiThreadItselfDoesNotDeadlock()
    {
        CGuiPrompt prompt(nullptr);
        AnswerNextModal<QMessageBox>([](QMessageBox* box) { box->button(QMessageBox::Ok)->click(); });
        QCOMPARE(prompt.Ask(L"正在解密标书文件", L"提示", MB_OK | MB_ICONINFORMATION), IDOK);
    }

    void LibraryMessagesAreShownFromAnyThread()
    {
        QString shown;
        AnswerNextModal<QMessageBox>([&](QMessageBox* box) {
            shown = box->text();
            box->button(QMessageBox::Ok)->click();
        });
        std::thread worker(
            [] { MessageHook(nullptr, "token \"A\" refused the PIN; one more wrong PIN locks the token"); });
        QTRY_VERIFY_WITH_TIMEOUT(!shown.isEmpty(), 10000);
        worker.join();
        QCOMPARE(shown, QStringLiteral("token \"A\" refused the PIN; one more wrong PIN locks the token"));
    }

    void PinDialogNamesTheTokenAndHandsBackThePin()
    {
        std::atomic<int> result { -1 };
        char pin[16];
        std::memset(pin, 'x', sizeof pin);
        QString prompted;
        AnswerNextModal<CPinDialog>([&](CPinDialog* dialog) {
            QCOMPARE(dialog->PinEdit()->echoMode(), QLineEdit::Password);
            QVERIFY(dialog->AttemptsLabel()->text().contains(QStringLiteral("锁定")));
            for (const QLabel* label : dialog->findChildren<QLabel*>())
                prompted += label->text();
            QTest::keyClicks(dialog->PinEdit(), QStringLiteral("123456"));
            dialog->accept();
        });
        std::thread worker([&] { result = PinPromptHook(nullptr, "opener-1", 1, pin, sizeof pin); });
        QTRY_VERIFY_WITH_TIMEOUT(result.load() != -1, 10000);
        worker.join();
        QCOMPARE(result.load(), 1);
        QCOMPARE(QByteArray(pin), QByteArray("123456"));
        QVERIFY(prompted.contains(QStringLiteral("opener-1")));
    }

    void PinDialogCancelledOrTooLongGivesNoPin()
    {
        char pin[4] = { 'a', 'b', 'c', '\0' };
        AnswerNextModal<CPinDialog>([](CPinDialog* dialog) {
            QVERIFY(dialog->AttemptsLabel()->text().isEmpty());
            dialog->reject();
        });
        QCOMPARE(PinPromptHook(nullptr, "opener-2", -1, pin, sizeof pin), 0);
        QCOMPARE(QByteArray(pin), QByteArray("abc"));

        // Typed text is capped at the buffer; a multi-byte PIN that still does not fit is refused.
        AnswerNextModal<CPinDialog>([](CPinDialog* dialog) {
            QCOMPARE(dialog->PinEdit()->maxLength(), 3);
            dialog->PinEdit()->setText(QStringLiteral("口令"));
            dialog->accept();
        });
        QCOMPARE(PinPromptHook(nullptr, "opener-2", 3, pin, sizeof pin), 0);
        QCOMPARE(QByteArray(pin), QByteArray("abc"));
    }

    void ViewerShowsTheCertificateFields()
    {
        const kelvane::pki::CertPtr cert = MakeDialogCert("张三", 0x12AB34, "开标中心");
        QVERIFY(cert != nullptr);
        CCertViewerDlg viewer(cert.get());
        QVERIFY(viewer.FieldText("cert_subject").contains(QStringLiteral("张三")));
        QVERIFY(viewer.FieldText("cert_issuer").contains(QStringLiteral("开标中心")));
        QVERIFY(viewer.FieldText("cert_serial").contains(QStringLiteral("12AB34")));
        QCOMPARE(viewer.FieldText("cert_public_key"), QStringLiteral("RSA 2048"));
        QCOMPARE(viewer.FieldText("cert_key_usage"), QStringLiteral("数字签名，密钥加密"));
        const QString fingerprint = viewer.FieldText("cert_fingerprint");
        QCOMPARE(fingerprint.size(), 32 * 3 - 1);
        QVERIFY(QRegularExpression(QStringLiteral("^([0-9A-F]{2}:){31}[0-9A-F]{2}$"))
                    .match(fingerprint)
                    .hasMatch());
        QVERIFY(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$"))
                    .match(viewer.FieldText("cert_valid_to"))
                    .hasMatch());
    }

    void ChooserFromAWorkerHandsBackTheChosenRow()
    {
        const kelvane::pki::CertPtr first = MakeDialogCert("李四", 1, "开标中心");
        const kelvane::pki::CertPtr second = MakeDialogCert("王五", 2, "开标中心");
        void* const certs[] = { first.get(), second.get() };
        std::atomic<int> result { -1 };
        int chosen = -1;
        AnswerNextModal<CCertChooserDlg>([](CCertChooserDlg* dialog) {
            QCOMPARE(dialog->List()->topLevelItemCount(), 2);
            QCOMPARE(dialog->List()->topLevelItem(1)->text(0), QStringLiteral("王五"));
            dialog->List()->setCurrentItem(dialog->List()->topLevelItem(1));
            dialog->accept();
        });
        std::thread worker([&] { result = CertChooserHook(nullptr, certs, 2, &chosen); });
        QTRY_VERIFY_WITH_TIMEOUT(result.load() != -1, 10000);
        worker.join();
        QCOMPARE(result.load(), 1);
        QCOMPARE(chosen, 1);

        AnswerNextModal<CCertChooserDlg>([](CCertChooserDlg* dialog) { dialog->reject(); });
        chosen = -1;
        QCOMPARE(CertChooserHook(nullptr, certs, 2, &chosen), 0);
        QCOMPARE(chosen, -1);
    }
};

QTEST_MAIN(TestGuiPrompts)
#include "TestGuiPrompts.moc"
