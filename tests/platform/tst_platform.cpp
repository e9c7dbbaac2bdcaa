#include "platform/desktopopener.h"
#include "platform/instancechannel.h"
#include "platform/netadapters.h"
#include "platform/shellintegration.h"
#include "testenv.h"

#include <QDir>
#include <QHostInfo>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QSysInfo>

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

    void malformedLinesAreIgnored()
    {
        InstanceChannel first(folder());
        QVERIFY(first.acquire());
        QVERIFY(first.listen());
        QSignalSpy spy(&first, &InstanceChannel::messageReceived);
        QLocalSocket s;
        s.connectToServer(first.socketPath());
        QVERIFY(s.waitForConnected(1000));
        s.write("garbage\n1135 x 513\n1 2\n" + QByteArray(500, 'z') + "\n1137 0 0\n");
        QVERIFY(s.waitForBytesWritten(1000));
        QTRY_VERIFY(spy.count() >= 1 || s.state() != QLocalSocket::ConnectedState);
        for (const auto &args : spy)
            QVERIFY(args.at(0).toInt() == 1137);
        // A line with no end is cut off rather than buffered without limit.
        QLocalSocket flood;
        flood.connectToServer(first.socketPath());
        QVERIFY(flood.waitForConnected(1000));
        flood.write(QByteArray(64 * 1024, '7'));
        QTRY_COMPARE(flood.state(), QLocalSocket::UnconnectedState);
    }
};

class ShellIntegrationTest : public QObject
{
    Q_OBJECT
    TestHome home;
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
    }
    void execIsQuoted()
    {
        const QString text = ShellIntegration::UrlDesktopFileText(QStringLiteral("/a/$b\"c\\d`e"));
        QVERIFY(text.contains(QLatin1String("Exec=\"/a/\\$b\\\"c\\\\d\\`e\" %u")));
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
    return runTests<InstanceChannelTest, ShellIntegrationTest, AdaptersTest, DesktopOpenerTest>(argc, argv);
}

#include "tst_platform.moc"
