// The output view: the pane under the bid-file list with a running, time-stamped account of what
// the program does. It is also the output sink that the window hands to its workers.
#pragma once

#include "CContainWnd.h"
#include "app/CMsgOutput.h"

#include <QListWidget>
#include <QStringList>

class CMsgListView : public CContainWnd, public CMsgOutput
{
    Q_OBJECT

public:
    static constexpr int ListBoxId = 8002;

    explicit CMsgListView(const QString& title, QWidget* parent = nullptr);

    // Appends "YYYY-MM-DD hh:mm:ss   text" (blank-padded fields) and selects it. From a worker the
    // call blocks until the UI thread has taken the line, so lines arrive whole and in call order.
    void Output(const std::wstring& text, int kind) override;

    // Asks for a file and saves the view into it; nothing is said when it cannot be written.
    void ExportLog();
    // Writes a byte-order mark and every line, each ended by CR LF, as UTF-16LE. False when the
    // file could not be written; the view is left as it was either way.
    bool ExportLogTo(const QString& path) const;

    QStringList Lines() const;
    QListWidget* ListBox() const { return listBox; }

private:
    void AppendLine(const QString& line);

    QListWidget* listBox;
};
