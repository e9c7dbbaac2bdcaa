#pragma once
// Runs batch tasks from the terminal: one worker per task, progress on the
// terminal (a bar) or as plain lines, task states written back to btr.sys,
// and a clean stop on Ctrl+C.
#include "batch/bathfiledeal.h"
#include "batch/batchtranconfig.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <memory>
#include <vector>

extern std::atomic<int> g_interrupted;

class TTaskRunner : public QObject
{
    Q_OBJECT
public:
    TTaskRunner(TBatchTranConfig &config, const TBatchSettings &settings, bool watch, bool terminal, QObject *parent = nullptr);
    ~TTaskRunner() override;
    // Runs until every task's run ended (or, with watch, until interrupted); the exit code.
    int Run(const QList<TBatchTransport> &tasks);

private:
    struct Job {
        std::unique_ptr<TCustomBathFileDeal> worker;
        qint32 id = 0;
        bool done = false;
        bool fatal = false;
        QString firstFailure;
        int failures = 0;
        qint64 currentAll = 0;
        qint64 currentDone = 0;
        QString currentFile;
    };
    Job *job(int id);
    void persist(Job &j, quint8 forcedState = 0xFF);
    void drawProgress(bool final);
    void finishIfDone();
    void line(const QString &text);

    TBatchTranConfig &m_config;
    TBatchSettings m_settings;
    bool m_watch;
    bool m_terminal;
    std::vector<std::unique_ptr<Job>> m_jobs;
    QTimer m_tick;
    QTimer m_interruptPoll;
    QElapsedTimer m_clock;
    qint64 m_lastBytes = 0;
    qint64 m_lastMs = 0;
    double m_speed = 0;
    bool m_barShown = false;
    bool m_stopping = false;
};
