// The dialogs the program adds, in an English session: no Chinese character in any text they show,
// and ribbon labels that fit without being drawn smaller.
// Run from a folder of its own that holds the shipped English language file.
#include "DialogCert.h"
#include "RecordingPrompt.h"
#include "app/LanguageCatalogue.h"
#include "ui/CGuiPrompt.h"
#include "ui/CKelvaneDlg.h"
#include "ui/CRibbonBar.h"
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

    static void VerifyEnglish(const QString& text)
    {
        for (const QChar c : text) {
            // CJK punctuation, ideographs and full-width forms.
            const bool chinese = (c.unicode() >= 0x3000 && c.unicode() <= 0x9FFF)
                || (c.unicode() >= 0xFF00 && c.unicode() <= 0xFFEF);
            QVERIFY2(!chinese, qPrintable(text));
        }
    }

    static void VerifyEnglish(const QWidget& dialog)
    {
        for (const QString& text : ShownTexts(dialog))
            VerifyEnglish(text);
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

    void RibbonLabelsWrapRatherThanShrink()
    {
        // The buttons are 42 pixels wide whatever the language: a long English word is broken
        // across the label's two lines in the language file, so that no label is drawn much
        // smaller than the bar's 15-pixel font (a single-line fit gave 7 or 8 pixels).
        CRecordingPrompt prompt;
        CKelvaneDlg window(&prompt);
        CRibbonBar& ribbon = *window.RibbonBar();
        ribbon.Layout();
        QStringList shrunk;
        for (const CRibbonControl* control : ribbon.SelectedControls()) {
            VerifyEnglish(control->Name());
            const int pixels = ribbon.LabelFont(*control).pixelSize();
            if (pixels < ribbon.Font().pixelSize() - 1)
                shrunk << QStringLiteral("%1 (%2 px)").arg(control->Name()).arg(pixels);
        }
        QVERIFY2(shrunk.isEmpty(), qPrintable(shrunk.join(QStringLiteral(", "))));
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
