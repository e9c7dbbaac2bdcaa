#pragma once
// Blocking network and disk work runs on pools of our own: short interactive
// requests never queue behind transfers, and no pool is waited for when the
// client exits (a late answer is dropped together with the window that asked).
#include <QFutureWatcher>
#include <QLoggingCategory>
#include <QObject>
#include <QThreadPool>
#include <QtConcurrent>

#include <exception>
#include <type_traits>

Q_DECLARE_LOGGING_CATEGORY(lcWork)

// Logins, folder lists, polls, probes: many at once, each short.
QThreadPool *RequestPool();
// File transfers: each holds its thread for as long as it runs.
QThreadPool *TransferPool();
// At exit: true when both pools ended their work within msecs.
bool WaitForWorkPools(int msecs);

// Runs work on pool and hands its result to done on context's thread. When
// context is destroyed first, done is never called. work must not touch
// context: it gets copies or shared ownership of what it needs. An exception
// that escapes work becomes a default result, never a throw on the GUI thread.
template <typename Work, typename Done>
QFuture<std::invoke_result_t<Work>> RunOnPool(QThreadPool *pool, QObject *context, Work work, Done done)
{
    using R = std::invoke_result_t<Work>;
    auto *watcher = new QFutureWatcher<R>(context);
    QObject::connect(watcher, &QFutureWatcherBase::finished, context, [watcher, done]() mutable {
        watcher->deleteLater();
        if constexpr (std::is_void_v<R>)
            done();
        else
            done(watcher->result());
    });
    QFuture<R> future = QtConcurrent::run(pool, [work = std::move(work)]() mutable -> R {
        try {
            return work();
        } catch (const std::exception &e) {
            qCWarning(lcWork) << "background work failed:" << e.what();
        } catch (...) {
            qCWarning(lcWork) << "background work failed";
        }
        if constexpr (!std::is_void_v<R>)
            return R{};
    });
    watcher->setFuture(future);
    return future;
}
