#include "CRibbonBar.h"

#include "NinePart.h"
#include "RibbonAccessible.h"

#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QToolTip>
#include <algorithm>

namespace {

const QColor GroupCaptionColour(104, 114, 105);

constexpr int kLabelFlags = Qt::AlignCenter | Qt::TextWordWrap;

// The lower half of a button, where its label goes.
QRect LabelRect(const CRibbonControl& control)
{
    const QRect& rect = control.item.rect;
    const int half = rect.height() / 2;
    return QRect(rect.left(), rect.top() + half, rect.width(), rect.height() - half);
}

bool IsTabFixed(const CRibbonItem& item)
{
    return item.state == CRibbonItem::Selected || item.state == CRibbonItem::Frozen;
}

// Draws text in rect, smaller when it would not fit.
void DrawFittedText(QPainter& painter, const QRect& rect, int flags, const QString& text)
{
    const QFont font = painter.font();
    painter.setFont(FittedFont(font, rect, flags, text));
    painter.drawText(rect, flags, text);
    painter.setFont(font);
}

} // namespace

QFont FittedFont(const QFont& font, const QRect& rect, int flags, const QString& text)
{
    constexpr int smallest = 8;
    QFont fitted = font;
    int pixels = font.pixelSize() > 0 ? font.pixelSize() : QFontMetrics(font).height();
    for (;;) {
        const QRect needed = QFontMetrics(fitted).boundingRect(rect, flags, text);
        if ((needed.width() <= rect.width() && needed.height() <= rect.height()) || pixels <= smallest)
            return fitted;
        fitted.setPixelSize(--pixels);
    }
}

CRibbonControl::CRibbonControl(int id, const QString& caption)
{
    item.id = id;
    item.caption = caption;
}

void CRibbonControl::SetImage(const QImage& newImage)
{
    image = newImage;
}

QString CRibbonControl::Name() const
{
    // A word hyphenated across the two lines ("Re-\nfresh") is one word again.
    return QString(item.caption)
        .replace(QStringLiteral("-\n"), QString())
        .replace(QLatin1Char('\n'), QLatin1Char(' '));
}

CRibbonGroup::CRibbonGroup(int id, const QString& caption)
{
    item.id = id;
    item.caption = caption;
}

CRibbonControl* CRibbonGroup::AddControl(int type, int id, const QString& caption)
{
    if (type != 0)
        return nullptr;
    controls.push_back(std::make_unique<CRibbonControl>(id, caption));
    return controls.back().get();
}

int CRibbonGroup::Width() const
{
    const int width = static_cast<int>(controls.size()) * (2 + CRibbonControl::Width) + 2;
    return std::max(width, 48);
}

CRibbonTab::CRibbonTab(CRibbonBar* ribbon, int id, const QString& caption)
    : bar(ribbon)
{
    item.id = id;
    item.caption = caption;
}

CRibbonGroup* CRibbonTab::AddGroup(const QString& caption, int id)
{
    groups.push_back(std::make_unique<CRibbonGroup>(id, caption));
    bar->Layout();
    return groups.back().get();
}

CRibbonBar::CRibbonBar(QWidget* parent)
    : QWidget(parent)
{
    setMouseTracking(true);
    setCursor(Qt::ArrowCursor);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFixedHeight(BarHeight);
    setFocusPolicy(Qt::TabFocus);
    InstallRibbonAccessibility();
    bodyImage = LoadRibbonImage(QStringLiteral("ribbon_body"));
    tabStripImage = LoadRibbonImage(QStringLiteral("ribbon_tabstrip"));
    tabImage = LoadRibbonImage(QStringLiteral("ribbon_tab"));
    controlImage = LoadRibbonImage(QStringLiteral("ribbon_button"));
    font = QFont(QStringLiteral("Arial"));
    font.setPixelSize(15);
    font.setWeight(QFont::Medium);
}

CRibbonBar::~CRibbonBar() = default;

CRibbonTab* CRibbonBar::AddTab(const QString& caption, int id)
{
    tabs.push_back(std::make_unique<CRibbonTab>(this, id, caption));
    Layout();
    return tabs.back().get();
}

void CRibbonBar::SelectTab(int id)
{
    if (tabs.empty())
        return;
    const auto match
        = std::find_if(tabs.begin(), tabs.end(), [id](const auto& tab) { return tab->item.id == id; });
    const CRibbonTab* const chosen = match != tabs.end() ? match->get() : tabs.front().get();
    for (const auto& tab : tabs)
        tab->item.state = tab.get() == chosen ? CRibbonItem::Selected : CRibbonItem::Normal;
    update();
}

CRibbonTab* CRibbonBar::SelectedTab() const
{
    for (const auto& tab : tabs) {
        if (tab->item.state == CRibbonItem::Selected)
            return tab.get();
    }
    return nullptr;
}

void CRibbonBar::Layout()
{
    const QRect client = rect();
    const int left = client.left();
    const int top = client.top();
    const int bottom = client.top() + client.height(); // exclusive
    tabStrip = QRect(left, top, client.width(), TabStripHeight);
    body = QRect(left, top + TabStripHeight - 1, client.width(), bottom - (top + TabStripHeight - 1));

    int tabLeft = left + 48;
    for (const auto& tab : tabs) {
        tab->item.rect = QRect(tabLeft, tabStrip.top(), CRibbonTab::Width, TabStripHeight);
        tabLeft += CRibbonTab::Width + 2;

        const int groupTop = body.top() + 1;
        const int groupBottom = bottom - 4;
        int groupLeft = left;
        bool first = true;
        for (const auto& group : tab->Groups()) {
            const int width = group->Width();
            group->item.rect = QRect(groupLeft, groupTop, width, groupBottom - groupTop);
            // The first group is followed directly by the second, every later one by a 1-pixel gap.
            groupLeft += width + (first ? 0 : 1);
            first = false;

            int controlLeft = group->item.rect.left() + 4;
            const int controlTop = groupTop + 2;
            const int controlBottom = groupBottom - 20;
            for (const auto& control : group->Controls()) {
                control->item.rect
                    = QRect(controlLeft, controlTop, CRibbonControl::Width, controlBottom - controlTop);
                controlLeft += CRibbonControl::Width + 1;
            }
        }
    }
}

void CRibbonBar::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    Layout();
}

void CRibbonBar::paintEvent(QPaintEvent*)
{
    // Everything is drawn into one buffer first and copied in one step, so nothing flickers.
    QPixmap buffer(size() * devicePixelRatioF());
    buffer.setDevicePixelRatio(devicePixelRatioF());
    buffer.fill(QColor(240, 240, 240));
    {
        QPainter painter(&buffer);
        PaintTo(painter);
    }
    QPainter(this).drawPixmap(0, 0, buffer);
}

void CRibbonBar::PaintTo(QPainter& painter) const
{
    DrawNinePart(painter, body, bodyImage, bodyImage.rect(), 5);
    DrawNinePart(painter, tabStrip, tabStripImage, tabStripImage.rect(), 5);
    painter.setFont(font);

    for (const auto& tab : tabs) {
        DrawNinePart(painter, tab->item.rect, tabImage, StateSlice(tabImage, tab->item.state, 4), 3);
        painter.setPen(Qt::black);
        DrawFittedText(painter, tab->item.rect, Qt::AlignCenter | Qt::TextSingleLine, tab->item.caption);
    }

    const CRibbonTab* const selected = SelectedTab();
    if (selected == nullptr)
        return;
    for (const auto& group : selected->Groups()) {
        const QRect& rect = group->item.rect;
        const int bottom = rect.top() + rect.height();
        painter.setPen(GroupCaptionColour);
        DrawFittedText(painter, QRect(rect.left(), bottom - 18, rect.width(), 16),
            Qt::AlignCenter | Qt::TextSingleLine, group->item.caption);
        for (const auto& control : group->Controls())
            PaintControl(painter, *control);
        FillVerticalGradient(painter, QRect(rect.left() + rect.width() - 1, rect.top(), 1, rect.height()),
            Qt::white, QColor(192, 192, 192));
    }
}

void CRibbonBar::PaintControl(QPainter& painter, const CRibbonControl& control) const
{
    const QRect& rect = control.item.rect;
    DrawNinePart(painter, rect, controlImage, StateSlice(controlImage, control.item.state, 4), 3);

    const int half = rect.height() / 2;
    const QRect imageArea = QRect(rect.left(), rect.top(), rect.width(), half).adjusted(5, 5, -5, -5);
    const QImage& image = control.Image();
    if (!image.isNull() && !imageArea.isEmpty()) {
        // Keep the image square in the area rather than squeezing it.
        QSize fitted = image.size().scaled(imageArea.size(), Qt::KeepAspectRatio);
        const QRect target(imageArea.left() + (imageArea.width() - fitted.width()) / 2,
            imageArea.top() + (imageArea.height() - fitted.height()) / 2, fitted.width(), fitted.height());
        painter.drawImage(target, image);
    }
    painter.setPen(Qt::black);
    painter.setFont(LabelFont(control));
    painter.drawText(LabelRect(control), kLabelFlags, control.item.caption);
    painter.setFont(font);
    const std::vector<CRibbonControl*> controls = SelectedControls();
    const int index = FocusedControl();
    if (index >= 0 && index < static_cast<int>(controls.size()) && controls[index] == &control) {
        painter.setPen(QPen(Qt::black, 1, Qt::DotLine));
        painter.drawRect(rect.adjusted(2, 2, -3, -3));
    }
}

void CRibbonBar::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint point = event->position().toPoint();
    for (const auto& tab : tabs) {
        if (!IsTabFixed(tab->item))
            tab->item.state = tab->item.rect.contains(point) ? CRibbonItem::Hot : CRibbonItem::Normal;
    }
    if (CRibbonTab* const selected = SelectedTab()) {
        for (const auto& group : selected->Groups()) {
            group->item.state = group->item.rect.contains(point) ? CRibbonItem::Hot : CRibbonItem::Normal;
            for (const auto& control : group->Controls())
                control->item.state
                    = control->item.rect.contains(point) ? CRibbonItem::Hot : CRibbonItem::Normal;
        }
    }
    update();
}

void CRibbonBar::leaveEvent(QEvent* event)
{
    QWidget::leaveEvent(event);
    for (const auto& tab : tabs) {
        if (!IsTabFixed(tab->item))
            tab->item.state = CRibbonItem::Normal;
    }
    if (CRibbonTab* const selected = SelectedTab()) {
        for (const auto& group : selected->Groups()) {
            group->item.state = CRibbonItem::Normal;
            for (const auto& control : group->Controls())
                control->item.state = CRibbonItem::Normal;
        }
    }
    update();
}

void CRibbonBar::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    const QPoint point = event->position().toPoint();
    for (const auto& tab : tabs) {
        if (!tab->item.rect.contains(point))
            continue;
        if (tab->item.state != CRibbonItem::Selected) {
            for (const auto& other : tabs)
                other->item.state = CRibbonItem::Normal;
            tab->item.state = CRibbonItem::Selected;
            update();
        }
        return;
    }
    CRibbonTab* const selected = SelectedTab();
    if (selected == nullptr)
        return;
    for (const auto& group : selected->Groups()) {
        if (!group->item.rect.contains(point))
            continue;
        for (const auto& control : group->Controls()) {
            if (!control->item.rect.contains(point))
                continue;
            control->item.state = CRibbonItem::Pressed;
            update();
            Press(*control);
            return;
        }
        return;
    }
}

QFont CRibbonBar::LabelFont(const CRibbonControl& control) const
{
    return FittedFont(font, LabelRect(control), kLabelFlags, control.item.caption);
}

std::vector<CRibbonControl*> CRibbonBar::SelectedControls() const
{
    std::vector<CRibbonControl*> controls;
    if (const CRibbonTab* const selected = SelectedTab()) {
        for (const auto& group : selected->Groups()) {
            for (const auto& control : group->Controls())
                controls.push_back(control.get());
        }
    }
    return controls;
}

void CRibbonBar::Press(const CRibbonControl& control)
{
    const int id = control.item.id;
    // Posted, as a command message would be: a command that opens a modal dialog must not run
    // inside the press.
    QMetaObject::invokeMethod(
        this, [this, id] { emit Command(id); }, Qt::QueuedConnection);
}

CRibbonControl* CRibbonBar::ContextControlAt(const QPoint& point) const
{
    const CRibbonTab* const selected = SelectedTab();
    if (selected == nullptr)
        return nullptr;
    for (const auto& group : selected->Groups()) {
        if (!group->item.rect.contains(point))
            continue;
        for (const auto& control : group->Controls()) {
            if (control->item.rect.contains(point))
                return control.get();
        }
        for (const auto& control : group->Controls()) {
            if (!control->menu.empty())
                return control.get();
        }
    }
    return nullptr;
}

std::unique_ptr<QMenu> CRibbonBar::MakeContextMenu(const CRibbonControl& control)
{
    auto menu = std::make_unique<QMenu>(this);
    for (const CRibbonControl::CMenuEntry& entry : control.menu) {
        const int id = entry.id;
        QObject::connect(menu->addAction(entry.caption), &QAction::triggered, this, [this, id] {
            QMetaObject::invokeMethod(
                this, [this, id] { emit Command(id); }, Qt::QueuedConnection);
        });
    }
    return menu;
}

void CRibbonBar::contextMenuEvent(QContextMenuEvent* event)
{
    CRibbonControl* control = nullptr;
    QPoint at = event->pos();
    if (event->reason() == QContextMenuEvent::Keyboard) {
        const std::vector<CRibbonControl*> controls = SelectedControls();
        if (focused >= 0 && focused < static_cast<int>(controls.size())) {
            control = controls[static_cast<size_t>(focused)];
            at = control->item.rect.bottomLeft();
        }
    } else {
        control = ContextControlAt(event->pos());
    }
    if (control == nullptr || control->menu.empty()) {
        event->ignore();
        return;
    }
    MakeContextMenu(*control)->exec(mapToGlobal(at));
}

void CRibbonBar::keyPressEvent(QKeyEvent* event)
{
    const std::vector<CRibbonControl*> controls = SelectedControls();
    if (controls.empty()) {
        QWidget::keyPressEvent(event);
        return;
    }
    const int count = static_cast<int>(controls.size());
    switch (event->key()) {
    case Qt::Key_Space:
        if (!event->isAutoRepeat())
            Press(*controls[std::clamp(focused, 0, count - 1)]);
        break;
    case Qt::Key_Left:
        focused = (focused + count - 1) % count;
        break;
    case Qt::Key_Right:
        focused = (focused + 1) % count;
        break;
    default:
        // Enter and Escape go on to the window, which swallows them.
        QWidget::keyPressEvent(event);
        return;
    }
    update();
}

void CRibbonBar::focusInEvent(QFocusEvent* event)
{
    QWidget::focusInEvent(event);
    const int count = static_cast<int>(SelectedControls().size());
    if (event->reason() == Qt::TabFocusReason)
        focused = 0;
    else if (event->reason() == Qt::BacktabFocusReason)
        focused = count - 1;
    focused = std::clamp(focused, 0, std::max(count - 1, 0));
    update();
}

void CRibbonBar::focusOutEvent(QFocusEvent* event)
{
    QWidget::focusOutEvent(event);
    update();
}

bool CRibbonBar::focusNextPrevChild(bool next)
{
    // Tab moves from button to button and leaves the bar after the last one.
    const int count = static_cast<int>(SelectedControls().size());
    const int target = focused + (next ? 1 : -1);
    if (!hasFocus() || target < 0 || target >= count)
        return QWidget::focusNextPrevChild(next);
    focused = target;
    update();
    return true;
}

bool CRibbonBar::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        auto* const help = static_cast<QHelpEvent*>(event);
        for (const CRibbonControl* control : SelectedControls()) {
            if (control->item.rect.contains(help->pos())) {
                QToolTip::showText(help->globalPos(),
                    control->toolTip.isEmpty() ? control->Name() : control->toolTip, this,
                    control->item.rect);
                return true;
            }
        }
        QToolTip::hideText();
        event->ignore();
        return true;
    }
    return QWidget::event(event);
}
