// The batch file index: a first index of a large tree (scan plus path-file
// writes) and a re-run with nothing changed, next to find(1) listing the same
// tree with sizes and times in the same run, and the memory per entry.
#include "batch/fileindex.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

qint64 rssBytes()
{
    QFile f(QStringLiteral("/proc/self/statm"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> parts = f.readAll().split(' ');
    return parts.size() > 1 ? parts.at(1).toLongLong() * sysconf(_SC_PAGESIZE) : 0;
}

// CPU seconds in user and kernel mode of this process or of its finished children.
struct Cpu {
    double user = 0;
    double sys = 0;
};

Cpu cpuNow(int who)
{
    struct rusage u;
    getrusage(who, &u);
    return {u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6, u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6};
}

Cpu lastFindCpu;

double timeFind(const QString &root)
{
    const Cpu before = cpuNow(RUSAGE_CHILDREN);
    QElapsedTimer t;
    t.start();
    QProcess p;
    p.setStandardOutputFile(QProcess::nullDevice());
    p.start(QStringLiteral("find"), {root, QStringLiteral("-printf"), QStringLiteral("%s %T@ %p\\n")});
    p.waitForFinished(-1);
    const double seconds = t.nsecsElapsed() / 1e9;
    const Cpu after = cpuNow(RUSAGE_CHILDREN);
    lastFindCpu = {after.user - before.user, after.sys - before.sys};
    return seconds;
}

struct IndexRun {
    double seconds = 0;
    int entries = 0;
    qint64 rssGrowth = 0;
    Cpu cpu;
};

IndexRun timeIndex(const QString &root, const QString &indexFolder)
{
    IndexRun r;
    const qint64 before = rssBytes();
    const Cpu cpuBefore = cpuNow(RUSAGE_SELF);
    QElapsedTimer t;
    t.start();
    {
        TFileIndex index;
        index.TaskId = 1;
        index.IndexFolder = indexFolder;
        index.Init();
        index.Load();
        TSearchFiles search;
        search.SetRoots({root});
        search.OnSaveFiles = [&](const std::vector<TFoundFile> &files) { index.AppendFoundFiles(files); };
        search.Execute();
        r.seconds = t.nsecsElapsed() / 1e9;
        const Cpu cpuAfter = cpuNow(RUSAGE_SELF);
        r.cpu = {cpuAfter.user - cpuBefore.user, cpuAfter.sys - cpuBefore.sys};
        r.entries = index.Count();
        r.rssGrowth = rssBytes() - before;
    }
    return r;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int files = 200000;
    QString base = QDir::tempPath();
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--files"))
            files = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--dir"))
            base = args.at(i + 1);
    }
    QTemporaryDir dir(base + QStringLiteral("/bench-batchindex-XXXXXX"));
    const QString root = dir.path() + QStringLiteral("/tree/");
    std::printf("creating %d files ...\n", files);
    std::fflush(stdout);
    for (int i = 0; i < files; ++i) {
        const QString folder = root + QStringLiteral("d%1/e%2/").arg(i / 20000).arg(i / 500);
        if (i % 500 == 0)
            QDir().mkpath(folder);
        const QByteArray name = QFile::encodeName(folder + QStringLiteral("file-%1.dat").arg(i));
        const int fd = ::open(name.constData(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        if (fd < 0 || ::write(fd, "x", 1) != 1) {
            std::fprintf(stderr, "cannot create %s\n", name.constData());
            return 1;
        }
        ::close(fd);
    }
    timeFind(root);  // warms the caches for both sides

    double bestFind = 1e9;
    double bestFirst = 1e9;
    double bestAgain = 1e9;
    IndexRun first;
    IndexRun again;
    Cpu findCpu, firstCpu, againCpu;
    qint64 firstMem = 0;
    qint64 againMem = 0;
    for (int round = 0; round < 3; ++round) {
        if (const double f = timeFind(root); f < bestFind) {
            bestFind = f;
            findCpu = lastFindCpu;
        }
        const QString indexFolder = dir.path() + QStringLiteral("/index%1/").arg(round);
        first = timeIndex(root, indexFolder);
        if (first.seconds < bestFirst) {
            bestFirst = first.seconds;
            firstCpu = first.cpu;
        }
        again = timeIndex(root, indexFolder);
        if (again.seconds < bestAgain) {
            bestAgain = again.seconds;
            againCpu = again.cpu;
        }
        // Freed memory is reused by the next round: the first growth is the honest one.
        firstMem = qMax(firstMem, first.rssGrowth);
        againMem = qMax(againMem, again.rssGrowth);
    }
    std::printf("\n%d files, best of 3 rounds\n\n", files);
    std::printf("%-34s %9s %12s %9s %9s\n", "pass", "seconds", "find / pass", "user s", "kernel s");
    std::printf("%-34s %9.3f %12s %9.3f %9.3f\n", "find -printf '%s %T@ %p\\n'", bestFind, "1.00", findCpu.user, findCpu.sys);
    std::printf("%-34s %9.3f %12.2f %9.3f %9.3f\n", "first index (scan + .fln writes)", bestFirst, bestFind / bestFirst,
                firstCpu.user, firstCpu.sys);
    std::printf("%-34s %9.3f %12.2f %9.3f %9.3f\n", "re-run, nothing changed", bestAgain, bestFind / bestAgain, againCpu.user,
                againCpu.sys);
    std::printf("\nentries %d; resident memory per entry: first %lld B, re-run %lld B\n", first.entries,
                first.entries ? firstMem / first.entries : 0LL, again.entries ? againMem / again.entries : 0LL);
    const bool ok = first.entries == files && bestFind / bestFirst >= 0.7 && bestFind / bestAgain >= 0.8;
    std::printf("goal (first index at least 0.7 of find's speed, re-run at least 0.8): %s\n", ok ? "met" : "NOT met");
    return ok ? 0 : 1;
}
