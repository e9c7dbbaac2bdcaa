#pragma once
// What one launch does with its first argument: register the link handler and
// end, store settings, and prepare at most one web command for the hand-off file.
#include "core/resultcodes.h"
#include "core/webcmd.h"

#include <QStringList>
#include <functional>

class TClientConfigX;
class QTranslator;

// Qt's own texts (OK, Yes, No, Cancel, …) in Chinese when the interface is
// Chinese. Returns the installed translator, or null when none was needed or found.
QTranslator *InstallQtTranslations(THS_Language language);
// The client's look beyond the platform style: a field that takes no typing looks so.
void InstallClientStyle();

bool LooksPercentEncoded(const QString &text);
// "%XX" bytes and "%uXXXX" units read as UTF-8; other characters give their low byte.
QString PercentDecode(const QString &text);
// Slash to space at the end, link prefix removed (any case, also a leading one without "//"),
// "%20" to space, split on spaces.
QStringList PrepareArgumentPieces(const QString &argument);

struct TStartupResult {
    bool registerAndExit = false;
    TWebCmd pending;
};

class TStartup
{
public:
    using RegisterFn = std::function<void()>;
    TStartup(TClientConfigX &config, RegisterFn registerHandler)
        : m_config(config)
        , m_register(std::move(registerHandler))
    {
    }

    // Settings are saved as each option is met, so "-r" later in the same
    // argument still leaves them stored.
    TStartupResult Run(const QString &firstArgument);

private:
    void storeServer(const QString &value);
    void storeSession(const QString &value);
    void preparePending(const QString &value, TWebCmd &pending);

    TClientConfigX &m_config;
    RegisterFn m_register;
};
