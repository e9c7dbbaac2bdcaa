#include "batch/batchtranconfig.h"

#include "batch/logging.h"
#include "core/folders.h"
#include "core/helpers.h"
#include "core/tagtext.h"
#include "core/textfile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <limits>

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

Span findSection(const QString &text, const QString &key)
{
    const QString open = u'[' + key + u']';
    const QString close = QStringLiteral("[/") + key + u']';
    const qsizetype s = text.indexOf(open, 0, Qt::CaseInsensitive);
    if (s < 0)
        return {};
    const qsizetype e = text.indexOf(close, s, Qt::CaseInsensitive);
    if (e < 0)
        return {};
    return {s, e + close.size()};
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

void TBatchTranConfig::load()
{
    FConfigStr.clear();
    FLoadError.clear();
    QFile file(FConfigFileName);
    if (!file.exists())
        return;
    QByteArray bytes;
    if (!file.open(QIODevice::ReadOnly)) {
        FLoadError = QStringLiteral("Cannot read %1: %2").arg(QDir::toNativeSeparators(FConfigFileName), file.errorString());
    } else {
        bytes = file.read(kMaxTextFileBytes + 1);
        if (file.error() != QFileDevice::NoError)
            FLoadError = QStringLiteral("Cannot read %1: %2").arg(QDir::toNativeSeparators(FConfigFileName), file.errorString());
        else if (bytes.size() > kMaxTextFileBytes)
            FLoadError = QStringLiteral("%1 is larger than 64 MiB; only its start was read").arg(QDir::toNativeSeparators(FConfigFileName));
    }
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
        const QString aside = FConfigFileName + QStringLiteral(".damaged-")
                              + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
        if (QFile::copy(FConfigFileName, aside))
            FLoadError += QStringLiteral("; a copy was kept as %1").arg(QDir::toNativeSeparators(aside));
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
    const QString open = QStringLiteral("[Cond_");
    const QString close = QStringLiteral("[/Cond_");
    for (;;) {
        const qsizetype s = FConfigStr.indexOf(open, p);
        if (s < 0)
            break;
        const qsizetype e = FConfigStr.indexOf(close, s);
        if (e <= s)
            break;
        TBatchTransport t;
        TextToBatchTransport(FConfigStr.mid(s, e - s), t);
        if (IsRunnableTask(t))
            out << t;
        p = e;
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
    if (FConfigStr.isEmpty())
        return true;
    return WriteUnicodeTextFile(FConfigFileName, FConfigStr, error, true);
}

int TBatchTranConfig::TaskCount() const
{
    return StrToIntDef(GetTagValue(FConfigStr, QStringLiteral("TaskCount")), 0);
}

void TBatchTranConfig::SetTaskCount(int value)
{
    setSection(QStringLiteral("TaskCount"), QString::number(value));
}
