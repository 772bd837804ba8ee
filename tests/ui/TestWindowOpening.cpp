// The operator's day through the window, on a tender served from loopback with real tokens: the
// certificate chooser of the first time-stamp test, the import command with its dialog and the
// progress window, then the opening of the imported bids with the PIN dialogs answered as an operator would,
// and the rows it fills.
#include "ModalHelper.h"
#include "OpeningBench.h"
#include "app/LanguageCatalogue.h"
#include "app/TextConversion.h"
#include "audit/OperatorSignature.h"
#include "ui/CKelvaneDlg.h"
#include "ui/CMsgListView.h"
#include "ui/CRibbonBar.h"
#include "ui/PkiDialogs.h"
#include "verify/widgets/CVerifyProgressDlg.h"
#include "workspace/widgets/CBidFileListView.h"
#include "workspace/widgets/CFolderTreeView.h"
#include "workspace/widgets/CImportFileDlg.h"

#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <QUrl>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace kelvane::test;

namespace {

std::wstring Text(const char* key)
{
    return CLanguageCatalogue::Instance().GetText(key);
}

// Answers as an operator at the desk: yes to the key question, OK to every confirmation; and
// keeps what it was asked.
class COperatorPrompt : public IPrompt
{
public:
    int Ask(const std::wstring& text, const std::wstring&, unsigned type) override
    {
        asked.push_back(text);
        if ((type & 0xF) == MB_YESNO || (type & 0xF) == MB_YESNOCANCEL)
            return IDYES;
        return IDOK;
    }
    bool WasAsked(const std::wstring& text) const
    {
        return std::find(asked.begin(), asked.end(), text) != asked.end();
    }

    std::vector<std::wstring> asked;
};

// Answers the PKI library's dialogs and the import dialog whenever one is the active modal
// window, for as long as it lives; records what it answered.
class CDeskOperator : public QObject
{
public:
    explicit CDeskOperator(COpeningBench& openingBench)
        : bench(openingBench)
    {
        connect(&timer, &QTimer::timeout, this, &CDeskOperator::AnswerActiveModal);
        timer.start(10);
    }

    // The files the import dialog is given; none: it is cancelled.
    std::vector<std::wstring> importFiles;
    // What the import dialog's list held when it came up.
    QString listOnArrival;
    QStringList pinLabels;
    int chooserShown = 0;
    int importShown = 0;

private:
    void AnswerActiveModal()
    {
        QWidget* const modal = QApplication::activeModalWidget();
        if (auto* const pin = qobject_cast<CPinDialog*>(modal)) {
            pinLabels << pin->TokenLabel();
            pin->PinEdit()->setText(
                QString::fromStdString(bench.tokens.Token(pin->TokenLabel().toStdString()).pin));
            pin->accept();
        } else if (auto* const chooser = qobject_cast<CCertChooserDlg*>(modal)) {
            ++chooserShown;
            const auto found = chooser->List()->findItems(QStringLiteral("操作员"), Qt::MatchContains, 0);
            if (!found.isEmpty())
                chooser->List()->setCurrentItem(found.first());
            chooser->accept();
        } else if (auto* const import = qobject_cast<CImportFileDlg*>(modal)) {
            ++importShown;
            listOnArrival = import->ShownList()->toPlainText();
            if (importFiles.empty()) {
                import->reject();
                return;
            }
            import->AddChosenFiles(importFiles);
            import->accept();
        }
    }

    COpeningBench& bench;
    QTimer timer;
};

// Takes the URLs the desktop would open.
class CUrlCatcher : public QObject
{
    Q_OBJECT

public:
    Q_INVOKABLE void Open(const QUrl& url) { opened << url; }
    QList<QUrl> opened;
};

} // namespace

class TestWindowOpening : public QObject
{
    Q_OBJECT

private:
    COpeningBench& bench = COpeningBench::Get();
    QTemporaryDir root;
    fs::path work;
    fs::path incoming;
    COperatorPrompt prompt;
    std::unique_ptr<CKelvaneDlg> window;
    std::vector<std::string> bidders { "甲公司", "乙公司" };

    fs::path Package() const { return work / kProject / "L1"; }

private slots:
    void initTestCase()
    {
        QVERIFY(root.isValid());
        bench.FreezeAt(0);
        const fs::path folder = root.path().toStdString();
        work = folder / "work";
        incoming = folder / "incoming";
        fs::create_directories(incoming);
        const fs::path settings = folder / "config" / "QUARN" / "rmw" / "Setting.ini";
        fs::create_directories(settings.parent_path());
        std::ofstream(settings) << "[WorkingDir]\npath=" << work.string() << "\n"
                                << "[BidRuleFileURL]\nurl=" << bench.services.Url("/rules") << "\n"
                                << "[TimeStampURL]\nurl=" << bench.services.Url("/tsa") << "\n"
                                << "[LogService]\nIsSumbitLog=true\n[LogSubmitURL]\nurl="
                                << bench.services.Url("/log") << "\n";
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((folder / "config").string()));
        qunsetenv("KELVANE_OPERATOR_CERT");

        const std::string rules = bench.WriteRules(3, 2, { kOpenerA, kOpenerB, kOpenerC });
        for (const std::string& bidder : bidders) {
            const fs::path bid = incoming / (bidder + "_" + kProject + "_L1.bidx");
            SealBid(bid, rules, 2, { kOpenerA, kOpenerB, kOpenerC }, 50000);
        }

        // Half a second after the start the window tests the time-stamp authority, in the name of
        // an operator whom it asks to choose a certificate.
        CDeskOperator desk(bench);
        window = std::make_unique<CKelvaneDlg>(&prompt);
        window->InitDialog();
        window->resize(1280, 800);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        const QString stamped = QString::fromStdWString(Text("get_timestmap_success"));
        QTRY_VERIFY_WITH_TIMEOUT(window->OutputView()->Lines().filter(stamped).size() == 1, 20000);
        QCOMPARE(desk.chooserShown, 1);
    }

    void cleanupTestCase() { window.reset(); }

    void DroppedFilesComeUpInTheImportDialog()
    {
        CDeskOperator desk(bench);
        QMimeData remote;
        remote.setUrls({ QUrl(QStringLiteral("https://example.org/a.bidx")) });
        QDragEnterEvent refused(QPoint(10, 10), Qt::CopyAction, &remote, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &refused);
        QVERIFY(!refused.isAccepted());

        QMimeData local;
        QList<QUrl> urls;
        for (const std::string& bidder : bidders)
            urls << QUrl::fromLocalFile(
                QString::fromStdString((incoming / (bidder + "_" + kProject + "_L1.bidx")).string()));
        local.setUrls(urls);
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &local, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &local, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &drop);
        QTRY_COMPARE(desk.importShown, 1);
        for (const std::string& bidder : bidders)
            QVERIFY2(
                desk.listOnArrival.contains(QString::fromStdString(bidder)), qPrintable(desk.listOnArrival));
        QVERIFY(!fs::exists(Package()));
    }

    void ImportCommandVerifiesCopiesAndListsTheNewFiles()
    {
        CDeskOperator desk(bench);
        for (const fs::directory_entry& entry : fs::directory_iterator(incoming))
            desk.importFiles.push_back(Utf8ToWide(entry.path().string()));
        const size_t recordsBefore = bench.Records().size();

        window->OnCommand(kCmdImport);

        QCOMPARE(desk.importShown, 1);
        QCOMPARE(desk.chooserShown, 0);
        for (const std::string& bidder : bidders)
            QVERIFY(fs::exists(Package() / (bidder + "_" + kProject + "_L1.bidx")));
        QCOMPARE(window->Tree()->GetSelectedPath(), Utf8ToWide(Package().string()) + L"/");
        QTRY_COMPARE(window->List()->rowCount(), int(bidders.size()));
        QStringList listed;
        for (int row = 0; row < window->List()->rowCount(); ++row)
            listed << window->List()->item(row, 1)->text();
        listed.sort();
        QCOMPARE(listed,
            QStringList(
                { QStringLiteral("乙公司_P2026-017_L1.bidx"), QStringLiteral("甲公司_P2026-017_L1.bidx") }));
        QVERIFY(bench.Records().size() > recordsBefore);
        QCOMPARE(QString::fromStdString(bench.Records()[recordsBefore].message),
            QStringLiteral("导入标书操作开始"));
    }

    void OpeningThroughTheWindowFillsEveryRow()
    {
        // A window started with the operator's certificate named (as the screenshots start it)
        // takes that certificate without the chooser: the held one is forgotten and the hooks
        // registered again as at such a start.
        qputenv("KELVANE_OPERATOR_CERT", QByteArray(kOperator));
        SetOperatorCert(nullptr);
        InstallPkiHooks(window.get());
        CDeskOperator desk(bench);
        QVERIFY(window->List()->rowCount() > 0);
        QVERIFY2(window->List()->NewestRecordPdf().empty(), "no record yet: the menu's entry is off");
        window->OnCommand(kCmdSelectAll);
        window->OnCommand(kCmdDecrypt);

        const std::wstring summary = L"本次开标已完成，其中解密成功2份标书，解密失败0份标书";
        QTRY_VERIFY_WITH_TIMEOUT(prompt.WasAsked(summary), 120000);
        QTRY_VERIFY(!window->IsBusy());
        QVERIFY(window->Tree()->isEnabled());
        QVERIFY(prompt.WasAsked(Text("insert_bidder_key")));
        QVERIFY(prompt.WasAsked(Text("bidder_confirm")));
        QCOMPARE(desk.chooserShown, 0);
        QVERIFY2(desk.pinLabels.contains(QString::fromUtf8(kOpenerA)), qPrintable(desk.pinLabels.join(',')));
        QCOMPARE(desk.pinLabels.count(QString::fromUtf8(kOpenerA)), 1);

        CBidFileListView& list = *window->List();
        for (int row = 0; row < list.rowCount(); ++row) {
            const QString file = list.item(row, 1)->text();
            const QString stem = file.left(file.lastIndexOf(QLatin1Char('.')));
            QCOMPARE(list.item(row, kColumnBidder)->text(), QStringLiteral("投标人 ") + stem);
            QCOMPARE(list.item(row, kColumnBidCompany)->text(), QStringLiteral("投标公司"));
            QCOMPARE(list.item(row, kColumnOpenCompany)->text(), QStringLiteral("市开标中心"));
            QCOMPARE(list.item(row, kColumnStatus)->text(), QString::fromStdWString(Text("status_derypted")));
            const QString openers = list.item(row, kColumnOpenerPresence)->text();
            QVERIFY2(openers.startsWith(QLatin1Char('(')) && openers.contains(QStringLiteral("开标人 A")),
                qPrintable(openers));
            QCOMPARE(list.item(row, kColumnOpenerPresence)->toolTip(), openers);
            QCOMPARE(list.item(row, kColumnOpenTime)->text(), QString::fromStdString(OpenTimeText()));
            QVERIFY(fs::is_directory(Package() / "Open" / stem.toStdString()));
        }
        QVERIFY(!fs::exists(Package() / "Bad") || fs::is_empty(Package() / "Bad"));
        // The run's end, then where the window's opening left its record's files.
        const QStringList lines = window->OutputView()->Lines();
        QVERIFY(lines.size() >= 4);
        QVERIFY(lines[lines.size() - 4].endsWith(QString::fromStdWString(Text("end_open_bidfile"))));
        for (int i = 1; i <= 3; ++i)
            QVERIFY2(lines[lines.size() - i].contains(
                         QString::fromStdWString(Text("record_written") + Utf8ToWide(Package().string()))),
                qPrintable(lines[lines.size() - i]));
        QVERIFY(lines.last().endsWith(QStringLiteral(".pdf")));

        // The list's "opening record" opens that PDF with the desktop's viewer.
        const QString pdf = QString::fromStdWString(list.NewestRecordPdf());
        QVERIFY2(lines.last().endsWith(pdf), qPrintable(pdf));
        CUrlCatcher viewer;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &viewer, "Open");
        list.OpenNewestRecord();
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QCOMPARE(viewer.opened, QList<QUrl> { QUrl::fromLocalFile(pdf) });
    }

    void DrillFromTheTimeStampTestsMenuReportsInTheOutputView()
    {
        CDeskOperator desk(bench);
        const size_t recordsBefore = bench.Records().size();
        CRibbonBar& ribbon = *window->RibbonBar();
        const CRibbonControl* stamp = nullptr;
        for (const CRibbonControl* control : ribbon.SelectedControls())
            stamp = control->item.id == kCmdTestTimestamp ? control : stamp;
        QVERIFY(stamp != nullptr);
        const auto menu = ribbon.MakeContextMenu(*stamp);
        QCOMPARE(menu->actions().size(), 1);
        menu->actions().first()->trigger();

        QTRY_VERIFY(window->IsDrilling());
        QTRY_VERIFY_WITH_TIMEOUT(!window->IsDrilling(), 60000);
        const QString verdict = QString::fromStdWString(Text("drill_verdict_ready"))
                                    .replace(QStringLiteral("%d/%d"), QStringLiteral("3/3"))
                                    .replace(QStringLiteral("%d"), QStringLiteral("2"));
        const QStringList lines = window->OutputView()->Lines();
        QVERIFY2(lines.last().endsWith(verdict), qPrintable(lines.mid(lines.size() - 5).join('\n')));
        QCOMPARE(
            std::count(prompt.asked.begin(), prompt.asked.end(), Text("drill_insert_token") + L"\n开标人 A"),
            1);
        const auto records = bench.RecordsSince(recordsBefore);
        QCOMPARE(int(records.size()), 1);
        QVERIFY(QString::fromStdString(records[0].message).startsWith(QStringLiteral("开标人演练：3/3")));
    }
};

QTEST_MAIN(TestWindowOpening)
#include "TestWindowOpening.moc"
