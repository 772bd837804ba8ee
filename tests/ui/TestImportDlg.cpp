// The import dialogs and the import command: the OK checks in their order, the numbers read from a
// chosen file's name, accumulation, the progress window that only its closing message ends, and a
// refused start record that stops the import before anything is verified.
#include "ModalHelper.h"
#include "RecordingPrompt.h"
#include "app/LanguageCatalogue.h"
#include "app/SettingFile.h"
#include "audit/OperationRecord.h"
#include "audit/OperatorSignature.h"
#include "ui/CKelvaneDlg.h"
#include "ui/CMsgListView.h"
#include "ui/KelvaneEvents.h"
#include "verify/widgets/CVerifyProgressDlg.h"
#include "workspace/widgets/CImportFileDlg.h"
#include "workspace/widgets/CImportFileInterNetDlg.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace {

std::wstring Text(const char* key)
{
    return CLanguageCatalogue::Instance().GetText(key);
}

// Answers the select button at once with the files of answer, remembering the folder it was shown.
class CScriptedChooser final : public IBidFileChooser
{
public:
    std::vector<std::wstring> ChooseBidFiles(QWidget*, const std::wstring& folder) override
    {
        shownFolder = folder;
        return answer;
    }
    std::vector<std::wstring> answer;
    std::wstring shownFolder;
};

} // namespace

class TestImportDlg : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir config;
    QTemporaryDir work;

private slots:
    void initTestCase()
    {
        QVERIFY(config.isValid() && work.isValid());
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        // No token can be reached, so the operator's signature of a record always fails.
        qputenv("KELVANE_PKCS11_MODULE", QByteArray("/nonexistent/module.so"));
    }

    void OkChecksInOrderAndHandsOnTrimmedNumbers_data()
    {
        QTest::addColumn<QString>("project");
        QTest::addColumn<QString>("package");
        QTest::addColumn<bool>("withFile");
        QTest::addColumn<QString>("refusal");
        QTest::newRow("blank project before everything") << "   "
                                                         << "" << false << "prognum_cannot_null";
        QTest::newRow("blank project with a file") << " \t"
                                                   << "L1" << true << "prognum_cannot_null";
        QTest::newRow("empty package before the files") << "P1"
                                                        << "  " << false << "package_cannot_null";
        QTest::newRow("no file") << "P1"
                                 << "L1" << false << "select_file";
        QTest::newRow("accepted, trimmed") << "  P1 "
                                           << "\tL1  " << true << "";
    }
    void OkChecksInOrderAndHandsOnTrimmedNumbers()
    {
        QFETCH(QString, project);
        QFETCH(QString, package);
        QFETCH(bool, withFile);
        QFETCH(QString, refusal);
        CRecordingPrompt prompt;
        CImportFileDlg dialog(prompt);
        if (withFile)
            dialog.AddChosenFiles({ L"/media/bids/notanumbersplit.bidx" });
        dialog.ProjectEdit()->setText(project);
        dialog.PackageEdit()->setText(package);
        dialog.show();
        dialog.accept();
        if (refusal.isEmpty()) {
            QVERIFY(prompt.asked.empty());
            QCOMPARE(dialog.result(), int(QDialog::Accepted));
            QCOMPARE(dialog.GetProjectNumber(), std::wstring(L"P1"));
            QCOMPARE(dialog.GetPackageNumber(), std::wstring(L"L1"));
            QCOMPARE(dialog.GetImportList().size(), std::size_t(1));
            return;
        }
        QVERIFY(dialog.isVisible());
        QCOMPARE(prompt.asked.size(), std::size_t(1));
        QCOMPARE(prompt.asked[0].text, Text(refusal.toUtf8().constData()));
        QCOMPARE(prompt.asked[0].caption, Text("tips"));
        QCOMPARE(prompt.asked[0].type, MB_OK | MB_ICONINFORMATION);
    }

    void NumbersComeFromTheFirstFileEverChosen_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("project");
        QTest::addColumn<QString>("package");
        QTest::newRow("plain") << "/b/X_P001_L2.bidx"
                               << "P001"
                               << "L2";
        QTest::newRow("second extension") << "/b/X_P001_L2.tar.bidx"
                                          << "P001"
                                          << "L2";
        QTest::newRow("one piece keeps the presets") << "/b/P001.bidx"
                                                     << "PRE"
                                                     << "PK";
        QTest::newRow("dot in the first piece") << "/b/A.B_C_D.bidx"
                                                << "PRE"
                                                << "PK";
    }
    void NumbersComeFromTheFirstFileEverChosen()
    {
        QFETCH(QString, file);
        QFETCH(QString, project);
        QFETCH(QString, package);
        CRecordingPrompt prompt;
        CImportFileDlg dialog(prompt);
        dialog.SetPresetProject(L"PRE");
        dialog.SetPresetPackage(L"PK");
        QCOMPARE(dialog.ProjectEdit()->text(), QStringLiteral("PRE"));
        dialog.AddChosenFiles({ file.toStdWString() });
        QCOMPARE(dialog.ProjectEdit()->text(), project);
        QCOMPARE(dialog.PackageEdit()->text(), package);

        // A second selection adds to the list; the numbers still come from the first file.
        dialog.AddChosenFiles({ L"/c/Y_P9_L9.bidx" });
        QCOMPARE(
            dialog.GetImportList(), (std::vector<std::wstring> { file.toStdWString(), L"/c/Y_P9_L9.bidx" }));
        QCOMPARE(dialog.ShownList()->toPlainText(), file + QStringLiteral("\n/c/Y_P9_L9.bidx\n"));
        if (project != QStringLiteral("PRE"))
            QCOMPARE(dialog.ProjectEdit()->text(), project);
    }

    void ChooserHandsItsChoiceToTheList()
    {
        const QString folder = work.filePath(QStringLiteral("chosen"));
        const std::vector<std::wstring> names {
            (folder + QStringLiteral("/甲公司_P7_L3.bidx")).toStdWString(),
            (folder + QStringLiteral("/乙公司_P7_L3.bidx")).toStdWString()
        };
        CScriptedChooser chooser;
        CRecordingPrompt prompt;
        CImportFileDlg dialog(prompt);
        dialog.SetFileChooser(chooser);

        chooser.answer = {};
        dialog.SelectButton()->click();
        QVERIFY(dialog.GetImportList().empty());
        chooser.answer = names;
        dialog.SelectButton()->click();
        QCOMPARE(chooser.shownFolder, CSettingFile::Instance().GetWorkingDir());
        QCOMPARE(dialog.GetImportList(), names);
        QCOMPARE(dialog.ProjectEdit()->text(), QStringLiteral("P7"));
        QCOMPARE(dialog.PackageEdit()->text(), QStringLiteral("L3"));
    }

    void NetworkDialogKeepsTheCursorWhereTheOperatorTypes()
    {
        CRecordingPrompt prompt;
        CImportFileInterNetDlg dialog(prompt);
        dialog.show();
        QTest::keyClicks(dialog.PackageEdit(), QStringLiteral("L2"));
        QTest::keyClicks(dialog.ProjectEdit(), QStringLiteral("P01"));
        // Each keystroke lists the server folder again; the cursor stays after what was typed.
        dialog.ProjectEdit()->setCursorPosition(1);
        QTest::keyClicks(dialog.ProjectEdit(), QStringLiteral("XY"));
        QCOMPARE(dialog.ProjectEdit()->text(), QStringLiteral("PXY01"));
    }

    void NetworkDialogListsTheServerFolderOnEdit()
    {
        const QString root = work.filePath(QStringLiteral("server"));
        QVERIFY(QDir().mkpath(root + QStringLiteral("//L2")));
        QVERIFY(QDir().mkpath(root + QStringLiteral("/P1/L2/sub.bidx")));
        for (const char* name : { "B_P1_L2.bidx", "A_P1_L2.BIDX", "note.txt" }) {
            QFile file(root + QStringLiteral("/P1/L2/") + QLatin1String(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QFile lone(root + QStringLiteral("//L2/Z_Q_L2.bidx"));
        QVERIFY(lone.open(QIODevice::WriteOnly));
        lone.close();
        QCOMPARE(CSettingFile::Instance().SetNetWorkingDir(root.toStdWString()), 0);

        CRecordingPrompt prompt;
        CImportFileInterNetDlg dialog(prompt);
        dialog.show();
        // The package alone lists root, two separators and the package.
        QTest::keyClicks(dialog.PackageEdit(), QStringLiteral("L2"));
        QCOMPARE(dialog.GetSourceFolder(), root.toStdWString() + L"//L2");
        QCOMPARE(dialog.GetImportList().size(), std::size_t(1));
        // The project edit lists once both are set; a new listing replaces the old one.
        QTest::keyClicks(dialog.ProjectEdit(), QStringLiteral("P1"));
        const std::wstring folder = root.toStdWString() + L"/P1/L2";
        QCOMPARE(dialog.GetImportList(),
            (std::vector<std::wstring> { folder + L"/A_P1_L2.BIDX", folder + L"/B_P1_L2.bidx" }));
        dialog.accept();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(prompt.asked.empty());
    }

    void ProgressWindowOnlyClosesOnItsMessage_data()
    {
        QTest::addColumn<int>("wParam");
        QTest::addColumn<int>("result");
        QTest::newRow("list processed") << 0 << int(QDialog::Accepted);
        QTest::newRow("rules not fetched") << 1 << int(QDialog::Rejected);
    }
    void ProgressWindowOnlyClosesOnItsMessage()
    {
        QFETCH(int, wParam);
        QFETCH(int, result);
        CRecordingPrompt prompt;
        CVerifyBidFile verify;
        CVerifyProgressDlg dialog(verify, prompt);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        dialog.close();
        dialog.reject();
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QTest::keyClick(&dialog, Qt::Key_Return);
        QVERIFY(dialog.isVisible());
        QVERIFY(!(dialog.windowFlags() & Qt::WindowCloseButtonHint));

        dialog.PostVerifyFinished(wParam, 42);
        QTRY_VERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), result);
    }

    void ProgressWindowWithAnEmptyListCancelsAtOnce()
    {
        CRecordingPrompt prompt;
        CVerifyBidFile verify;
        CVerifyProgressDlg dialog(verify, prompt);
        QCOMPARE(dialog.Run(), kVerifyCancelled);
        QVERIFY(!dialog.isVisible());
    }

    void RefusedStartRecordStopsTheImport()
    {
        CRecordingPrompt prompt;
        SetAuditPrompt(&prompt);
        CKelvaneDlg window(&prompt);
        bool progressShown = false;
        AnswerNextModal<CVerifyProgressDlg>([&progressShown](CVerifyProgressDlg*) { progressShown = true; });
        const std::wstring file = work.filePath(QStringLiteral("X_P1_L1.bidx")).toStdWString();
        QCOMPARE(window.ImportFiles(L"P1", L"L1", { file }, L"导入标书操作开始"), 0);
        SetAuditPrompt(nullptr);
        QTest::qWait(50);
        QVERIFY(!progressShown);
        QVERIFY(window.OutputView()->Lines().isEmpty());
        QCOMPARE(prompt.asked.size(), std::size_t(1));
        QCOMPARE(prompt.asked[0].text, std::wstring(kRecordSignFailedText));
        QVERIFY(!QDir(QDir::homePath() + QStringLiteral("/BidFiles/P1")).exists());
    }
};

QTEST_MAIN(TestImportDlg)
#include "TestImportDlg.moc"
