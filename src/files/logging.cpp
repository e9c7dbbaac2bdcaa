#include "files/logging.h"

Q_LOGGING_CATEGORY(lcFiles, "zudivuvo.files", QtWarningMsg)
