#include "edit/logging.h"

Q_LOGGING_CATEGORY(lcEdit, "zudivuvo.edit", QtWarningMsg)
