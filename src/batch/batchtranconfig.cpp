#include "batch/batchtranconfig.h"

#include "batch/logging.h"
#include "core/folders.h"
#include "core/helpers.h"
#include "core/tagtext.h"
#include "core/textfile.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMutex>
#include <QSet>
#include <QStringEncoder>
#include <QThread>

#include <limits>

#include <sys/stat.h>

namespace {

const QString kCrLf = QStringLiteral("\r\n");

QString condKey(qint32 id)
{
    return QStringLiteral("Cond_") + QString::number(id);
}

struct Span {
    qsizetype open = -1;
    qsizetype end = -1;  // one past the closing "]"
};

const QString kTaskOpen = QStringLiteral("[Cond_");

// The end of the section whose head ends at from, or -1 when its closing tag is
// lost: missing, or only after the next task's head (a damaged section must not
// swallow the task after it).
qsizetype sectionEnd(const QString &text, qsizetype from, const QString &close)
{
    const qsizetype e = text.indexOf(close, from, Qt::CaseInsensitive);
    if (e < 0)
        return -1;
    const qsizetype next = text.indexOf(kTaskOpen, from, Qt::CaseInsensitive);
    return next >= 0 && next < e ? -1 : e;
}

Span findSection(const QString &text, const QString &key)
{
    const QString open = u'[' + key + u']';
    const QString close = QStringLiteral("[/") + key + u']';
    for (qsizetype from = 0;;) {
        const qsizetype s = text.indexOf(open, from, Qt::CaseInsensitive);
        if (s < 0)
            return {};
        const qsizetype e = sectionEnd(text, s + open.size(), close);
        if (e >= 0)
            return {s, e + close.size()};
        from = s + open.size();
    }
}

// Up to one byte past the cap. Sized to the file: a read sized to the cap itself
// reserves 64 MiB on every load.
QByteArray readCapped(QFile &file, qint64 size)
{
    return file.read(qBound<qint64>(0, size, kMaxTextFileBytes) + 1);
}

QByteArray hashOf(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha1);
}

} // namespace

QString BatchIndexFolder()
{
    return GetConfigFolder() + QStringLiteral("index/");
}

TBatchTranConfig::TBatchTranConfig(const QString &folder, const QString &indexFolder)
{
    QString f = folder.isEmpty() ? GetTempFolder() : IncludeTrailingSlash(folder);
    QDir().mkpath(f);
    FConfigFileName = f + QStringLiteral("btr.sys");
    FIndexFolder = indexFolder.isEmpty() ? BatchIndexFolder() : IncludeTrailingSlash(indexFolder);
    load();
}

void TBatchTranConfig::Reload()
{
    load();
}

TBatchTranConfig::DiskState TBatchTranConfig::stat(const QString &path)
{
    DiskState d;
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return d;
    d.Exists = true;
    d.Size = st.st_size;
    d.MTimeNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return d;
}

void TBatchTranConfig::noteDisk(const QByteArray &bytes)
{
    FDisk = stat(FConfigFileName);
    FDisk.Hash = hashOf(bytes);
}

bool TBatchTranConfig::ChangedOnDisk() const
{
    const DiskState now = stat(FConfigFileName);
    if (now.Exists == FDisk.Exists && now.Size == FDisk.Size && now.MTimeNs == FDisk.MTimeNs)
        return false;
    if (!now.Exists || !FDisk.Exists || now.Size != FDisk.Size)
        return true;
    // Touched but maybe not changed: the content decides.
    QFile file(FConfigFileName);
    if (!file.open(QIODevice::ReadOnly))
        return true;
    if (hashOf(readCapped(file, now.Size)) != FDisk.Hash)
        return true;
    const QByteArray hash = FDisk.Hash;
    FDisk = now;
    FDisk.Hash = hash;
    return false;
}

void TBatchTranConfig::load()
{
    FConfigStr.clear();
    FLoadError.clear();
    FDisk = DiskState();
    QFile file(FConfigFileName);
    if (!file.exists())
        return;
    QByteArray bytes;
    if (!file.open(QIODevice::ReadOnly)) {
        FLoadError = QStringLiteral("Cannot read %1: %2").arg(QDir::toNativeSeparators(FConfigFileName), file.errorString());
    } else {
        // The state of what was read, not of a file that replaced it meanwhile.
        struct stat st;
        if (::fstat(file.handle(), &st) == 0) {
            FDisk.Exists = true;
            FDisk.Size = st.st_size;
            FDisk.MTimeNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        }
        bytes = readCapped(file, FDisk.Exists ? FDisk.Size : kMaxTextFileBytes);
        if (file.error() != QFileDevice::NoError)
            FLoadError = QStringLiteral("Cannot read %1: %2").arg(QDir::toNativeSeparators(FConfigFileName), file.errorString());
        else if (bytes.size() > kMaxTextFileBytes)
            FLoadError = QStringLiteral("%1 is larger than 64 MiB; only its start was read").arg(QDir::toNativeSeparators(FConfigFileName));
        FDisk.Hash = hashOf(bytes);
    }
    const QByteArray whole = bytes;
    bytes.truncate(kMaxTextFileBytes);
    // UTF-16 text cut in the middle of a character: the rest still reads.
    if (bytes.startsWith("\xFF\xFE") && bytes.size() % 2 != 0) {
        bytes.chop(1);
        if (FLoadError.isEmpty())
            FLoadError = QStringLiteral("%1 ends in the middle of a character").arg(QDir::toNativeSeparators(FConfigFileName));
    }
    FConfigStr = DecodeTextBytes(bytes);
    if (FLoadError.isEmpty() && FConfigStr.contains(QChar(QChar::ReplacementCharacter)))
        FLoadError = QStringLiteral("%1 holds bytes that are not text").arg(QDir::toNativeSeparators(FConfigFileName));
    if (!FLoadError.isEmpty()) {
        // One copy per damaged content, however often it is read again.
        const QByteArray hash = hashOf(whole);
        if (hash != FKeptAsideHash || whole.isEmpty()) {
            const QString aside = FConfigFileName + QStringLiteral(".damaged-")
                                  + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
            if (QFile::copy(FConfigFileName, aside)) {
                FKeptAsideHash = hash;
                FLoadError += QStringLiteral("; a copy was kept as %1").arg(QDir::toNativeSeparators(aside));
            }
        }
        FLoadError += QStringLiteral("; tasks are not saved until the file is repaired or removed");
        qCWarning(lcBatch).noquote() << FLoadError;
    }
}

bool TBatchTranConfig::GetTask(qint32 id, TBatchTransport &value) const
{
    const Span s = findSection(FConfigStr, condKey(id));
    if (s.open < 0) {
        TextToBatchTransport(QString(), value);
        return false;
    }
    TextToBatchTransport(FConfigStr.mid(s.open, s.end - s.open), value);
    return value.Id != 0;
}

bool TBatchTranConfig::HasTask(qint32 id) const
{
    return findSection(FConfigStr, condKey(id)).open >= 0;
}

void TBatchTranConfig::setSection(const QString &key, const QString &value)
{
    const QString entry = u'[' + key + u']' + value + QStringLiteral("[/") + key + u']';
    const Span s = findSection(FConfigStr, key);
    if (s.open >= 0)
        FConfigStr.replace(s.open, s.end - s.open, entry);
    else
        FConfigStr += entry + kCrLf;
}

void TBatchTranConfig::SetTask(const TBatchTransport &value)
{
    setSection(condKey(value.Id), BatchTransportToText(value));
}

void TBatchTranConfig::AddTask(TBatchTransport &value)
{
    if (value.Id <= 0)
        value.Id = 1;
    while (HasTask(value.Id))
        value.Id = value.Id == std::numeric_limits<qint32>::max() ? 1 : value.Id + 1;
    SetTask(value);
    SetTaskCount(TaskCount() + 1);
}

void TBatchTranConfig::DelTask(qint32 id)
{
    const Span s = findSection(FConfigStr, condKey(id));
    if (s.open >= 0)
        FConfigStr.remove(s.open, s.end - s.open);
    SetTaskCount(TaskCount() - 1);
    const QString base = FIndexFolder + QString::number(id);
    if (QFile::exists(base + QStringLiteral(".fln"))) {
        for (const char *ext : {".fln", ".std", ".ivd", ".log"})
            QFile::remove(base + QLatin1String(ext));
    }
}

QList<TBatchTransport> TBatchTranConfig::GetAllTask() const
{
    // Every valid section is listed: a cap here would drop tasks at the next Optimize.
    QList<TBatchTransport> out;
    qsizetype p = 0;
    QSet<QString> seen;
    for (;;) {
        const qsizetype s = FConfigStr.indexOf(kTaskOpen, p, Qt::CaseInsensitive);
        if (s < 0)
            break;
        const qsizetype nameEnd = FConfigStr.indexOf(u']', s);
        if (nameEnd < 0)
            break;
        // Sections are bounded as GetTask and SetTask bound them.
        const QString close = QStringLiteral("[/") + QStringView(FConfigStr).mid(s + 1, nameEnd - s);
        const qsizetype e = sectionEnd(FConfigStr, nameEnd + 1, close);
        if (e < 0) {
            p = s + kTaskOpen.size();
            continue;
        }
        p = e;
        // A second section of one name is never the one GetTask and SetTask reach.
        const QString name = FConfigStr.mid(s + 1, nameEnd - s - 1).toLower();
        if (seen.contains(name))
            continue;
        seen.insert(name);
        TBatchTransport t;
        TextToBatchTransport(FConfigStr.mid(s, e - s), t);
        // A section named for another Id than its own could be neither changed nor deleted.
        if (IsRunnableTask(t) && name.compare(condKey(t.Id), Qt::CaseInsensitive) == 0)
            out << t;
    }
    return out;
}

void TBatchTranConfig::Optimize(const QList<TBatchTransport> &tasks)
{
    QString text;
    for (const TBatchTransport &t : tasks) {
        const QString key = condKey(t.Id);
        text += u'[' + key + u']' + kCrLf + BatchTransportToText(t) + QStringLiteral("[/") + key + u']' + kCrLf + kCrLf;
    }
    if (text.isEmpty())
        return;  // an empty text is never written: the file keeps its content
    FConfigStr = text;
    Save();
}

bool TBatchTranConfig::Save(QString *error)
{
    if (!FLoadError.isEmpty()) {
        if (error)
            *error = FLoadError;
        return false;
    }
    if (FConfigStr.isEmpty())
        return true;
    QByteArray bytes("\xFF\xFE", 2);
    bytes += QStringEncoder(QStringConverter::Utf16LE).encode(FConfigStr);
    if (!WriteFileAtomic(FConfigFileName, bytes, error, true))
        return false;
    noteDisk(bytes);
    return true;
}

int TBatchTranConfig::TaskCount() const
{
    return StrToIntDef(GetTagValue(FConfigStr, QStringLiteral("TaskCount")), 0);
}

void TBatchTranConfig::SetTaskCount(int value)
{
    setSection(QStringLiteral("TaskCount"), QString::number(value));
}

bool UpdateTaskFile(TBatchTranConfig &config, const std::function<void(TBatchTranConfig &)> &change, QString *error)
{
    auto fail = [error](const QString &text) {
        if (error)
            *error = text;
        return false;
    };
    // Threads of one process take turns here; processes take turns on the lock file.
    static QMutex inProcess;
    QMutexLocker guard(&inProcess);
    QLockFile lock(config.ConfigFileName() + QStringLiteral(".lock"));
    // Polled often: the lock is held only for one read and one write at a time, and
    // QLockFile's own wait backs off to seconds between tries.
    const QDeadlineTimer deadline(5000);
    bool locked = lock.tryLock(0);
    while (!locked && lock.error() == QLockFile::LockFailedError && !deadline.hasExpired()) {
        QThread::msleep(10);
        locked = lock.tryLock(0);
    }
    if (!locked) {
        qint64 pid = 0;
        QString host;
        QString app;
        QString who;
        if (lock.error() == QLockFile::LockFailedError && lock.getLockInfo(&pid, &host, &app))
            who = QStringLiteral(" (%1, pid %2)").arg(app.isEmpty() ? QStringLiteral("a program") : app).arg(pid);
        else if (lock.error() != QLockFile::LockFailedError)
            who = QStringLiteral(" (cannot make the lock file: permission denied or no space)");
        return fail(QStringLiteral("%1 is being written by another program%2")
                        .arg(QDir::toNativeSeparators(config.ConfigFileName()), who));
    }
    config.Reload();
    if (!config.LoadError().isEmpty())
        return fail(config.LoadError());
    change(config);
    return config.Save(error);
}
