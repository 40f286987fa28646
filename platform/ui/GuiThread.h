#pragma once
// Calls from a worker thread onto the GUI thread that owns `context`.
//
// PostToGui queues the call and returns at once (a posted command, a timer armed from a worker). If
// `context` is destroyed before the call runs, the call is dropped, never run on a dead object.
//
// CallOnGui blocks the worker until the GUI thread has run the call and returns its result (a message
// box shown for a worker). The GUI thread must keep processing events while a worker may make such a
// call: an owner that waits for its worker does so with an event loop, not a bare join.

#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <type_traits>
#include <utility>

template <class F>
void PostToGui(QObject *context, F &&call)
{
    QMetaObject::invokeMethod(context, std::forward<F>(call), Qt::QueuedConnection);
}

template <class F>
auto CallOnGui(QObject *context, F &&call) -> std::invoke_result_t<F>
{
    using Result = std::invoke_result_t<F>;
    if (QThread::currentThread() == context->thread())
        return call();
    if constexpr (std::is_void_v<Result>) {
        QMetaObject::invokeMethod(context, std::forward<F>(call), Qt::BlockingQueuedConnection);
    } else {
        Result result{};
        QMetaObject::invokeMethod(context, std::forward<F>(call), Qt::BlockingQueuedConnection, &result);
        return result;
    }
}
