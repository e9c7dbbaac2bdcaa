#pragma once
// Runs batch tasks from the terminal through the task service the window
// drives too: this front end only shows progress (a bar on a terminal, plain
// lines otherwise), prints what each run came to and maps it to an exit code.
#include "batch/taskservice.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QObject>
#include <QTimer>

#include <atomic>

extern std::atomic<int> g_interrupted;

class TTaskRunner : public QObject
{
    Q_OBJECT
public:
    TTaskRunner(TTaskService &service, bool terminal, bool json, THS_Language lang, QObject *parent = nullptr);
    // Runs the tasks until every run ended (with keepPeriodic, until interrupted).
    // The exit code: 0 all done, 1 a run failed or files were not moved, 130 interrupted.
    int Run(const QList<qint32> &ids, bool keepPeriodic);

private:
    void drawProgress(bool final);
    void line(const QString &text);
    void onRunFinished(int id, const TRunResult &r);
    QString t(const char *cn, const char *en) const { return QString::fromUtf8(m_lang == HSL_CN ? cn : en); }

    TTaskService &m_service;
    bool m_terminal;
    bool m_json;
    THS_Language m_lang;
    QList<qint32> m_ids;
    QTimer m_tick;
    QTimer m_interruptPoll;
    QElapsedTimer m_clock;
    qint64 m_lastBytes = 0;
    qint64 m_lastMs = 0;
    double m_speed = 0;
    bool m_barShown = false;
    bool m_stopping = false;
    int m_failedFiles = 0;
    bool m_fatal = false;
    QString m_firstFailure;
    QJsonArray m_results;
};
