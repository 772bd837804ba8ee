// The import from the bid-server folder: like the local import dialog, but its file dialog starts
// in the bid-server folder, a new selection replaces the list, and editing a number lists the
// *.bidx files of <bid-server folder>/<project>/<package> at once.
#pragma once

#include "CImportFileDlg.h"

class CImportFileInterNetDlg : public CImportFileDlgBase
{
    Q_OBJECT

public:
    explicit CImportFileInterNetDlg(IPrompt& prompt, QWidget* parent = nullptr);

    // The folder listed last.
    const std::wstring& GetSourceFolder() const { return sourceFolder; }

protected:
    std::wstring InitialFolder() const override { return serverRoot; }
    bool Accumulates() const override { return false; }

private:
    void OnNumberEdited(bool projectEdited);

    std::wstring serverRoot;
    std::wstring sourceFolder;
};
