#pragma once
// Runs blocking work (network, disk) on the thread pool and hands its result
// to done on the GUI thread. The work must not touch context: context may be
// gone before the work ends, and then done is simply not called.
#include <QFutureWatcher>
#include <QObject>
#include <QtConcurrent>

#include <type_traits>

template <typename Work, typename Done>
QFuture<std::invoke_result_t<Work>> RunAsync(QObject *context, Work work, Done done)
{
    using R = std::invoke_result_t<Work>;
    auto *watcher = new QFutureWatcher<R>(context);
    QObject::connect(watcher, &QFutureWatcherBase::finished, context, [watcher, done]() mutable {
        watcher->deleteLater();
        done(watcher->result());
    });
    QFuture<R> future = QtConcurrent::run(std::move(work));
    watcher->setFuture(future);
    return future;
}
