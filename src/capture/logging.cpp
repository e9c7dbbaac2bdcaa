#include "capture/logging.h"

Q_LOGGING_CATEGORY(lcCapture, "zudivuvo.capture", QtWarningMsg)
