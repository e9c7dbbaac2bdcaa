#include "core/adapters.h"
#include "core/aes.h"
#include "core/helpers.h"
#include "core/tagtext.h"
#include "core/uitext.h"
#include "core/wiredate.h"
#include "core/workpools.h"
#include "fakeserver.h"
#include "net/robottcpclient.h"
#include "net/sslhttp.h"
#include "net/webendpoints.h"
#include "testenv.h"

#include <QBuffer>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSemaphore>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>

#include <atomic>
#include <memory>
#include <optional>
#include <thread>

namespace {

QByteArray be32(qint32 v)
{
    char b[4];
    qToBigEndian(v, b);
    return QByteArray(b, 4);
}

QByteArray pattern(qint64 n, int seed = 1)
{
    QByteArray b(n, '\0');
    for (qint64 i = 0; i < n; ++i)
        b[i] = char((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return b;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &b)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(b), b.size());
}

quint16 closedPort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    const quint16 p = s.serverPort();
    s.close();
    return p;
}

std::unique_ptr<TRobotTcpClient> makeClient(quint16 port, bool tls = false, int readTimeout = 5000)
{
    auto c = std::make_unique<TRobotTcpClient>(tls);
    c->Host = QStringLiteral("127.0.0.1");
    c->Port = port;
    c->ReadTimeout = readTimeout;
    c->FLanguage = HSL_ENG;
    c->SetUserEncryptId(QStringLiteral("ENC"));
    return c;
}

// A server script that reads one request frame, keeps it and answers.
FakeScript answer(std::shared_ptr<FakeFrame> keep, quint8 status, const QString &text, qint32 freeInt = 0)
{
    return [keep, status, text, freeInt](FakeConn &c) {
        *keep = c.readFrame();
        c.writeFrame(status, text, 65518, freeInt);
    };
}

TDateTime someTime(int secondsOffset = 0)
{
    return QDateTimeToDateTime(QDateTime(QDate(2024, 3, 5), QTime(10, 20, 30)).addSecs(secondsOffset));
}

QDateTime mtime(const QString &path)
{
    return QFileInfo(path).lastModified();
}

void setMtime(const QString &path, const QDateTime &t)
{
    QVERIFY(SetFileWriteTime(path, t));
}

// What a download script saw from the client.
struct DownloadSeen {
    FakeFileRequest request;
    qint64 offered = -1;
    qint64 last = -1;
};

// Server side of a download (codes 2 and 8): status 10, the time line, the
// resume handshake (accept decides A from the offer), the body, the trailer.
FakeScript downloadScript(std::shared_ptr<DownloadSeen> seen, QByteArray content, TDateTime serverTime,
                          qint32 trailer = 65520, std::function<qint64(qint64, qint64)> accept = {},
                          bool sendTimeLine = true, QByteArray padding = {})
{
    return [=](FakeConn &c) {
        seen->request = c.readFileRequest();
        c.writeInt32(10);
        if (sendTimeLine && seen->request.operation != 8)  // code 8 has no time line
            c.writeLine(QByteArray::number(DateTimeToTicks(serverTime)));
        seen->offered = c.readInt64();
        seen->last = c.readInt64();
        const qint64 a = accept ? accept(seen->offered, seen->last) : 0;
        c.writeInt64(a);
        const QByteArray rest = content.mid(a) + padding;
        c.writeInt64(rest.size());
        for (qint64 at = 0; at < rest.size(); at += 32768)
            c.write(rest.mid(at, 32768));
        c.writeInt32(trailer);
        if (seen->request.operation == 8)
            c.writeInt64(0);
    };
}

// A download from offset 0 whose connection the server cuts after dropAfter bytes.
FakeScript cutDownloadScript(QByteArray content, qint64 dropAfter)
{
    return [=](FakeConn &c) {
        c.readFileRequest();
        c.writeInt32(10);
        c.writeLine(QByteArray::number(DateTimeToTicks(someTime())));
        c.readInt64();
        c.readInt64();
        c.writeInt64(0);
        c.writeInt64(content.size());
        c.dropAfter(dropAfter);
        c.write(content);
    };
}

} // namespace

class PipeTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void emptyBodyIsFortyBytes()
    {
        FakeServer srv;
        auto keep = std::make_shared<FakeFrame>();
        srv.addScript(answer(keep, 80, QString()));
        TPipeTcpClient c;
        c.Port = srv.port();
        QVERIFY(c.Tcp_Post(22, 0, 0));
        QVERIFY(srv.waitForHandled(1));
        const QByteArray got = srv.received(0);
        QByteArray expect("ZYVEK /TCP/1.0\r\n");
        expect += be32(20);
        expect += QByteArray::fromHex("02001600000000000000000000000000");
        expect += QByteArray::fromHex("0000FFEE");
        QCOMPARE(got.size(), 40);
        QCOMPARE(got.toHex(), expect.toHex());
    }

    void abBody()
    {
        FakeServer srv;
        auto keep = std::make_shared<FakeFrame>();
        srv.addScript(answer(keep, 80, QStringLiteral("ok")));
        TPipeTcpClient c;
        c.Port = srv.port();
        QCOMPARE(c.Tcp_GetText(84, QStringLiteral("ab")), QStringLiteral("ok"));
        QVERIFY(srv.waitForHandled(1));
        const QByteArray got = srv.received(0);
        QByteArray expect("ZYVEK /TCP/1.0\r\n");
        expect += be32(24);
        expect += QByteArray::fromHex("02005400000000000000000000000000");
        expect += be32(4);
        expect += QByteArray::fromHex("61006200");
        expect += QByteArray::fromHex("0000FFEE");
        QCOMPARE(got.toHex(), expect.toHex());
        QVERIFY(c.SendStream().isEmpty());
    }

    void headerParametersPersist()
    {
        FakeServer srv;
        auto k1 = std::make_shared<FakeFrame>(), k2 = std::make_shared<FakeFrame>();
        srv.addScript(answer(k1, 80, QString()));
        srv.addScript(answer(k2, 80, QString()));
        TPipeTcpClient c;
        c.Port = srv.port();
        c.Tcp_GetText(40, 7, -2);
        c.Tcp_GetText(41, QStringLiteral("x"));
        QVERIFY(srv.waitForHandled(2));
        QCOMPARE(k1->freeInt(), 7);
        QCOMPARE(k1->freeInt2(), -2);
        QCOMPARE(int(k2->code()), 41);
        QCOMPARE(k2->freeInt(), 7);   // the text overload keeps the header parameters
        QCOMPARE(k2->freeInt2(), -2);
    }

    void replyWithoutBody()
    {
        FakeServer srv;
        srv.addScript([](FakeConn &c) {
            c.readFrame();
            c.writeFrame(80, QByteArray());
        });
        TPipeTcpClient c;
        c.Port = srv.port();
        const QByteArray *s = c.Tcp_GetStream(90, 0, 0);
        QVERIFY(s);
        QVERIFY(s->isEmpty());
        QCOMPARE(int(c.ReceiveHead.TranType), 80);
    }

    void badTrailerStillUsed()
    {
        FakeServer srv;
        srv.addScript([](FakeConn &c) {
            c.readFrame();
            c.writeFrame(80, QStringLiteral("body"), 12345);
        });
        TPipeTcpClient c;
        c.Port = srv.port();
        QCOMPARE(c.Tcp_GetText(90, QStringLiteral("q")), QStringLiteral("body"));
        QCOMPARE(c.GetLastError(), QStringLiteral("An error occurred during transmission"));
    }

    void oddBodyByteIgnored()
    {
        FakeServer srv;
        srv.addScript([](FakeConn &c) {
            c.readFrame();
            c.writeFrame(80, QByteArray("a\0b\0c", 5));
        });
        TPipeTcpClient c;
        c.Port = srv.port();
        QCOMPARE(c.Tcp_GetText(90, QStringLiteral("q")), QStringLiteral("ab"));
    }

    void statusTwentyWhenNothingListens()
    {
        TPipeTcpClient c;
        c.Port = closedPort();
        QCOMPARE(int(c.GetServerStatus()), 20);
        QVERIFY2(c.GetLastError().contains(QLatin1String("Cannot connect")), qPrintable(c.GetLastError()));
        QVERIFY(!c.IP_Test());
    }

    // A Chinese screen must not show an English network error (and the reverse).
    void transportErrorsFollowTheInterfaceLanguage_data()
    {
        QTest::addColumn<int>("language");
        QTest::addColumn<QString>("refused");
        QTest::addColumn<QString>("cut");
        QTest::addRow("Chinese") << int(HSL_CN) << QStringLiteral("无法连接服务器") << QStringLiteral("已拒绝该应答");
        QTest::addRow("English") << int(HSL_ENG) << QStringLiteral("Cannot connect") << QStringLiteral("the reply was refused");
    }
    void transportErrorsFollowTheInterfaceLanguage()
    {
        QFETCH(int, language);
        QFETCH(QString, refused);
        QFETCH(QString, cut);
        SetTextLanguage(THS_Language(language));
        const auto restore = qScopeGuard([] { SetTextLanguage(HSL_ENG); });
        TPipeTcpClient c;
        c.Port = closedPort();
        QVERIFY(!c.Tcp_Post(1, 0, 0));
        QVERIFY2(c.GetLastError().contains(refused), qPrintable(c.GetLastError()));

        FakeServer srv;
        srv.addScript([](FakeConn &fc) {
            fc.readFrame();
            fc.writeFrameAnnouncing(80, -1, QByteArray(64, 'x'));
        });
        c.Port = srv.port();
        QCOMPARE(c.Tcp_GetText(90, QStringLiteral("q")), QString());
        QVERIFY2(c.GetLastError().contains(cut), qPrintable(c.GetLastError()));
    }

    void errorTextSurvivesSuccess()
    {
        FakeServer srv;
        auto keep = std::make_shared<FakeFrame>();
        srv.addScript(answer(keep, 22, QString()));
        TPipeTcpClient c;
        c.Port = closedPort();
        QVERIFY(!c.Tcp_Post(1, 0, 0));
        const QString old = c.GetLastError();
        QVERIFY(!old.isEmpty());
        c.Port = srv.port();
        QCOMPARE(int(c.GetServerStatus()), 22);
        QCOMPARE(c.GetLastError(), old);
    }

    void hostileCounts_data()
    {
        QTest::addColumn<qint32>("count");
        QTest::newRow("4 GiB (FFFFFFFF)") << qint32(-1);
        QTest::newRow("negative") << qint32(-5);
        QTest::newRow("2 GiB") << qint32(0x7FFFFFFF);
        QTest::newRow("300 MiB") << qint32(300 * 1024 * 1024);
    }
    void hostileCounts()
    {
        QFETCH(qint32, count);
        FakeServer srv;
        srv.addScript([count](FakeConn &c) {
            c.readFrame();
            c.writeFrameAnnouncing(80, count, QByteArray(64, 'x'));
        });
        TPipeTcpClient c;
        c.Port = srv.port();
        c.ReadTimeout = 20000;
        QElapsedTimer t;
        t.start();
        QCOMPARE(c.Tcp_GetText(90, QStringLiteral("q")), QString());
        QVERIFY(t.elapsed() < 5000);  // refused at once, not after waiting for the bytes
        QVERIFY2(c.GetLastError().contains(QLatin1String("refused")), qPrintable(c.GetLastError()));
        QVERIFY(c.ReceiveStream().isEmpty());
    }

    void shortReplyTimesOut()
    {
        FakeServer srv;
        srv.addScript([](FakeConn &c) {
            c.readFrame();
            c.writeFrameAnnouncing(80, 100, QByteArray(10, 'x'));
            c.delay(1500);
        });
        TPipeTcpClient c;
        c.Port = srv.port();
        c.ReadTimeout = 300;
        QCOMPARE(c.Tcp_GetText(90, QStringLiteral("q")), QString());
        QVERIFY2(c.GetLastError().contains(QLatin1String("did not answer")), qPrintable(c.GetLastError()));
    }

    void serverDropsMidReply()
    {
        FakeServer srv;
        srv.addScript([](FakeConn &c) {
            c.readFrame();
            c.dropAfter(30);
            c.writeFrame(80, QString(100, u'z'));
        });
        TPipeTcpClient c;
        c.Port = srv.port();
        QVERIFY(!c.Tcp_Post(90, 0, 0));
        QVERIFY2(c.GetLastError().contains(QLatin1String("closed")) || c.GetLastError().contains(QLatin1String("broken")),
                 qPrintable(c.GetLastError()));
    }

    void garbageReply()
    {
        FakeServer srv;
        srv.addScript([](FakeConn &c) {
            c.readFrame();
            c.garbage(7);
            c.close();
        });
        TPipeTcpClient c;
        c.Port = srv.port();
        QCOMPARE(int(c.GetServerStatus()), 20);
    }

    void tlsExchange()
    {
        FakeServer srv(FakeServer::Tls);
        QVERIFY2(srv.ok(), qPrintable(srv.setupError()));
        auto keep = std::make_shared<FakeFrame>();
        srv.addScript(answer(keep, 80, QStringLiteral("secure")));
        TPipeTcpClient c(true);
        c.Port = srv.port();
        QCOMPARE(c.Tcp_GetText(84, QStringLiteral("ab")), QStringLiteral("secure"));
        QVERIFY(srv.waitForHandled(1));
        QCOMPARE(keep->text(), QStringLiteral("ab"));
        QCOMPARE(keep->requestLine, QByteArray("ZYVEK /TCP/1.0\r\n"));
    }

    void tlsAgainstPlainServerFails()
    {
        FakeServer srv;
        srv.addScript([](FakeConn &c) {
            c.read(10, 1000);
            c.writeFrame(80, QStringLiteral("plain"));
        });
        TPipeTcpClient c(true);
        c.Port = srv.port();
        c.ReadTimeout = 2000;
        QCOMPARE(c.Tcp_GetText(84, QStringLiteral("ab")), QString());
        QVERIFY2(c.GetLastError().contains(QLatin1String("TLS")), qPrintable(c.GetLastError()));
    }

    void worksOnAThreadWithoutEventLoop()
    {
        FakeServer srv(FakeServer::Tls);
        QVERIFY(srv.ok());
        auto keep = std::make_shared<FakeFrame>();
        srv.addScript(answer(keep, 80, QStringLiteral("from thread")));
        QString got;
        std::thread t([&] {
            TPipeTcpClient c(true);
            c.Port = srv.port();
            got = c.Tcp_GetText(84, QStringLiteral("t"));
        });
        t.join();
        QCOMPARE(got, QStringLiteral("from thread"));
    }
};

class RobotTest : public QObject
{
    Q_OBJECT

    // Runs op against a server that answers status/text; returns the request frame.
    FakeFrame run(const std::function<void(TRobotTcpClient &)> &op, quint8 status = 80, const QString &reply = QString(),
                  qint32 freeInt = 0)
    {
        FakeServer srv;
        auto keep = std::make_shared<FakeFrame>();
        srv.addScript(answer(keep, status, reply, freeInt));
        auto c = makeClient(srv.port());
        op(*c);
        srv.waitForHandled(1);
        return *keep;
    }

private Q_SLOTS:
    void requestTexts_data()
    {
        QTest::addColumn<int>("which");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        const QString e = QStringLiteral("[EncryptCode]ENC[/EncryptCode]");
        int i = 0;
        QTest::newRow("GetOrgStructure") << i++ << 90 << "[userinfo]" + e + "[/userinfo][language]1[/language]";
        QTest::newRow("GetOrgStructure import") << i++ << 90
                                                << "[userinfo]" + e + "[/userinfo][language]1[/language][TranStyle]3[/TranStyle]";
        QTest::newRow("GetMyGroups") << i++ << 92 << e;
        QTest::newRow("GetUserMsg") << i++ << 108 << e + "[url]srv.example[/url][language]1[/language]";
        QTest::newRow("LoadFolderFiles") << i++ << 65 << e + "[FolderId]7[/FolderId][OwnerId]5[/OwnerId]";
        QTest::newRow("GetFoldersDesc") << i++ << 42 << e + "[OwnerId]5[/OwnerId]";
        QTest::newRow("GetFileList") << i++ << 35 << e + "[OwnerId]5[/OwnerId][FolderId]7[/FolderId]";
        QTest::newRow("GetFolderList") << i++ << 47 << e + "[OwnerId]5[/OwnerId][FolderId]7[/FolderId]";
        QTest::newRow("GetAllUsersList") << i++ << 48 << e;
        QTest::newRow("GetFilePrtList") << i++ << 45 << e + "[c]1[/c][language]1[/language]";
        QTest::newRow("GetFileName") << i++ << 72 << e + "[Key]9000000000[/Key]";
        QTest::newRow("GetResourceInfo") << i++ << 37 << e + "[Key]9[/Key]";
        QTest::newRow("CreateFolder") << i++ << 79
                                      << e + "[Ownerid]5[/Ownerid][FatherFolderId]7[/FatherFolderId][FolderName]新建[/FolderName]";
        QTest::newRow("GetServerFileNum") << i++ << 38 << QStringLiteral("[GroupID]3[/GroupID]");
        QTest::newRow("LockFile") << i++ << 76 << e + "[FileKey]9[/FileKey]";
        QTest::newRow("UnLockFile") << i++ << 75 << e + "[FileKey]9[/FileKey][IsCancel]True[/IsCancel]";
        QTest::newRow("GetNewVer") << i++ << 63
                                   << e + "[OwnerId]5[/OwnerId][FolderId]7[/FolderID][IsIncludeSub]False[/IsIncludeSub][x]1[/x]";
        QTest::newRow("GetServerPath") << i++ << 78 << e + "[FileKey]9[/FileKey][IsFolder]True[/IsFolder]";
        QTest::newRow("SendFileMsg") << i++ << 74 << e + "[OwnerId]5[/OwnerId][Key][/Key]";
        QTest::newRow("GetLogs") << i++ << 36 << e + "[c]1[/c]";
        QTest::newRow("GetUserGroup") << i++ << 33 << e;
        QTest::newRow("RefreshFolder") << i++ << 44 << QStringLiteral("[OwnerId]5[/OwnerId][FolderId]7[/FolderId]");
        QTest::newRow("IsInWriteAudit") << i++ << 46 << e + "[Key]9[/Key]";
        QTest::newRow("RetrieveFileDesc") << i++ << 49 << e + "[filekey]9[/filekey]";
        QTest::newRow("UpdateFileDesc") << i++ << 50 << e + "[filekey]9[/filekey][desc]d[/desc]";
        QTest::newRow("CanDownloadFile") << i++ << 51 << e + "[fileKey]9[/fileKey][language]1[/language]";
        QTest::newRow("ApiPostText") << i++ << 120 << QStringLiteral("raw");
        QTest::newRow("GetDownloadFiles") << i++ << 66 << "[Task]1[/Task]" + e;
        QTest::newRow("Login") << i++ << 84
                               << QStringLiteral("[Name]n[/Name][PassWord]p[/PassWord][Mac]M[/Mac][BindingIp]h[/BindingIp]"
                                                 "[BindingPort]8088[/BindingPort]");
    }
    void requestTexts()
    {
        QFETCH(int, which);
        QFETCH(int, code);
        QFETCH(QString, text);
        const FakeFrame f = run([which](TRobotTcpClient &c) {
            QString s;
            qint64 id = 0;
            TDownloadFilesReply dr;
            switch (which) {
            case 0: c.GetOrgStructure(s, TS_Download); break;
            case 1: c.GetOrgStructure(s, TS_DataImport); break;
            case 2: c.GetMyGroups(s); break;
            case 3: c.GetUserMsg(QStringLiteral("srv.example"), s); break;
            case 4: c.LoadFolderFiles(5, 7, s); break;
            case 5: c.GetFoldersDesc(5, s); break;
            case 6: c.GetFileList(5, 7, s); break;
            case 7: c.GetFolderList(5, 7, s); break;
            case 8: c.GetAllUsersList(s); break;
            case 9: c.GetFilePrtList(QStringLiteral("[c]1[/c]"), s); break;
            case 10: c.GetFileName(9000000000LL, s); break;
            case 11: c.GetResourceInfo(9); break;
            case 12: c.CreateFolder(5, 7, id, QStringLiteral("新建")); break;
            case 13: c.GetServerFileNum(3); break;
            case 14: c.LockFile(9); break;
            case 15: c.UnLockFile(true, 9); break;
            case 16: c.GetNewVer(5, 7, false, QStringLiteral("[x]1[/x]")); break;
            case 17: c.GetServerPath(9, true); break;
            case 18: c.SendFileMsg(5, QString()); break;
            case 19: c.GetLogs(QStringLiteral("[c]1[/c]"), s); break;
            case 20: c.GetUserGroup(); break;
            case 21: c.RefreshFolder(5, 7); break;
            case 22: c.IsInWriteAudit(9); break;
            case 23: c.RetrieveFileDesc(s, 9); break;
            case 24: c.UpdateFileDesc(QStringLiteral("d"), 9); break;
            case 25: c.CanDownloadFile(9); break;
            case 26: c.ApiPostText(120, QStringLiteral("raw"), s); break;
            case 27: c.GetDownloadFiles(QStringLiteral("[Task]1[/Task]"), dr); break;
            case 28: c.Login(QStringLiteral("n"), QStringLiteral("p"), QStringLiteral("M"), QStringLiteral("h"),
                             QStringLiteral("8088"), nullptr);
                break;
            }
        });
        QVERIFY(f.complete);
        QCOMPARE(int(f.code()), code);
        QCOMPARE(f.text(), text);
        QCOMPARE(f.trailer, 65518);
    }

    void headerParameters()
    {
        FakeFrame f = run([](TRobotTcpClient &c) {
            QString s;
            c.GetOwnerFolders(12, s);
        });
        QCOMPARE(int(f.code()), 64);
        QCOMPARE(f.freeInt(), 12);
        QCOMPARE(f.text(), QStringLiteral("[EncryptCode]ENC[/EncryptCode]"));
        f = run([](TRobotTcpClient &c) {
            QString s;
            QCOMPARE(int(c.GetSubFolders(12, 0, s)), 80);
            QCOMPARE(s, QStringLiteral("<xml/>"));
        }, 80, QStringLiteral("  \r\n<xml/>\r\n "));
        QCOMPARE(int(f.code()), 69);
        QCOMPARE(f.freeInt(), 12);
        QCOMPARE(f.freeInt2(), 0);
        f = run([](TRobotTcpClient &c) { QCOMPARE(c.GetUserSpecificFolderID(33), qint64(4242)); }, 80,
                QStringLiteral("4242"));
        QCOMPARE(int(f.code()), 73);
        QCOMPARE(f.freeInt(), 33);
        QCOMPARE(f.count, -1);
        f = run([](TRobotTcpClient &c) {
            c.SendHead.FreeInt = 5;
            qint64 lim[2] = {-1, -1};
            c.GetUploadLimit(lim);
            QCOMPARE(lim[0], qint64(100));
            QCOMPARE(lim[1], qint64(0));
        }, 80, QStringLiteral("[UploadLimitB]100[/UploadLimitB]"));
        QCOMPARE(int(f.code()), 39);
        QCOMPARE(f.freeInt(), 0);
    }

    void loginReplies()
    {
        TLoginReply r;
        run([&r](TRobotTcpClient &c) {
            QCOMPARE(int(c.Login(QStringLiteral("n"), QStringLiteral("p"), QString(), QString(), QString(), &r)), 86);
        }, 86, QStringLiteral("[UserName]张三[/UserName][UserId]ABCDEF[/UserId][UserId2]17[/UserId2]"));
        QCOMPARE(r.UserName, QStringLiteral("张三"));
        QCOMPARE(r.UserId, QStringLiteral("ABCDEF"));
        QCOMPARE(r.UserId2, 17);
        run([](TRobotTcpClient &c) {
            TLoginReply r2;
            QCOMPARE(int(c.Login(QStringLiteral("n"), QStringLiteral("p"), QString(), QString(), QString(), &r2)), 88);
            QCOMPARE(c.GetLastError(), QStringLiteral("密码错误"));
            QCOMPARE(r2.UserId2, 0);
        }, 88, QStringLiteral("密码错误"));
        auto c = makeClient(closedPort());
        QCOMPARE(int(c->Login(QStringLiteral("n"), QStringLiteral("p"), QString(), QString(), QString(), nullptr)), 0);
        QVERIFY(c->GetLastError().contains(QLatin1String("Cannot connect")));
    }

    void loginMacValue()
    {
        SetAdapterSource([] {
            return std::optional<QList<TAdapterInfo>>(
                QList<TAdapterInfo>{{QByteArray::fromHex("001A2B3C4D5E"), {QStringLiteral("192.168.1.5")}},
                                    {QByteArray::fromHex("AABBCCDDEEFF"), {QStringLiteral("0.0.0.0")}}});
        });
        const QString mac = LoginMacValue();
        QCOMPARE(DecryptWithAppKey(mac, AKS_256), QStringLiteral("192.168.1.5  00-1A-2B-3C-4D-5E;"));
        SetAdapterSource({});
    }

    void resultsAndErrorTexts()
    {
        run([](TRobotTcpClient &c) {
            QCOMPARE(c.LockFile(9), 14);
            QCOMPARE(c.GetLastError(), QStringLiteral("The file has been locked."));
        }, 80, QStringLiteral("14"));
        run([](TRobotTcpClient &c) {
            c.FLanguage = HSL_CN;
            QCOMPARE(c.CanDownloadFile(9), 27);
            QCOMPARE(c.GetLastError(), QStringLiteral("该文件需要审核才能下载，已为您提交审核申请"));
        }, 80, QStringLiteral("27"));
        run([](TRobotTcpClient &c) {
            qint64 id = -1;
            QCOMPARE(int(c.CreateFolder(1, 2, id, QStringLiteral("x"))), 80);
            QCOMPARE(id, qint64(123456789012LL));
        }, 80, QStringLiteral("123456789012"));
        run([](TRobotTcpClient &c) {
            QString d;
            QCOMPARE(int(c.RetrieveFileDesc(d, 1)), 60);
            QCOMPARE(d, QStringLiteral("摘要"));
        }, 60, QStringLiteral("摘要"));
        run([](TRobotTcpClient &c) {
            TDownloadFilesReply r;
            c.GetDownloadFiles(QString(), r);
            QCOMPARE(r.FileTxt, QStringLiteral("a*b"));
            QCOMPARE(r.ErrorTxt, QStringLiteral("e"));
        }, 80, QStringLiteral("[F]a*b[/F][ErrorTxt]e[/ErrorTxt]"));
        run([](TRobotTcpClient &c) {
            const QList<quint32> t = c.GetFileType();
            QCOMPARE(t, (QList<quint32>{0x646F6378u, 1u, 42u}));
        }, 80, QStringLiteral("[Count]3[/Count][Type0]1685021560[/Type0][Type2]42[/Type2]"));
        run([](TRobotTcpClient &c) { QVERIFY_THROWS_EXCEPTION(ENetError, c.GetFileType()); }, 80,
            QStringLiteral("[Count]2000000000[/Count]"));
        // The largest accepted count over a 1 MB reply: one pass, not one scan per entry.
        QString hostile = QStringLiteral("[Count]65536[/Count]") + QString(1 << 20, u'[')
                          + QStringLiteral("[type65535]7[/TYPE65535]");
        run([](TRobotTcpClient &c) {
            // One scan per entry takes far longer; sanitizer builds run several times slower.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
            const qint64 limit = 15000;
#else
            const qint64 limit = 3000;
#endif
            QElapsedTimer clock;
            clock.start();
            const QList<quint32> t = c.GetFileType();
            QVERIFY2(clock.elapsed() < limit, qPrintable(QString::number(clock.elapsed())));
            QCOMPARE(t.size(), 65536);
            QCOMPARE(t.first(), 1u);
            QCOMPARE(t.last(), 7u);
        }, 80, hostile);
        run([](TRobotTcpClient &c) { QCOMPARE(c.GetMaxFileSize(), 50); }, 80, QString(), 50);
        run([](TRobotTcpClient &c) {
            const QDateTime t = c.GetLastModifyTime(1);
            QCOMPARE(t, DateTimeToQDateTime(someTime()));
        }, 80, QString::number(DateTimeToTicks(someTime())));
        run([](TRobotTcpClient &c) { QVERIFY_THROWS_EXCEPTION(EConvertError, c.GetLastModifyTime(1)); }, 80,
            QStringLiteral("soon"));
        const FakeFrame f = run([](TRobotTcpClient &c) { c.UpdateFileExtInfo(77, QStringLiteral("[a]1[/a]")); });
        QCOMPARE(GetTagValue(f.text(), QStringLiteral("ExtInfo")), QStringLiteral("[a]1[/a]"));
        QCOMPARE(DecryptWithAppKey(GetTagValue(f.text(), QStringLiteral("Key")), AKS_256), QStringLiteral("77"));
    }

    void transportFailures()
    {
        auto c = makeClient(closedPort());
        QString s;
        // Operations that run their exchange directly let the error rise...
        QVERIFY_THROWS_EXCEPTION(ENetError, c->GetMyGroups(s));
        QVERIFY_THROWS_EXCEPTION(ENetError, c->GetOrgStructure(s, TS_Default));
        QVERIFY_THROWS_EXCEPTION(ENetError, c->CanDownloadFile(1));
        // ...GetUserMsg returns 0...
        QCOMPARE(int(c->GetUserMsg(QStringLiteral("h"), s)), 0);
        // ...and the ones on Tcp_GetText / Tcp_Post swallow it.
        QCOMPARE(c->GetMaxFileSize(), 200);
        QCOMPARE(c->LockFile(1), 0);
        QCOMPARE(c->GetLastError(), QStringLiteral("Unknown error"));
        c->FLanguage = HSL_CN;
        QCOMPARE(c->UnLockFile(false, 1), 0);
        QCOMPARE(c->GetLastError(), QStringLiteral("未知错误"));
        QCOMPARE(c->GetUserSpecificFolderID(1), qint64(0));
        qint64 lim[2] = {9, 9};
        c->GetUploadLimit(lim);
        QCOMPARE(lim[0], qint64(0));
        QVERIFY_THROWS_EXCEPTION(EConvertError, c->GetLastModifyTime(1));
        QCOMPARE(c->GetServerPath(1, false), QString());
        QVERIFY(!c->ApiConnectTest());
    }
};

class FileChannelTest : public QObject
{
    Q_OBJECT
    TestHome home;
    QString dir;

    QString path(const QString &name) const { return dir + u'/' + name; }

private Q_SLOTS:
    void init()
    {
        dir = home.path() + QLatin1String("/files/") + QString::fromLatin1(QTest::currentTestFunction());
        QDir(dir).removeRecursively();
        QVERIFY(QDir().mkpath(dir));
    }

    void uploadResumesAt96()
    {
        const QByteArray content = pattern(100);
        writeFile(path("a.bin"), content);
        FakeServer srv;
        auto seen = std::make_shared<QList<qint64>>();
        auto req = std::make_shared<FakeFileRequest>();
        auto body = std::make_shared<QByteArray>();
        srv.addScript([=](FakeConn &c) {
            *req = c.readFileRequest();
            c.writeInt32(3);
            c.writeInt64(96);
            c.writeInt64(qFromLittleEndian<qint64>(content.constData() + 88));
            *seen << c.readInt64() << c.readInt64();
            *body = c.read(4);
            *seen << c.readInt32();
            c.writeInt64(777);
        });
        auto c = makeClient(srv.port());
        TTidyFile tf;
        tf.Path = path("a.bin");
        tf.NameHash = -5;
        tf.Size = 100;
        tf.Kind = 0x62696E;
        tf.ModifyDT = someTime();
        tf.FilePrt = QStringLiteral("[p]1[/p]");
        tf.SC = 2;
        tf.Summary = QStringLiteral("sum");
        qint64 key = 0, lastDone = -1;
        int overs = 0;
        c->FDoTransmit = [&](TRobotTcpClient *, qint64 all, qint64 done) {
            QCOMPARE(all, qint64(100));
            lastDone = done;
        };
        c->FDoOver = [&](TRobotTcpClient *, qint64, qint64) { ++overs; };
        QCOMPARE(int(c->UploadFile(5, QStringLiteral("sub"), key, tf, 8)), 3);
        QCOMPARE(key, qint64(777));
        QVERIFY(srv.waitForHandled(1));
        QCOMPARE(*seen, (QList<qint64>{96, 4, 65520}));
        QCOMPARE(*body, content.mid(96));
        QCOMPARE(lastDone, qint64(100));
        QCOMPARE(overs, 1);
        QCOMPARE(req->requestLine, QByteArray("ZYVEK_FILE /TCP/1.0"));
        QCOMPARE(req->operation, 1);
        QVERIFY(req->paramLine.startsWith("%_") && req->paramLine.endsWith("_%"));
        const QString expect =
            QStringLiteral("[EncryptCode]ENC[/EncryptCode][DestOwnerId]5[/DestOwnerId][DestFolderId]8[/DestFolderId]"
                           "[SubFolderName]sub[/SubFolderName][NameHash]-5[/NameHash][Size]100[/Size][Kind]6449518[/Kind]"
                           "[PathAndName]")
            + path("a.bin")
            + QStringLiteral("[/PathAndName][Summary]sum[/Summary][ModifyDate]%1[/ModifyDate][FielPrt][p]1[/p][/FielPrt]"
                             "[SC]2[/SC][language]1[/language]")
                  .arg(DateTimeToTicks(someTime()));
        QCOMPARE(req->params, expect);
        // Exact bytes: request line, op 1, hex parameter line, then start, remaining, body, trailer.
        const QByteArray raw = srv.received(0);
        QVERIFY(raw.startsWith(QByteArray(QByteArray("ZYVEK_FILE /TCP/1.0\r\n") + be32(1) + "%_")));
        QVERIFY(raw.endsWith(QByteArray(QByteArray::fromHex("0000000000000060") + QByteArray::fromHex("0000000000000004")
                                        + content.mid(96) + be32(65520))));
    }

    // The status comes before the body: a key that is not positive after it means
    // the server did not store the file, which must not read as "stored".
    void uploadWithoutKeyIsNotStored_data()
    {
        QTest::addColumn<qint64>("key");
        QTest::addRow("no key") << qint64(0);
        QTest::addRow("negative key") << qint64(-5);
    }
    void uploadWithoutKeyIsNotStored()
    {
        QFETCH(qint64, key);
        writeFile(path("a.bin"), pattern(100));
        FakeServer srv;
        srv.addScript([=](FakeConn &c) {
            c.readFileRequest();
            c.writeInt32(3);
            c.writeInt64(0);
            c.writeInt64(0);
            c.readInt64();
            c.readInt64();
            c.read(100);
            c.readInt32();
            c.writeInt64(key);
        });
        auto c = makeClient(srv.port());
        TTidyFile tf;
        tf.Path = path("a.bin");
        qint64 newKey = 9;
        QCOMPARE(int(c->UploadFile(5, QString(), newKey, tf, 8)), 53);
        QVERIFY(newKey <= 0);
        QCOMPARE(c->GetLastError(), c->GetDesc(53));
        QVERIFY(!c->GetLastError().isEmpty());
    }

    void uploadRestartsWhenServerHasMore()
    {
        const QByteArray content = pattern(100);
        writeFile(path("a.bin"), content);
        for (qint64 p : {qint64(120), qint64(50)}) {
            FakeServer srv;
            auto seen = std::make_shared<QList<qint64>>();
            auto body = std::make_shared<QByteArray>();
            srv.addScript([=](FakeConn &c) {
                c.readFileRequest();
                c.writeInt32(3);
                c.writeInt64(p);
                c.writeInt64(12345);  // does not match the local bytes
                *seen << c.readInt64() << c.readInt64();
                *body = c.read(100);
                *seen << c.readInt32();
                c.writeInt64(1);
            });
            auto c = makeClient(srv.port());
            TTidyFile tf;
            tf.Path = path("a.bin");
            qint64 key = 0;
            QCOMPARE(int(c->UploadFile(5, QString(), key, tf, 0)), 3);
            srv.waitForHandled(1);
            QCOMPARE(*seen, (QList<qint64>{0, 100, 65520}));
            QCOMPARE(*body, content);
        }
    }

    void uploadRefusals()
    {
        FakeServer srv;
        auto c = makeClient(srv.port());
        TTidyFile tf;
        tf.Path = path("missing.bin");
        qint64 key = 9;
        QCOMPARE(int(c->UploadFile(5, QString(), key, tf, 0)), 0);
        QCOMPARE(c->GetLastError(), QStringLiteral("file does not exist "));
        writeFile(path("x.bin"), "x");
        tf.Path = path("x.bin");
        QCOMPARE(int(c->UploadFile(0, QString(), key, tf, 0)), 0);
        QCOMPARE(c->GetLastError(), QStringLiteral("group id is 0"));
        QCOMPARE(int(c->UploadFile2(path("missing.bin"), QString(), 1)), 0);
        QTest::qWait(100);
        QCOMPARE(srv.connectionCount(), 0);
    }

    void uploadServerMessages()
    {
        writeFile(path("x.bin"), "x");
        FakeServer srv;
        srv.addScript([](FakeConn &c) {
            c.readFileRequest();
            c.writeInt32(0x1200 | 100);  // only the low byte counts
            c.writeLine(EncodeHexUtf8(QStringLiteral("空间不足 quota")).toLatin1());
            c.writeInt64(0);
        });
        srv.addScript([](FakeConn &c) {
            c.readFileRequest();
            c.writeInt32(6);
            c.writeInt64(0);
        });
        auto c = makeClient(srv.port());
        TTidyFile tf;
        tf.Path = path("x.bin");
        qint64 key = 0;
        QCOMPARE(int(c->UploadFile(5, QString(), key, tf, 0)), 100);
        QCOMPARE(c->GetLastError(), QStringLiteral("空间不足 quota"));
        QCOMPARE(int(c->UploadFile(5, QString(), key, tf, 0)), 6);
        QCOMPARE(c->GetLastError(), QStringLiteral("Out of space"));
    }

    void uploadCancelled()
    {
        const QByteArray content = pattern(10 * 32768 + 5);
        writeFile(path("big.bin"), content);
        FakeServer srv;
        auto seen = std::make_shared<QList<qint64>>();
        srv.addScript([=](FakeConn &c) {
            c.readFileRequest();
            c.writeInt32(3);
            c.writeInt64(0);
            c.writeInt64(0);
            *seen << c.readInt64() << c.readInt64();
            // Like a real server: it was told the remaining length, so it keeps reading
            // body bytes (the trailer looks like data) until the client closes.
            const QByteArray rest = c.readAll(10000);
            *seen << rest.size() - 4 << qFromBigEndian<qint32>(rest.constData() + rest.size() - 4);
        });
        auto c = makeClient(srv.port(), false, 10000);
        std::atomic<qint32> brk{0};
        c->PIsBreak = &brk;
        int blocks = 0, overs = 0;
        c->FDoWorkEx = [&](TRobotTcpClient *) {
            if (++blocks == 3)
                brk = 1;
        };
        c->FDoOver = [&](TRobotTcpClient *, qint64 all, qint64 done) {
            ++overs;
            QCOMPARE(all, qint64(content.size()));
            QCOMPARE(done, qint64(3 * 32768));
        };
        TTidyFile tf;
        tf.Path = path("big.bin");
        qint64 key = -1;
        QElapsedTimer t;
        t.start();
        const int r = c->UploadFile(5, QString(), key, tf, 0);
        QVERIFY2(t.elapsed() < 3000, "a cancel must not wait for the read time-out");
        QVERIFY(r != 3);
        QCOMPARE(r, 0);
        QCOMPARE(key, qint64(0));
        QVERIFY(c->GetLastError().contains(QLatin1String("cancelled")));
        QCOMPARE(overs, 1);
        srv.waitForHandled(1);
        QCOMPARE(*seen, (QList<qint64>{0, content.size(), 3 * 32768, 65518}));
    }

    void uploadFile2()
    {
        const QByteArray content = pattern(70000);
        writeFile(path("v.docx"), content);
        setMtime(path("v.docx"), DateTimeToQDateTime(someTime()));
        FakeServer srv;
        auto req = std::make_shared<FakeFileRequest>();
        auto seen = std::make_shared<QList<qint64>>();
        auto body = std::make_shared<QByteArray>();
        srv.addScript([=](FakeConn &c) {
            *req = c.readFileRequest();
            c.writeInt32(3);
            c.writeInt64(500);  // ignored by UploadFile2
            c.writeInt64(600);
            *seen << c.readInt64() << c.readInt64();
            *body = c.read(70000);
            *seen << c.readInt32();
            c.writeInt32(3);
        });
        srv.addScript([=](FakeConn &c) {
            c.readFileRequest();
            c.writeInt32(29);
            c.readInt64();  // wait, the client sends its offsets only after the two Int64
        });
        auto c = makeClient(srv.port());
        int transmits = 0, overs = 0;
        c->FDoTransmit = [&](TRobotTcpClient *, qint64, qint64) { ++transmits; };
        c->FDoOver = [&](TRobotTcpClient *, qint64, qint64) { ++overs; };
        QCOMPARE(int(c->UploadFile2(path("v.docx"), QStringLiteral("[IsCheckin]True[/IsCheckin]"), 4242)), 3);
        srv.waitForHandled(1);
        QCOMPARE(req->operation, 3);
        QCOMPARE(req->params, QStringLiteral("[EncryptCode]ENC[/EncryptCode][Key]4242[/Key][Size]70000[/Size][ModifyDate]%1"
                                             "[/ModifyDate][language]1[/language][IsCheckin]True[/IsCheckin]")
                                  .arg(DateTimeToTicks(someTime())));
        QCOMPARE(*seen, (QList<qint64>{0, 70000, 65520}));
        QCOMPARE(*body, content);
        QCOMPARE(transmits, 0);
        QCOMPARE(overs, 1);
    }

    void cancelledNewVersionAndAttachment()
    {
        const QByteArray content = pattern(8 * 32768);
        writeFile(path("v.bin"), content);
        FakeServer srv;
        auto trailers = std::make_shared<QList<qint32>>();
        auto serverSide = [trailers](FakeConn &c) {
            c.readFileRequest();
            c.writeInt32(3);
            c.writeInt64(0);
            c.writeInt64(0);
            c.readInt64();
            c.readInt64();
            const QByteArray rest = c.readAll(10000);  // keeps reading "body" until the client closes
            *trailers << qFromBigEndian<qint32>(rest.constData() + rest.size() - 4);
        };
        srv.addScript(serverSide);
        srv.addScript(serverSide);
        auto c = makeClient(srv.port(), false, 10000);
        std::atomic<qint32> brk{0};
        c->PIsBreak = &brk;
        c->FDoWorkEx = [&](TRobotTcpClient *) { brk = 1; };
        QElapsedTimer t;
        t.start();
        QCOMPARE(int(c->UploadFile2(path("v.bin"), QString(), 1)), 0);
        QVERIFY(c->GetLastError().contains(QLatin1String("cancelled")));
        QFile f(path("v.bin"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        quint8 first = 0;
        QCOMPARE(c->UploadKmItemFile(QStringLiteral("bin"), &f, first, 2), 0);
        QCOMPARE(int(first), 3);
        QVERIFY(t.elapsed() < 5000);
        QVERIFY(srv.waitForHandled(2));
        QCOMPARE(*trailers, (QList<qint32>{65518, 65518}));
    }

    void uploadFile2Review()
    {
        writeFile(path("v.txt"), "abc");
        FakeServer srv;
        srv.addScript([](FakeConn &c) {
            c.readFileRequest();
            c.writeInt32(29);
            c.writeInt64(0);
            c.writeInt64(0);
            c.readInt64();
            c.readInt64();
            c.read(3);
            c.readInt32();
            c.writeInt32(29);
        });
        auto c = makeClient(srv.port());
        QCOMPARE(int(c->UploadFile2(path("v.txt"), QString(), 1)), 29);
        QCOMPARE(c->GetLastError(), c->GetDesc(29));
    }

    void uploadKmItemFromStream()
    {
        QByteArray data = pattern(40000);
        QBuffer buf(&data);
        QVERIFY(buf.open(QIODevice::ReadOnly));
        FakeServer srv;
        auto req = std::make_shared<FakeFileRequest>();
        auto body = std::make_shared<QByteArray>();
        srv.addScript([=](FakeConn &c) {
            *req = c.readFileRequest();
            c.writeInt32(3);
            c.writeInt64(32768);
            c.writeInt64(qFromLittleEndian<qint64>(data.constData() + 32760));
            c.readInt64();
            c.readInt64();
            *body = c.read(40000 - 32768);
            c.readInt32();
            c.writeInt32(3);
        });
        auto c = makeClient(srv.port());
        quint8 first = 0;
        QCOMPARE(c->UploadKmItemFile(QStringLiteral("png"), &buf, first, 31), 3);
        QCOMPARE(int(first), 3);
        srv.waitForHandled(1);
        QCOMPARE(req->operation, 5);
        QCOMPARE(req->params, QStringLiteral("[EncryptCode]ENC[/EncryptCode][Key]31[/Key][Ext]png[/Ext]"));
        QCOMPARE(*body, data.mid(32768));
    }

    void downloadWithoutExtensionUsesTmp()
    {
        const QByteArray content = pattern(100000);
        FakeServer srv;
        auto seen = std::make_shared<DownloadSeen>();
        srv.addScript(downloadScript(seen, content, someTime()));
        auto c = makeClient(srv.port());
        const QString target = path("sub/dir/README");
        bool sawTmp = false;
        c->FDoWorkEx = [&](TRobotTcpClient *) {
            sawTmp = sawTmp || (QFileInfo::exists(target + ".tmp") && !QFileInfo::exists(target));
        };
        TDateTime t = 0;
        QCOMPARE(int(c->DownloadFile(target, QStringLiteral("[IsReplace]True[/IsReplace]"), t, 99)), 10);
        QVERIFY(sawTmp);
        QCOMPARE(readAll(target), content);
        QVERIFY(!QFileInfo::exists(target + ".tmp"));
        QCOMPARE(t, someTime());
        QCOMPARE(mtime(target), DateTimeToQDateTime(someTime()));
        QVERIFY(srv.waitForHandled(1));
        QCOMPARE(seen->request.operation, 2);
        QCOMPARE(seen->request.params, QStringLiteral("[EncryptCode]ENC[/EncryptCode][FileKey]99[/FileKey][language]1"
                                                      "[/language][IsReplace]True[/IsReplace]"));
        QCOMPARE(seen->offered, qint64(0));
        QCOMPARE(seen->last, qint64(0));
    }

    void downloadWithExtensionNeverPartialUnderFinalName()
    {
        const QByteArray content = pattern(5 * 32768 + 3);
        FakeServer srv;
        auto seen = std::make_shared<DownloadSeen>();
        srv.addScript(downloadScript(seen, content, someTime()));
        auto c = makeClient(srv.port());
        const QString target = path("doc.pdf");
        bool partialUnderFinal = false;
        qint64 lastDone = 0, all = 0;
        c->FDoTransmit = [&](TRobotTcpClient *, qint64 a, qint64 d) {
            all = a;
            lastDone = d;
            partialUnderFinal = partialUnderFinal || QFileInfo::exists(target);
        };
        QCOMPARE(int(c->DownloadFile(target, QString(), 1)), 10);
        QVERIFY(!partialUnderFinal);
        QCOMPARE(readAll(target), content);
        QCOMPARE(all, qint64(content.size()));
        QCOMPARE(lastDone, qint64(content.size()));
        QVERIFY(!QFileInfo::exists(target + ".tmp"));
    }

    void partialOfferedAt992_data()
    {
        QTest::addColumn<bool>("serverResumes");
        QTest::newRow("server restarts") << false;
        QTest::newRow("server resumes") << true;
    }
    void partialOfferedAt992()
    {
        QFETCH(bool, serverResumes);
        const QByteArray content = pattern(3000);
        const QString target = path("part.bin");
        // A partial copy from an earlier broken download; the restart case has other bytes.
        writeFile(target + ".tmp", serverResumes ? content.left(1000) : pattern(1000, 9));
        FakeServer srv;
        auto seen = std::make_shared<DownloadSeen>();
        srv.addScript(downloadScript(seen, content, someTime(), 65520,
                                     [serverResumes](qint64 o, qint64) { return serverResumes ? o : 0; }));
        auto c = makeClient(srv.port());
        bool sawBak = false;
        c->FDoWorkEx = [&](TRobotTcpClient *) {
            sawBak = sawBak || !QDir(dir).entryList({QStringLiteral("part.bin.tmp_*.bak")}).isEmpty();
        };
        QCOMPARE(int(c->DownloadFile(target, QString(), 1)), 10);
        QVERIFY(srv.waitForHandled(1));
        QCOMPARE(seen->offered, qint64(992));
        const QByteArray local = serverResumes ? content.left(1000) : pattern(1000, 9);
        QCOMPARE(seen->last, qFromLittleEndian<qint64>(local.constData() + 984));
        QCOMPARE(readAll(target), content);
        QCOMPARE(sawBak, !serverResumes);
        QVERIFY(QDir(dir).entryList({QStringLiteral("*.bak")}).isEmpty());  // deleted once complete
        QVERIFY(!QFileInfo::exists(target + ".tmp"));
    }

    void paddingTrailerCutsBytes()
    {
        const QByteArray content = pattern(1000);
        FakeServer srv;
        auto seen = std::make_shared<DownloadSeen>();
        srv.addScript(downloadScript(seen, content, someTime(), 5, {}, true, QByteArray("PPPPP")));
        auto c = makeClient(srv.port());
        QCOMPARE(int(c->DownloadFile(path("pad.bin"), QString(), 1)), 10);
        QCOMPARE(readAll(path("pad.bin")), content);
    }

    void badTrailerIsAFailure()
    {
        const QString target = path("keep.txt");
        writeFile(target, "old copy");
        const QDateTime oldTime = DateTimeToQDateTime(someTime(-3600));
        setMtime(target, oldTime);
        FakeServer srv;
        auto seen = std::make_shared<DownloadSeen>();
        srv.addScript(downloadScript(seen, pattern(5000), someTime(), 77));
        auto c = makeClient(srv.port());
        const int r = c->DownloadFile(target, QStringLiteral("[IsReplace]True[/IsReplace]"), 1);
        QCOMPARE(r, 101);
        QVERIFY2(c->GetLastError().contains(QLatin1String("failed")), qPrintable(c->GetLastError()));
        QCOMPARE(readAll(target), QByteArray("old copy"));
        QCOMPARE(mtime(target), oldTime);
        QVERIFY(QDir(dir).entryList({QStringLiteral("*.bak")}).isEmpty());
    }

    void cancelledDownload()
    {
        const QString target = path("c.bin");
        writeFile(target, "old");
        FakeServer srv;
        auto seen = std::make_shared<DownloadSeen>();
        srv.addScript(downloadScript(seen, pattern(20 * 32768), someTime()));
        auto c = makeClient(srv.port());
        std::atomic<qint32> brk{0};
        c->PIsBreak = &brk;
        int blocks = 0, overs = 0;
        c->FDoWorkEx = [&](TRobotTcpClient *) {
            if (++blocks == 2)
                brk = 1;
        };
        c->FDoOver = [&](TRobotTcpClient *, qint64, qint64) { ++overs; };
        QCOMPARE(int(c->DownloadFile(target, QStringLiteral("[IsReplace]True[/IsReplace]"), 1)), 0);
        QVERIFY(c->GetLastError().contains(QLatin1String("cancelled")));
        QCOMPARE(readAll(target), QByteArray("old"));
        QCOMPARE(overs, 0);
        // The partial copy stays beside it for a later resume.
        QCOMPARE(QFileInfo(target + ".tmp").size(), qint64(3 * 32768));
        QVERIFY(QDir(dir).entryList({QStringLiteral("*.bak")}).isEmpty());
    }

    void serverDropsMidBlock()
    {
        const QString target = path("d.bin");
        writeFile(target, "old");
        FakeServer srv;
        srv.addScript(cutDownloadScript(pattern(100000), 40000));
        auto c = makeClient(srv.port());
        int errors = 0;
        c->FDoSocketError = [&](const std::exception &) { ++errors; };
        QCOMPARE(int(c->DownloadFile(target, QStringLiteral("[IsReplace]True[/IsReplace]"), 1)), 2);
        QVERIFY2(c->GetLastError().startsWith(QLatin1String("Connection closed gracefully! "))
                     || c->GetLastError().startsWith(QLatin1String(" Server connection error")),
                 qPrintable(c->GetLastError()));
        QCOMPARE(errors, 1);
        QCOMPARE(readAll(target), QByteArray("old"));
        QVERIFY(QDir(dir).entryList({QStringLiteral("*.bak")}).isEmpty());
    }

    // A cut download keeps what arrived, stamped with the server's time of the
    // file; replacing still resumes from it, but only for that same version.
    void cutDownloadResumesFromItsPartial_data()
    {
        QTest::addColumn<bool>("sameVersion");
        QTest::newRow("same version resumes") << true;
        QTest::newRow("another version starts again") << false;
    }
    void cutDownloadResumesFromItsPartial()
    {
        QFETCH(bool, sameVersion);
        const QByteArray content = pattern(100000);
        const QString target = path("r.bin");
        FakeServer srv;
        srv.addScript(cutDownloadScript(content, 70000));
        auto seen = std::make_shared<DownloadSeen>();
        srv.addScript(downloadScript(seen, content, sameVersion ? someTime() : someTime(60), 65520,
                                     [](qint64 offered, qint64) { return offered; }));
        auto c = makeClient(srv.port());
        const QString replace = QStringLiteral("[IsReplace]True[/IsReplace]");
        QCOMPARE(int(c->DownloadFile(target, replace, 1)), 2);
        const qint64 kept = QFileInfo(target + ".tmp").size();
        QCOMPARE(kept, qint64(2 * 32768));   // every whole block that arrived
        QCOMPARE(mtime(target + ".tmp"), DateTimeToQDateTime(someTime()));
        QVERIFY(!QFileInfo::exists(target));
        QCOMPARE(int(c->DownloadFile(target, replace, 1)), 10);
        QVERIFY(srv.waitForHandled(2));
        QCOMPARE(seen->offered, sameVersion ? kept : qint64(0));
        QCOMPARE(readAll(target), content);
        QVERIFY(!QFileInfo::exists(target + ".tmp"));
        QVERIFY(QDir(dir).entryList({QStringLiteral("*.bak")}).isEmpty());
    }

    // The cancel flag used to be read only between blocks: a server that
    // stalled mid-transfer held the user's cancel for the whole read time-out.
    void cancelEndsAStalledDownloadAtOnce()
    {
        FakeServer srv;
        auto stalled = std::make_shared<QSemaphore>();
        srv.addScript([stalled](FakeConn &c) {
            c.readFileRequest();
            c.writeInt32(10);
            c.writeLine(QByteArray::number(DateTimeToTicks(someTime())));
            c.readInt64();
            c.readInt64();
            c.writeInt64(0);
            c.writeInt64(100000);
            stalled->release();
            c.delay(3000);
        });
        auto c = makeClient(srv.port(), false, 20000);
        std::atomic<qint32> brk{0};
        c->PIsBreak = &brk;
        std::thread user([stalled, &brk] {
            if (stalled->tryAcquire(1, 10000))
                brk = 1;   // the user presses Cancel while nothing arrives
        });
        QElapsedTimer timer;
        timer.start();
        const int r = c->DownloadFile(path("stalled.bin"), QStringLiteral("[IsReplace]True[/IsReplace]"), 1);
        const qint64 ms = timer.elapsed();
        user.join();
        QCOMPARE(r, 0);
        QVERIFY2(c->GetLastError().contains(QLatin1String("cancelled")), qPrintable(c->GetLastError()));
        QVERIFY2(ms < 1500, qPrintable(QStringLiteral("the cancel took %1 ms").arg(ms)));
        QVERIFY(!QFileInfo::exists(path("stalled.bin")));
    }

    void hostileSizes_data()
    {
        QTest::addColumn<qint64>("accept");
        QTest::addColumn<qint64>("remaining");
        QTest::addColumn<int>("code");
        QTest::newRow("more than the disk") << qint64(0) << (qint64(1) << 62) << 11;
        QTest::newRow("negative remaining") << qint64(0) << qint64(-1) << 2;
        QTest::newRow("overflowing sum") << qint64(992) << std::numeric_limits<qint64>::max() << 2;
        QTest::newRow("resume past the offer") << qint64(5000) << qint64(10) << 2;
    }
    void hostileSizes()
    {
        QFETCH(qint64, accept);
        QFETCH(qint64, remaining);
        QFETCH(int, code);
        const QString target = path("h.bin");
        writeFile(target + ".tmp", pattern(1000));
        FakeServer srv;
        srv.addScript([=](FakeConn &c) {
            c.readFileRequest();
            c.writeInt32(10);
            c.writeLine("0");
            c.readInt64();
            c.readInt64();
            c.writeInt64(accept);
            c.writeInt64(remaining);
            c.write(pattern(1000));
        });
        auto c = makeClient(srv.port());
        QElapsedTimer t;
        t.start();
        QCOMPARE(int(c->DownloadFile(target, QString(), 1)), code);
        QVERIFY(t.elapsed() < 3000);
        QVERIFY(!QFileInfo::exists(target));
        QCOMPARE(QFileInfo(target + ".tmp").size(), qint64(1000));  // the earlier partial is untouched
    }

    void fourGiBAnnouncedThenDropped()
    {
        const QString target = path("big.iso");
        writeFile(target, "old");
        FakeServer srv;
        srv.addScript([](FakeConn &c) {
            c.readFileRequest();
            c.writeInt32(10);
            c.writeLine("0");
            c.readInt64();
            c.readInt64();
            c.writeInt64(0);
            c.writeInt64(qint64(4) << 30);
            c.write(pattern(100000));
            c.abort();
        });
        auto c = makeClient(srv.port());
        const int r = c->DownloadFile(target, QStringLiteral("[IsReplace]True[/IsReplace]"), 1);
        QVERIFY2(r == 2 || r == 11, qPrintable(c->GetLastError()));  // 11 where less than 4 GiB is free
        QCOMPARE(readAll(target), QByteArray("old"));
        QVERIFY(QFileInfo(target + ".tmp").size() <= 100000);
    }

    void replacedNewerCopyKeepsBackup()
    {
        const QString target = path("r.txt");
        writeFile(target, "my edits");
        setMtime(target, DateTimeToQDateTime(someTime(60)));  // a minute newer than the server's
        FakeServer srv;
        auto seen = std::make_shared<DownloadSeen>();
        srv.addScript(downloadScript(seen, "server copy", someTime()));
        auto c = makeClient(srv.port());
        QCOMPARE(int(c->DownloadFile(target, QStringLiteral("[IsReplace]True[/IsReplace]"), 1)), 10);
        QCOMPARE(readAll(target), QByteArray("server copy"));
        QVERIFY(!c->LastKeptBackup().isEmpty());
        QCOMPARE(readAll(c->LastKeptBackup()), QByteArray("my edits"));
        QVERIFY(c->LastNotice().contains(QLatin1String("newer")));
        QVERIFY(QFileInfo(c->LastKeptBackup()).fileName().startsWith(QLatin1String("r.txt_")));
        // An older local copy is replaced and its backup removed.
        setMtime(target, DateTimeToQDateTime(someTime(-60)));
        srv.addScript(downloadScript(seen, "server copy 2", someTime()));
        QFile::remove(c->LastKeptBackup());
        QCOMPARE(int(c->DownloadFile(target, QStringLiteral("[IsReplace]True[/IsReplace]"), 1)), 10);
        QCOMPARE(readAll(target), QByteArray("server copy 2"));
        QVERIFY(c->LastKeptBackup().isEmpty());
        QVERIFY(QDir(dir).entryList({QStringLiteral("*.bak")}).isEmpty());
    }

    void statusAndTimeLineErrors()
    {
        FakeServer srv;
        srv.addScript([](FakeConn &c) {
            c.readFileRequest();
            c.writeInt32(8);
        });
        srv.addScript([](FakeConn &c) {
            c.readFileRequest();
            c.writeInt32(10);
            c.writeLine("yesterday");
        });
        auto c = makeClient(srv.port());
        QCOMPARE(int(c->DownloadFile(path("s.bin"), QString(), 1)), 8);
        QCOMPARE(c->GetLastError(), QStringLiteral("The file doesn't exist."));
        QCOMPARE(int(c->DownloadFile(path("s.bin"), QString(), 1)), 127);
        QVERIFY(c->GetLastError().contains(QLatin1String("yesterday")));
        QVERIFY(!QFileInfo::exists(path("s.bin")));
    }

    void readTimeoutDuringDownload()
    {
        FakeServer srv;
        srv.addScript([](FakeConn &c) {
            c.readFileRequest();
            c.writeInt32(10);
            c.writeLine("0");
            c.readInt64();
            c.readInt64();
            c.writeInt64(0);
            c.writeInt64(1000);
            c.write(pattern(10));
            c.delay(1500);
        });
        auto c = makeClient(srv.port(), false, 300);
        c->FLanguage = HSL_CN;
        QCOMPARE(int(c->DownloadFile(path("t.bin"), QString(), 1)), 2);
        QVERIFY2(c->GetLastError().startsWith(QStringLiteral("传输文件中超时！")), qPrintable(c->GetLastError()));
    }

    void downloadFile2TwoSecondRule_data()
    {
        QTest::addColumn<int>("localNewerBy");
        QTest::addColumn<bool>("tickReply");
        QTest::addColumn<int>("expect");
        QTest::newRow("3 s newer") << 3 << false << 52;
        QTest::newRow("3 s newer, ticks") << 3 << true << 52;
        QTest::newRow("1 s newer") << 1 << false << 10;
        QTest::newRow("older") << -100 << false << 10;
    }
    void downloadFile2TwoSecondRule()
    {
        QFETCH(int, localNewerBy);
        QFETCH(bool, tickReply);
        QFETCH(int, expect);
        const QString target = path("n.txt");
        writeFile(target, "local");
        setMtime(target, DateTimeToQDateTime(someTime(localNewerBy)));
        FakeServer srv;
        auto check = std::make_shared<FakeFrame>();
        const QString dt = tickReply ? QString::number(DateTimeToTicks(someTime())) : FormatWireDateTime(someTime());
        srv.addScript(answer(check, 80, QStringLiteral("[Dt]%1[/Dt][Size]6[/Size]").arg(dt)));
        auto seen = std::make_shared<DownloadSeen>();
        srv.addScript(downloadScript(seen, "server", someTime()));
        auto c = makeClient(srv.port());
        TDateTime t = 0;
        QCOMPARE(int(c->DownloadFile2(target, t, 44)), expect);
        QVERIFY(srv.waitForHandled(expect == 52 ? 1 : 2));
        QCOMPARE(int(check->code()), 52);
        QCOMPARE(check->text(), QStringLiteral("[EncryptCode]ENC[/EncryptCode][fileKey]44[/fileKey][locDT]%1[/locDT]"
                                               "[locSize]5[/locSize]")
                                    .arg(FormatWireDateTime(someTime(localNewerBy))));
        if (expect == 52) {
            QCOMPARE(readAll(target), QByteArray("local"));
            QCOMPARE(c->GetLastError(), QStringLiteral("Server files for the old version"));
        } else {
            QCOMPARE(readAll(target), QByteArray("server"));
            QCOMPARE(seen->request.params.right(27), QStringLiteral("[IsReplace]True[/IsReplace]"));
        }
    }

    // The one replace step of the comparison window, the newest-version fetch and the bulk download.
    void replaceWithServerCopy_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("replaced");
        QTest::addRow("complete") << "complete" << true;
        QTest::addRow("connection cut half way") << "cut" << false;
        QTest::addRow("server reports a failed send") << "bad trailer" << false;
        QTest::addRow("refused by the server") << "refused" << false;
    }
    void replaceWithServerCopy()
    {
        QFETCH(QString, how);
        QFETCH(bool, replaced);
        const QString target = path("report.docx");
        writeFile(target, "old copy");
        const QDateTime oldTime = DateTimeToQDateTime(someTime(-3600));
        setMtime(target, oldTime);
        writeFile(target + ".1", "numbered copy");
        const QByteArray content = pattern(3 * 32768 + 5);
        FakeServer srv;
        auto seen = std::make_shared<DownloadSeen>();
        if (how == QLatin1String("complete"))
            srv.addScript(downloadScript(seen, content, someTime()));
        else if (how == QLatin1String("cut"))
            srv.addScript(cutDownloadScript(content, 2 * 32768));
        else if (how == QLatin1String("bad trailer"))
            srv.addScript(downloadScript(seen, content, someTime(), 77));
        else
            srv.addScript([](FakeConn &c) {
                c.readFileRequest();
                c.writeInt32(17);
            });
        auto c = makeClient(srv.port());
        const int code = c->ReplaceWithServerCopy(target, 7);
        QCOMPARE(code == 10, replaced);
        if (replaced) {
            QCOMPARE(readAll(target), content);
            QVERIFY(!QFileInfo::exists(target + ".1"));
        } else {
            QVERIFY(!c->GetLastError().isEmpty());
            QCOMPARE(readAll(target), QByteArray("old copy"));
            QCOMPARE(mtime(target), oldTime);
            QCOMPARE(readAll(target + ".1"), QByteArray("numbered copy"));
        }
        // Nothing of the transfer is left beside the file.
        QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name),
                 replaced ? QStringList{"report.docx"} : QStringList({"report.docx", "report.docx.1"}));
    }

    void serverNamesStayInsideTheFolder()
    {
        FakeServer srv;
        auto seen = std::make_shared<DownloadSeen>();
        srv.addScript(downloadScript(seen, "inside", someTime()));
        auto c = makeClient(srv.port());
        TDateTime t = 0;
        QString local;
        QCOMPARE(int(c->DownloadFileInto(dir, QStringLiteral("..\\..\\evil.txt"), QString(), t, 1, &local)), 11);
        QVERIFY2(c->GetLastError().contains(QLatin1String("\"..\"")), qPrintable(c->GetLastError()));
        QVERIFY(local.isEmpty());
        QCOMPARE(int(c->DownloadFileInto(dir, QStringLiteral("C:\\Windows\\x.dll"), QString(), t, 1)), 11);
        QCOMPARE(int(c->DownloadFileInto(dir, QStringLiteral("/etc/x"), QString(), t, 1)), 11);
        QTest::qWait(50);
        QCOMPARE(srv.connectionCount(), 0);  // refused before anything was sent
        QCOMPARE(int(c->DownloadFileInto(dir, QStringLiteral("sub\\ok.txt"), QString(), t, 1, &local)), 10);
        QCOMPARE(local, dir + QLatin1String("/sub/ok.txt"));
        QCOMPARE(readAll(local), QByteArray("inside"));
    }

    void apiReceiveFile()
    {
        FakeServer srv;
        auto seen = std::make_shared<DownloadSeen>();
        srv.addScript(downloadScript(seen, "raw body", someTime(5)));
        srv.addScript([](FakeConn &c) {
            c.readFileRequest();
            c.writeInt32(13);
            c.writeLine(EncodeHexUtf8(QStringLiteral("no")).toLatin1());
            c.writeInt64(0);
        });
        auto c = makeClient(srv.port());
        QCOMPARE(int(c->ApiReceiveFile(QStringLiteral("[Cmd]x[/Cmd]"), path("api.out"), someTime())), 10);
        QVERIFY(srv.waitForHandled(1));
        QCOMPARE(seen->request.operation, 8);
        QCOMPARE(seen->request.params, QStringLiteral("[Cmd]x[/Cmd]"));
        QCOMPARE(readAll(path("api.out")), QByteArray("raw body"));
        QCOMPARE(mtime(path("api.out")), DateTimeToQDateTime(someTime()));
        QCOMPARE(int(c->ApiReceiveFile(QStringLiteral("[Cmd]y[/Cmd]"), path("api2.out"), someTime())), 13);
        QCOMPARE(c->GetLastError(), EncodeHexUtf8(QStringLiteral("no")));  // stored without unwrapping
        auto down = makeClient(closedPort());
        QVERIFY_THROWS_EXCEPTION(ENetError, down->ApiReceiveFile(QString(), path("x"), 0));
    }

    // Many blocks may arrive in one receive and the file is read in batches; the
    // progress is still reported once per 32 768-byte block, in order, and the
    // trailer right after the body is still read as the trailer.
    void progressOncePerBlock_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::addColumn<bool>("upload");
        QTest::addRow("plain upload") << false << true;
        QTest::addRow("plain download") << false << false;
        QTest::addRow("TLS upload") << true << true;
        QTest::addRow("TLS download") << true << false;
    }
    void progressOncePerBlock()
    {
        QFETCH(bool, tls);
        QFETCH(bool, upload);
        const QByteArray content = pattern(20 * 32768 + 5);
        FakeServer srv(tls ? FakeServer::Tls : FakeServer::Plain);
        QVERIFY(srv.ok());
        auto body = std::make_shared<QByteArray>();
        auto trailer = std::make_shared<qint32>(0);
        if (upload) {
            writeFile(path("up.bin"), content);
            srv.addScript([=](FakeConn &c) {
                c.readFileRequest();
                c.writeInt32(3);
                c.writeInt64(0);
                c.writeInt64(0);
                c.readInt64();
                c.readInt64();
                *body = c.read(content.size());
                *trailer = c.readInt32();
                c.writeInt64(7);
            });
        } else {
            srv.addScript([=](FakeConn &c) {
                c.readFileRequest();
                c.writeInt32(10);
                c.writeLine(QByteArray::number(DateTimeToTicks(someTime())));
                c.readInt64();
                c.readInt64();
                c.writeInt64(0);
                c.writeInt64(content.size());
                char end[4];
                qToBigEndian<qint32>(65520, end);
                c.write(content + QByteArray(end, 4));   // the whole body and its trailer at once
            });
        }
        auto c = makeClient(srv.port(), tls);
        QList<qint64> done;
        c->FDoTransmit = [&](TRobotTcpClient *, qint64 all, qint64 d) {
            QCOMPARE(all, qint64(content.size()));
            done << d;
        };
        QList<qint64> perBlock;
        for (qint64 at = 32768; at < content.size(); at += 32768)
            perBlock << at;
        perBlock << content.size();
        if (upload) {
            TTidyFile tf;
            tf.Path = path("up.bin");
            qint64 key = 0;
            QCOMPARE(int(c->UploadFile(1, QString(), key, tf, 0)), 3);
            QCOMPARE(key, qint64(7));
            QVERIFY(srv.waitForHandled(1));
            QVERIFY(*body == content);
            QCOMPARE(*trailer, 65520);
        } else {
            QCOMPARE(int(c->DownloadFile(path("down.bin"), QString(), 1)), 10);
            QVERIFY(readAll(path("down.bin")) == content);
        }
        QCOMPARE(done, perBlock);
    }

    void tlsUploadAndDownloadOnAWorkerThread()
    {
        const QByteArray content = pattern(1 << 20);
        writeFile(path("tls.bin"), content);
        FakeServer srv(FakeServer::Tls);
        QVERIFY(srv.ok());
        auto body = std::make_shared<QByteArray>();
        srv.addScript([=](FakeConn &c) {
            c.readFileRequest();
            c.writeInt32(3);
            c.writeInt64(0);
            c.writeInt64(0);
            c.readInt64();
            c.readInt64();
            *body = c.read(content.size());
            c.readInt32();
            c.writeInt64(5);
        });
        auto seen = std::make_shared<DownloadSeen>();
        srv.addScript(downloadScript(seen, content, someTime()));
        int up = -1, down = -1;
        std::thread t([&] {
            auto c = makeClient(srv.port(), true);
            TTidyFile tf;
            tf.Path = path("tls.bin");
            qint64 key = 0;
            up = c->UploadFile(1, QString(), key, tf, 0);
            down = c->DownloadFile(path("tls.out"), QString(), 5);
        });
        t.join();
        QCOMPARE(up, 3);
        QCOMPARE(down, 10);
        QVERIFY(srv.waitForHandled(2));
        QVERIFY(*body == content);
        QVERIFY(readAll(path("tls.out")) == content);
    }
};

// Every address of the server's web pages, with the protected texts they carry.
class EndpointTest : public QObject
{
    Q_OBJECT
    const QString base = QStringLiteral("http://docs.example:8088");

    // The ticket that names the user to a page opened outside the client.
    static void verifyTicket(const QString &ticket)
    {
        const QString plain = DecryptWithAppKey(ticket, AKS_128);
        static const QRegularExpression layout(
            QStringLiteral("^\\[R\\](\\d{1,3})\\[/R\\]\\[U\\]C0FFEE12\\[/U\\]\\[Dt\\](\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d)\\[/Dt\\]$"));
        const QRegularExpressionMatch m = layout.match(plain);
        QVERIFY2(m.hasMatch(), qPrintable(plain));
        const QDateTime at = QDateTime::fromString(m.captured(2), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        QVERIFY(qAbs(at.secsTo(QDateTime::currentDateTime())) <= 60);  // local time of now
    }

private Q_SLOTS:
    void failedRequestNeverShowsItsQuery_data()
    {
        QTest::addColumn<bool>("listening");
        QTest::addRow("nobody listens") << false;
        QTest::addRow("refused by the server") << true;
    }
    void failedRequestNeverShowsItsQuery()
    {
        QFETCH(bool, listening);
        QTcpServer web;
        QVERIFY(web.listen(QHostAddress::LocalHost, 0));
        const quint16 port = web.serverPort();
        if (!listening)
            web.close();
        connect(&web, &QTcpServer::newConnection, &web, [&web] {
            while (QTcpSocket *s = web.nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, s, [s] {
                    s->write("HTTP/1.0 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n");
                    s->disconnectFromHost();
                });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
        // The password change puts both passwords, encrypted, into the query.
        const QString url = QStringLiteral("http://127.0.0.1:%1/user?opr=modifyps&oldps=0AB1C2SECRET&newps=9F8E7SECRET").arg(port);
        QObject context;
        std::optional<QString> answer;
        RunOnPool(RequestPool(), &context, [url] {
            QString error;
            TSSLHttp(false).Get(url, 5000, nullptr, &error);
            return error;
        }, [&](const QString &error) { answer = error; });
        QTRY_VERIFY_WITH_TIMEOUT(answer.has_value(), 20000);
        const QString error = *answer;
        QVERIFY(!error.isEmpty());
        QVERIFY2(error.contains(QStringLiteral("127.0.0.1:%1/user").arg(port)), qPrintable(error));
        QVERIFY2(!error.contains(QLatin1String("SECRET")) && !error.contains(QLatin1String("oldps")), qPrintable(error));
    }

    // A page is taken only whole and only from a 2xx answer, over plain HTTP and
    // over TLS with the server's self-made certificate.
    void webGet_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("delayMs");
        QTest::addColumn<qint64>("maxBytes");
        QTest::addColumn<QString>("body");   // empty: the request fails
        QTest::addColumn<QString>("why");
        const QByteArray ok = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello";
        QTest::addRow("plain page") << false << ok << 0 << qint64(1024) << "hello" << "";
        QTest::addRow("TLS page") << true << ok << 0 << qint64(1024) << "hello" << "";
        QTest::addRow("error page") << false << QByteArray("HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\nConnection: close\r\n\r\nnope")
                                    << 0 << qint64(1024) << "" << "HTTP 404";
        QTest::addRow("redirection not followed")
            << false << QByteArray("HTTP/1.1 302 Found\r\nLocation: http://example.invalid/\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
            << 0 << qint64(1024) << "" << "HTTP 302";
        QTest::addRow("cut short") << false << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhello")
                                   << 0 << qint64(1024) << "" << "Cannot fetch";
        QTest::addRow("larger than allowed") << false << ok << 0 << qint64(3) << "" << "larger than 3 bytes";
        QTest::addRow("no answer in time") << false << ok << 4000 << qint64(1024) << "" << "no answer within 700 ms";
    }
    void webGet()
    {
        QFETCH(bool, tls);
        QFETCH(QByteArray, answer);
        QFETCH(int, delayMs);
        QFETCH(qint64, maxBytes);
        QFETCH(QString, body);
        QFETCH(QString, why);
        FakeServer server(tls ? FakeServer::Tls : FakeServer::Plain);
        QVERIFY2(server.ok(), qPrintable(server.setupError()));
        server.addScript([answer, delayMs](FakeConn &c) {
            c.readLine();
            if (delayMs > 0)
                c.delay(delayMs);
            c.write(answer);
            c.close();
        });
        const QString url = QStringLiteral("%1://127.0.0.1:%2/page?x=1").arg(tls ? "https" : "http").arg(server.port());
        QElapsedTimer clock;
        clock.start();
        QObject context;
        std::optional<QPair<QByteArray, QString>> outcome;
        RunOnPool(RequestPool(), &context, [url, maxBytes] {
            QByteArray got;
            QString error;
            const bool ok = TSSLHttp(url.startsWith(QLatin1String("https"))).Get(url, 700, &got, &error, maxBytes);
            return qMakePair(ok ? got : QByteArray(), error);
        }, [&](const QPair<QByteArray, QString> &result) { outcome = result; });
        QTRY_VERIFY_WITH_TIMEOUT(outcome.has_value(), 20000);
        const auto [got, error] = *outcome;
        QCOMPARE(QString::fromUtf8(got), body);
        QVERIFY2(error.contains(why), qPrintable(error));
        QVERIFY2(clock.elapsed() < 3500, "the time-out was not kept");
    }

    void ticketText()
    {
        QCOMPARE(WebTicketText(7, QStringLiteral("C0FFEE12"), QStringLiteral("2024-03-31 02:30:00")),
                 QStringLiteral("[R]7[/R][U]C0FFEE12[/U][Dt]2024-03-31 02:30:00[/Dt]"));
        verifyTicket(WebTicket(QStringLiteral("C0FFEE12")));
    }

    // protectedKind: "" nothing protected, "ticket" the web ticket, otherwise the
    // protected text's plain form, read with passphrase and key size.
    void endpoints_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("plain");
        QTest::addColumn<QString>("passphrase");
        QTest::addColumn<int>("keySize");
        const QString id = QStringLiteral("C0FFEE12");
        const QString b = QRegularExpression::escape(base);
        const QString app = kAppPassphrase;
        const auto exact = [&](const char *name, const QString &url, const char *path) {
            QTest::addRow("%s", name) << url << QRegularExpression::escape(base + QLatin1String(path)) << QString()
                                      << QString() << 0;
        };
        exact("qr config", WebEndpoints::QrConfig(base), "/QRLogin?opr=config");
        exact("qr url", WebEndpoints::QrUrl(base), "/QRLogin?opr=url");
        exact("security classes", WebEndpoints::SecurityClasses(base, 7), "/user?opr=sc&userid=7");
        exact("client config", WebEndpoints::ClientConfig(base, 7), "/linkX?opr=clientconfig&userid=7");
        exact("logo chinese", WebEndpoints::Logo(base, true), "/static/clientLogo2.png");
        exact("logo english", WebEndpoints::Logo(base, false), "/static/clientLogo_ENG2.png");
        exact("doc", WebEndpoints::Doc(base), "/doc");
        exact("property page", WebEndpoints::PrintPage(base), "/getPrtHtm?opr=page");
        exact("power", WebEndpoints::GetPower(base, 42, id), "/getPower?filekey=42&uid=C0FFEE12");
        exact("watermark", WebEndpoints::Watermark(base), "/static/watermark.bmp");
        exact("viewer helper", WebEndpoints::ViewerHelper(base), "/helper/ReDazEdaver.exe");
        QTest::addRow("home") << WebEndpoints::Home(base, id)
                              << b + QStringLiteral("/index\\?opr=fromclient&sn=(?<p>[0-9A-F]+)") << "ticket" << app
                              << int(AKS_128);
        QTest::addRow("preview in browser")
            << WebEndpoints::PreviewOpen(base, 42, id)
            << b + QStringLiteral("/previewopen\\?st=c&extopr=core&filekey=42&uid=(?<p>[0-9A-F]+)&c=2") << "ticket"
            << app << int(AKS_128);
        QTest::addRow("new folder")
            << WebEndpoints::FolderAdd(base, id, 3, 4, QStringLiteral("新 建&x=1"))
            << b + QStringLiteral("/folderadd\\?opr=new&st=c&uid=(?<p>[0-9A-F]+)&ownerid=3&fatherid=4"
                                  "&foldername=%E6%96%B0%20%E5%BB%BA%26x%3D1&rnd=\\d{1,4}")
            << "ticket" << app << int(AKS_128);
        QTest::addRow("rename folder")
            << WebEndpoints::FolderRename(base, id, 3, 5, QStringLiteral("a+b#c"))
            << b + QStringLiteral("/folderrename\\?opr=rename&st=c&uid=(?<p>[0-9A-F]+)&ownerid=3&folderid=5"
                                  "&foldername=a%2Bb%23c&rnd=\\d{1,4}")
            << "ticket" << app << int(AKS_128);
        QTest::addRow("password")
            << WebEndpoints::ModifyPassword(base, 7, QStringLiteral("old1"), QStringLiteral("新密码"))
            << b + QStringLiteral("/modifypass\\?opr=clientmps&userid=7&ps=(?<p>[0-9A-F]+)")
            << QStringLiteral("[OldPs]old1[/OldPs][NewPs]新密码[/Newps]") << QStringLiteral("7") + app << int(AKS_256);
        QTest::addRow("archive link")
            << WebEndpoints::ArchiveLink(base, 42, 9, 7)
            << b + QStringLiteral("/arc/input2\\?opr=addfilekey&sn=(?<p>[0-9A-F]+)")
            << QStringLiteral("[filekey]42[/filekey][arcid]9[/arcid][uid]7[/uid]") << app << int(AKS_256);
    }
    void endpoints()
    {
        QFETCH(QString, url);
        QFETCH(QString, pattern);
        QFETCH(QString, plain);
        QFETCH(QString, passphrase);
        QFETCH(int, keySize);
        const QRegularExpressionMatch m = QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(url);
        QVERIFY2(m.hasMatch(), qPrintable(url));
        if (plain == QLatin1String("ticket"))
            verifyTicket(m.captured(u"p"));
        else if (!plain.isEmpty())
            QCOMPARE(DecryptText(m.captured(u"p"), passphrase, keySize), plain);
    }

    void foldersRequestsAreNeverRepeated()
    {
        // A new random number and ticket each time, so no cache answers the second request.
        const QString a = WebEndpoints::FolderAdd(base, QStringLiteral("C0FFEE12"), 3, 4, QStringLiteral("x"));
        const QString b = WebEndpoints::FolderAdd(base, QStringLiteral("C0FFEE12"), 3, 4, QStringLiteral("x"));
        QVERIFY(a != b);
    }

    void queryValueEncoding_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("encoded");
        QTest::addRow("kept") << "a-z&=+/?" << "a-z&=+/?";
        QTest::addRow("blank and chinese") << "新 建" << "%E6%96%B0%20%E5%BB%BA";
        QTest::addRow("escape kept") << "100%25" << "100%25";
        QTest::addRow("lone percent") << "5%x" << "5%25x";
        QTest::addRow("specials") << "*<>#\"{}|\\^[]`" << "%2A%3C%3E%23%22%7B%7D%7C%5C%5E%5B%5D%60";
        QTest::addRow("outside the basic plane") << "\U0001F600" << "%F0%9F%98%80";
    }
    void queryValueEncoding()
    {
        QFETCH(QString, value);
        QFETCH(QString, encoded);
        QCOMPARE(UrlEncodeValue(value), encoded);
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    return runTests<PipeTest, RobotTest, FileChannelTest, EndpointTest>(argc, argv);
}

#include "tst_net.moc"
