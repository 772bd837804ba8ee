// The workspace tree and the bid-file list, alone and inside the main window: which folders the
// tree shows, the rows and check boxes of the list, the warnings, the clean-up, and an opening
// that ends or is cut short by closing the window.
#include "RecordingPrompt.h"
#include "app/LanguageCatalogue.h"
#include "app/SettingFile.h"
#include "opening/COpeningErrorTexts.h"
#include "ui/CKelvaneDlg.h"
#include "ui/KelvaneEvents.h"
#include "workspace/CFolderFileCache.h"
#include "workspace/widgets/CBidFileListView.h"
#include "workspace/widgets/CFolderTreeView.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <fstream>
#include <vector>

namespace {

// Records the window messages that reach it.
class CMessageSink : public QObject
{
public:
    std::vector<int> received;

    int Count(unsigned message) const
    {
        return static_cast<int>(
            std::count(received.begin(), received.end(), static_cast<int>(KelvaneEventType(message))));
    }

protected:
    void customEvent(QEvent* event) override { received.push_back(static_cast<int>(event->type())); }
};

std::wstring Text(const char* key)
{
    return CLanguageCatalogue::Instance().GetText(key);
}

int CountOf(const CRecordingPrompt& prompt, const char* key)
{
    int count = 0;
    for (const auto& box : prompt.asked)
        count += box.text == Text(key) ? 1 : 0;
    return count;
}

void Touch(const QString& path)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("x");
}

void ClickHeader(QHeaderView* header, int section)
{
    const QPoint centre(
        header->sectionViewportPosition(section) + header->sectionSize(section) / 2, header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, centre);
}

// The entries of the context menu that a right click at pos in view's viewport pops up; empty when
// none pops up.
QStringList ContextMenuAt(QAbstractScrollArea* view, QPoint pos)
{
    QStringList texts;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &watch, [&texts, &watch] {
        auto* const menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr)
            return;
        watch.stop();
        for (const QAction* action : menu->actions())
            texts << action->text() + (action->isEnabled() ? QString() : QStringLiteral(" [off]"));
        menu->close();
    });
    watch.start(10);
    QContextMenuEvent event(QContextMenuEvent::Mouse, pos, view->viewport()->mapToGlobal(pos));
    QCoreApplication::sendEvent(view->viewport(), &event);
    QCoreApplication::processEvents();
    return texts;
}

} // namespace

class TestWorkspaceWidgets : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir scratch;
    QString work;

    // A fresh working directory: P1 with packages L1 (two bid files, a stray file of any
    // extension and an Open folder) and L2, P2 without packages, and files that never show.
    void MakeWorkspace(const QString& rulesUrl = QStringLiteral("http://127.0.0.1:1/rules"))
    {
        static int number = 0;
        work = scratch.filePath(QStringLiteral("work%1").arg(++number));
        QDir().mkpath(work + QStringLiteral("/P1/L1/Open/inner"));
        QDir().mkpath(work + QStringLiteral("/P1/L2"));
        QDir().mkpath(work + QStringLiteral("/P2"));
        Touch(work + QStringLiteral("/P1/L1/a.bidx"));
        Touch(work + QStringLiteral("/P1/L1/b.txt"));
        Touch(work + QStringLiteral("/P1/L1/Open/inner/c.bidx"));
        Touch(work + QStringLiteral("/P1/stray.bidx"));
        Touch(work + QStringLiteral("/root.bidx"));
        const QString config = scratch.filePath(QStringLiteral("config/QUARN/rmw"));
        QDir().mkpath(config);
        QFile ini(config + QStringLiteral("/Setting.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ini.write(QStringLiteral(
            "[WorkingDir]\npath=%1\n[BidRuleFileURL]\nurl=%2\n[TimeStampURL]\nurl=http://127.0.0.1:1/tsa\n"
            "[LogService]\nIsSumbitLog=false\n[LocalLog]\nIsWriteLocalLog=false\n")
                      .arg(work, rulesUrl)
                      .toUtf8());
        CFolderFileCache::Instance().Clear();
    }

    QString Package(const char* project, const char* package) const
    {
        return work + QStringLiteral("/%1/%2/").arg(QLatin1String(project), QLatin1String(package));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(scratch.isValid());
        qputenv("XDG_CONFIG_HOME", scratch.filePath(QStringLiteral("config")).toUtf8());
    }

    void TreeShowsProjectsAndPackagesOnly()
    {
        MakeWorkspace();
        CRecordingPrompt prompt;
        CMessageSink sink;
        CFolderTreeView tree(prompt, &sink);
        tree.RefreshTree();
        QCoreApplication::processEvents();
        QVERIFY(sink.Count(WM_FOLDER_SELECTED) >= 1);

        QCOMPARE(tree.topLevelItemCount(), 1);
        QTreeWidgetItem* const root = tree.topLevelItem(0);
        QCOMPARE(root->text(0), work);
        QCOMPARE(root->childCount(), 2);
        QCOMPARE(root->child(0)->text(0), QStringLiteral("P1"));
        QCOMPARE(root->child(0)->childCount(), 2);
        QCOMPARE(root->child(0)->child(0)->text(0), QStringLiteral("L1"));
        QCOMPARE(root->child(0)->child(0)->childCount(), 0);
        QCOMPARE(root->child(0)->child(1)->text(0), QStringLiteral("L2"));
        QCOMPARE(root->child(1)->text(0), QStringLiteral("P2"));
        QCOMPARE(root->child(1)->childCount(), 0);
        QVERIFY(root->child(1)->isExpanded());
        QVERIFY(!root->icon(0).isNull());

        // The first package is selected; a project alone has no path; an unknown name changes nothing.
        QCOMPARE(tree.currentItem(), root->child(0)->child(0));
        QCOMPARE(QString::fromStdWString(tree.GetSelectedPath()), Package("P1", "L1"));
        QVERIFY(tree.SelectProjectPackage(L"P2", L""));
        QCOMPARE(tree.currentItem(), root->child(1));
        QVERIFY(tree.GetSelectedPath().empty());
        QVERIFY(!tree.SelectProjectPackage(L"p1", L""));
        QCOMPARE(tree.GetSelectedProject(), std::wstring(L"P2"));

        // A click on an item selects it and tells the window.
        QCoreApplication::processEvents();
        const int before = sink.Count(WM_FOLDER_SELECTED);
        tree.setCurrentItem(root->child(0)->child(1));
        QCoreApplication::processEvents();
        QCOMPARE(sink.Count(WM_FOLDER_SELECTED), before + 1);
        QCOMPARE(tree.GetSelectedPackage(), std::wstring(L"L2"));
        tree.setCurrentItem(root);
        QVERIFY(tree.GetSelectedProject().empty());

        // A folder made by hand shows after the refresh, with the selection kept.
        QVERIFY(tree.SelectProjectPackage(L"P1", L"L2"));
        QDir().mkpath(work + QStringLiteral("/P2/L9"));
        tree.RefreshKeepSelection();
        QCOMPARE(tree.topLevelItem(0)->child(1)->childCount(), 1);
        QCOMPARE(QString::fromStdWString(tree.GetSelectedPath()), Package("P1", "L2"));
        QCOMPARE(tree.currentItem()->text(0), QStringLiteral("L2"));
    }

    void WorkingDirThatCannotBeMadeLeavesAnEmptyTree()
    {
        MakeWorkspace();
        QCOMPARE(
            CSettingFile::Instance().SetWorkingDir((work + QStringLiteral("/root.bidx/sub")).toStdWString()),
            0);
        CRecordingPrompt prompt;
        CFolderTreeView tree(prompt, nullptr);
        tree.RefreshTree();
        QCOMPARE(tree.topLevelItemCount(), 0);
        QVERIFY(tree.GetSelectedPath().empty());
        QCOMPARE(CountOf(prompt, "create_workdir_fail"), 1);
        QCOMPARE(prompt.asked.back().type, MB_OK | MB_ICONERROR);
        // The refresh command says so too instead of leaving the tree blank.
        tree.RefreshKeepSelection();
        QCOMPARE(CountOf(prompt, "create_workdir_fail"), 2);
    }

    void ListShowsThePackageFilesWithTheirColumns()
    {
        MakeWorkspace();
        CRecordingPrompt prompt;
        CBidFileListView list(prompt, nullptr);
        QCOMPARE(list.columnCount(), 8);
        const std::vector<std::pair<const char*, int>> columns = { { "select_allornot", 80 },
            { "enc_bidfile", 150 }, { "bidder", 100 }, { "bid_company", 150 }, { "open_company", 150 },
            { "status", 100 }, { "opener_presence", 200 }, { "open_time", 200 } };
        for (int i = 0; i < 8; ++i) {
            QCOMPARE(list.horizontalHeaderItem(i)->text(), QString::fromStdWString(Text(columns[i].first)));
            QCOMPARE(list.columnWidth(i), columns[i].second);
        }

        list.ShowFolder(Package("P1", "L1").toStdWString());
        QCOMPARE(list.rowCount(), 2);
        QCOMPARE(list.item(0, 0)->text(), QStringLiteral("1"));
        QCOMPARE(list.item(1, 0)->text(), QStringLiteral("2"));
        QCOMPARE(list.item(0, 1)->text(), QStringLiteral("a.bidx"));
        QCOMPARE(list.item(0, 1)->toolTip(), QStringLiteral("a.bidx"));
        QCOMPARE(list.item(1, 1)->text(), QStringLiteral("b.txt"));
        QCOMPARE(list.GetProjectNumber(), std::wstring(L"P1"));
        QVERIFY(list.GetSelectedFilePath().empty());
        list.selectRow(1);
        QCOMPARE(QString::fromStdWString(list.GetSelectedFilePath()),
            Package("P1", "L1") + QStringLiteral("b.txt"));

        // The worker's row texts land in place; rows and columns out of range are ignored.
        list.SetItemText(1, kColumnStatus, L"已解密");
        list.SetItemText(5, kColumnStatus, L"x");
        list.SetItemText(0, 8, L"x");
        QCOMPARE(list.item(1, kColumnStatus)->text(), QStringLiteral("已解密"));

        list.ShowFolder(L"");
        QCOMPARE(list.rowCount(), 0);
        QVERIFY(list.GetShownFolder().empty());
    }

    void HeaderClickChecksAllThenClearsAll()
    {
        MakeWorkspace();
        CRecordingPrompt prompt;
        CBidFileListView list(prompt, nullptr);
        list.resize(800, 300);
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));
        list.ShowFolder(Package("P1", "L1").toStdWString());
        list.item(1, 0)->setCheckState(Qt::Checked);

        ClickHeader(list.horizontalHeader(), 0);
        QVERIFY(list.IsChecked(0) && list.IsChecked(1));
        ClickHeader(list.horizontalHeader(), 1);
        QVERIFY(list.IsChecked(0) && list.IsChecked(1));
        ClickHeader(list.horizontalHeader(), 0);
        QVERIFY(!list.IsChecked(0) && !list.IsChecked(1));
        list.CheckAll();
        QVERIFY(list.IsChecked(0) && list.IsChecked(1));
    }

    void RightClicksSelectAndOfferTheirFixedEntries()
    {
        MakeWorkspace();
        CRecordingPrompt prompt;
        CFolderTreeView tree(prompt, nullptr);
        tree.resize(200, 400);
        tree.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tree));
        tree.RefreshTree();
        QTreeWidgetItem* const l2 = tree.topLevelItem(0)->child(0)->child(1);
        const QStringList treeEntries = ContextMenuAt(&tree, tree.visualItemRect(l2).center());
        QCOMPARE(treeEntries,
            QStringList(
                { QStringLiteral("刷新(&R)"), QStringLiteral("打开(&R)"), QStringLiteral("清理(&C)") }));
        QCOMPARE(tree.GetSelectedPackage(), std::wstring(L"L2"));

        CBidFileListView list(prompt, nullptr);
        list.resize(800, 300);
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));
        list.ShowFolder(Package("P1", "L1").toStdWString());
        QVERIFY(ContextMenuAt(&list, QPoint(10, list.viewport()->height() - 5)).isEmpty());
        const QStringList rowEntries
            = ContextMenuAt(&list, list.visualRect(list.model()->index(1, 1)).center());
        QCOMPARE(
            rowEntries, QStringList({ QStringLiteral("查看签名证书"), QStringLiteral("开标记录 [off]") }));
        QCOMPARE(QString::fromStdWString(list.GetSelectedFilePath()),
            Package("P1", "L1") + QStringLiteral("b.txt"));
        // The package's record, once an opening has written one, can be opened from there.
        std::ofstream(
            (Package("P1", "L1") + QStringLiteral("开标记录-P1-L1-20261209000000.pdf")).toStdString())
            << "%PDF-1.4\n";
        QCOMPARE(ContextMenuAt(&list, list.visualRect(list.model()->index(1, 1)).center()),
            QStringList({ QStringLiteral("查看签名证书"), QStringLiteral("开标记录") }));
    }

    void NothingTickedWarnsAndStartsNothing()
    {
        MakeWorkspace();
        CRecordingPrompt prompt;
        CMessageSink sink;
        CBidFileListView list(prompt, &sink);
        list.ShowFolder(Package("P1", "L1").toStdWString());
        list.OpenTickedFiles();
        QCOMPARE(prompt.asked.size(), std::size_t(1));
        QCOMPARE(prompt.asked[0].text, Text("select_decryptfile"));
        QCOMPARE(prompt.asked[0].caption, Text("tips"));
        QCOMPARE(prompt.asked[0].type, MB_OK | MB_ICONWARNING);
        QCOMPARE(sink.Count(WM_OPENING_STARTED), 0);
        QVERIFY(!list.Manager().IsRunning());

        // Without a selected row the certificate view asks for one first.
        list.ViewSignCert();
        QCOMPARE(prompt.asked.back().text, Text("select_bidfile_first"));
        QCOMPARE(prompt.asked.back().type, MB_YESNO | MB_ICONINFORMATION);
    }

    void WindowListsTheSelectedPackageAndCleansUp()
    {
        MakeWorkspace();
        CRecordingPrompt prompt(IDYES);
        CKelvaneDlg window(&prompt);
        window.Tree()->RefreshTree();
        QTRY_COMPARE(window.List()->rowCount(), 2);
        window.OnCommand(kCmdSelectAll);
        QVERIFY(window.List()->IsChecked(0) && window.List()->IsChecked(1));

        // A project selection empties the list.
        QVERIFY(window.Tree()->SelectProjectPackage(L"P1", L""));
        QTRY_COMPARE(window.List()->rowCount(), 0);

        // Clean-up with a package selected removes only that package.
        QVERIFY(window.Tree()->SelectProjectPackage(L"P1", L"L2"));
        window.OnCommand(kCmdTrash);
        QVERIFY(!QDir(Package("P1", "L2")).exists());
        QVERIFY(QDir(Package("P1", "L1")).exists());
        QCOMPARE(window.Tree()->topLevelItem(0)->child(0)->childCount(), 1);
        // With a project selected the whole project goes.
        QVERIFY(window.Tree()->SelectProjectPackage(L"P2", L""));
        window.OnCommand(kCmdTrash);
        QVERIFY(!QDir(work + QStringLiteral("/P2")).exists());
        QCOMPARE(window.Tree()->topLevelItem(0)->childCount(), 1);
    }

    void FailedOpeningShowsItsErrorAndEndsTheBusyState()
    {
        MakeWorkspace();
        CRecordingPrompt prompt(IDYES);
        CKelvaneDlg window(&prompt);
        window.Tree()->RefreshTree();
        QTRY_COMPARE(window.List()->rowCount(), 2);
        window.List()->CheckAll();
        window.List()->OpenTickedFiles();
        QVERIFY(window.IsBusy());
        QVERIFY(!window.TreePane()->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!window.IsBusy(), 30000);
        QVERIFY(window.TreePane()->isEnabled());
        std::wstring rulesFailed;
        QVERIFY(COpeningErrorTexts::GetText(COpeningErrorTexts::kRulesNotFetched, rulesFailed));
        // Then the server asked and why.
        QTRY_VERIFY(prompt.asked.back().text.rfind(rulesFailed + L"\n", 0) == 0);
        QCOMPARE(prompt.asked.back().caption, Text("error"));
        QCOMPARE(prompt.asked.back().type, MB_OK | MB_ICONERROR);
    }

    void ConfirmedCloseDuringAnOpeningNeitherCrashesNorHangs()
    {
        MakeWorkspace();
        CRecordingPrompt prompt(IDYES);
        CKelvaneDlg window(&prompt);
        window.show();
        window.Tree()->RefreshTree();
        QTRY_COMPARE(window.List()->rowCount(), 2);
        window.List()->CheckAll();
        // The UI thread serves nothing until the close: the worker's first line waits on it.
        window.List()->OpenTickedFiles();
        QThread::msleep(300);
        QVERIFY(window.List()->Manager().IsRunning());
        QElapsedTimer clock;
        clock.start();
        QVERIFY(window.close());
        QVERIFY(clock.elapsed() < 20000);
        QVERIFY(!window.List()->Manager().IsRunning());
        QCOMPARE(CountOf(prompt, "static_exit"), 1);
        // Nothing the ended worker posted reaches the window any more.
        const std::size_t asked = prompt.asked.size();
        QTest::qWait(50);
        QCOMPARE(prompt.asked.size(), asked);
    }
};

QTEST_MAIN(TestWorkspaceWidgets)
#include "TestWorkspaceWidgets.moc"
