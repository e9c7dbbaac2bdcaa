#include "batch/logging.h"

Q_LOGGING_CATEGORY(lcBatch, "zudivuvo.batch", QtWarningMsg)
