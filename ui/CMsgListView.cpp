#include "CMsgListView.h"

#include "UiThread.h"
#include "app/OutputLine.h"

#include <QFileDialog>
#include <QFontDatabase>
#include <QSaveFile>
#include <ctime>

CMsgListView::CMsgListView(const QString& caption, QWidget* parent)
    : CContainWnd(caption, parent)
{
    listBox = new QListWidget(this);
    listBox->setObjectName(QStringLiteral("msgList%1").arg(ListBoxId));
    listBox->setSelectionMode(QAbstractItemView::SingleSelection);
    listBox->setSortingEnabled(false);
    listBox->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    listBox->setFont(QFontDatabase::systemFont(QFontDatabase::TitleFont));
    SetClient(listBox);
}

void CMsgListView::Output(const std::wstring& text, int /*kind*/)
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    const QString line = QString::fromStdWString(FormatOutputLine(local, text));
    RunOnUiThread(this, [this, &line] { AppendLine(line); });
}

void CMsgListView::AppendLine(const QString& line)
{
    listBox->addItem(line);
    listBox->setCurrentRow(listBox->count() - 1);
    listBox->scrollToBottom();
}

QStringList CMsgListView::Lines() const
{
    QStringList lines;
    lines.reserve(listBox->count());
    for (int row = 0; row < listBox->count(); ++row)
        lines.append(listBox->item(row)->text());
    return lines;
}

void CMsgListView::ExportLog()
{
    QFileDialog dialog(
        this, QStringLiteral("保存日志文件"), QStringLiteral("log"), QStringLiteral("文本文件(*.txt)"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(QStringLiteral("txt"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    ExportLogTo(dialog.selectedFiles().constFirst());
}

bool CMsgListView::ExportLogTo(const QString& path) const
{
    QByteArray bytes("\xFF\xFE", 2);
    const auto append = [&bytes](const QString& text) {
        for (const QChar c : text) {
            bytes.append(static_cast<char>(c.unicode() & 0xFF));
            bytes.append(static_cast<char>(c.unicode() >> 8));
        }
    };
    for (int row = 0; row < listBox->count(); ++row) {
        append(listBox->item(row)->text());
        append(QStringLiteral("\r\n"));
    }
    // Written aside and renamed, so that a failed save never leaves half a log over an old one.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}
