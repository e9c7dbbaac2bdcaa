#include "platform/instancechannel.h"

#include "core/wmessages.h"
#include "platform/logging.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

#include <array>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {
const QString kInstanceName = QStringLiteral("OnlyInstanceForZuDivuvo");
constexpr qsizetype kMaxLine = 128;  // a message line is three numbers
} // namespace

InstanceChannel::InstanceChannel(const QString &folder, QObject *parent)
    : QObject(parent)
    , m_folder(folder.isEmpty() ? defaultFolder() : folder)
{
    QDir().mkpath(m_folder);
    m_socketPath = QDir(m_folder).filePath(kInstanceName);
    m_lock = std::make_unique<QLockFile>(m_socketPath + QLatin1String(".lock"));
    m_lock->setStaleLockTime(0);  // only a dead holder makes the lock stale
}

InstanceChannel::~InstanceChannel()
{
    release();
}

void InstanceChannel::release()
{
    if (m_server) {
        m_server->close();
        delete m_server;
        m_server = nullptr;
    }
    if (m_primary) {
        m_lock->unlock();
        m_primary = false;
    }
}

bool InstanceChannel::IsAcceptedMessage(int number)
{
    return number == wm::TrayIcon || number == wm::BringToFront || number == wm::Exit || number == wm::RemoveTrayIcon;
}

QString InstanceChannel::defaultFolder()
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty()) {
#ifdef Q_OS_UNIX
        dir = QDir::tempPath() + QStringLiteral("/zudivuvo-%1").arg(getuid());
#else
        dir = QDir::tempPath() + QStringLiteral("/zudivuvo");
#endif
        QDir().mkpath(dir);
        QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    return dir;
}

bool InstanceChannel::acquire()
{
    m_primary = m_lock->tryLock(0);
    return m_primary;
}

bool InstanceChannel::listen(QString *error)
{
    if (!m_primary)
        return false;
    // Safe only while holding the lock: a leftover socket is from a dead instance.
    QLocalServer::removeServer(m_socketPath);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_socketPath)) {
        if (error)
            *error = QStringLiteral("Cannot listen on %1: %2").arg(m_socketPath, m_server->errorString());
        return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *s = m_server->nextPendingConnection()) {
            connect(s, &QLocalSocket::readyRead, this, [this, s] { readLines(s); });
            connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
            readLines(s);
        }
    });
    return true;
}

void InstanceChannel::readLines(QLocalSocket *socket)
{
    while (socket->canReadLine()) {
        const QByteArray line = socket->readLine(kMaxLine).trimmed();
        const QList<QByteArray> parts = line.split(' ');
        bool ok[3] = {false, false, false};
        if (parts.size() == 3) {
            const int number = parts[0].toInt(&ok[0]);
            const qint64 w = parts[1].toLongLong(&ok[1]);
            const qint64 l = parts[2].toLongLong(&ok[2]);
            if (ok[0] && ok[1] && ok[2] && !IsAcceptedMessage(number)) {
                qCWarning(lcPlatform) << "ignoring instance message" << number << "from outside";
                continue;
            }
            if (ok[0] && ok[1] && ok[2]) {
                qCDebug(lcPlatform) << "instance message" << number << w << l;
                Q_EMIT messageReceived(number, w, l);
                continue;
            }
        }
        qCWarning(lcPlatform) << "ignoring malformed instance message";
    }
    // A peer that never sends a line break must not make us buffer without end.
    if (socket->bytesAvailable() > kMaxLine)
        socket->abort();
}

bool InstanceChannel::send(const QList<std::array<qint64, 3>> &messages, int timeoutMs, int gapMs)
{
    QLocalSocket socket;
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        socket.connectToServer(m_socketPath);
        if (socket.waitForConnected(int(std::max<qint64>(1, deadline.remainingTime()))))
            break;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
    bool first = true;
    for (const auto &m : messages) {
        if (!first && gapMs > 0) {
            socket.waitForBytesWritten(gapMs);
            QThread::msleep(gapMs);
        }
        first = false;
        socket.write(QByteArray::number(m[0]) + ' ' + QByteArray::number(m[1]) + ' ' + QByteArray::number(m[2]) + '\n');
        socket.flush();
    }
    while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(int(std::max<qint64>(1, deadline.remainingTime()))))
        ;
    socket.disconnectFromServer();
    return true;
}

bool InstanceChannel::wakeRunningInstance(int timeoutMs)
{
    return send({{wm::TrayIcon, 0, wm::LeftButtonDown}, {wm::BringToFront, 0, 0}}, timeoutMs, 100);
}
