// The ribbon bar across the top of the main window: tabs holding groups of large command
// buttons, all drawn by the bar itself. A command fires when the mouse button goes down on its
// button, once per press, or on Space when the button has the keyboard focus (Tab and Shift+Tab
// walk through the buttons, as through other widgets). Screen readers see each button as a push
// button named by its label (RibbonAccessible.h).
#pragma once

#include <QImage>
#include <QRect>
#include <QString>
#include <QWidget>
#include <memory>
#include <vector>

class CRibbonBar;
class QFont;
class QMenu;

// The font to draw text in rect with flags: font itself when the text fits, else the same font
// made smaller until it does (down to 8 pixels). The bar's geometry is fixed, and a translated
// label ("Settings", "Configuration") is often wider than the Chinese one it replaces.
QFont FittedFont(const QFont& font, const QRect& rect, int flags, const QString& text);

// What tabs, groups and controls have in common.
struct CRibbonItem
{
    enum State
    {
        Normal = 0,
        Hot = 1,
        Pressed = 2,
        Selected = 2,
        Frozen = 3
    };

    QString caption; // may hold a line feed: a two-line button label
    int id = 0;
    QRect rect; // in the bar's coordinates, set by the layout
    int state = Normal;
};

class CRibbonControl
{
public:
    CRibbonControl(int id, const QString& caption);
    // The image is drawn in the upper half of the button; magenta pixels are transparent.
    void SetImage(const QImage& image);
    const QImage& Image() const { return image; }
    // The label on one line, as screen readers and tool tips give it.
    QString Name() const;

    CRibbonItem item;
    // Shown when the mouse rests on the button and given to screen readers as its description.
    QString toolTip;
    // More commands beside the button's own, offered by its context menu (a right click on the
    // button or its group, or the menu key while it has the focus); the bar's geometry stays.
    struct CMenuEntry
    {
        int id;
        QString caption;
    };
    std::vector<CMenuEntry> menu;
    static constexpr int Width = 42;
    static constexpr int Height = 78;

private:
    QImage image;
};

class CRibbonGroup
{
public:
    CRibbonGroup(int id, const QString& caption);
    // Type 0, a large button, is the only type; any other adds nothing and answers null.
    CRibbonControl* AddControl(int type, int id, const QString& caption);
    const std::vector<std::unique_ptr<CRibbonControl>>& Controls() const { return controls; }
    // 2 + 42 for each control, plus 2, and at least 48.
    int Width() const;

    CRibbonItem item;

private:
    std::vector<std::unique_ptr<CRibbonControl>> controls;
};

class CRibbonTab
{
public:
    CRibbonTab(CRibbonBar* bar, int id, const QString& caption);
    CRibbonGroup* AddGroup(const QString& caption, int id);
    const std::vector<std::unique_ptr<CRibbonGroup>>& Groups() const { return groups; }

    CRibbonItem item;
    static constexpr int Width = 56;

private:
    CRibbonBar* bar;
    std::vector<std::unique_ptr<CRibbonGroup>> groups;
};

class CRibbonBar : public QWidget
{
    Q_OBJECT

public:
    static constexpr int BarHeight = 128;
    static constexpr int TabStripHeight = 24;

    explicit CRibbonBar(QWidget* parent = nullptr);
    ~CRibbonBar() override;

    CRibbonTab* AddTab(const QString& caption, int id);
    // The tab with id becomes selected and every other normal; the first tab when none has id.
    void SelectTab(int id);
    int GetHeight() const { return BarHeight; }

    const std::vector<std::unique_ptr<CRibbonTab>>& Tabs() const { return tabs; }
    CRibbonTab* SelectedTab() const;
    QRect TabStripRect() const { return tabStrip; }
    QRect BodyRect() const { return body; }
    // Places tabs, groups and controls for the present size; also done on every resize.
    void Layout();

    QSize sizeHint() const override { return QSize(640, BarHeight); }

    // The buttons of the selected tab, left to right: the order of Tab.
    std::vector<CRibbonControl*> SelectedControls() const;
    // The button that has the keyboard focus while the bar has it, or -1.
    int FocusedControl() const { return hasFocus() ? focused : -1; }
    // Fires the button's command as a press does.
    void Press(const CRibbonControl& control);
    // The button whose context menu a right click at point opens: the button there, or the first
    // button with menu entries in the group there; null when there is none.
    CRibbonControl* ContextControlAt(const QPoint& point) const;
    // The context menu of the button: each entry fires its command as a press does.
    std::unique_ptr<QMenu> MakeContextMenu(const CRibbonControl& control);
    // The bar's font, and the one a button's label is drawn in: smaller only when it does not fit.
    const QFont& Font() const { return font; }
    QFont LabelFont(const CRibbonControl& control) const;

signals:
    // A button was pressed; posted, so it arrives after the press has been handled.
    void Command(int id);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    bool focusNextPrevChild(bool next) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool event(QEvent* event) override;

private:
    void PaintTo(QPainter& painter) const;
    void PaintControl(QPainter& painter, const CRibbonControl& control) const;

    std::vector<std::unique_ptr<CRibbonTab>> tabs;
    QRect tabStrip;
    QRect body;
    QImage bodyImage;
    QImage tabStripImage;
    QImage tabImage;
    QImage controlImage;
    QFont font;
    int focused = 0; // index into SelectedControls()
};
