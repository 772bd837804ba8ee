// The window's message boxes: asked from any thread, shown on the UI thread owned by the given
// window, and answered before the asking thread goes on.
#pragma once

#include "app/IPrompt.h"

#include <QPointer>
#include <QWidget>
#include <memory>

class QMessageBox;

class CGuiPrompt : public IPrompt
{
public:
    explicit CGuiPrompt(QWidget* window)
        : owner(window)
    {
    }

    // 0, which is no answer, when the program is ending and the box can no longer be shown.
    int Ask(const std::wstring& text, const std::wstring& caption, unsigned type) override;

    // The box that Ask shows, built but not run; the answer of a button is ButtonAnswer.
    static std::unique_ptr<QMessageBox> MakeBox(
        QWidget* owner, const QString& text, const QString& caption, unsigned type);
    static int ButtonAnswer(int standardButton);

private:
    QPointer<QWidget> owner;
};
