#pragma once
// Runs a short blocking request (network, disk) on the request pool and hands
// its result to done on the GUI thread. The work must not touch context:
// context may be gone before the work ends, and then done is simply not called.
#include "core/workpools.h"

template <typename Work, typename Done>
void RunAsync(QObject *context, Work work, Done done)
{
    RunOnPool(RequestPool(), context, std::move(work), std::move(done));
}
