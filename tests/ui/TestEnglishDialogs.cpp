// The dialogs the program adds, in an English session: no Chinese character in any text they show.
// Run from a folder of its own that holds the shipped English language file.
#include "DialogCert.h"
#include "app/LanguageCatalogue.h"
#include "ui/CGuiPrompt.h"
#include "ui/PkiDialogs.h"

#include <QAbstractButton>
#include <QLabel>
#include <QMessageBox>
#include <QTest>
#include <QTreeWidget>

class TestEnglishDialogs : public QObject
{
    Q_OBJECT

private:
    // The title, every label and button, and every column header of a dialog.
    static QStringList ShownTexts(const QWidget& dialog)
    {
        QStringList texts { dialog.windowTitle() };
        for (const QLabel* label : dialog.findChildren<QLabel*>())
            texts << label->text();
        for (const QAbstractButton* button : dialog.findChildren<QAbstractButton*>())
            texts << button->text();
        for (const QTreeWidget* tree : dialog.findChildren<QTreeWidget*>()) {
            for (int column = 0; column < tree->columnCount(); ++column)
                texts << tree->headerItem()->text(column);
        }
        return texts;
    }

    static void VerifyEnglish(const QWidget& dialog)
    {
        for (const QString& text : ShownTexts(dialog)) {
            for (const QChar c : text) {
                // CJK punctuation, ideographs and full-width forms.
                const bool chinese = (c.unicode() >= 0x3000 && c.unicode() <= 0x9FFF)
                    || (c.unicode() >= 0xFF00 && c.unicode() <= 0xFFEF);
                QVERIFY2(!chinese, qPrintable(text));
            }
        }
    }

private slots:
    void initTestCase()
    {
        CLanguageCatalogue::Instance().Load();
        QCOMPARE(CLanguageCatalogue::Instance().GetText("ok"), std::wstring(L"OK"));
    }

    void PinDialog_data()
    {
        QTest::addColumn<int>("attemptsLeft");
        QTest::newRow("last try") << 1;
        QTest::newRow("tries left") << 3;
    }

    void PinDialog()
    {
        QFETCH(int, attemptsLeft);
        const CPinDialog dialog(QStringLiteral("Opener A"), attemptsLeft, 64);
        QVERIFY(!dialog.AttemptsLabel()->text().isEmpty());
        VerifyEnglish(dialog);
    }

    void CertificateChooserAndViewer()
    {
        const kelvane::pki::CertPtr cert = MakeDialogCert("Operator", 7, "Opening Centre");
        void* const certs[] = { cert.get() };
        const CCertChooserDlg chooser(certs, 1);
        VerifyEnglish(chooser);
        const CCertViewerDlg viewer(cert.get());
        QCOMPARE(viewer.FieldText("cert_key_usage"), QStringLiteral("digital signature, key encipherment"));
        VerifyEnglish(viewer);
    }

    void QuestionButtons_data()
    {
        QTest::addColumn<unsigned>("type");
        QTest::newRow("yes/no") << unsigned(MB_YESNO | MB_ICONQUESTION);
        QTest::newRow("yes/no/cancel") << unsigned(MB_YESNOCANCEL | MB_ICONWARNING);
        QTest::newRow("ok/cancel") << unsigned(MB_OKCANCEL | MB_ICONINFORMATION);
    }

    void QuestionButtons()
    {
        QFETCH(unsigned, type);
        const auto box
            = CGuiPrompt::MakeBox(nullptr, QStringLiteral("Go on?"), QStringLiteral("Question"), type);
        VerifyEnglish(*box);
    }
};

QTEST_MAIN(TestEnglishDialogs)
#include "TestEnglishDialogs.moc"
