// The ribbon bar: its geometry, hover and press states, when commands fire, keyboard access and
// what screen readers see.
#include "ui/CRibbonBar.h"

#include <QAccessible>
#include <QFontMetrics>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

class TestRibbonBar : public QObject
{
    Q_OBJECT

private:
    // The main window's ribbon: one tab with groups of 4, 2, 3, 1 and 1 buttons.
    static void BuildMainRibbon(CRibbonBar& bar)
    {
        CRibbonTab* const tab = bar.AddTab(QStringLiteral("开始"), 1);
        const int counts[] = { 4, 2, 3, 1, 1 };
        int id = 100;
        int groupId = 10;
        for (const int count : counts) {
            CRibbonGroup* const group = tab->AddGroup(QStringLiteral("组"), groupId++);
            for (int i = 0; i < count; ++i)
                group->AddControl(0, id++, QStringLiteral("命令"));
        }
        bar.SelectTab(1);
    }

    static QPoint CentreOf(const CRibbonControl& control) { return control.item.rect.center(); }

private slots:
    void LabelsThatDoNotFitAreDrawnSmaller_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("flags");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<bool>("shrinks");
        const int button = Qt::AlignCenter | Qt::TextWordWrap;
        const int caption = Qt::AlignCenter | Qt::TextSingleLine;
        QTest::newRow("Chinese button label") << QStringLiteral("设置") << button << 42 << 39 << false;
        QTest::newRow("two-line Chinese label")
            << QStringLiteral("网上\n导入") << button << 42 << 39 << false;
        QTest::newRow("one long English word") << QStringLiteral("Settings") << button << 42 << 39 << true;
        QTest::newRow("English group caption")
            << QStringLiteral("Configuration") << caption << 48 << 16 << true;
    }
    void LabelsThatDoNotFitAreDrawnSmaller()
    {
        QFETCH(QString, text);
        QFETCH(int, flags);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(bool, shrinks);
        QFont font(QStringLiteral("Arial"));
        font.setPixelSize(15);
        const QRect rect(0, 0, width, height);
        const QFont fitted = FittedFont(font, rect, flags, text);
        QCOMPARE(fitted.pixelSize() < font.pixelSize(), shrinks);
        const QRect needed = QFontMetrics(fitted).boundingRect(rect, flags, text);
        QVERIFY2(needed.width() <= width && needed.height() <= height, qPrintable(text));
    }

    void GroupWidthFollowsItsControls_data()
    {
        QTest::addColumn<int>("controls");
        QTest::addColumn<int>("width");
        QTest::newRow("none") << 0 << 48;
        QTest::newRow("one") << 1 << 48;
        QTest::newRow("two") << 2 << 90;
        QTest::newRow("three") << 3 << 134;
        QTest::newRow("four") << 4 << 178;
    }
    void GroupWidthFollowsItsControls()
    {
        QFETCH(int, controls);
        QFETCH(int, width);
        CRibbonGroup group(1, QStringLiteral("g"));
        for (int i = 0; i < controls; ++i)
            QVERIFY(group.AddControl(0, i, QStringLiteral("c")) != nullptr);
        QCOMPARE(group.Width(), width);
    }

    void OnlyLargeButtonsCanBeAdded()
    {
        CRibbonGroup group(1, QStringLiteral("g"));
        QCOMPARE(group.AddControl(1, 5, QStringLiteral("c")), nullptr);
        QVERIFY(group.Controls().empty());
    }

    void MainWindowLayout()
    {
        CRibbonBar bar;
        bar.resize(800, bar.GetHeight());
        BuildMainRibbon(bar);
        bar.Layout();
        QCOMPARE(bar.GetHeight(), 128);
        QCOMPARE(bar.TabStripRect(), QRect(0, 0, 800, 24));
        QCOMPARE(bar.BodyRect(), QRect(0, 23, 800, 105));

        const CRibbonTab& tab = *bar.Tabs().front();
        QCOMPARE(tab.item.rect, QRect(48, 0, 56, 24));
        const int expectedLeft[] = { 0, 178, 269, 404, 453 };
        QCOMPARE(tab.Groups().size(), std::size(expectedLeft));
        for (std::size_t i = 0; i < tab.Groups().size(); ++i) {
            const CRibbonGroup& group = *tab.Groups()[i];
            QCOMPARE(group.item.rect.left(), expectedLeft[i]);
            QCOMPARE(group.item.rect.top(), 24);
            QCOMPARE(group.item.rect.top() + group.item.rect.height(), 124);
            for (std::size_t c = 0; c < group.Controls().size(); ++c) {
                const QRect rect = group.Controls()[c]->item.rect;
                QCOMPARE(rect, QRect(expectedLeft[i] + 4 + 43 * static_cast<int>(c), 26, 42, 78));
            }
        }
    }

    void TabsFollowEachOtherWithAGap()
    {
        CRibbonBar bar;
        bar.resize(600, bar.GetHeight());
        bar.AddTab(QStringLiteral("a"), 1);
        bar.AddTab(QStringLiteral("b"), 2);
        QCOMPARE(bar.Tabs()[1]->item.rect, QRect(106, 0, 56, 24));
    }

    void SelectTabFallsBackToTheFirst()
    {
        CRibbonBar bar;
        bar.AddTab(QStringLiteral("a"), 1);
        bar.AddTab(QStringLiteral("b"), 2);
        bar.SelectTab(2);
        QCOMPARE(bar.SelectedTab(), bar.Tabs()[1].get());
        QCOMPARE(bar.Tabs()[0]->item.state, int(CRibbonItem::Normal));
        bar.SelectTab(77);
        QCOMPARE(bar.SelectedTab(), bar.Tabs()[0].get());
        QCOMPARE(bar.Tabs()[1]->item.state, int(CRibbonItem::Normal));
    }

    void OneCommandPerPressHeldOrNot()
    {
        CRibbonBar bar;
        bar.resize(800, bar.GetHeight());
        BuildMainRibbon(bar);
        bar.show();
        QVERIFY(QTest::qWaitForWindowExposed(&bar));
        QSignalSpy commands(&bar, &CRibbonBar::Command);
        const CRibbonControl& decrypt = *bar.Tabs()[0]->Groups()[1]->Controls()[1];

        // Held: the command fires at the press, and moving or waiting does not repeat it.
        QTest::mousePress(&bar, Qt::LeftButton, {}, CentreOf(decrypt));
        QTRY_COMPARE(commands.count(), 1);
        QCOMPARE(commands.at(0).at(0).toInt(), decrypt.item.id);
        QCOMPARE(decrypt.item.state, int(CRibbonItem::Pressed));
        QTest::mouseMove(&bar, CentreOf(decrypt) + QPoint(1, 1));
        QTest::qWait(100);
        QCOMPARE(commands.count(), 1);
        QTest::mouseRelease(&bar, Qt::LeftButton, {}, CentreOf(decrypt));
        QTest::qWait(20);
        QCOMPARE(commands.count(), 1);

        // A second press is a second command.
        QTest::mouseClick(&bar, Qt::LeftButton, {}, CentreOf(decrypt));
        QTRY_COMPARE(commands.count(), 2);

        // Between buttons, in a group's caption, and with the right button nothing fires.
        const CRibbonGroup& prepare = *bar.Tabs()[0]->Groups()[0];
        QTest::mouseClick(&bar, Qt::LeftButton, {}, QPoint(prepare.item.rect.center().x(), 115));
        QTest::mouseClick(&bar, Qt::RightButton, {}, CentreOf(decrypt));
        QTest::qWait(50);
        QCOMPARE(commands.count(), 2);
    }

    void HoverFollowsTheMouse()
    {
        CRibbonBar bar;
        bar.resize(800, bar.GetHeight());
        BuildMainRibbon(bar);
        CRibbonTab* const second = bar.AddTab(QStringLiteral("b"), 2);
        bar.show();
        QVERIFY(QTest::qWaitForWindowExposed(&bar));
        const CRibbonControl& import = *bar.Tabs()[0]->Groups()[0]->Controls()[0];
        QTest::mouseMove(&bar, CentreOf(import));
        QTRY_COMPARE(import.item.state, int(CRibbonItem::Hot));
        QCOMPARE(bar.Tabs()[0]->Groups()[0]->item.state, int(CRibbonItem::Hot));
        QTest::mouseMove(&bar, second->item.rect.center());
        QTRY_COMPARE(second->item.state, int(CRibbonItem::Hot));
        QCOMPARE(import.item.state, int(CRibbonItem::Normal));
        // The selected tab keeps its state under the mouse.
        QTest::mouseMove(&bar, bar.Tabs()[0]->item.rect.center());
        QTRY_COMPARE(second->item.state, int(CRibbonItem::Normal));
        QCOMPARE(bar.Tabs()[0]->item.state, int(CRibbonItem::Selected));

        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(&bar, &leave);
        QCOMPARE(bar.Tabs()[0]->item.state, int(CRibbonItem::Selected));
        QCOMPARE(import.item.state, int(CRibbonItem::Normal));
    }

    void ClickingTheSelectedTabDoesNothing()
    {
        CRibbonBar bar;
        bar.resize(800, bar.GetHeight());
        BuildMainRibbon(bar);
        CRibbonTab* const second = bar.AddTab(QStringLiteral("b"), 2);
        bar.show();
        QVERIFY(QTest::qWaitForWindowExposed(&bar));
        QSignalSpy commands(&bar, &CRibbonBar::Command);
        CRibbonTab* const first = bar.Tabs()[0].get();

        QTest::mouseClick(&bar, Qt::LeftButton, {}, first->item.rect.center());
        QCOMPARE(bar.SelectedTab(), first);
        QCOMPARE(second->item.state, int(CRibbonItem::Normal));

        QTest::mouseClick(&bar, Qt::LeftButton, {}, second->item.rect.center());
        QCOMPARE(bar.SelectedTab(), second);
        QCOMPARE(first->item.state, int(CRibbonItem::Normal));
        QTest::qWait(20);
        QCOMPARE(commands.count(), 0);
    }

    void TabWalksThroughTheButtonsAndSpacePressesThem()
    {
        QWidget window;
        auto* const bar = new CRibbonBar(&window);
        auto* const next = new QLineEdit(&window);
        auto* const layout = new QVBoxLayout(&window);
        layout->addWidget(bar);
        layout->addWidget(next);
        window.resize(800, 200);
        BuildMainRibbon(*bar);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.activateWindow();
        QSignalSpy commands(bar, &CRibbonBar::Command);

        bar->setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(bar->hasFocus());
        const int buttons = static_cast<int>(bar->SelectedControls().size());
        for (int index = 0; index < buttons; ++index) {
            QCOMPARE(bar->FocusedControl(), index);
            QTest::keyClick(bar, Qt::Key_Space);
            QTRY_COMPARE(commands.count(), index + 1);
            QCOMPARE(commands.last().at(0).toInt(), bar->SelectedControls()[index]->item.id);
            QTest::keyClick(bar, Qt::Key_Tab);
        }
        // After the last button Tab leaves the bar, and Shift+Tab comes back to the last button.
        QVERIFY(next->hasFocus());
        QTest::keyClick(next, Qt::Key_Backtab);
        QVERIFY(bar->hasFocus());
        QCOMPARE(bar->FocusedControl(), buttons - 1);
        QTest::keyClick(bar, Qt::Key_Left);
        QCOMPARE(bar->FocusedControl(), buttons - 2);
    }

    void ScreenReadersSeeEachButtonAndCanPressIt()
    {
        CRibbonBar bar;
        bar.resize(800, bar.GetHeight());
        BuildMainRibbon(bar);
        CRibbonControl& decrypt = *bar.Tabs()[0]->Groups()[1]->Controls()[1];
        decrypt.item.caption = QStringLiteral("两行\n标签");
        decrypt.toolTip = QStringLiteral("两行标签 (Ctrl+D)");
        bar.show();
        QVERIFY(QTest::qWaitForWindowExposed(&bar));
        QSignalSpy commands(&bar, &CRibbonBar::Command);

        QAccessibleInterface* const tool = QAccessible::queryAccessibleInterface(&bar);
        QVERIFY(tool != nullptr);
        QCOMPARE(tool->role(), QAccessible::ToolBar);
        QCOMPARE(tool->childCount(), 11);
        QAccessibleInterface* const button = tool->child(5);
        QVERIFY(button != nullptr);
        QCOMPARE(button->role(), QAccessible::PushButton);
        QCOMPARE(button->text(QAccessible::Name), QStringLiteral("两行 标签"));
        QCOMPARE(button->text(QAccessible::Description), decrypt.toolTip);
        QCOMPARE(tool->indexOfChild(button), 5);
        QCOMPARE(tool->childAt(button->rect().center().x(), button->rect().center().y()), button);
        QVERIFY(button->actionInterface() != nullptr);
        button->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QTRY_COMPARE(commands.count(), 1);
        QCOMPARE(commands.at(0).at(0).toInt(), decrypt.item.id);
    }
};

QTEST_MAIN(TestRibbonBar)
#include "TestRibbonBar.moc"
