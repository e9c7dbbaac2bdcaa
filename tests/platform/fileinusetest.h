#pragma once
// Each sign of "still open in an editor" alone, against a file nobody holds.
#include "platform/fileinuse.h"

#include <QDir>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QUrl>
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
            titles << QStringLiteral("*Quarterly Report (~/docs) - gedit");
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

    // LibreOffice names its profile in the lock as a URL; the process names it as it
    // was started, or not at all (the default profile under XDG_CONFIG_HOME). The two
    // are the same profile when they lead to the same local folder.
    void officeLockMatchesTheProfileByFolder_data()
    {
        QTest::addColumn<QString>("lockProfile");
        QTest::addColumn<QString>("processArg");   // empty: started without a profile option
        QTest::addColumn<QString>("xdgConfigHome");
        QTest::addColumn<bool>("held");
        QTest::addRow("blank encoded in the lock, plain in the option")
            << "file:///srv/My%20Profile" << "-env:UserInstallation=file:///srv/My Profile" << "" << true;
        QTest::addRow("trailing slash in the option") << "file:///srv/ann" << "-env:UserInstallation=file:///srv/ann/" << "" << true;
        QTest::addRow("default profile under XDG_CONFIG_HOME") << "file://@XDG@/libreoffice/4" << "" << "@XDG@" << true;
        QTest::addRow("option through $SYSUSERCONFIG") << "file://@XDG@/libreoffice/4"
                                                       << "-env:UserInstallation=$SYSUSERCONFIG/libreoffice/4" << "@XDG@" << true;
        QTest::addRow("default profile, but the lock names the one under ~/.config")
            << "file://@HOME@/.config/libreoffice/4" << "" << "@XDG@" << false;
        QTest::addRow("another folder") << "file:///srv/ann" << "-env:UserInstallation=file:///srv/annex" << "" << false;
    }
    void officeLockMatchesTheProfileByFolder()
    {
        QFETCH(QString, lockProfile);
        QFETCH(QString, processArg);
        QFETCH(QString, xdgConfigHome);
        QFETCH(bool, held);
        QTemporaryDir dir;
        const QString xdg = dir.filePath(QStringLiteral("config home"));
        auto fill = [&](QString s) {
            return s.replace(QLatin1String("@XDG@"), xdg).replace(QLatin1String("@HOME@"), QDir::homePath());
        };
        // The lock holds a URL: blanks and the like percent-encoded.
        lockProfile = QUrl(fill(lockProfile)).toString(QUrl::FullyEncoded);
        const QByteArray oldXdg = qgetenv("XDG_CONFIG_HOME");
        const bool hadXdg = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
        if (xdgConfigHome.isEmpty())
            qunsetenv("XDG_CONFIG_HOME");
        else
            qputenv("XDG_CONFIG_HOME", QFile::encodeName(fill(xdgConfigHome)));
        const QString file = dir.filePath(QStringLiteral("Plan.odt"));
        write(file, "PK\x03\x04 document");
        write(FileInUse::OfficeLockName(file),
              QStringLiteral(",user,%1,10.12.2026 09:30,%2;").arg(QSysInfo::machineHostName(), lockProfile).toUtf8());
        QStringList args{QStringLiteral("soffice.bin")};
        if (!processArg.isEmpty())
            args << processArg;
        FileInUse::Probe probe;
        probe.Processes = [args] { return QList<FileInUse::ProcessInfo>{{999999, QStringLiteral("soffice.bin"), args}}; };
        const FileInUse::Signal got = FileInUse::Check(file, probe);
        if (hadXdg)
            qputenv("XDG_CONFIG_HOME", oldXdg);
        else
            qunsetenv("XDG_CONFIG_HOME");
        QCOMPARE(FileInUse::SignalName(got), FileInUse::SignalName(held ? FileInUse::Signal::OfficeLock : FileInUse::Signal::None));
    }

    // A title holds the file only when it shows the name (or base name) whole:
    // "a.doc" is not open because "data.docx" is, and a short name is not in every title.
    void titleShowsTheNameWhole_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("held");
        QTest::addRow("the name with its program") << "a.doc" << "a.doc - LibreOffice Writer" << true;
        QTest::addRow("the name inside a longer name") << "a.doc" << "data.docx - LibreOffice Writer" << false;
        QTest::addRow("the name with a longer extension") << "a.doc" << "a.docx - LibreOffice Writer" << false;
        QTest::addRow("a short base name in other words") << "a.txt" << "Terminal - bash" << false;
        QTest::addRow("the base name, modified mark and folder") << "a.txt" << "*a (~/docs) - gedit" << true;
        QTest::addRow("other case, at the end") << "Plan.DOC" << "LibreOffice - plan.doc" << true;
        QTest::addRow("in quotes") << "a.doc" << "\"a.doc\" [readonly] - VIM" << true;
        QTest::addRow("after a folder") << "a.doc" << "~/docs/a.doc - VIM" << true;
        QTest::addRow("Chinese name alone") << "报告.docx" << "报告.docx - WPS 文字" << true;
        QTest::addRow("Chinese name inside a longer one") << "报告.docx" << "年度报告.docx - WPS 文字" << false;
        QTest::addRow("Chinese base name before more characters") << "报告.txt" << "报告书.txt - 记事本" << false;
        QTest::addRow("Chinese base name in title marks") << "报告.txt" << "《报告》 - 记事本" << true;
        QTest::addRow("after a character outside the basic plane") << "野.txt" << "𠮷野.txt - gedit" << false;
        QTest::addRow("name outside the basic plane") << "𠮷野.txt" << "【𠮷野.txt】 - gedit" << true;
    }
    void titleShowsTheNameWhole()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, title);
        QFETCH(bool, held);
        QTemporaryDir dir;
        const QString file = dir.filePath(fileName);
        write(file, "text");
        FileInUse::Probe probe;
        probe.Processes = [] { return QList<FileInUse::ProcessInfo>{}; };
        probe.WindowTexts << fileName << QFileInfo(fileName).completeBaseName();
        probe.Windows = [title] { return QStringList{title}; };
        const FileInUse::Signal expected = held ? FileInUse::Signal::EditorWindow : FileInUse::Signal::None;
        QCOMPARE(FileInUse::SignalName(FileInUse::Check(file, probe)), FileInUse::SignalName(expected));
    }

    // Several files checked against one snapshot: the processes are listed once
    // and each file still gets its own answer.
    void oneSnapshotServesSeveralFiles()
    {
        QTemporaryDir dir;
        const QString held = dir.filePath(QStringLiteral("held.txt"));
        const QString free = dir.filePath(QStringLiteral("free.txt"));
        const QString locked = dir.filePath(QStringLiteral("locked.odt"));
        for (const QString &f : {held, free, locked})
            write(f, "text");
        write(FileInUse::OfficeLockName(locked),
              QStringLiteral(",user,%1,10.12.2026 09:30,;").arg(QSysInfo::machineHostName()).toUtf8());
        const std::unique_ptr<QProcess> sleeper = startSleeper(held);
        int listed = 0;
        FileInUse::Probe probe;
        probe.Processes = [&listed] {
            ++listed;
            QList<FileInUse::ProcessInfo> all = FileInUse::UserProcesses();
            all << FileInUse::ProcessInfo{999999, QStringLiteral("soffice.bin"), {}};
            return all;
        };
        FileInUse::Snapshot snapshot;
        const FileInUse::Signal onFree = FileInUse::Check(free, probe, snapshot);
        const FileInUse::Signal onHeld = FileInUse::Check(held, probe, snapshot);
        const FileInUse::Signal onLocked = FileInUse::Check(locked, probe, snapshot);
        sleeper->kill();
        sleeper->waitForFinished(5000);
        QCOMPARE(FileInUse::SignalName(onFree), FileInUse::SignalName(FileInUse::Signal::None));
        QCOMPARE(FileInUse::SignalName(onHeld), FileInUse::SignalName(FileInUse::Signal::OpenDescriptor));
        QCOMPARE(FileInUse::SignalName(onLocked), FileInUse::SignalName(FileInUse::Signal::OfficeLock));
        QCOMPARE(listed, 1);
    }
};
