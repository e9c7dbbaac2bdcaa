#pragma once
// Each sign of "still open in an editor" alone, against a file nobody holds.
#include "platform/fileinuse.h"

#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class FileInUseTest : public QObject
{
    Q_OBJECT

    enum Setup {
        Nothing,
        Missing,
        EditorRuns,
        EditorEnded,
        DescriptorHeld,
        OfficeLockOfficeRuns,
        OfficeLockStale,
        OfficeLockOtherProfile,
        OfficeLockOtherHost,
        OwnerFileSuiteRuns,
        OwnerFileShortened,
        OwnerFileStale,
        VimSwapRuns,
        VimSwapStale,
        EmacsLockRuns,
        WindowShowsName,
        OnlyOurWindowShowsName,
    };

    // A process that stays until the test ends; its stdin may be the watched file.
    std::unique_ptr<QProcess> startSleeper(const QString &stdinFile = {})
    {
        auto p = std::make_unique<QProcess>();
        if (!stdinFile.isEmpty())
            p->setStandardInputFile(stdinFile);
        p->start(QStringLiteral("sleep"), {QStringLiteral("60")});
        if (!p->waitForStarted(5000))
            qFatal("cannot start sleep");
        return p;
    }
    qint64 endedPid()
    {
        QProcess p;
        p.start(QStringLiteral("true"), {});
        p.waitForStarted(5000);
        const qint64 pid = p.processId();
        p.waitForFinished(5000);
        return pid;
    }
    static QByteArray vimSwap(qint64 pid, const QString &host)
    {
        QByteArray b(1024, '\0');
        b.replace(0, 2, "b0");
        b.replace(2, 7, "VIM 9.0");
        for (int i = 0; i < 4; ++i)
            b[24 + i] = char((pid >> (8 * i)) & 0xff);
        b.replace(28, 4, "user");
        const QByteArray h = host.toLocal8Bit();
        b.replace(68, h.size(), h);
        return b;
    }
    static void write(const QString &path, const QByteArray &bytes)
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

private Q_SLOTS:
    void eachSign_data()
    {
        QTest::addColumn<int>("setup");
        QTest::addColumn<int>("expected");
        using S = FileInUse::Signal;
        QTest::addRow("nobody holds it") << int(Nothing) << int(S::None);
        QTest::addRow("missing file") << int(Missing) << int(S::Missing);
        QTest::addRow("editor we started still runs") << int(EditorRuns) << int(S::EditorRunning);
        QTest::addRow("editor we started has ended") << int(EditorEnded) << int(S::None);
        QTest::addRow("another process has it open") << int(DescriptorHeld) << int(S::OpenDescriptor);
        QTest::addRow("LibreOffice lock, LibreOffice runs") << int(OfficeLockOfficeRuns) << int(S::OfficeLock);
        QTest::addRow("LibreOffice lock whose process is gone") << int(OfficeLockStale) << int(S::None);
        QTest::addRow("LibreOffice lock, only another profile's LibreOffice runs") << int(OfficeLockOtherProfile)
                                                                                   << int(S::None);
        QTest::addRow("LibreOffice lock of another machine") << int(OfficeLockOtherHost) << int(S::OfficeLock);
        QTest::addRow("owner file of another suite, suite runs") << int(OwnerFileSuiteRuns) << int(S::OtherSuiteLock);
        QTest::addRow("owner file with shortened name") << int(OwnerFileShortened) << int(S::OtherSuiteLock);
        QTest::addRow("owner file whose suite is gone") << int(OwnerFileStale) << int(S::None);
        QTest::addRow("vim swap, vim runs") << int(VimSwapRuns) << int(S::EditorSwap);
        QTest::addRow("vim swap whose process is gone") << int(VimSwapStale) << int(S::None);
        QTest::addRow("emacs lock, emacs runs") << int(EmacsLockRuns) << int(S::EditorSwap);
        QTest::addRow("a window shows the name") << int(WindowShowsName) << int(S::EditorWindow);
        QTest::addRow("only our own window shows the name") << int(OnlyOurWindowShowsName) << int(S::None);
    }
    void eachSign()
    {
        QFETCH(int, setup);
        QFETCH(int, expected);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("Quarterly report.docx"));
        if (setup != Missing)
            write(file, "PK\x03\x04 document");
        const QString host = QSysInfo::machineHostName();
        std::unique_ptr<QProcess> sleeper;
        FileInUse::Probe probe;
        QList<FileInUse::ProcessInfo> fake;  // no real process: only the lock rule decides
        probe.Processes = [&fake] { return fake; };
        QStringList titles{QStringLiteral("Terminal"), QStringLiteral("Quarterly report.docx---edit")};
        probe.WindowTexts << QStringLiteral("quarterly report.docx") << QStringLiteral("quarterly report");
        probe.OwnTitles << QStringLiteral("Quarterly report.docx---edit");
        probe.Windows = [&titles] { return titles; };

        switch (Setup(setup)) {
        case Nothing:
        case Missing:
            break;
        case EditorRuns:
            sleeper = startSleeper();
            probe.EditorPids << sleeper->processId();
            break;
        case EditorEnded:
            probe.EditorPids << endedPid();
            break;
        case DescriptorHeld:
            sleeper = startSleeper(file);
            probe.Processes = {};  // the real process table
            break;
        case OfficeLockOfficeRuns:
        case OfficeLockStale:
        case OfficeLockOtherProfile:
            write(FileInUse::OfficeLockName(file),
                  QStringLiteral(",user,%1,10.12.2026 09:30,file:///srv/profiles/ann;").arg(host).toUtf8());
            if (setup == OfficeLockOfficeRuns)
                fake << FileInUse::ProcessInfo{999999, QStringLiteral("soffice.bin"),
                                               {QStringLiteral("soffice.bin"), QStringLiteral("-env:UserInstallation=file:///srv/profiles/ann")}};
            if (setup == OfficeLockOtherProfile)
                fake << FileInUse::ProcessInfo{999999, QStringLiteral("soffice.bin"),
                                               {QStringLiteral("soffice.bin"), QStringLiteral("-env:UserInstallation=file:///srv/profiles/conversion")}};
            break;
        case OfficeLockOtherHost:
            write(FileInUse::OfficeLockName(file), ",user,another-desk,10.12.2026 09:30,file:///x;");
            break;
        case OwnerFileSuiteRuns:
        case OwnerFileStale:
            write(dir.filePath(QStringLiteral("~$Quarterly report.docx")), "\x04user");
            if (setup == OwnerFileSuiteRuns)
                fake << FileInUse::ProcessInfo{999999, QStringLiteral("wps"), {}};
            break;
        case OwnerFileShortened:
            write(dir.filePath(QStringLiteral("~$arterly report.docx")), "\x04user");
            fake << FileInUse::ProcessInfo{999999, QStringLiteral("wps"), {}};
            break;
        case VimSwapRuns:
            sleeper = startSleeper();
            write(dir.filePath(QStringLiteral(".Quarterly report.docx.swp")), vimSwap(sleeper->processId(), host));
            break;
        case VimSwapStale:
            write(dir.filePath(QStringLiteral(".Quarterly report.docx.swp")), vimSwap(endedPid(), host));
            break;
        case WindowShowsName:
            titles << QStringLiteral("*Quarterly Report (~/work) - gedit");
            break;
        case OnlyOurWindowShowsName:
            break;
        case EmacsLockRuns:
            sleeper = startSleeper();
            QVERIFY(QFile::link(QStringLiteral("user@%1.%2:1765000000").arg(host).arg(sleeper->processId()),
                                dir.filePath(QStringLiteral(".#Quarterly report.docx"))));
            break;
        }
        const FileInUse::Signal got = FileInUse::Check(file, probe);
        if (sleeper) {
            sleeper->kill();
            sleeper->waitForFinished(5000);
        }
        QCOMPARE(FileInUse::SignalName(got), FileInUse::SignalName(FileInUse::Signal(expected)));
    }
};
