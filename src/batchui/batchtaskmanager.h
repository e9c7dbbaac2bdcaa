#pragma once
// The task manager window drives the one task service the command-line client
// drives too: no rule of its own lives here.
#include "batch/taskservice.h"

using TBatchTaskManager = TTaskService;
