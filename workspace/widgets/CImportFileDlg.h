// The import dialogs: the operator chooses the bid files of one tender lot and says which project
// and package they belong to. They only collect and check; the window's import command hands the
// result to the verification of imported files.
//
// CImportFileDlgBase holds what both dialogs share: the two numbers, the shown list and the import
// list, the select button and the OK checks. CImportFileDlg is the one for local files: repeated
// selections accumulate, and the numbers come from the first file ever chosen.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

class IPrompt;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// Where the select button gets its files from: the desktop's file dialog, or in tests a chooser
// that answers at once (a file dialog's model loads in the background and may refuse an early
// accept, so driving the real one from a test is a race).
class IBidFileChooser
{
public:
    virtual ~IBidFileChooser() = default;
    // The files chosen, starting in folder; empty when the operator cancels.
    virtual std::vector<std::wstring> ChooseBidFiles(QWidget* parent, const std::wstring& folder) = 0;
};

// The desktop's file dialog for several *.bidx files.
class CFileDialogChooser final : public IBidFileChooser
{
public:
    std::vector<std::wstring> ChooseBidFiles(QWidget* parent, const std::wstring& folder) override;
};

class CImportFileDlgBase : public QDialog
{
    Q_OBJECT

public:
    // Set before the dialog is shown; copied into the number edits.
    void SetPresetProject(const std::wstring& project);
    void SetPresetPackage(const std::wstring& package);

    // After OK: the trimmed numbers and the chosen files in the order chosen.
    const std::wstring& GetProjectNumber() const { return projectNumber; }
    const std::wstring& GetPackageNumber() const { return packageNumber; }
    const std::vector<std::wstring>& GetImportList() const { return importList; }

    // The select button: the chooser (the file dialog unless replaced), then AddChosenFiles.
    void SelectFiles();
    // Replaces the file dialog; the chooser is owned by the caller and outlives the dialog.
    void SetFileChooser(IBidFileChooser& chooser) { fileChooser = &chooser; }
    // What a confirmed file dialog does with its paths: the list is emptied first unless the
    // dialog accumulates, the paths are appended, and the numbers are read from the name of the
    // first file of the import list.
    void AddChosenFiles(const std::vector<std::wstring>& paths);

    QLineEdit* ProjectEdit() const { return projectEdit; }
    QLineEdit* PackageEdit() const { return packageEdit; }
    QPlainTextEdit* ShownList() const { return shownList; }
    QPushButton* SelectButton() const { return selectButton; }

public slots:
    // The OK checks; a refusal is shown and the dialog stays open.
    void accept() override;

protected:
    // Refusals are asked through prompt, owned by the caller.
    CImportFileDlgBase(IPrompt& prompt, const char* captionKey, const char* listLabelKey, QWidget* parent);

    virtual std::wstring InitialFolder() const = 0;
    virtual bool Accumulates() const = 0;

    void TakeFields();
    void ShowFields();
    void ClearLists();
    void AppendFile(const std::wstring& path);

    std::wstring projectNumber;
    std::wstring packageNumber;
    std::vector<std::wstring> importList;

private:
    IPrompt& prompt;
    CFileDialogChooser fileDialog;
    IBidFileChooser* fileChooser = &fileDialog;
    std::wstring shownText;
    QLineEdit* projectEdit;
    QLineEdit* packageEdit;
    QPlainTextEdit* shownList;
    QPushButton* selectButton;
};

class CImportFileDlg : public CImportFileDlgBase
{
    Q_OBJECT

public:
    explicit CImportFileDlg(IPrompt& prompt, QWidget* parent = nullptr);

protected:
    std::wstring InitialFolder() const override;
    bool Accumulates() const override { return true; }
};
