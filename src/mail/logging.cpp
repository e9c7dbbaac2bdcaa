#include "mail/logging.h"

Q_LOGGING_CATEGORY(lcMail, "zudivuvo.mail", QtWarningMsg)
