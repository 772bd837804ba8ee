// The settings dialog: free-space minimum, working directory, bid server folder and the local-log
// switch. It only collects and checks the values; the main window stores them after OK.
#pragma once

#include <QDialog>
#include <cstdint>
#include <string>

class IPrompt;
class QCheckBox;
class QComboBox;
class QLineEdit;

// A stored free-space minimum as shown in the dialog: a number and "MB" or "GB".
struct CFreeSpaceDisplay
{
    int number = 0;
    QString unit;
};
CFreeSpaceDisplay SplitFreeSpace(std::int64_t bytes);

class CKelvaneSetting : public QDialog
{
    Q_OBJECT

public:
    static constexpr int MaxFreeSpaceNumber = 1024;

    // Refusals are asked through prompt, owned by the caller.
    explicit CKelvaneSetting(IPrompt& prompt, QWidget* parent = nullptr);

    // The values after OK.
    int FreeSpaceNumber() const { return freeSpaceNumber; }
    const QString& FreeSpaceUnit() const { return freeSpaceUnit; }
    std::uint64_t FreeSpaceBytes() const { return freeSpaceBytes; }
    const std::wstring& WorkingDir() const { return workingDir; }
    const std::wstring& NetWorkingDir() const { return netWorkingDir; }
    const std::wstring& WriteLocalLog() const { return writeLocalLog; }

    QLineEdit* NumberEdit() const { return numberEdit; }
    QComboBox* UnitBox() const { return unitBox; }
    QCheckBox* LogCheck() const { return logCheck; }
    QLineEdit* WorkingDirEdit() const { return workingDirEdit; }
    QLineEdit* NetWorkingDirEdit() const { return netWorkingDirEdit; }

public slots:
    void accept() override;

private:
    void Browse(QLineEdit* edit);

    IPrompt& prompt;
    QLineEdit* numberEdit;
    QComboBox* unitBox;
    QCheckBox* logCheck;
    QLineEdit* workingDirEdit;
    QLineEdit* netWorkingDirEdit;

    int freeSpaceNumber = 0;
    QString freeSpaceUnit;
    std::uint64_t freeSpaceBytes = 0;
    std::wstring workingDir;
    std::wstring netWorkingDir;
    std::wstring writeLocalLog = L"true";
};
