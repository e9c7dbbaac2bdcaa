#include "core/folders.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QStandardPaths>

namespace {

QString firstLocation(QStandardPaths::StandardLocation loc)
{
    return QStandardPaths::writableLocation(loc);
}

QString ensureFolder(const QString &folder, bool privateFolder)
{
    if (folder.isEmpty())
        return folder;
    QDir dir(folder);
    if (!dir.exists()) {
        dir.mkpath(QStringLiteral("."));
        if (privateFolder)
            QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    return folder;
}

} // namespace

QString ToLocalSeparators(const QString &path)
{
#ifdef Q_OS_WIN
    QString p = path;
    return p.replace(u'/', u'\\');
#else
    QString p = path;
    return p.replace(u'\\', u'/');
#endif
}

QString IncludeTrailingSlash(const QString &folder)
{
    if (folder.isEmpty() || folder.endsWith(u'/') || folder.endsWith(u'\\'))
        return folder;
    return folder + QDir::separator();
}

QString GetExeFolder()
{
    const QString dir = QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QDir::currentPath();
    return IncludeTrailingSlash(QDir::toNativeSeparators(dir));
}

// The shell folders of the original system and where they live here. Kinds with no
// counterpart give the empty text, which every caller already handles.
//
// kind  meaning             this platform
//  0    Desktop             QStandardPaths::DesktopLocation
//  1,2  Start Menu/Programs $XDG_DATA_HOME/applications
//  3    Startup             $XDG_CONFIG_HOME/autostart
//  4    Personal            QStandardPaths::DocumentsLocation (home when unset)
//  5    AppData             $XDG_CONFIG_HOME
//  6    Fonts               QStandardPaths::FontsLocation
//  10   Cache               QStandardPaths::GenericCacheLocation
//  15   Templates           $XDG_TEMPLATES_DIR, else empty
//  16   Local AppData       $XDG_DATA_HOME (~/.local/share)
//  19   Temp                QDir::tempPath()
//  7-9, 11-14, 17, 18, 20-22: no counterpart, empty
QString GetSpecialFolder(int kind)
{
    QString f;
    switch (kind) {
    case 0: f = firstLocation(QStandardPaths::DesktopLocation); break;
    case 1:
    case 2: f = firstLocation(QStandardPaths::GenericDataLocation) + QLatin1String("/applications"); break;
    case 3: f = firstLocation(QStandardPaths::GenericConfigLocation) + QLatin1String("/autostart"); break;
    case 4: f = firstLocation(QStandardPaths::DocumentsLocation); break;
    case 5: f = firstLocation(QStandardPaths::GenericConfigLocation); break;
    case 6: f = firstLocation(QStandardPaths::FontsLocation); break;
    case 10: f = firstLocation(QStandardPaths::GenericCacheLocation); break;
    case 15: f = qEnvironmentVariable("XDG_TEMPLATES_DIR"); break;
    case 16: f = firstLocation(QStandardPaths::GenericDataLocation); break;
    case 19: f = QDir::tempPath(); break;
    default: break;
    }
    if (f.isEmpty() && kind == 4)
        f = QDir::homePath();
    return IncludeTrailingSlash(QDir::toNativeSeparators(f));
}

QString GetDocumentsFolder()
{
    const QString d = GetSpecialFolder(4);
    return d.isEmpty() ? GetExeFolder() : d;
}

QString GetConfigFolder()
{
    const QString base = GetSpecialFolder(16);
    if (base.isEmpty())
        return GetExeFolder();
    return ensureFolder(base + QLatin1String("Kv") + QDir::separator(), true);
}

QString GetTempFolder()
{
    const QString base = GetSpecialFolder(16);
    if (base.isEmpty())
        return GetExeFolder();
    // The batch task file lives here, so it must be persistent and private: never /tmp.
    return ensureFolder(GetConfigFolder() + QLatin1String("Temp") + QDir::separator(), true);
}

QString GetServerToolsFolder()
{
    static QMutex mutex;
    static QString cached;
    QMutexLocker lock(&mutex);
    if (!cached.isEmpty())
        return cached;
    static const char *const tools[] = {"ArvoInetsrv.exe", "Vudav.exe", "zuzEdi.exe"};
    QString f = GetExeFolder();
    while (!f.isEmpty()) {
        for (const char *t : tools) {
            if (QFileInfo::exists(f + QLatin1String(t))) {
                cached = f;
                return cached;
            }
        }
        // Next: cut after the last separator that is not the final character.
        qsizetype cut = -1;
        for (qsizetype i = f.size() - 2; i >= 0; --i) {
            const QChar c = f.at(i);
            if (c == u'\\' || c == u'/' || c == u':') {
                cut = i;
                break;
            }
        }
        f = cut < 0 ? QString() : f.left(cut + 1);
    }
    return {};
}

bool ForceFileFolder(const QString &path)
{
    if (path.isEmpty())
        return false;
    QString p = ToLocalSeparators(path);
    const QChar sep = QDir::separator();
    for (qsizetype i = p.size() - 1; i >= 0; --i) {
        if (p.at(i) == sep)
            break;
        if (p.at(i) == u'.') {
            const qsizetype lastSep = p.lastIndexOf(sep, i);
            if (lastSep >= 0)
                p = p.left(lastSep + 1);
            break;
        }
    }
    QDir().mkpath(p);
    return QFileInfo(p).isDir();
}
