#include "core/uitext.h"

#include <atomic>

namespace {
std::atomic<int> g_language{HSL_ENG};
}

void SetTextLanguage(THS_Language language)
{
    g_language.store(language == HSL_CN ? HSL_CN : HSL_ENG, std::memory_order_relaxed);
}

THS_Language TextLanguage()
{
    return THS_Language(g_language.load(std::memory_order_relaxed));
}

QString UiText(const char *cn, const char *en)
{
    return QString::fromUtf8(TextLanguage() == HSL_CN ? cn : en);
}
