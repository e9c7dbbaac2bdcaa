#pragma once
// Blocking network and disk work runs on pools of our own: short interactive
// requests never queue behind transfers, and no pool is waited for when the
// client exits (a late answer is dropped together with the window that asked).
#include "core/threadhandover.h"

#include <QFutureWatcher>
#include <QLoggingCategory>
#include <QObject>
#include <QPromise>
#include <QRunnable>
#include <QThreadPool>

#include <exception>
#include <memory>
#include <optional>
#include <type_traits>

Q_DECLARE_LOGGING_CATEGORY(lcWork)

// Logins, folder lists, polls, probes: many at once, each short.
QThreadPool *RequestPool();
// File transfers: each holds its thread for as long as it runs.
QThreadPool *TransferPool();
// At exit: true when both pools ended their work within msecs.
bool WaitForWorkPools(int msecs);

namespace WorkPoolsDetail {
// The result travels in a state of our own, not in the future's result store:
// whichever thread lets go of that store last frees it inside Qt, unseen by
// ThreadSanitizer, while a shared pointer's count is visible to it.
template <typename R>
struct State {
    std::optional<R> result;
};
template <>
struct State<void> {
};

template <typename R, typename Work>
class Job final : public QRunnable
{
public:
    Job(Work work, std::shared_ptr<State<R>> state) : m_work(std::move(work)), m_state(std::move(state))
    {
        m_promise.start();
    }
    QFuture<void> future() { return m_promise.future(); }

    void run() override
    {
        ThreadHandOver::Acquire(this);
        if constexpr (std::is_void_v<R>)
            guarded();
        else
            m_state->result.emplace(guarded());
        ThreadHandOver::Release(m_state.get());
        m_promise.finish();
    }

private:
    R guarded()
    {
        try {
            return m_work();
        } catch (const std::exception &e) {
            qCWarning(lcWork) << "background work failed:" << e.what();
        } catch (...) {
            qCWarning(lcWork) << "background work failed";
        }
        if constexpr (!std::is_void_v<R>)
            return R{};
    }

    Work m_work;
    std::shared_ptr<State<R>> m_state;
    QPromise<void> m_promise;
};
} // namespace WorkPoolsDetail

// Runs work on pool and hands its result to done on context's thread. When
// context is destroyed first, done is never called. work must not touch
// context: it gets copies or shared ownership of what it needs. An exception
// that escapes work becomes a default result, never a throw on the GUI thread.
template <typename Work, typename Done>
void RunOnPool(QThreadPool *pool, QObject *context, Work work, Done done)
{
    using R = std::invoke_result_t<Work>;
    auto state = std::make_shared<WorkPoolsDetail::State<R>>();
    auto *watcher = new QFutureWatcher<void>(context);
    QObject::connect(watcher, &QFutureWatcherBase::finished, context, [watcher, done, state]() mutable {
        watcher->deleteLater();
        ThreadHandOver::Acquire(state.get());
        if constexpr (std::is_void_v<R>)
            done();
        else
            // A job the pool dropped unrun ends with no result.
            done(state->result ? std::move(*state->result) : R{});
    });
    auto *job = new WorkPoolsDetail::Job<R, Work>(std::move(work), state);
    watcher->setFuture(job->future());
    ThreadHandOver::Release(job);
    pool->start(job);
}
