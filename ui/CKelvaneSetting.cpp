#include "CKelvaneSetting.h"

#include "app/IPrompt.h"
#include "app/LanguageCatalogue.h"
#include "app/SettingFile.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

namespace {

constexpr std::uint64_t MegaByte = 1048576;
constexpr std::uint64_t GigaByte = 1073741824;

QString Text(const char* key)
{
    return QString::fromStdWString(CLanguageCatalogue::Instance().GetText(key));
}

} // namespace

CFreeSpaceDisplay SplitFreeSpace(std::int64_t bytes)
{
    // A negative stored minimum means no minimum, like 0; showing it would only make the dialog
    // refuse its own value.
    if (bytes <= 0)
        return { 0, QStringLiteral("MB") };
    const std::int64_t megabytes = bytes / static_cast<std::int64_t>(MegaByte);
    if (megabytes < 1024)
        return { static_cast<int>(megabytes), QStringLiteral("MB") };
    const std::int64_t gigabytes = megabytes / 1024;
    if (gigabytes < 1024)
        return { static_cast<int>(gigabytes), QStringLiteral("GB") };
    return { 0, QStringLiteral("GB") };
}

CKelvaneSetting::CKelvaneSetting(IPrompt& operatorPrompt, QWidget* parent)
    : QDialog(parent)
    , prompt(operatorPrompt)
{
    CLanguageCatalogue::Instance().Load();
    setWindowTitle(Text("setting"));

    numberEdit = new QLineEdit(this);
    numberEdit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), numberEdit));
    numberEdit->setMaxLength(10);
    unitBox = new QComboBox(this);
    unitBox->addItem(QStringLiteral("MB"));
    unitBox->addItem(QStringLiteral("GB"));
    logCheck = new QCheckBox(QStringLiteral("写日志"), this);
    workingDirEdit = new QLineEdit(this);
    netWorkingDirEdit = new QLineEdit(this);
    auto* const browseWorking = new QPushButton(Text("select"), this);
    auto* const browseNet = new QPushButton(QStringLiteral("浏览"), this);
    auto* const buttons = new QDialogButtonBox(this);
    buttons->addButton(Text("ok"), QDialogButtonBox::AcceptRole);
    buttons->addButton(Text("cancel"), QDialogButtonBox::RejectRole);

    auto* const grid = new QGridLayout(this);
    grid->addWidget(new QLabel(Text("workspace"), this), 0, 0);
    grid->addWidget(numberEdit, 0, 1);
    grid->addWidget(unitBox, 0, 2);
    grid->addWidget(logCheck, 0, 3);
    grid->addWidget(new QLabel(Text("work_dir"), this), 1, 0);
    grid->addWidget(workingDirEdit, 1, 1, 1, 2);
    grid->addWidget(browseWorking, 1, 3);
    grid->addWidget(new QLabel(QStringLiteral("标书服务器目录："), this), 2, 0);
    grid->addWidget(netWorkingDirEdit, 2, 1, 1, 2);
    grid->addWidget(browseNet, 2, 3);
    grid->addWidget(buttons, 3, 0, 1, 4);
    grid->setColumnStretch(1, 1);
    setMinimumWidth(520);

    connect(browseWorking, &QPushButton::clicked, this, [this] { Browse(workingDirEdit); });
    connect(browseNet, &QPushButton::clicked, this, [this] { Browse(netWorkingDirEdit); });
    connect(buttons, &QDialogButtonBox::accepted, this, &CKelvaneSetting::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CKelvaneSetting::reject);

    const CSettingFile& settings = CSettingFile::Instance();
    const CFreeSpaceDisplay shown = SplitFreeSpace(settings.GetFreeSpace());
    numberEdit->setText(QString::number(shown.number));
    unitBox->setCurrentText(shown.unit);
    workingDirEdit->setText(QString::fromStdWString(settings.GetWorkingDir()));
    netWorkingDirEdit->setText(QString::fromStdWString(settings.GetNetWorkingDir()));
    logCheck->setChecked(settings.GetWriteLocalLog() == L"true");
}

void CKelvaneSetting::Browse(QLineEdit* edit)
{
    const QString folder = QFileDialog::getExistingDirectory(
        this, Text("select_dir"), edit->text(), QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty())
        edit->setText(folder);
}

void CKelvaneSetting::accept()
{
    bool isNumber = false;
    const int number = numberEdit->text().trimmed().toInt(&isNumber);
    if (!isNumber || number < 0 || number > MaxFreeSpaceNumber) {
        prompt.Ask(L"请输入一个介于 0 和 1024 之间的整数。",
            CLanguageCatalogue::Instance().GetText("warnning"), MB_OK | MB_ICONWARNING);
        numberEdit->setFocus();
        return;
    }
    const QString unit = unitBox->currentText();
    const std::uint64_t factor = unit == QLatin1String("MB") ? MegaByte
        : unit == QLatin1String("GB")                        ? GigaByte
                                                             : 0;

    const QString working = workingDirEdit->text().trimmed();
    if (working.isEmpty()) {
        prompt.Ask(CLanguageCatalogue::Instance().GetText("dir_cannot_null"),
            CLanguageCatalogue::Instance().GetText("error"), MB_OK | MB_ICONERROR);
        workingDirEdit->setFocus();
        return;
    }
    const QString net = netWorkingDirEdit->text().trimmed();
    if (net.isEmpty()) {
        prompt.Ask(CLanguageCatalogue::Instance().GetText("networkdir_cannot_null"),
            CLanguageCatalogue::Instance().GetText("error"), MB_OK | MB_ICONERROR);
        netWorkingDirEdit->setFocus();
        return;
    }
    freeSpaceNumber = number;
    freeSpaceUnit = unit;
    freeSpaceBytes = static_cast<std::uint64_t>(number) * factor;
    workingDir = working.toStdWString();
    netWorkingDir = net.toStdWString();
    writeLocalLog = logCheck->isChecked() ? L"true" : L"false";
    QDialog::accept();
}
