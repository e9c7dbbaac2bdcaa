#pragma once
// Programs of the build run by the tests: found beside the test (or in
// ZUDIVUVO_BIN_DIR), run with the test's environment, their output kept, and
// never waited on without a bound.
#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <functional>

// ThreadSanitizer cannot follow a fork of a threaded process.
#if defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_TSAN() QSKIP("runs a program of the build in a child process")
#else
#define SKIP_UNDER_TSAN() (void)0
#endif

QString binPath(const QString &program);

// The test's environment with the demo user's password for zudivuvo-cli.
QProcessEnvironment cliEnvironment();

struct ProgramRun {
    int code = -1;     // -1: crashed or did not end
    QString out;
    QString err;
    // Exit code and the ends of both outputs, for a failure message.
    QString failText() const;
};

// Runs a program to its end; killed after ms.
ProgramRun runProgram(const QString &program, const QStringList &args,
                      const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(), int ms = 60000);
// zudivuvo-cli with cliEnvironment().
ProgramRun runCli(const QStringList &args, int ms = 60000);

// Reads the process's output until a line matches or the deadline passes.
bool waitForLine(QProcess &p, const std::function<bool(const QByteArray &)> &match, int ms);
// Reads lines until count of them contain text, the process ends or ms pass; the count seen.
int countLines(QProcess &p, const QByteArray &text, int count, int ms);
