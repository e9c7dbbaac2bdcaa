#pragma once
// Background calls that borrow an object of their owner (a server client, a
// backend) must end before that owner goes: the owner keeps their futures here
// and its destruction waits for the ones still running.
#include <QFuture>
#include <QList>

class TPendingWork
{
public:
    TPendingWork() = default;
    TPendingWork(const TPendingWork &) = delete;
    TPendingWork &operator=(const TPendingWork &) = delete;
    ~TPendingWork() { WaitAll(); }

    template <typename T>
    QFuture<T> Track(QFuture<T> future)
    {
        m_futures.removeIf([](const QFuture<void> &f) { return f.isFinished(); });
        m_futures.append(QFuture<void>(future));
        return future;
    }
    void WaitAll()
    {
        for (QFuture<void> &f : m_futures)
            f.waitForFinished();
        m_futures.clear();
    }

private:
    QList<QFuture<void>> m_futures;
};
