#pragma once
// Requests of the client's batch tasks that need more than a plain lookup.
#include "requesthandler.h"

// Request 66: the files and folders a download task fetches, under the task
// text's filters, with files deleted on the server marked "D". authResult is
// the result of checking the session (0 = valid).
Reply batchDownloadList(Store &store, const SessionInfo &session, int authResult, const QString &text);
