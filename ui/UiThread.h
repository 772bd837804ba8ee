// Work that must run on the UI thread, asked for from any thread. A worker blocks until the UI
// thread has done it; on the UI thread itself it runs at once, since a blocking queued call to
// one's own thread would wait for ever.
//
// The work is delivered to `context` (the application when null). When context is destroyed
// before the UI thread gets to the work, the work is dropped and the worker is released with a
// default result instead of waiting for ever.
#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <type_traits>
#include <utility>

template <typename Work> auto RunOnUiThread(QObject* context, Work&& work) -> std::invoke_result_t<Work&>
{
    QCoreApplication* const app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() == app->thread())
        return work();
    QObject* const receiver = context != nullptr ? context : app;
    using Result = std::invoke_result_t<Work&>;
    if constexpr (std::is_void_v<Result>) {
        QMetaObject::invokeMethod(
            receiver, [&work] { work(); }, Qt::BlockingQueuedConnection);
    } else {
        Result result {};
        QMetaObject::invokeMethod(
            receiver, [&work, &result] { result = work(); }, Qt::BlockingQueuedConnection);
        return result;
    }
}
