#include "CImportFileInterNetDlg.h"

#include "app/SettingFile.h"
#include "workspace/ImportInput.h"

#include <QLineEdit>

CImportFileInterNetDlg::CImportFileInterNetDlg(IPrompt& operatorPrompt, QWidget* parent)
    : CImportFileDlgBase(operatorPrompt, "import_file_internet", "static_bidfile_internet", parent)
    , serverRoot(CSettingFile::Instance().GetNetWorkingDir())
{
    // textEdited comes only from the operator, never from showing the fields.
    connect(ProjectEdit(), &QLineEdit::textEdited, this, [this] { OnNumberEdited(true); });
    connect(PackageEdit(), &QLineEdit::textEdited, this, [this] { OnNumberEdited(false); });
}

void CImportFileInterNetDlg::OnNumberEdited(bool projectEdited)
{
    TakeFields();
    if (!ShouldListBidServerFolder(projectEdited, projectNumber, packageNumber))
        return;
    sourceFolder = BidServerFolder(serverRoot, projectNumber, packageNumber);
    ClearLists();
    for (const std::wstring& path : ListBidServerFolder(sourceFolder))
        AppendFile(path);
    ShowFields();
}
