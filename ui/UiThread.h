// Work that must run on the UI thread, asked for from any thread. A worker blocks until the UI
// thread has done it; on the UI thread itself it runs at once, since a blocking queued call to
// one's own thread would wait for ever.
#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <type_traits>
#include <utility>

template <typename Work>
auto RunOnUiThread(Work&& work) -> std::invoke_result_t<Work&>
{
    QCoreApplication* const app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() == app->thread())
        return work();
    using Result = std::invoke_result_t<Work&>;
    if constexpr (std::is_void_v<Result>) {
        QMetaObject::invokeMethod(app, [&work] { work(); }, Qt::BlockingQueuedConnection);
    } else {
        Result result {};
        QMetaObject::invokeMethod(app, [&work, &result] { result = work(); }, Qt::BlockingQueuedConnection);
        return result;
    }
}
