#include "RibbonAccessible.h"

#include "CRibbonBar.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPointer>
#include <map>

namespace {

class CRibbonButtonAccessible : public QAccessibleInterface, public QAccessibleActionInterface
{
public:
    CRibbonButtonAccessible(CRibbonBar* ribbon, int buttonIndex)
        : bar(ribbon)
        , index(buttonIndex)
    {
    }

    bool isValid() const override { return Control() != nullptr; }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return bar ? bar->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override
    {
        return QAccessible::queryAccessibleInterface(bar.data());
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessible::Role role() const override { return QAccessible::PushButton; }
    void setText(QAccessible::Text, const QString&) override { }

    QString text(QAccessible::Text kind) const override
    {
        const CRibbonControl* const control = Control();
        if (control == nullptr)
            return {};
        if (kind == QAccessible::Name)
            return control->Name();
        if (kind == QAccessible::Description)
            return control->toolTip;
        return {};
    }

    QRect rect() const override
    {
        const CRibbonControl* const control = Control();
        return control == nullptr
            ? QRect()
            : QRect(bar->mapToGlobal(control->item.rect.topLeft()), control->item.rect.size());
    }

    QAccessible::State state() const override
    {
        QAccessible::State state;
        state.focusable = true;
        state.focused = bar && bar->FocusedControl() == index;
        state.invisible = bar && !bar->isVisible();
        return state;
    }

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this)
                                                    : nullptr;
    }

    QStringList actionNames() const override { return { pressAction() }; }
    void doAction(const QString& name) override
    {
        if (const CRibbonControl* const control = Control(); control != nullptr && name == pressAction())
            bar->Press(*control);
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    const CRibbonControl* Control() const
    {
        if (!bar)
            return nullptr;
        const std::vector<CRibbonControl*> controls = bar->SelectedControls();
        return index < static_cast<int>(controls.size()) ? controls[index] : nullptr;
    }

    QPointer<CRibbonBar> bar;
    int index;
};

class CRibbonBarAccessible : public QAccessibleWidget
{
public:
    explicit CRibbonBarAccessible(CRibbonBar* ribbon)
        : QAccessibleWidget(ribbon, QAccessible::ToolBar)
    {
    }

    ~CRibbonBarAccessible() override
    {
        for (const auto& [index, id] : buttons)
            QAccessible::deleteAccessibleInterface(id);
    }

    int childCount() const override { return static_cast<int>(Bar()->SelectedControls().size()); }

    QAccessibleInterface* child(int index) const override
    {
        if (index < 0 || index >= childCount())
            return nullptr;
        // Made once per button and kept in the framework's cache, which hands out their ids.
        auto found = buttons.find(index);
        if (found == buttons.end())
            found
                = buttons
                      .emplace(index,
                          QAccessible::registerAccessibleInterface(new CRibbonButtonAccessible(Bar(), index)))
                      .first;
        return QAccessible::accessibleInterface(found->second);
    }

    int indexOfChild(const QAccessibleInterface* child) const override
    {
        for (int index = 0; index < childCount(); ++index) {
            if (this->child(index) == child)
                return index;
        }
        return -1;
    }

    QAccessibleInterface* childAt(int x, int y) const override
    {
        const QPoint point = Bar()->mapFromGlobal(QPoint(x, y));
        const std::vector<CRibbonControl*> controls = Bar()->SelectedControls();
        for (int index = 0; index < static_cast<int>(controls.size()); ++index) {
            if (controls[index]->item.rect.contains(point))
                return child(index);
        }
        return nullptr;
    }

    QAccessibleInterface* focusChild() const override
    {
        const int index = Bar()->FocusedControl();
        return index >= 0 ? child(index) : nullptr;
    }

private:
    CRibbonBar* Bar() const { return static_cast<CRibbonBar*>(widget()); }

    mutable std::map<int, QAccessible::Id> buttons;
};

QAccessibleInterface* RibbonFactory(const QString& className, QObject* object)
{
    if (className == QLatin1String("CRibbonBar") && object != nullptr && object->isWidgetType())
        return new CRibbonBarAccessible(static_cast<CRibbonBar*>(object));
    return nullptr;
}

} // namespace

void InstallRibbonAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(RibbonFactory);
        return true;
    }();
    (void)installed;
}
