#include "preview/previewplugin.h"
#include "platform/plugins.h"
#include "preview/logging.h"

bool RunPreviewCommand(const TPreviewRun &run, QString *error)
{
    static QString loadError;
    static const TPreviewRunFn run_ = [] {
        const auto fn = reinterpret_cast<TPreviewRunFn>(
            Plugins::Resolve(QLatin1String(kViewersPluginName), kPreviewRunSymbol, &loadError));
        if (!fn)
            qCWarning(lcPreview).noquote() << "No viewers:" << loadError;
        return fn;
    }();
    if (!run_) {
        *error = QStringLiteral("The viewers cannot be loaded: ") + loadError;
        return false;
    }
    error->clear();
    if (run_(kPreviewInterfaceVersion, run, error))
        return true;
    if (error->isEmpty())
        *error = QStringLiteral("The viewers are of another version");
    return false;
}
