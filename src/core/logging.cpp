#include "core/logging.h"

Q_LOGGING_CATEGORY(lcCore, "zudivuvo.core", QtWarningMsg)
