#include "platform/plugins.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>

namespace Plugins {

QStringList Folders()
{
    QStringList folders;
    if (const QString dir = qEnvironmentVariable("ZUDIVUVO_PLUGIN_DIR"); !dir.isEmpty())
        folders << dir;
    const QString exeDir = QCoreApplication::applicationDirPath();
    folders << exeDir << QDir::cleanPath(exeDir + QLatin1String("/../lib/zudivuvo"));
    return folders;
}

QString Find(const QString &name)
{
    const QString file = QLatin1String("lib") + name + QLatin1String(".so");
    for (const QString &dir : Folders()) {
        const QFileInfo info(QDir(dir).filePath(file));
        if (info.isFile())
            return info.absoluteFilePath();
    }
    return {};
}

QFunctionPointer Resolve(const QString &name, const char *symbol, QString *error)
{
    const QString path = Find(name);
    if (path.isEmpty()) {
        *error = QStringLiteral("the plugin lib%1.so is not in %2").arg(name, Folders().join(QLatin1String(", ")));
        return nullptr;
    }
    QLibrary library(path);
    if (!library.load()) {
        *error = library.errorString();
        return nullptr;
    }
    const QFunctionPointer entry = library.resolve(symbol);
    if (!entry)
        *error = QStringLiteral("%1 has no entry point %2").arg(path, QLatin1String(symbol));
    return entry;
}

} // namespace Plugins
