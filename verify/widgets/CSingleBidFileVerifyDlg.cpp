#include "CSingleBidFileVerifyDlg.h"

#include "QuarnPKI.h"
#include "app/LanguageCatalogue.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace {

QString Text(const char* key)
{
    return QString::fromStdWString(CLanguageCatalogue::Instance().GetText(key));
}

const QString kBidxFilter = QStringLiteral("Bidx Files (*.bidx);;All Files (*)");

} // namespace

CSingleBidFileVerifyDlg::CSingleBidFileVerifyDlg(QWidget* parent)
    : QDialog(parent)
    , pathEdit(new QLineEdit(this))
    , codeEdit(new QLineEdit(this))
    , bidderLabel(new QLabel(this))
    , resultList(new QTreeWidget(this))
    , copyButton(new QPushButton(Text("verify_copy"), this))
    , certButton(new QPushButton(Text("verify_cert"), this))
    , verifyButton(new QPushButton(Text("verify_verify"), this))
{
    setWindowTitle(Text("bidder_verify"));

    auto* const fileBox = new QGroupBox(Text("bidder_file"), this);
    auto* const fileRow = new QHBoxLayout(fileBox);
    auto* const selectButton = new QPushButton(Text("select"), fileBox);
    fileRow->addWidget(new QLabel(Text("bidder_file"), fileBox));
    fileRow->addWidget(pathEdit, 1);
    fileRow->addWidget(selectButton);

    auto* const infoBox = new QGroupBox(Text("bidder_info"), this);
    auto* const infoGrid = new QGridLayout(infoBox);
    codeEdit->setReadOnly(true);
    // Room for the 64 digits of a code in the widest hex digit of the font, plus the frame.
    const QFontMetrics metrics(codeEdit->font());
    int widestDigit = 0;
    for (const QChar digit : QStringLiteral("0123456789ABCDEF"))
        widestDigit = std::max(widestDigit, metrics.horizontalAdvance(digit));
    codeEdit->setMinimumWidth(64 * widestDigit + 3 * metrics.averageCharWidth());
    infoGrid->addWidget(new QLabel(Text("verify_verifycode"), infoBox), 0, 0);
    infoGrid->addWidget(codeEdit, 0, 1);
    infoGrid->addWidget(copyButton, 0, 2);
    infoGrid->addWidget(new QLabel(Text("bidder"), infoBox), 1, 0);
    infoGrid->addWidget(bidderLabel, 1, 1);
    infoGrid->addWidget(certButton, 1, 2);

    auto* const resultBox = new QGroupBox(Text("verify_info"), this);
    auto* const resultRow = new QHBoxLayout(resultBox);
    resultList->setColumnCount(2);
    resultList->setHeaderLabels({ Text("verify_progarm"), Text("verify_result") });
    resultList->setRootIsDecorated(false);
    resultList->setSelectionBehavior(QAbstractItemView::SelectRows);
    resultList->header()->setSectionsMovable(true);
    resultList->setColumnWidth(0, 180);
    resultList->setColumnWidth(1, 100);
    resultList->setStyleSheet(QStringLiteral("QTreeWidget::item { border: 1px solid #d0d0d0; }"));
    resultList->addTopLevelItem(new QTreeWidgetItem(QStringList { Text("bidder_format"), QString() }));
    resultList->addTopLevelItem(new QTreeWidgetItem(QStringList { Text("bidder_signdata"), QString() }));
    resultList->setFixedHeight(110);
    resultRow->addWidget(resultList, 1);
    resultRow->addWidget(verifyButton, 0, Qt::AlignBottom);

    auto* const layout = new QVBoxLayout(this);
    layout->addWidget(fileBox);
    layout->addWidget(infoBox);
    layout->addWidget(resultBox);

    connect(selectButton, &QPushButton::clicked, this, &CSingleBidFileVerifyDlg::SelectFile);
    connect(copyButton, &QPushButton::clicked, this, &CSingleBidFileVerifyDlg::CopyCode);
    connect(certButton, &QPushButton::clicked, this, &CSingleBidFileVerifyDlg::ShowCert);
    connect(verifyButton, &QPushButton::clicked, this, &CSingleBidFileVerifyDlg::Verify);
}

void CSingleBidFileVerifyDlg::SetPath(const std::wstring& path)
{
    report.SetPath(path);
    pathEdit->setText(QString::fromStdWString(path));
}

void CSingleBidFileVerifyDlg::SelectFile()
{
    const QString chosen = QFileDialog::getOpenFileName(this, QString(), pathEdit->text(), kBidxFilter);
    if (!chosen.isEmpty())
        SetPath(chosen.toStdWString());
}

void CSingleBidFileVerifyDlg::CopyCode()
{
    codeEdit->selectAll();
    QApplication::clipboard()->setText(codeEdit->text());
}

void CSingleBidFileVerifyDlg::ShowCert()
{
    if (report.GetSignCert() != nullptr)
        QuarnPKIUIDisplayCert(nullptr, report.GetSignCert());
}

void CSingleBidFileVerifyDlg::Verify()
{
    report.SetPath(pathEdit->text().toStdWString());
    QApplication::setOverrideCursor(Qt::WaitCursor);
    report.Verify();
    QApplication::restoreOverrideCursor();
    ShowFields();
}

void CSingleBidFileVerifyDlg::ShowFields()
{
    codeEdit->setText(QString::fromStdWString(report.GetVerifyCode()));
    codeEdit->setCursorPosition(0);
    bidderLabel->setText(QString::fromStdWString(report.GetBidder()));
    resultList->topLevelItem(0)->setText(
        1, QString::fromWCharArray(CBidFileReport::ResultMark(report.GetFormatResult())));
    resultList->topLevelItem(1)->setText(
        1, QString::fromWCharArray(CBidFileReport::ResultMark(report.GetSignResult())));
    // Why a check failed, on the cell of its mark (the column keeps its width).
    const CBidFileReport::Check results[] = { report.GetFormatResult(), report.GetSignResult() };
    for (int row = 0; row < 2; ++row) {
        const bool failed = results[row] == CBidFileReport::Check::Failed;
        resultList->topLevelItem(row)->setToolTip(
            1, failed ? QString::fromStdWString(report.GetFailureReason()) : QString());
    }
}

void CSingleBidFileVerifyDlg::keyPressEvent(QKeyEvent* event)
{
    // Enter in the path edit must not close the report: it is read with the verify button.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}
