#include "versions/logging.h"

Q_LOGGING_CATEGORY(lcVersions, "zudivuvo.versions", QtWarningMsg)
