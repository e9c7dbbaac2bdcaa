#include "preview/logging.h"

Q_LOGGING_CATEGORY(lcPreview, "zudivuvo.preview", QtWarningMsg)
