#pragma once
// Texts made below the windows (network and file channel errors) follow the
// language the user chose for the interface; it is set once at start-up.
#include "core/resultcodes.h"

#include <QString>

void SetTextLanguage(THS_Language language);
THS_Language TextLanguage();
// The Chinese or the English text (both UTF-8) in the interface language.
QString UiText(const char *cn, const char *en);
