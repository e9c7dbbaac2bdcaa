#include "platform/plugins.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

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

} // namespace Plugins
