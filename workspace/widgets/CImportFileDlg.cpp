#include "CImportFileDlg.h"

#include "app/IPrompt.h"
#include "app/LanguageCatalogue.h"
#include "app/SettingFile.h"
#include "workspace/ImportInput.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <utility>

namespace {

QString Text(const char* key)
{
    return QString::fromStdWString(CLanguageCatalogue::Instance().GetText(key));
}

} // namespace

std::vector<std::wstring> CFileDialogChooser::ChooseBidFiles(QWidget* parent, const std::wstring& folder)
{
    QFileDialog dialog(parent, QString(), QString::fromStdWString(folder),
        QStringLiteral("Bidx Files (*.bidx);;All Files (*)"));
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setOption(QFileDialog::ReadOnly, false);
    std::vector<std::wstring> paths;
    if (dialog.exec() != QDialog::Accepted)
        return paths;
    for (const QString& file : dialog.selectedFiles())
        paths.push_back(file.toStdWString());
    return paths;
}

CImportFileDlgBase::CImportFileDlgBase(
    IPrompt& operatorPrompt, const char* captionKey, const char* listLabelKey, QWidget* parent)
    : QDialog(parent)
    , prompt(operatorPrompt)
    , projectEdit(new QLineEdit(this))
    , packageEdit(new QLineEdit(this))
    , shownList(new QPlainTextEdit(this))
    , selectButton(new QPushButton(Text("select"), this))
{
    setWindowTitle(Text(captionKey));
    shownList->setReadOnly(true);
    shownList->setLineWrapMode(QPlainTextEdit::NoWrap);
    shownList->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    shownList->setMinimumSize(460, 180);

    auto* const buttons = new QDialogButtonBox(this);
    buttons->addButton(Text("ok"), QDialogButtonBox::AcceptRole);
    buttons->addButton(Text("cancel"), QDialogButtonBox::RejectRole);

    auto* const grid = new QGridLayout(this);
    grid->addWidget(new QLabel(Text(listLabelKey), this), 0, 0, 1, 2);
    grid->addWidget(shownList, 1, 0, 1, 2);
    grid->addWidget(selectButton, 1, 2, Qt::AlignTop);
    grid->addWidget(new QLabel(Text("static_prognum"), this), 2, 0);
    grid->addWidget(projectEdit, 2, 1);
    grid->addWidget(new QLabel(Text("static_packagenum"), this), 3, 0);
    grid->addWidget(packageEdit, 3, 1);
    grid->addWidget(buttons, 4, 0, 1, 3);

    connect(selectButton, &QPushButton::clicked, this, &CImportFileDlgBase::SelectFiles);
    connect(buttons, &QDialogButtonBox::accepted, this, &CImportFileDlgBase::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CImportFileDlgBase::reject);
}

void CImportFileDlgBase::SetPresetProject(const std::wstring& project)
{
    projectNumber = project;
    ShowFields();
}

void CImportFileDlgBase::SetPresetPackage(const std::wstring& package)
{
    packageNumber = package;
    ShowFields();
}

void CImportFileDlgBase::SelectFiles()
{
    TakeFields();
    const std::vector<std::wstring> paths = fileChooser->ChooseBidFiles(this, InitialFolder());
    if (!paths.empty())
        AddChosenFiles(paths);
}

void CImportFileDlgBase::AddChosenFiles(const std::vector<std::wstring>& paths)
{
    if (!Accumulates() && !paths.empty())
        ClearLists();
    for (const std::wstring& path : paths)
        AppendFile(path);
    if (!importList.empty())
        ParseBidFileName(importList.front(), projectNumber, packageNumber);
    ShowFields();
}

void CImportFileDlgBase::accept()
{
    TakeFields();
    const char* const refusal = CheckImportInput(projectNumber, packageNumber, importList.size());
    if (refusal == nullptr) {
        QDialog::accept();
        return;
    }
    const CLanguageCatalogue& texts = CLanguageCatalogue::Instance();
    prompt.Ask(texts.GetText(refusal), texts.GetText("tips"), MB_OK | MB_ICONINFORMATION);
}

void CImportFileDlgBase::TakeFields()
{
    projectNumber = projectEdit->text().toStdWString();
    packageNumber = packageEdit->text().toStdWString();
}

void CImportFileDlgBase::ShowFields()
{
    // setText does not count as the operator's edit, so showing the fields lists nothing. It also
    // puts the cursor at the end, so a field the operator is typing in is left alone.
    for (auto [edit, number] :
        { std::pair { projectEdit, &projectNumber }, std::pair { packageEdit, &packageNumber } }) {
        const QString text = QString::fromStdWString(*number);
        if (edit->text() != text)
            edit->setText(text);
    }
    shownList->setPlainText(QString::fromStdWString(shownText));
}

void CImportFileDlgBase::ClearLists()
{
    shownText.clear();
    importList.clear();
}

void CImportFileDlgBase::AppendFile(const std::wstring& path)
{
    shownText += path + L"\n";
    importList.push_back(path);
}

CImportFileDlg::CImportFileDlg(IPrompt& operatorPrompt, QWidget* parent)
    : CImportFileDlgBase(operatorPrompt, "import_file", "static_bidfile", parent)
{
}

std::wstring CImportFileDlg::InitialFolder() const
{
    return CSettingFile::Instance().GetWorkingDir();
}
