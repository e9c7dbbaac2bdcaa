#include "web/logging.h"

Q_LOGGING_CATEGORY(lcWeb, "zudivuvo.web", QtWarningMsg)
