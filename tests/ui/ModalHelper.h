// Answers the next modal dialog of a given type as soon as it is shown, from the UI thread's
// event loop, so that tests can drive dialogs that block whoever opened them.
#pragma once

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <functional>

template <typename Dialog>
void AnswerNextModal(std::function<void(Dialog*)> answer)
{
    auto* const timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, answer] {
        auto* const dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr)
            return;
        timer->stop();
        timer->deleteLater();
        answer(dialog);
    });
    timer->start(10);
}
