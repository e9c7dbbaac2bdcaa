#include "desktopopener.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QProcess>
#include <QSemaphore>
#include <QStandardPaths>
#include <QThread>
#include <QUrl>

#include <atomic>
#include <memory>

namespace {
QString pick(bool chinese, const QString &cn, const QString &en)
{
    return chinese ? cn : en;
}

// Like xdg-open, a program for a parent type (text/plain for text/csv) counts.
// A query that does not answer counts as "maybe": xdg-open then decides.
bool hasDefaultProgram(const QString &xdgMime, const QStringList &types)
{
    for (const QString &type : types) {
        QProcess query;
        query.start(xdgMime, {QStringLiteral("query"), QStringLiteral("default"), type});
        if (!query.waitForFinished(2000) || query.exitStatus() != QProcess::NormalExit) {
            query.kill();
            query.waitForFinished(500);
            return true;
        }
        if (!query.readAllStandardOutput().trimmed().isEmpty())
            return true;
    }
    return false;
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
        const QMimeType type = QMimeDatabase().mimeTypeForFile(absolute);
        if (!mime.isEmpty() && !hasDefaultProgram(mime, QStringList{type.name()} + type.allAncestors())) {
            if (reason)
                *reason = pick(chinese, QStringLiteral("没有与 %1 类型文件关联的程序。").arg(type.name()),
                               QStringLiteral("No program is associated with files of type %1.").arg(type.name()));
            return false;
        }
        if (QProcess::startDetached(open, {absolute}))
            return true;
        if (reason)
            *reason = pick(chinese, QStringLiteral("无法启动 xdg-open。"), QStringLiteral("xdg-open could not be started."));
        return false;
    }
#endif
    bool opened = false;
    const QUrl url = QUrl::fromLocalFile(absolute);
    QCoreApplication *app = QCoreApplication::instance();
    if (app && QThread::currentThread() != app->thread()) {
        // The desktop services belong to the GUI thread. Never block on it: it
        // may itself be busy or gone; a late answer lands in the shared state.
        struct Answer {
            QSemaphore done;
            std::atomic<bool> opened{false};
        };
        auto answer = std::make_shared<Answer>();
        QMetaObject::invokeMethod(app, [answer, url] {
            answer->opened = QDesktopServices::openUrl(url);
            answer->done.release();
        }, Qt::QueuedConnection);
        opened = answer->done.tryAcquire(1, 10000) && answer->opened;
    } else {
        opened = QDesktopServices::openUrl(url);
    }
    if (opened)
        return true;
    if (reason)
        *reason = pick(chinese, QStringLiteral("桌面没有可打开此文件的程序。"),
                       QStringLiteral("The desktop has no program to open this file."));
    return false;
}

} // namespace DesktopOpener
