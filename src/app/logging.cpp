#include "app/logging.h"

Q_LOGGING_CATEGORY(lcApp, "zudivuvo.app", QtWarningMsg)
