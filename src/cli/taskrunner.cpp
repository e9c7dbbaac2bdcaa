#include "cli/taskrunner.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>

#include <cstdio>

std::atomic<int> g_interrupted{0};

namespace {

QString humanBytes(double b)
{
    const char *units[] = {"B", "KB", "MB", "GB", "TB"};
    int u = 0;
    while (b >= 1024 && u < 4) {
        b /= 1024;
        ++u;
    }
    return u == 0 ? QStringLiteral("%1 B").arg(qint64(b)) : QStringLiteral("%1 %2").arg(b, 0, 'f', 1).arg(QLatin1String(units[u]));
}

QString clockText(qint64 secs)
{
    if (secs < 0)
        return QStringLiteral("--:--");
    if (secs >= 3600)
        return QStringLiteral("%1:%2:%3").arg(secs / 3600).arg(secs / 60 % 60, 2, 10, QChar(u'0')).arg(secs % 60, 2, 10, QChar(u'0'));
    return QStringLiteral("%1:%2").arg(secs / 60, 2, 10, QChar(u'0')).arg(secs % 60, 2, 10, QChar(u'0'));
}

} // namespace

TTaskRunner::TTaskRunner(TBatchTranConfig &config, const TBatchSettings &settings, bool watch, bool terminal, QObject *parent)
    : QObject(parent), m_config(config), m_settings(settings), m_watch(watch), m_terminal(terminal)
{
}

TTaskRunner::~TTaskRunner() = default;

TTaskRunner::Job *TTaskRunner::job(int id)
{
    for (auto &j : m_jobs)
        if (j->id == id)
            return j.get();
    return nullptr;
}

void TTaskRunner::line(const QString &text)
{
    if (m_barShown) {
        std::fputs("\r\033[K", stdout);
        m_barShown = false;
    }
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void TTaskRunner::persist(Job &j, quint8 forcedState)
{
    // Only what a run changes; the rest of the task may have been edited meanwhile.
    const TBatchTransport ran = j.worker->TaskInfo();
    m_config.Reload();
    TBatchTransport stored;
    if (!m_config.GetTask(j.id, stored))
        return;
    stored.St = forcedState != 0xFF ? forcedState : ran.St;
    stored.RunStartTime = ran.RunStartTime;
    stored.RunEndTime = ran.RunEndTime;
    m_config.SetTask(stored);
    QString err;
    if (!m_config.Save(&err))
        line(QStringLiteral("Cannot save the task state: %1").arg(err));
}

void TTaskRunner::drawProgress(bool final)
{
    int files = 0;
    int filesDone = 0;
    qint64 bytes = 0;
    qint64 total = 0;
    QString current;
    for (auto &j : m_jobs) {
        const TBatchProgress p = j->worker->Progress();
        files += p.AllCount;
        filesDone += p.FinishedCount;
        bytes += p.FinishedSize + (p.CurrentFile.isEmpty() ? 0 : j->currentDone);
        total += p.TotalSize;
        if (!p.CurrentFile.isEmpty())
            current = p.CurrentFile;
    }
    const qint64 now = m_clock.elapsed();
    if (now - m_lastMs >= 1000) {
        const double inst = double(bytes - m_lastBytes) * 1000.0 / double(now - m_lastMs);
        m_speed = m_speed == 0 ? inst : 0.7 * m_speed + 0.3 * inst;
        m_lastBytes = bytes;
        m_lastMs = now;
    }
    if (!m_terminal || files == 0)
        return;
    const double frac = total > 0 ? qBound(0.0, double(bytes) / double(total), 1.0) : (files ? double(filesDone) / files : 0);
    const int width = 24;
    const int filled = int(frac * width + 0.5);
    const qint64 left = m_speed > 1 ? qint64(double(total - bytes) / m_speed) : -1;
    QString name = QFileInfo(current).fileName();
    if (name.size() > 28)
        name = name.left(12) + QStringLiteral("…") + name.right(15);
    const QString bar = QStringLiteral("\r\033[K[%1%2] %3% %4/%5 files %6/%7 %8/s left %9 %10")
                            .arg(QString(filled, u'#'), QString(width - filled, u'.'))
                            .arg(int(frac * 100), 3)
                            .arg(filesDone)
                            .arg(files)
                            .arg(humanBytes(double(bytes)), humanBytes(double(total)), humanBytes(m_speed), clockText(left), final ? QString() : name);
    std::fputs(bar.toLocal8Bit().constData(), stdout);
    // The last state of the bar stays on the screen.
    if (final)
        std::fputc('\n', stdout);
    std::fflush(stdout);
    m_barShown = !final;
}

void TTaskRunner::finishIfDone()
{
    for (auto &j : m_jobs)
        if (!j->done)
            return;
    QCoreApplication::exit(0);
}

int TTaskRunner::Run(const QList<TBatchTransport> &tasks)
{
    m_clock.start();
    for (const TBatchTransport &t : tasks) {
        auto j = std::make_unique<Job>();
        j->id = t.Id;
        j->worker = std::make_unique<TCustomBathFileDeal>(t, m_settings);
        j->worker->FEndPauseMs = 0;
        j->worker->FRunNow = !m_watch;
        j->worker->IsLog = true;
        TCustomBathFileDeal *w = j->worker.get();
        connect(w, &TCustomBathFileDeal::showLogInfo, this, [this](int id, const QString &text) {
            if (!m_terminal)
                line(QStringLiteral("[%1] %2").arg(id).arg(text));
        });
        connect(w, &TCustomBathFileDeal::tcpWork, this, [this](int id, qint64 all, qint64 done) {
            if (Job *jb = job(id)) {
                jb->currentAll = all;
                jb->currentDone = done;
            }
        });
        connect(w, &TCustomBathFileDeal::startDealFile, this, [this](int id, const QString &) {
            if (Job *jb = job(id))
                jb->currentDone = 0;
        });
        connect(w, &TCustomBathFileDeal::fileFailed, this, [this, w](int id, int code) {
            Job *jb = job(id);
            if (!jb || m_stopping)
                return;
            const TBatchProgress p = w->Progress();
            // As the task manager does: go on while the connection failures stay below three.
            if (code != 0 && p.CrashErrorNum < 3) {
                w->StartEx();
                return;
            }
            jb->fatal = true;
            const QString errors = w->GetErrorLog();
            jb->firstFailure = errors.section(QStringLiteral("\r\n"), 0, 0);
            if (jb->firstFailure.isEmpty())
                jb->firstFailure = w->GetLastLogStr();
            persist(*jb, BTS_Error);
            w->StopEx();
        });
        connect(w, &TCustomBathFileDeal::bulkDownloadRefused, this,
                [this](int id) { line(QStringLiteral("[%1] The server refuses bulk downloads").arg(id)); });
        connect(w, &TCustomBathFileDeal::taskLocked, this, [this](int id, const QString &holder) {
            if (Job *jb = job(id)) {
                jb->fatal = true;
                jb->firstFailure = QStringLiteral("the task is running in %1").arg(holder);
            }
        });
        connect(w, &TCustomBathFileDeal::runEnded, this, [this, w](int id) {
            Job *jb = job(id);
            if (!jb)
                return;
            const QStringList errors = w->GetErrorLog().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
            jb->failures = int(errors.size());
            if (!errors.isEmpty() && jb->firstFailure.isEmpty())
                jb->firstFailure = errors.first();
            persist(*jb);
            drawProgress(true);
            const TBatchProgress p = w->Progress();
            line(QStringLiteral("Task %1: run ended, %2 of %3 files done, %4 failed")
                     .arg(id).arg(p.FinishedCount).arg(p.AllCount).arg(jb->failures));
            if (m_watch && w->TaskInfo().TaskCyc > 0)
                w->RunEndHandled();
            else
                w->StopEx();
        });
        connect(w, &QThread::finished, this, [this, id = t.Id] {
            if (Job *jb = job(id)) {
                jb->done = true;
                finishIfDone();
            }
        });
        m_jobs.push_back(std::move(j));
    }
    connect(&m_tick, &QTimer::timeout, this, [this] { drawProgress(false); });
    m_tick.start(m_terminal ? 500 : 1000);
    // Ctrl+C is seen within a tenth of a second; the signal handler only sets the flag.
    connect(&m_interruptPoll, &QTimer::timeout, this, [this] {
        if (g_interrupted && !m_stopping) {
            m_stopping = true;
            line(QStringLiteral("Interrupted: stopping; the next run goes on from here"));
            for (auto &j : m_jobs)
                j->worker->StopEx();
        }
    });
    m_interruptPoll.start(100);
    for (auto &j : m_jobs)
        j->worker->StartEx();
    QCoreApplication::exec();
    m_tick.stop();
    m_interruptPoll.stop();
    for (auto &j : m_jobs)
        j->worker->wait();
    if (m_stopping) {
        for (auto &j : m_jobs) {
            const quint8 st = j->worker->TaskInfo().St;
            if (st == BTS_Running || st == BTS_Init)
                persist(*j, BTS_Paused);
        }
        return 130;
    }
    int failedFiles = 0;
    QString first;
    bool fatal = false;
    for (auto &j : m_jobs) {
        failedFiles += j->failures;
        fatal = fatal || j->fatal;
        if (first.isEmpty() && !j->firstFailure.isEmpty())
            first = QStringLiteral("task %1: %2").arg(j->id).arg(j->firstFailure);
    }
    if (failedFiles == 0 && !fatal)
        return 0;
    if (failedFiles == 0)
        line(QStringLiteral("Failed: %1").arg(first.isEmpty() ? QStringLiteral("the run stopped") : first));
    else
        line(QStringLiteral("Failed: %1 file(s) not transferred; first failure: %2").arg(failedFiles).arg(first.isEmpty() ? QStringLiteral("unknown") : first));
    return 1;
}
