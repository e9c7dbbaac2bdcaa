#include "platform/desktopopener.h"
#include "platform/instancechannel.h"
#include "platform/memorytrim.h"
#include "platform/netadapters.h"
#include "platform/shellintegration.h"
#include "fileinusetest.h"
#include "testenv.h"

#include <QDir>
#include <QHostInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QSysInfo>

#include <cstdlib>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

class InstanceChannelTest : public QObject
{
    Q_OBJECT
    TestHome home;
    QString folder() const { return home.path() + QLatin1String("/runtime"); }
private Q_SLOTS:
    void secondLaunchWakesTheFirst()
    {
        InstanceChannel first(folder());
        QVERIFY(first.acquire());
        QVERIFY(first.listen());
        QSignalSpy spy(&first, &InstanceChannel::messageReceived);

        InstanceChannel second(folder());
        QVERIFY(!second.acquire());
        QVERIFY(second.wakeRunningInstance(2000));
        QTRY_COMPARE(spy.count(), 2);
        QCOMPARE(spy.at(0), (QList<QVariant>{1135, qint64(0), qint64(513)}));
        QCOMPARE(spy.at(1), (QList<QVariant>{1280, qint64(0), qint64(0)}));
    }

    void lockIsReleasedWithTheInstance()
    {
        {
            InstanceChannel first(folder());
            QVERIFY(first.acquire());
        }
        InstanceChannel next(folder());
        QVERIFY(next.acquire());
    }

    void lockOfADeadProcessIsTakenOver()
    {
        InstanceChannel probe(folder());
        QFile lock(probe.socketPath() + QLatin1String(".lock"));
        QVERIFY(lock.open(QIODevice::WriteOnly));
        // QLockFile's own format: pid, application name, host name.
        lock.write("999999\nZuDivuvo\n" + QSysInfo::machineHostName().toUtf8() + "\n");
        lock.close();
        QVERIFY(probe.acquire());
        QVERIFY(probe.listen());  // also clears a leftover socket
    }

    void nobodyListening()
    {
        InstanceChannel lone(folder() + QLatin1String("/empty"));
        QVERIFY(!lone.send({{1280, 0, 0}}, 200, 0));
    }

    // Malformed lines produce nothing, and other programs may ask only for the
    // tray click, the front, exit and the tray icon's removal.
    void linesFromOutside_data()
    {
        QTest::addColumn<QByteArray>("lines");
        QTest::addColumn<QList<int>>("delivered");
        QTest::addRow("malformed lines are ignored")
            << QByteArray("garbage\n1135 x 513\n1 2\n" + QByteArray(500, 'z') + "\n1137 0 0\n") << QList<int>{1137};
        QTest::addRow("only the documented messages")
            << QByteArray("1139 0 0\n1526 0 0\n1135 0 513\n1144 0 0\n1280 0 0\n1281 0 3\n1136 0 0\n1137 0 0\n")
            << QList<int>{1135, 1280, 1136, 1137};
    }
    void linesFromOutside()
    {
        QFETCH(QByteArray, lines);
        QFETCH(QList<int>, delivered);
        InstanceChannel first(folder());
        QVERIFY(first.acquire());
        QVERIFY(first.listen());
        QSignalSpy spy(&first, &InstanceChannel::messageReceived);
        QLocalSocket s;
        s.connectToServer(first.socketPath());
        QVERIFY(s.waitForConnected(1000));
        s.write(lines);
        QVERIFY(s.waitForBytesWritten(1000));
        // The valid 1137 line comes last, so once it is in every line before it was read.
        QTRY_VERIFY(!spy.isEmpty() && spy.last().at(0).toInt() == 1137);
        QList<int> numbers;
        for (const auto &args : spy)
            numbers << args.at(0).toInt();
        QCOMPARE(numbers, delivered);
        QCOMPARE(spy.last(), (QList<QVariant>{1137, qint64(0), qint64(0)}));
        QCOMPARE(s.state(), QLocalSocket::ConnectedState);
    }

    // A line with no end is cut off rather than buffered without limit.
    void endlessLineIsCutOff()
    {
        InstanceChannel first(folder());
        QVERIFY(first.acquire());
        QVERIFY(first.listen());
        QLocalSocket flood;
        flood.connectToServer(first.socketPath());
        QVERIFY(flood.waitForConnected(1000));
        flood.write(QByteArray(64 * 1024, '7'));
        QTRY_COMPARE(flood.state(), QLocalSocket::UnconnectedState);
    }

    // An exiting client gives up the instance first: a launch meanwhile starts anew.
    void releaseLetsTheNextLaunchStart()
    {
        InstanceChannel first(folder());
        QVERIFY(first.acquire());
        QVERIFY(first.listen());
        first.release();
        InstanceChannel next(folder());
        QVERIFY(next.acquire());
        QVERIFY(next.listen());
        QVERIFY(InstanceChannel(folder()).wakeRunningInstance(2000));
    }
};

class ShellIntegrationTest : public QObject
{
    Q_OBJECT
    TestHome home;

    // The string-type escapes of a desktop-entry value; anything else is malformed.
    static QString unescapeValue(const QString &value, QString *error)
    {
        QString out;
        for (qsizetype i = 0; i < value.size(); ++i) {
            if (value.at(i) != u'\\') {
                out += value.at(i);
                continue;
            }
            const QChar next = i + 1 < value.size() ? value.at(++i) : QChar();
            switch (next.unicode()) {
            case u's': out += u' '; break;
            case u'n': out += u'\n'; break;
            case u't': out += u'\t'; break;
            case u'r': out += u'\r'; break;
            case u'\\': out += u'\\'; break;
            default: *error = QStringLiteral("bad string escape"); return out;
            }
        }
        return out;
    }

    // Exec after the string escapes: arguments split on blanks, quoted ones with
    // \", \`, \$ and \\ undone; "%%" is a literal "%", other field codes stay.
    static QStringList execArguments(const QString &value, QString *error)
    {
        const QString line = unescapeValue(value, error);
        QStringList args;
        qsizetype i = 0;
        while (error->isEmpty() && i < line.size()) {
            if (line.at(i) == u' ') {
                ++i;
                continue;
            }
            QString arg;
            if (line.at(i) == u'"') {
                for (++i;; ++i) {
                    if (i >= line.size()) {
                        *error = QStringLiteral("unterminated quote");
                        return args;
                    }
                    const QChar c = line.at(i);
                    if (c == u'"')
                        break;
                    if (c == u'\\') {
                        const QChar next = i + 1 < line.size() ? line.at(i + 1) : QChar();
                        if (next != u'"' && next != u'`' && next != u'$' && next != u'\\') {
                            *error = QStringLiteral("bad escape in quotes");
                            return args;
                        }
                        arg += next;
                        ++i;
                    } else if (c == u'%') {
                        // Field codes are not allowed inside quotes; only "%%".
                        if (i + 1 >= line.size() || line.at(i + 1) != u'%') {
                            *error = QStringLiteral("field code inside quotes");
                            return args;
                        }
                        arg += u'%';
                        ++i;
                    } else {
                        arg += c;
                    }
                }
                ++i;
                if (i < line.size() && line.at(i) != u' ') {
                    *error = QStringLiteral("text after a closing quote");
                    return args;
                }
            } else {
                while (i < line.size() && line.at(i) != u' ')
                    arg += line.at(i++);
                static const QString reserved = QStringLiteral("\t\n\"'\\><~|&;$*?#()`");
                for (QChar c : arg)
                    if (reserved.contains(c))
                        *error = QStringLiteral("reserved character outside quotes");
            }
            args << arg;
        }
        return args;
    }
private Q_SLOTS:
    void urlHandlerDesktopFile()
    {
        const QString apps = home.path() + QLatin1String("/apps");
        QVERIFY(ShellIntegration::RegisterUrlProtocol(QStringLiteral("/opt/kv dir/ZuDivuvo"), apps));
        QFile f(apps + QLatin1Char('/') + ShellIntegration::kUrlDesktopFile);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(f.readAll());
        QVERIFY(text.startsWith(QLatin1String("[Desktop Entry]\n")));
        QVERIFY(text.contains(QLatin1String("\nExec=\"/opt/kv dir/ZuDivuvo\" %u\n")));
        QVERIFY(text.contains(QLatin1String("\nMimeType=x-scheme-handler/zudivuvo;\n")));
        QVERIFY(text.contains(QLatin1String("\nName=DaRezavoDeduroru\n")));
        // xdg-open without a desktop environment runs the first word as it stands, quotes and all.
        QVERIFY(ShellIntegration::RegisterUrlProtocol(QStringLiteral("/opt/kv/ZuDivuvo"), apps));
        QFile plain(f.fileName());
        QVERIFY(plain.open(QIODevice::ReadOnly));
        QVERIFY(QString::fromUtf8(plain.readAll()).contains(QLatin1String("\nExec=/opt/kv/ZuDivuvo %u\n")));
    }

    // A desktop-entry reader first undoes the string escapes of the value, then
    // splits the quoted arguments, and expands "%%" to "%".
    void execReadsBackAsThePath_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addRow("blank") << QStringLiteral("/opt/kv dir/ZuDivuvo");
        QTest::addRow("backslash") << QStringLiteral("/opt/a\\b/ZuDivuvo");
        QTest::addRow("dollar") << QStringLiteral("/opt/$HOME/ZuDivuvo");
        QTest::addRow("double quote") << QStringLiteral("/opt/a\"b/ZuDivuvo");
        QTest::addRow("backquote") << QStringLiteral("/opt/`id`/ZuDivuvo");
        QTest::addRow("percent") << QStringLiteral("/opt/100%u/ZuDivuvo");
        QTest::addRow("percent pair") << QStringLiteral("/opt/%%/ZuDivuvo");
        QTest::addRow("chinese") << QStringLiteral("/home/安/文档管理/ZuDivuvo");
        QTest::addRow("all") << QStringLiteral("/o p/\\\\$`\"%/安 x\\");
    }
    void execReadsBackAsThePath()
    {
        QFETCH(QString, path);
        const QString apps = home.path() + QLatin1String("/apps-exec");
        QVERIFY(ShellIntegration::RegisterUrlProtocol(path, apps));
        const QString file = apps + QLatin1Char('/') + ShellIntegration::kUrlDesktopFile;
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QString exec;
        for (const QByteArray &line : f.readAll().split('\n'))
            if (line.startsWith("Exec="))
                exec = QString::fromUtf8(line.mid(5));
        QString error;
        const QStringList args = execArguments(exec, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error + QLatin1String(" in ") + exec));
        QCOMPARE(args, (QStringList{path, QStringLiteral("%u")}));

        const QString validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
        if (validator.isEmpty())
            QSKIP("desktop-file-validate is not installed; the written entry was not validated");
        QProcess v;
        v.start(validator, {file});
        QVERIFY(v.waitForFinished(10000));
        const QByteArray out = v.readAllStandardOutput() + v.readAllStandardError();
        QVERIFY2(v.exitCode() == 0 && !out.contains("error:"), out.constData());
    }
    void execIsQuoted()
    {
        // Quoted for the argument, then every backslash doubled for the value.
        const QString text = ShellIntegration::UrlDesktopFileText(QStringLiteral("/a/$b\"c\\d`e%f"));
        QVERIFY(text.contains(QLatin1String("\nExec=\"/a/\\\\$b\\\\\"c\\\\\\\\d\\\\`e%%f\" %u\n")));
    }
    void launcherReadsBackAsThePath()
    {
        const QString exe = QStringLiteral("/opt/a\\b $c/ZuDivuvo");
        const QString text = ShellIntegration::LauncherText(exe, QStringLiteral("KelVo Client"));
        QString exec, path;
        for (const QString &line : text.split(u'\n')) {
            if (line.startsWith(QLatin1String("Exec=")))
                exec = line.mid(5);
            if (line.startsWith(QLatin1String("Path=")))
                path = line.mid(5);
        }
        QString error;
        QCOMPARE(execArguments(exec, &error), QStringList{exe});
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(unescapeValue(path, &error), QStringLiteral("/opt/a\\b $c"));
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }
    void viewerControlIsWindowsOnly() { QVERIFY(!ShellIntegration::RegisterViewerControl(true)); }

    void autostartFollowsTheBox()
    {
        const QString folder = home.path() + QLatin1String("/autostart");
        const QString exe = QStringLiteral("/opt/kv/ZuDivuvo");
        QVERIFY(!ShellIntegration::IsAutostart(exe, folder));
        QVERIFY(ShellIntegration::SetAutostart(exe, true, folder));
        QVERIFY(ShellIntegration::IsAutostart(exe, folder));
        QVERIFY(ShellIntegration::IsAutostart(QStringLiteral("/OPT/KV/zudivuvo"), folder));  // case ignored
        QVERIFY(!ShellIntegration::IsAutostart(QStringLiteral("/other/ZuDivuvo"), folder));
        QVERIFY(ShellIntegration::SetAutostart(exe, false, folder));
        QVERIFY(!ShellIntegration::IsAutostart(exe, folder));
        QVERIFY(ShellIntegration::SetAutostart(exe, false, folder));  // nothing to remove is fine
    }

    void desktopShortcutIsAnExecutableLauncher()
    {
        const QString desktop = home.path() + QLatin1String("/Desktop");
        QVERIFY(ShellIntegration::CreateDesktopShortcut(QStringLiteral("/opt/kv/ZuDivuvo"), QStringLiteral("KelVo Client"),
                                                        desktop));
        const QFileInfo f(desktop + QLatin1String("/KelVo Client.desktop"));
        QVERIFY(f.exists());
        QVERIFY(f.isExecutable());
    }
};

class AdaptersTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void systemListIsStableAndPhysical()
    {
        const auto a = NetAdapters::systemAdapters();
        QVERIFY(a.has_value());
        QCOMPARE(FormatMacList(*a), FormatMacList(*NetAdapters::systemAdapters()));
        for (const TAdapterInfo &i : *a)
            QVERIFY(!i.hardware.isEmpty() && i.hardware != QByteArray(6, '\0'));
    }
};

class MemoryTrimTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // Left alone, glibc raises its threshold for blocks of their own mapping to
    // the largest block freed, and keeps every later block below that size in
    // the heap after its free: a day of previews reads as growth.
    void bigBlocksKeepTheirOwnMapping()
    {
#if !defined(__GLIBC__) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        QSKIP("the allocator is glibc's only in an unsanitized Linux build");
#else
        TuneMemoryAllocator();
        void *big = std::malloc(8 << 20);
        QVERIFY(big);
        std::free(big);
        const size_t before = mallinfo2().hblks;
        void *page = std::malloc(1 << 20);   // a rendered page, say
        QVERIFY(page);
        const size_t during = mallinfo2().hblks;
        std::free(page);
        QCOMPARE(during, before + 1);
        QCOMPARE(mallinfo2().hblks, before);
        ReturnFreedMemory();
#endif
    }
};

// Stand-ins for the desktop's tools record what they were given.
class DesktopOpenerTest : public QObject
{
    Q_OBJECT
    TestHome home;
    QByteArray oldPath;
    QString bin() const { return home.path() + QLatin1String("/bin"); }
    QString record() const { return home.path() + QLatin1String("/opened.txt"); }
    void tool(const QString &name, const QByteArray &script)
    {
        QFile f(bin() + u'/' + name);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("#!/bin/sh\n" + script);
        f.close();
        f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
    }
private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(QDir().mkpath(bin()));
        oldPath = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(bin()) + ':' + oldPath);
        tool(QStringLiteral("xdg-open"), "printf '%s|%s\\n' \"$#\" \"$1\" > '" + QFile::encodeName(record()) + "'\n");
    }
    void cleanupTestCase() { qputenv("PATH", oldPath); }

    void opensWithTheAssociatedProgram_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("associatedType");  // the one type the desktop has a program for
        QTest::addColumn<bool>("opened");
        QTest::addRow("associated") << "Report 2024.txt" << QByteArray("text/plain") << true;
        QTest::addRow("shell characters stay one argument") << "a $(touch x) `id`;b.txt" << QByteArray("text/plain") << true;
        QTest::addRow("program of a parent type") << "figures.csv" << QByteArray("text/plain") << true;
        QTest::addRow("nothing associated") << "Report.txt" << QByteArray("image/png") << false;
    }
    void opensWithTheAssociatedProgram()
    {
        QFETCH(QString, fileName);
        QFETCH(QByteArray, associatedType);
        QFETCH(bool, opened);
        tool(QStringLiteral("xdg-mime"), "[ \"$3\" = '" + associatedType + "' ] && echo editor.desktop\nexit 0\n");
        QFile::remove(record());
        const QString path = home.path() + u'/' + fileName;
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("text");
        f.close();
        QString reason;
        QCOMPARE(DesktopOpener::OpenFile(path, &reason, false), opened);
        if (!opened) {
            QCOMPARE(reason, QStringLiteral("No program is associated with files of type text/plain."));
            QTest::qWait(200);
            QVERIFY(!QFileInfo::exists(record()));
            return;
        }
        QTRY_VERIFY(QFileInfo(record()).size() > 0);
        QFile r(record());
        QVERIFY(r.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(r.readAll()).trimmed(), QStringLiteral("1|") + path);
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    return runTests<InstanceChannelTest, ShellIntegrationTest, AdaptersTest, MemoryTrimTest, DesktopOpenerTest, FileInUseTest>(argc, argv);
}

#include "tst_platform.moc"
