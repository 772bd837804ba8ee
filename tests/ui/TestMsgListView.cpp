// The output view: line format, selection, lines from workers, export.
#include "ui/CMsgListView.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

class TestMsgListView : public QObject
{
    Q_OBJECT

private slots:
    void LinesCarryTheBlankPaddedTimeAndTheNewestIsSelected()
    {
        CMsgListView view(QStringLiteral("输出"));
        view.resize(500, 178);
        view.show();
        for (int i = 0; i < 200; ++i)
            view.Output(QStringLiteral("第%1行").arg(i).toStdWString(), 1);
        const QStringList lines = view.Lines();
        QCOMPARE(lines.size(), 200);
        // "%4d-%2d-%2d %2d:%2d:%2d" then three blanks: a field below 10 has a blank, not a zero.
        static const QRegularExpression format(
            QStringLiteral("^\\d{4}-[ 1]\\d-[ 1-3]\\d [ 12]\\d:[ 1-5]\\d:[ 1-5]\\d   第199行$"));
        QVERIFY2(format.match(lines.last()).hasMatch(), qPrintable(lines.last()));
        QVERIFY(!lines.last().contains(QRegularExpression(QStringLiteral("[-: ]0\\d"))));
        QCOMPARE(view.ListBox()->currentRow(), 199);
        QVERIFY(view.ListBox()->item(199)->isSelected());
        QCOMPARE(view.ListBox()->selectedItems().size(), 1);
    }

    void LinesFromTwoThreadsArriveWholeAndInOrder()
    {
        CMsgListView view(QStringLiteral("输出"));
        constexpr int perThread = 300;
        std::atomic<int> finished { 0 };
        std::vector<std::thread> workers;
        for (int worker = 0; worker < 2; ++worker) {
            workers.emplace_back([&view, &finished, worker] {
                for (int i = 0; i < perThread; ++i)
                    view.Output(QStringLiteral("线程%1 第%2行 %3")
                                    .arg(worker)
                                    .arg(i)
                                    .arg(QString(40, QChar(u'字')))
                                    .toStdWString(),
                        1);
                ++finished;
            });
        }
        QTRY_COMPARE_WITH_TIMEOUT(finished.load(), 2, 30000);
        for (auto& worker : workers)
            worker.join();

        const QStringList lines = view.Lines();
        QCOMPARE(lines.size(), 2 * perThread);
        int next[2] = { 0, 0 };
        static const QRegularExpression pattern(QStringLiteral("   线程(\\d) 第(\\d+)行 (字{40})$"));
        for (const QString& line : lines) {
            const auto match = pattern.match(line);
            QVERIFY2(match.hasMatch(), qPrintable(line));
            const int worker = match.captured(1).toInt();
            QCOMPARE(match.captured(2).toInt(), next[worker]);
            ++next[worker];
        }
        QCOMPARE(next[0], perThread);
        QCOMPARE(next[1], perThread);
    }

    void AWorkerWaitingOnADestroyedViewIsReleased()
    {
        auto view = std::make_unique<CMsgListView>(QStringLiteral("输出"));
        std::atomic<bool> returned { false };
        std::thread worker([&view, &returned] {
            view->Output(L"迟到的一行", 1);
            returned = true;
        });
        // The UI thread is busy elsewhere while the worker's line waits, then the view goes.
        QThread::msleep(300);
        QVERIFY(!returned.load());
        view.reset();
        worker.join();
        QVERIFY(returned.load());
    }

    void ExportOfAnEmptyViewWritesOnlyTheByteOrderMark()
    {
        QTemporaryDir folder;
        CMsgListView view(QStringLiteral("输出"));
        const QString path = folder.filePath(QStringLiteral("log.txt"));
        QVERIFY(view.ExportLogTo(path));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("\xFF\xFE", 2));
    }

    void ExportWritesEveryLineAsShownInUtf16LittleEndianWithCrLf()
    {
        QTemporaryDir folder;
        CMsgListView view(QStringLiteral("输出"));
        view.Output(L"开始开标", 1);
        view.Output(L"done", 1);
        const QString path = folder.filePath(QStringLiteral("log.txt"));
        // An existing longer file is replaced, not overwritten in part.
        {
            QFile old(path);
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write(QByteArray(4096, 'x'));
        }
        QVERIFY(view.ExportLogTo(path));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QByteArray expected("\xFF\xFE", 2);
        for (const QString& line : view.Lines()) {
            for (const QChar c : line + QStringLiteral("\r\n")) {
                expected.append(static_cast<char>(c.unicode() & 0xFF));
                expected.append(static_cast<char>(c.unicode() >> 8));
            }
        }
        QCOMPARE(bytes, expected);
        QCOMPARE(bytes.mid(bytes.size() - 4), QByteArray("\r\0\n\0", 4));
    }

    void ExportToAnUnwritablePlaceFailsAndLeavesTheView()
    {
        QTemporaryDir folder;
        CMsgListView view(QStringLiteral("输出"));
        view.Output(L"一行", 1);
        QVERIFY(!view.ExportLogTo(folder.filePath(QStringLiteral("missing/sub/log.txt"))));
        QVERIFY(!view.ExportLogTo(folder.path())); // a folder
        QCOMPARE(view.Lines().size(), 1);
    }
};

QTEST_MAIN(TestMsgListView)
#include "TestMsgListView.moc"
