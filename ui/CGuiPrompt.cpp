#include "CGuiPrompt.h"

#include "UiThread.h"
#include "app/LanguageCatalogue.h"

#include <QMessageBox>
#include <QPushButton>

std::unique_ptr<QMessageBox> CGuiPrompt::MakeBox(
    QWidget* owner, const QString& text, const QString& caption, unsigned type)
{
    auto box = std::make_unique<QMessageBox>(owner);
    box->setWindowTitle(caption);
    box->setText(text);
    switch (type & MB_ICONMASK) {
    case MB_ICONERROR:
        box->setIcon(QMessageBox::Critical);
        break;
    case MB_ICONQUESTION:
        box->setIcon(QMessageBox::Question);
        break;
    case MB_ICONWARNING:
        box->setIcon(QMessageBox::Warning);
        break;
    case MB_ICONINFORMATION:
        box->setIcon(QMessageBox::Information);
        break;
    default:
        box->setIcon(QMessageBox::NoIcon);
        break;
    }
    const CLanguageCatalogue& texts = CLanguageCatalogue::Instance();
    const auto add = [&box](QMessageBox::StandardButton button, const std::wstring& label) {
        QAbstractButton* const added = box->addButton(button);
        if (!label.empty())
            added->setText(QString::fromStdWString(label));
    };
    switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
        add(QMessageBox::Ok, texts.GetText("ok"));
        add(QMessageBox::Cancel, texts.GetText("cancel"));
        box->setEscapeButton(QMessageBox::Cancel);
        break;
    case MB_YESNOCANCEL:
        add(QMessageBox::Yes, texts.GetText("yes"));
        add(QMessageBox::No, texts.GetText("no"));
        add(QMessageBox::Cancel, texts.GetText("cancel"));
        box->setEscapeButton(QMessageBox::Cancel);
        break;
    case MB_YESNO:
        add(QMessageBox::Yes, texts.GetText("yes"));
        add(QMessageBox::No, texts.GetText("no"));
        // A yes/no box has no way out but its two answers, as on the system it comes from.
        break;
    default:
        add(QMessageBox::Ok, texts.GetText("ok"));
        box->setEscapeButton(QMessageBox::Ok);
        break;
    }
    return box;
}

int CGuiPrompt::ButtonAnswer(int standardButton)
{
    switch (standardButton) {
    case QMessageBox::Yes:
        return IDYES;
    case QMessageBox::No:
        return IDNO;
    case QMessageBox::Cancel:
        return IDCANCEL;
    default:
        return IDOK;
    }
}

int CGuiPrompt::Ask(const std::wstring& text, const std::wstring& caption, unsigned type)
{
    return RunOnUiThread(nullptr, [this, &text, &caption, type] {
        const auto box
            = MakeBox(owner.data(), QString::fromStdWString(text), QString::fromStdWString(caption), type);
        box->exec();
        const auto button = box->standardButton(box->clickedButton());
        // Closed without a button: the escape answer, else the first button's.
        if (button == QMessageBox::NoButton)
            return (type & MB_TYPEMASK) == MB_YESNO ? IDNO : (type & MB_TYPEMASK) == MB_OK ? IDOK : IDCANCEL;
        return ButtonAnswer(button);
    });
}
