#include "desktopopener.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace {
QString pick(bool chinese, const QString &cn, const QString &en)
{
    return chinese ? cn : en;
}
} // namespace

namespace DesktopOpener {

bool OpenFile(const QString &path, QString *reason, bool chinese)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
#ifdef Q_OS_UNIX
    // xdg-open works without a desktop session's platform services (and on
    // the offscreen platform); ask first whether it has anything to start.
    const QString open = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    const QString mime = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
    if (!open.isEmpty()) {
        const QString type = QMimeDatabase().mimeTypeForFile(absolute).name();
        if (!mime.isEmpty()) {
            QProcess query;
            query.start(mime, {QStringLiteral("query"), QStringLiteral("default"), type});
            const bool answered = query.waitForFinished(2000) && query.exitStatus() == QProcess::NormalExit;
            if (!answered)
                query.kill();
            if (answered && query.readAllStandardOutput().trimmed().isEmpty()) {
                if (reason)
                    *reason = pick(chinese, QStringLiteral("没有与 %1 类型文件关联的程序。").arg(type),
                                   QStringLiteral("No program is associated with files of type %1.").arg(type));
                return false;
            }
        }
        if (QProcess::startDetached(open, {absolute}))
            return true;
        if (reason)
            *reason = pick(chinese, QStringLiteral("无法启动 xdg-open。"), QStringLiteral("xdg-open could not be started."));
        return false;
    }
#endif
    if (QDesktopServices::openUrl(QUrl::fromLocalFile(absolute)))
        return true;
    if (reason)
        *reason = pick(chinese, QStringLiteral("桌面没有可打开此文件的程序。"),
                       QStringLiteral("The desktop has no program to open this file."));
    return false;
}

} // namespace DesktopOpener
