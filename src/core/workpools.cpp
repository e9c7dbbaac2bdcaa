#include "core/workpools.h"

#include <QDeadlineTimer>

Q_LOGGING_CATEGORY(lcWork, "zudivuvo.work", QtWarningMsg)

namespace {
// Never destroyed: a pool's destructor waits for its threads, and exit must not.
QThreadPool *makePool(int threads)
{
    auto *pool = new QThreadPool;
    pool->setMaxThreadCount(threads);
    pool->setExpiryTimeout(30000);
    return pool;
}
} // namespace

QThreadPool *RequestPool()
{
    // Network-bound: more threads than cores, so a slow server's requests
    // (time-outs of up to 30 s) do not hold up a quick one.
    static QThreadPool *pool = makePool(16);
    return pool;
}

QThreadPool *TransferPool()
{
    static QThreadPool *pool = makePool(16);
    return pool;
}

bool WaitForWorkPools(int msecs)
{
    QDeadlineTimer deadline(msecs);
    const bool requests = RequestPool()->waitForDone(int(deadline.remainingTime()));
    const bool transfers = TransferPool()->waitForDone(int(qMax<qint64>(0, deadline.remainingTime())));
    return requests && transfers;
}
