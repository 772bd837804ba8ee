// The pane frame and the list's column header.
#include "ui/CContainWnd.h"
#include "ui/CHeaderCtrlEx.h"

#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTableView>
#include <QTest>

class TestPaneFrames : public QObject
{
    Q_OBJECT

private slots:
    void ClientFillsTheFrameBelowTheCaption()
    {
        CContainWnd frame(QStringLiteral("工作区"));
        frame.resize(300, 200);
        frame.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frame));
        auto* const client = new QWidget;
        frame.SetClient(client);
        QCOMPARE(client->parent(), &frame);
        QCOMPARE(client->geometry(), QRect(1, 33, 298, 166));
        frame.resize(400, 100);
        QCOMPARE(client->geometry(), QRect(1, 33, 398, 66));
    }

    void FirstColumnClickAsksToToggleAll()
    {
        QStandardItemModel model(3, 3);
        model.setHorizontalHeaderLabels(
            { QStringLiteral("全选"), QStringLiteral("投标人"), QStringLiteral("状态") });
        QTableView view;
        auto* const header = new CHeaderCtrlEx(&view);
        view.setHorizontalHeader(header);
        view.setModel(&model);
        view.resize(400, 200);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QSignalSpy toggles(header, &CHeaderCtrlEx::ToggleAllRequested);

        const auto centreOf = [header](int section) {
            return QPoint(header->sectionViewportPosition(section) + header->sectionSize(section) / 2,
                header->height() / 2);
        };
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, centreOf(1));
        QCOMPARE(toggles.count(), 0);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, centreOf(0));
        QCOMPARE(toggles.count(), 1);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, centreOf(0));
        QCOMPARE(toggles.count(), 2);
        QVERIFY(!header->IsPressed());

        // Pressed on the first column and let go on another is no click.
        QTest::mousePress(header->viewport(), Qt::LeftButton, {}, centreOf(0));
        QVERIFY(header->IsPressed());
        QTest::mouseRelease(header->viewport(), Qt::LeftButton, {}, centreOf(2));
        QCOMPARE(toggles.count(), 2);
    }

    void HotColumnFollowsTheMouse()
    {
        QStandardItemModel model(1, 2);
        QTableView view;
        auto* const header = new CHeaderCtrlEx(&view);
        view.setHorizontalHeader(header);
        view.setModel(&model);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QTest::mouseMove(header->viewport(), QPoint(header->sectionViewportPosition(1) + 5, 5));
        QTRY_COMPARE(header->HotItem(), 1);
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(header, &leave);
        QCOMPARE(header->HotItem(), -1);
    }
};

QTEST_MAIN(TestPaneFrames)
#include "TestPaneFrames.moc"
