// Answers the next modal dialog of a given type as soon as it is shown, from the UI thread's
// event loop, so that tests can drive dialogs that block whoever opened them.
//
// A dialog may refuse an answer that comes too early (Qt's file dialog ignores accept() while its
// model still loads), so the dialog is answered again every kModalRetryMs until it is gone. A
// dialog that never shows, or never goes, ends the test binary after kModalDeadlineMs with a
// message instead of hanging it.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <QtGlobal>
#include <functional>
#include <memory>

inline constexpr int kModalRetryMs = 200;
inline constexpr int kModalDeadlineMs = 30000;

template <typename Dialog> void AnswerNextModal(std::function<void(Dialog*)> answer)
{
    struct CState
    {
        QElapsedTimer sinceStart;
        QElapsedTimer sinceAnswer;
        QPointer<Dialog> answered;
        bool answeredOnce = false;
    };
    auto* const timer = new QTimer(qApp);
    auto state = std::make_shared<CState>();
    state->sinceStart.start();
    QObject::connect(timer, &QTimer::timeout, timer, [timer, answer, state] {
        auto* const dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
        if (state->answeredOnce && (state->answered.isNull() || dialog != state->answered)) {
            timer->stop();
            timer->deleteLater();
            return;
        }
        if (state->sinceStart.elapsed() > kModalDeadlineMs)
            qFatal("AnswerNextModal: no %s was shown and closed within %d ms",
                Dialog::staticMetaObject.className(), kModalDeadlineMs);
        if (dialog == nullptr || (state->answeredOnce && state->sinceAnswer.elapsed() < kModalRetryMs))
            return;
        state->answered = dialog;
        state->answeredOnce = true;
        state->sinceAnswer.start();
        answer(dialog);
    });
    timer->start(10);
}
