#include "cli/taskrunner.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

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

TTaskRunner::TTaskRunner(TTaskService &service, bool terminal, bool json, THS_Language lang, QObject *parent)
    : QObject(parent), m_service(service), m_terminal(terminal), m_json(json), m_lang(lang)
{
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

void TTaskRunner::drawProgress(bool final)
{
    int files = 0;
    int filesDone = 0;
    qint64 bytes = 0;
    qint64 total = 0;
    QString current;
    for (qint32 id : m_ids) {
        TBatchTaskRow row;
        if (!m_service.Row(id, row) || !row.HasWorker)
            continue;
        const TBatchProgress &p = row.Progress;
        files += p.AllCount;
        filesDone += p.FinishedCount;
        bytes += p.FinishedSize + (p.CurrentFile.isEmpty() ? 0 : row.FileDoneSize);
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
    if (!m_terminal || m_json || files == 0)
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

void TTaskRunner::onRunFinished(int id, const TRunResult &r)
{
    drawProgress(true);
    QString failure = r.FirstFailure;
    if (!r.LockedBy.isEmpty()) {
        failure = t("任务正在 %1 中运行", "the task is running in %1").arg(r.LockedBy);
        m_fatal = true;
    } else if (r.State == BTS_Error) {
        m_fatal = true;
    }
    m_failedFiles += r.Failed;
    if (m_firstFailure.isEmpty() && !failure.isEmpty())
        m_firstFailure = t("任务 %1：%2", "task %1: %2").arg(id).arg(failure);
    if (m_json) {
        QJsonObject o;
        o["id"] = id;
        o["state"] = r.State;
        o["files"] = r.Files;
        o["transferredFiles"] = r.Done;
        o["failedFiles"] = r.Failed;
        o["firstFailure"] = failure;
        o["runningIn"] = r.LockedBy.isEmpty() ? QJsonValue() : QJsonValue(r.LockedBy);
        m_results << o;
    } else if (r.LockedBy.isEmpty()) {
        line(t("任务 %1：运行结束，%3 个文件中完成 %2 个，失败 %4 个", "Task %1: run ended, %2 of %3 files done, %4 failed").arg(id).arg(r.Done).arg(r.Files).arg(r.Failed));
    }
}

int TTaskRunner::Run(const QList<qint32> &ids, bool keepPeriodic)
{
    m_ids = ids;
    m_clock.start();
    connect(&m_service, &TTaskService::logLine, this, [this](int id, const QString &text) {
        if (!m_terminal && !m_json)
            line(QStringLiteral("[%1] %2").arg(id).arg(text));
    });
    connect(&m_service, &TTaskService::bulkDownloadRefused, this, [this](int id) {
        if (!m_json)
            line(t("[%1] 服务器禁止批量下载", "[%1] The server refuses bulk downloads").arg(id));
    });
    connect(&m_service, &TTaskService::runFinished, this, &TTaskRunner::onRunFinished);
    connect(&m_service, &TTaskService::allEnded, this, [] { QCoreApplication::exit(0); });
    connect(&m_tick, &QTimer::timeout, this, [this] { drawProgress(false); });
    m_tick.start(m_terminal ? 500 : 1000);
    // Ctrl+C is seen within a tenth of a second; the signal handler only sets the flag.
    connect(&m_interruptPoll, &QTimer::timeout, this, [this] {
        if (g_interrupted && !m_stopping) {
            m_stopping = true;
            line(t("已中断：正在停止；任务保持已保存的状态，下次运行从这里继续", "Interrupted: stopping; the tasks keep their stored state and the next run goes on from here"));
            m_service.Interrupt();
        }
    });
    m_interruptPoll.start(100);
    m_service.RunNow(ids, keepPeriodic);
    if (m_service.UnfinishedCount() > 0)
        QCoreApplication::exec();
    m_tick.stop();
    m_interruptPoll.stop();
    if (m_json)
        std::fputs(QJsonDocument(m_results).toJson(QJsonDocument::Indented).constData(), stdout);
    std::fflush(stdout);
    if (m_stopping)
        return 130;
    if (m_failedFiles == 0 && !m_fatal)
        return 0;
    // The summary goes with the errors: a cron job's mail or a log shows it apart from the progress.
    QString summary;
    if (m_failedFiles == 0)
        summary = t("失败：%1", "Failed: %1").arg(m_firstFailure.isEmpty() ? t("运行已停止", "the run stopped") : m_firstFailure);
    else
        summary = t("失败：%1 个文件未传输；第一个失败：%2", "Failed: %1 file(s) not transferred; first failure: %2")
                      .arg(m_failedFiles)
                      .arg(m_firstFailure.isEmpty() ? t("未知", "unknown") : m_firstFailure);
    std::fputs((summary + u'\n').toLocal8Bit().constData(), stderr);
    return 1;
}
