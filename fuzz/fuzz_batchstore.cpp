// The batch task files as another program, a crash or a damaged disk may leave
// them: the task store btr.sys, a task's index (.fln paths, .std states, .ivd
// excluded keys) and its log. The first byte chooses the file; what the store
// reads it must write back so that a second read finds the same.
#include "batch/batchtranconfig.h"
#include "batch/bathfiledeal.h"
#include "batch/fileindex.h"
#include "core/wiredate.h"
#include "fuzzinput.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSet>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

using fuzzinput::Reader;
using fuzzinput::writeFile;

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray utf16le(const QString &text)
{
    return QStringEncoder(QStringEncoder::Utf16LE).encode(text);
}

bool hasTagText(const TBatchTransport &t)
{
    // A value holding a closing tag is beyond what the format can keep ("[2024]" alone is fine).
    for (const QString *s : {&t.DestFolderName, &t.SourceFolderName, &t.FilePrtParams, &t.ExtInfo})
        if (s->contains(QLatin1String("[/")))
            return true;
    return false;
}

// btr.sys: every task listed is rewritten section by section and saved; the file
// read again lists the same tasks with the same values.
void storeRoundTrip(const QString &dir, const QByteArray &bytes)
{
    writeFile(dir + QStringLiteral("/btr.sys"), bytes);
    TBatchTranConfig config(dir, dir + QStringLiteral("/index"));
    const QList<TBatchTransport> tasks = config.GetAllTask();
    (void)config.TaskCount();
    if (!config.LoadError().isEmpty()) {
        if (config.Save())
            std::abort();  // a file that did not read is never written over
        return;
    }
    QSet<qint32> ids;
    for (const TBatchTransport &t : tasks) {
        // Two sections with one Id name one task twice: which one an edit changes is the file's fault.
        if (t.Id <= 0 || ids.contains(t.Id) || hasTagText(t))
            return;
        ids.insert(t.Id);
    }
    QStringList before;
    for (const TBatchTransport &t : tasks) {
        const QString text = BatchTransportToText(t);
        TBatchTransport again;
        TextToBatchTransport(text, again, 46000.0);
        if (BatchTransportToText(again) != text) {
            fprintf(stderr, "written:\n%s\nread back:\n%s\n", qPrintable(text), qPrintable(BatchTransportToText(again)));
            std::abort();  // one task's text reads back as written
        }
        if ((again.Id != t.Id || again.DestFolderName != t.DestFolderName || again.SourceFolderName != t.SourceFolderName
                || again.FilePrtParams != t.FilePrtParams || again.ExtInfo != t.ExtInfo || again.Types != t.Types
                || again.MinSize != t.MinSize || again.MaxSize != t.MaxSize || again.DestFolderId != t.DestFolderId
                || again.SourceFolderId != t.SourceFolderId || again.St != t.St || again.SC != t.SC))
            std::abort();
        config.SetTask(t);
        before << text;
    }
    const int count = config.TaskCount();
    if (!config.Save())
        std::abort();
    TBatchTranConfig reread(dir, dir + QStringLiteral("/index"));
    if (!reread.LoadError().isEmpty())
        std::abort();  // what we wrote must read
    QStringList after;
    for (const TBatchTransport &t : reread.GetAllTask())
        after << BatchTransportToText(t);
    before.sort();
    after.sort();
    if (before != after || reread.TaskCount() != count) {
        const QString b = before.join(u'|');
        const QString a = after.join(u'|');
        qsizetype at = 0;
        while (at < b.size() && at < a.size() && b.at(at) == a.at(at))
            ++at;
        fprintf(stderr, "counts %d %d; lists differ at %lld:\nbefore %s\nafter  %s\n", count, reread.TaskCount(),
                qint64(at), b.mid(at - 40, 80).toUtf8().toHex(' ').constData(), a.mid(at - 40, 80).toUtf8().toHex(' ').constData());
        std::abort();
    }
}

struct Entry {
    qint64 key;
    qint32 folder;
    qint64 size;
    TDateTime date;
    QString path;
    quint8 dealed;
};

QList<Entry> entriesOf(const TFileIndex &index)
{
    QList<Entry> out;
    index.ListFiles([&](const TTidyFile &t) { out << Entry{t.PathHash, t.FolderId, t.Size, t.ModifyDT, t.Path, t.Dealed}; });
    return out;
}

bool sameEntries(const QList<Entry> &a, const QList<Entry> &b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        const Entry &x = a[i];
        const Entry &y = b[i];
        // A file time is kept to the millisecond; finer ticks may round.
        const qint64 dt = DateTimeToTicks(x.date) - DateTimeToTicks(y.date);
        if (x.key != y.key || x.folder != y.folder || x.size != y.size || x.path != y.path || x.dealed != y.dealed
            || dt > 10000 || dt < -10000)
            return false;
    }
    return true;
}

// The index: a second load finds what the first did (torn tails cut, dead lines
// compacted); the entries written anew load as the same entries; the excluded
// keys stay excluded once read.
void indexRoundTrip(const QString &dir, Reader &in)
{
    const QString folder = dir + QStringLiteral("/index/");
    QDir().mkpath(folder);
    writeFile(folder + QStringLiteral("7.fln"), in.piece());
    const QByteArray excluded = in.piece();
    if (!excluded.isEmpty())
        writeFile(folder + QStringLiteral("7.ivd"), excluded);
    writeFile(folder + QStringLiteral("7.std"), in.rest());

    TFileIndex index;
    index.TaskId = 7;
    index.IndexFolder = folder;
    index.Init();
    if (!index.Load())
        std::abort();
    const QList<Entry> first = entriesOf(index);
    for (const Entry &e : first)
        if (e.path.size() > 1024 || e.path != e.path.trimmed())
            std::abort();
    if (!index.Load() || !sameEntries(first, entriesOf(index)))
        std::abort();  // a repaired or compacted index reads as before

    QString paths;
    QString states;
    for (const Entry &e : first) {
        TTidyFile t;
        t.PathHash = e.key;
        t.FolderId = e.folder;
        t.Size = e.size;
        t.ModifyDT = e.date;
        t.Path = e.path;
        paths += TFileIndex::PathLine(t);
        if (e.dealed != dl::Fresh)
            states += TFileIndex::StateLine(e.key, e.dealed);
    }
    const QString other = dir + QStringLiteral("/other/");
    QDir().mkpath(other);
    writeFile(other + QStringLiteral("7.fln"), utf16le(paths));
    writeFile(other + QStringLiteral("7.std"), utf16le(states));
    TFileIndex copy;
    copy.TaskId = 7;
    copy.IndexFolder = other;
    copy.Init();
    if (!copy.Load() || !sameEntries(first, entriesOf(copy)))
        std::abort();  // written lines read back as the entries they came from

    index.RemoveInvalidKey();
    const QList<Entry> marked = entriesOf(index);
    if (!index.Load() || !sameEntries(marked, entriesOf(index)))
        std::abort();  // exclusions outlive the run that read them
}

// The log: the appended lines end it, the runs and the size stay bounded, and
// appending nothing leaves the file as it is.
void logAppend(const QString &dir, Reader &in)
{
    const int maxRuns = 1 + in.byte() % 20;
    const qint64 maxBytes = 64 + qint64(in.byte()) * 16;
    const QString path = dir + QStringLiteral("/7.log");
    const QByteArray old = in.piece();
    if (!old.isEmpty())
        writeFile(path, old);
    QStringList lines = QString::fromUtf8(in.rest()).split(u'\n');
    for (QString &l : lines) {
        l.remove(u'\r');
        if (l.startsWith(u'!'))
            l = QStringLiteral("12:00:00 Task initialization...");
    }
    QString error;
    if (!AppendTaskLog(path, lines, &error, maxRuns, maxBytes))
        std::abort();
    const QByteArray bytes = readFile(path);
    if (!bytes.startsWith("\xFF\xFE") || bytes.size() % 2 != 0)
        std::abort();
    const QString text = QStringDecoder(QStringDecoder::Utf16LE).decode(bytes.mid(2));
    QStringList kept = text.split(QStringLiteral("\r\n"));
    if (!text.isEmpty() && !text.endsWith(QStringLiteral("\r\n")))
        std::abort();
    kept.removeLast();
    int starts = 0;
    for (const QString &l : kept)
        starts += IsRunStartLogLine(l) ? 1 : 0;
    if (starts > maxRuns || (bytes.size() > maxBytes && kept.size() > 1))
        std::abort();
    qint64 newBytes = 2;
    int newStarts = 0;
    for (const QString &l : lines) {
        newBytes += (l.size() + 2) * 2;
        newStarts += IsRunStartLogLine(l) ? 1 : 0;
    }
    if (newBytes <= maxBytes && newStarts < maxRuns && !text.endsWith(lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")))
        std::abort();  // the newest lines are never the ones cut
    if (bytes.size() <= 2 * maxBytes + 2) {
        if (!AppendTaskLog(path, {}, &error, maxRuns, maxBytes) || readFile(path) != bytes)
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char arg0[] = "fuzz_batchstore";
    static char *argv[] = {arg0, nullptr};
    static QCoreApplication app(argc, argv);
    static QTemporaryDir root;
    const QString dir = root.path() + QStringLiteral("/run");
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);

    Reader in(data, size);
    switch (in.byte() % 3) {
    case 0: {
        storeRoundTrip(dir, in.rest());
        break;
    }
    case 1:
        indexRoundTrip(dir, in);
        break;
    default:
        logAppend(dir, in);
        break;
    }
    return 0;
}
