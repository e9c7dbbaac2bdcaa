#include "testprocess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

QString binPath(const QString &program)
{
    return qEnvironmentVariable("ZUDIVUVO_BIN_DIR", QCoreApplication::applicationDirPath()) + u'/' + program;
}

QProcessEnvironment cliEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZUDIVUVO_PASSWORD"), QStringLiteral("demo"));
    return env;
}

QString ProgramRun::failText() const
{
    return QStringLiteral("exit %1\nstdout: %2\nstderr: %3").arg(code).arg(out.right(1500), err.right(1500));
}

ProgramRun runProgram(const QString &program, const QStringList &args, const QProcessEnvironment &env, int ms)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(binPath(program), args);
    ProgramRun r;
    if (!p.waitForFinished(ms)) {
        p.kill();
        p.waitForFinished();
        r.err = QStringLiteral("(did not end)");
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

ProgramRun runCli(const QStringList &args, int ms)
{
    return runProgram(QStringLiteral("zudivuvo-cli"), args, cliEnvironment(), ms);
}

bool waitForLine(QProcess &p, const std::function<bool(const QByteArray &)> &match, int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired() && p.state() != QProcess::NotRunning) {
        p.waitForReadyRead(int(qBound(qint64(1), deadline.remainingTime(), qint64(200))));
        while (p.canReadLine())
            if (match(p.readLine()))
                return true;
    }
    return false;
}

int countLines(QProcess &p, const QByteArray &text, int count, int ms)
{
    int seen = 0;
    waitForLine(p, [&](const QByteArray &line) { return line.contains(text) && ++seen >= count; }, ms);
    return seen;
}
