// The main window: its layout, the busy guard, the keys it swallows, closing, and what saving the
// settings sets off.
#include "ModalHelper.h"
#include "RecordingPrompt.h"
#include "app/LanguageCatalogue.h"
#include "app/LocalLog.h"
#include "app/SettingFile.h"
#include "ui/CKelvaneApp.h"
#include "ui/CKelvaneDlg.h"
#include "ui/CKelvaneSetting.h"
#include "ui/CMsgListView.h"
#include "ui/CRibbonBar.h"
#include "ui/KelvaneEvents.h"
#include "ui/WindowCommandLine.h"
#include "workspace/widgets/CFolderTreeView.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <sys/statvfs.h>

class TestKelvaneDlg : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir config;

    static int CountOf(const CRecordingPrompt& prompt, const char* key)
    {
        const std::wstring text = CLanguageCatalogue::Instance().GetText(key);
        int count = 0;
        for (const auto& box : prompt.asked)
            count += box.text == text ? 1 : 0;
        return count;
    }

    static void Send(CKelvaneDlg& window, unsigned message)
    {
        CKelvaneEvent event(message);
        QCoreApplication::sendEvent(&window, &event);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(config.isValid());
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    }

    void CommandLineEndsBeforeTheWindowOrGivesTheFiles_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("allowUnknown");
        QTest::addColumn<int>("exitStatus"); // -1: the window starts
        QTest::addColumn<int>("files");
        QTest::newRow("help") << QStringList { "--help" } << true << 0 << 0;
        QTest::newRow("version") << QStringList { "--version" } << false << 0 << 0;
        QTest::newRow("unknown option refused") << QStringList { "--frobnicate" } << false << 2 << 0;
        QTest::newRow("refused before the framework")
            << QStringList { "-platform", "offscreen", "--frobnicate" } << true << 2 << 0;
        QTest::newRow("left to the framework") << QStringList { "-platform", "offscreen" } << true << -1 << 0;
        QTest::newRow("files") << QStringList { "a.bidx", "--", "-b.bidx" } << false << -1 << 2;
    }

    void CommandLineEndsBeforeTheWindowOrGivesTheFiles()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, allowUnknown);
        QFETCH(int, exitStatus);
        QFETCH(int, files);
        arguments.prepend(QStringLiteral("kelvane"));
        const CWindowCommandLine line = ParseWindowCommandLine(arguments, allowUnknown);
        QCOMPARE(line.exitStatus.value_or(-1), exitStatus);
        QCOMPARE(int(line.files.size()), files);
        for (const std::wstring& file : line.files)
            QVERIFY(QFileInfo(QString::fromStdWString(file)).isAbsolute());
    }

    void LayoutRectanglesForAClientSize_data()
    {
        QTest::addColumn<QSize>("client");
        QTest::addColumn<QRect>("tree");
        QTest::addColumn<QRect>("list");
        QTest::addColumn<QRect>("output");
        QTest::addColumn<QRect>("status");
        QTest::newRow("1024x768") << QSize(1024, 768) << QRect(0, 128, 200, 620) << QRect(202, 128, 822, 440)
                                  << QRect(202, 570, 822, 178) << QRect(0, 748, 1024, 20);
        QTest::newRow("800x600") << QSize(800, 600) << QRect(0, 128, 200, 452) << QRect(202, 128, 598, 272)
                                 << QRect(202, 402, 598, 178) << QRect(0, 580, 800, 20);
    }
    void LayoutRectanglesForAClientSize()
    {
        QFETCH(QSize, client);
        QFETCH(QRect, tree);
        QFETCH(QRect, list);
        QFETCH(QRect, output);
        QFETCH(QRect, status);
        CRecordingPrompt prompt;
        CKelvaneDlg window(&prompt);
        window.resize(client);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTRY_COMPARE(window.size(), client);
        QCOMPARE(window.RibbonBar()->geometry(), QRect(0, 0, client.width(), 128));
        QCOMPARE(window.TreePane()->geometry(), tree);
        QCOMPARE(window.ListPane()->geometry(), list);
        QCOMPARE(window.OutputView()->geometry(), output);
        QCOMPARE(window.StatusBar()->geometry(), status);
    }

    void RibbonHoldsEveryCommandInItsGroup()
    {
        CRecordingPrompt prompt;
        CKelvaneDlg window(&prompt);
        const CRibbonTab& tab = *window.RibbonBar()->Tabs().at(0);
        const std::vector<std::vector<int>> expected
            = { { 100, 99, 107, 111 }, { 101, 102 }, { 105, 106, 110 }, { 109 }, { 98 } };
        const int lefts[] = { 0, 178, 269, 404, 453 };
        QCOMPARE(tab.Groups().size(), expected.size());
        for (std::size_t g = 0; g < expected.size(); ++g) {
            QCOMPARE(tab.Groups()[g]->item.rect.left(), lefts[g]);
            QCOMPARE(tab.Groups()[g]->Controls().size(), expected[g].size());
            for (std::size_t c = 0; c < expected[g].size(); ++c) {
                QCOMPARE(tab.Groups()[g]->Controls()[c]->item.id, expected[g][c]);
                QVERIFY(!tab.Groups()[g]->Controls()[c]->Image().isNull());
            }
        }
    }

    void DrillIsOfferedByTheTimeStampTestsMenuAndNeedsAProject()
    {
        CRecordingPrompt prompt;
        CKelvaneDlg window(&prompt);
        CRibbonBar& ribbon = *window.RibbonBar();
        const CRibbonGroup& tools = *ribbon.Tabs().at(0)->Groups().at(2);
        const CRibbonControl& stamp = *tools.Controls().at(1);
        QCOMPARE(stamp.item.id, int(kCmdTestTimestamp));
        QCOMPARE(int(stamp.menu.size()), 1);
        QCOMPARE(stamp.menu[0].id, int(kCmdOpenersDrill));
        // A right click on the button, or on its group beside the buttons, opens that menu.
        QCOMPARE(ribbon.ContextControlAt(stamp.item.rect.center()), &stamp);
        QCOMPARE(ribbon.ContextControlAt(QPoint(tools.item.rect.right() - 1, tools.item.rect.bottom() - 1)),
            &stamp);
        // The entry reaches the window's command: without a project selected in the tree the drill
        // asks for one and starts nothing.
        ribbon.MakeContextMenu(stamp)->actions().at(0)->trigger();
        QTRY_COMPARE(CountOf(prompt, "drill_select_project"), 1);
        QVERIFY(!window.IsDrilling());
    }

    void BusyRefusesTheGuardedCommandsOnly()
    {
        CRecordingPrompt prompt;
        CKelvaneDlg window(&prompt);
        window.show();
        Send(window, WM_OPENING_STARTED);
        QVERIFY(window.IsBusy());
        QVERIFY(!window.TreePane()->isEnabled());

        for (const int command : { kCmdRefresh, kCmdSelectAll, kCmdDecrypt, kCmdImport, kCmdImportInternet,
                 kCmdTestTimestamp, kCmdOpenersDrill }) {
            const std::size_t before = prompt.asked.size();
            window.OnCommand(command);
            QCOMPARE(prompt.asked.size(), before + 1);
            QCOMPARE(prompt.asked.back().text, CLanguageCatalogue::Instance().GetText("decrypting"));
            QCOMPARE(prompt.asked.back().caption, CLanguageCatalogue::Instance().GetText("tips"));
            QCOMPARE(prompt.asked.back().type, MB_OK | MB_ICONINFORMATION);
        }
        Send(window, WM_FOLDER_SELECTED);
        QCOMPARE(CountOf(prompt, "decrypting"), 8);

        // Export, settings and the report still open their dialogs; clean-up asks nothing.
        bool exportShown = false;
        AnswerNextModal<QFileDialog>([&exportShown](QFileDialog* dialog) {
            exportShown = true;
            dialog->reject();
        });
        window.OnCommand(kCmdExportToLog);
        QVERIFY(exportShown);
        bool settingShown = false;
        AnswerNextModal<CKelvaneSetting>([&settingShown](CKelvaneSetting* dialog) {
            settingShown = true;
            dialog->reject();
        });
        window.OnCommand(kCmdSetting);
        QVERIFY(settingShown);
        window.OnCommand(kCmdTrash);
        bool reportShown = false;
        AnswerNextModal<QDialog>([&reportShown](QDialog* dialog) {
            reportShown = true;
            dialog->reject();
        });
        window.OnCommand(kCmdVerifyBidFile);
        QVERIFY(reportShown);
        QCOMPARE(CountOf(prompt, "decrypting"), 8);

        Send(window, WM_OPENING_FINISHED);
        QVERIFY(!window.IsBusy());
        QVERIFY(window.TreePane()->isEnabled());
        window.OnCommand(kCmdRefresh);
        window.OnCommand(kCmdSelectAll);
        QCOMPARE(CountOf(prompt, "decrypting"), 8);
    }

    void EnterAndEscapeAreSwallowed()
    {
        CRecordingPrompt prompt(IDYES);
        CKelvaneDlg window(&prompt);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        for (const Qt::Key key : { Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter })
            QTest::keyClick(&window, key);
        QVERIFY(window.isVisible());
        QVERIFY(prompt.asked.empty());
    }

    void F1ShowsTheAboutBox()
    {
        CRecordingPrompt prompt;
        CKelvaneDlg window(&prompt);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.activateWindow();
        QString title;
        AnswerNextModal<QDialog>([&title](QDialog* box) {
            title = box->windowTitle();
            box->accept();
        });
        QTest::keyClick(&window, Qt::Key_F1);
        QTRY_COMPARE(title, QStringLiteral("关于 Kelvane"));
    }

    void FrameworkTextsFollowTheSessionLanguage()
    {
        // A Chinese session (LANG=zh_CN): the file dialogs' and standard buttons' texts are Chinese.
        CKelvaneApp::SetUpApplication();
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("取消"));
    }

    void KeyboardStartsInTheTreeAndTabReachesTheRibbon()
    {
        CRecordingPrompt prompt;
        CKelvaneDlg window(&prompt);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.activateWindow();
        QTRY_VERIFY(window.Tree()->hasFocus());
        QTest::keyClick(window.Tree(), Qt::Key_Backtab);
        QVERIFY(window.RibbonBar()->hasFocus());
        QCOMPARE(
            window.RibbonBar()->FocusedControl(), int(window.RibbonBar()->SelectedControls().size()) - 1);
        for (const CRibbonControl* control : window.RibbonBar()->SelectedControls())
            QVERIFY2(!control->toolTip.isEmpty(), qPrintable(control->Name()));
        QVERIFY(window.RibbonBar()->SelectedControls().front()->toolTip.endsWith(QStringLiteral("(Ctrl+I)")));
    }

    void ShortcutsRunTheirCommands()
    {
        CRecordingPrompt prompt(IDNO);
        CKelvaneDlg window(&prompt);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.activateWindow();
        // While busy, each guarded command answers with the same refusal: one per key.
        Send(window, WM_OPENING_STARTED);
        int expected = 0;
        for (const QKeyCombination keys : { Qt::CTRL | Qt::Key_I, QKeyCombination(Qt::Key_F5),
                 Qt::CTRL | Qt::Key_A, Qt::CTRL | Qt::Key_D }) {
            QTest::keyClick(&window, keys.key(), keys.keyboardModifiers());
            QCOMPARE(CountOf(prompt, "decrypting"), ++expected);
        }
        bool exportShown = false;
        AnswerNextModal<QFileDialog>([&exportShown](QFileDialog* dialog) {
            exportShown = true;
            dialog->reject();
        });
        QTest::keyClick(&window, Qt::Key_E, Qt::ControlModifier);
        QTRY_VERIFY(exportShown);
        window.activateWindow();
        QTRY_VERIFY(window.isActiveWindow());
        QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
        QCOMPARE(CountOf(prompt, "static_exit"), 1);
        QVERIFY(window.isVisible());
    }

    void ClosingAsksEvenWhileBusy()
    {
        CRecordingPrompt prompt(IDNO);
        CKelvaneDlg window(&prompt);
        window.show();
        Send(window, WM_OPENING_STARTED);
        QVERIFY(!window.close());
        QVERIFY(window.isVisible());
        QCOMPARE(CountOf(prompt, "static_exit"), 1);
        QCOMPARE(prompt.asked.back().caption, CLanguageCatalogue::Instance().GetText("exit"));
        QCOMPARE(prompt.asked.back().type, MB_YESNO | MB_ICONQUESTION);

        prompt.answer = IDYES;
        window.OnCommand(kCmdExitSafe);
        QVERIFY(!window.isVisible());
        QCOMPARE(CountOf(prompt, "static_exit"), 2);
    }

    void SavingTheSettingsStoresThemAndChecksTheFreeSpace()
    {
        struct statvfs volume
        {
        };
        QVERIFY(statvfs(config.path().toUtf8().constData(), &volume) == 0);
        if (static_cast<unsigned long long>(volume.f_bfree) * volume.f_frsize >= 1099511627776ULL)
            QSKIP("the test volume has 1 TB free; the minimum cannot be missed");
        CRecordingPrompt prompt;
        CKelvaneDlg window(&prompt);
        const QString work = config.filePath(QStringLiteral("work"));
        AnswerNextModal<CKelvaneSetting>([&work](CKelvaneSetting* dialog) {
            dialog->NumberEdit()->setText(QStringLiteral("1024"));
            dialog->UnitBox()->setCurrentText(QStringLiteral("GB"));
            dialog->WorkingDirEdit()->setText(work);
            dialog->NetWorkingDirEdit()->setText(QStringLiteral("/mnt/bidserver"));
            dialog->accept();
        });
        window.OnCommand(kCmdSetting);
        const CSettingFile& settings = CSettingFile::Instance();
        QCOMPARE(settings.GetFreeSpace(), std::int64_t(1099511627776LL));
        QCOMPARE(QString::fromStdWString(settings.GetWorkingDir()), work);
        QCOMPARE(settings.GetNetWorkingDir(), std::wstring(L"/mnt/bidserver"));
        QCOMPARE(CountOf(prompt, "space_not_enough"), 1);
    }

    void SwitchingTheLocalLogOffStopsItAtOnce()
    {
        QCOMPARE(CSettingFile::Instance().SetWriteLocalLog(L"true"), 0);
        CRecordingPrompt prompt;
        CKelvaneDlg window(&prompt);
        QCOMPARE(WriteLocalLog(2, "before\n"), 1);
        const QFileInfo log(QString::fromStdString(GetLocalLogPath()));
        const qint64 size = log.size();
        QVERIFY(size > 0);
        AnswerNextModal<CKelvaneSetting>([](CKelvaneSetting* dialog) {
            dialog->LogCheck()->setChecked(false);
            dialog->accept();
        });
        window.OnCommand(kCmdSetting);
        WriteLocalLog(2, "after\n");
        QCOMPARE(QFileInfo(log.filePath()).size(), size);
    }
};

QTEST_MAIN(TestKelvaneDlg)
#include "TestKelvaneDlg.moc"
