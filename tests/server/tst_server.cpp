#include "serverfixture.h"
#include "loginthrottle.h"

#include "core/aes.h"
#include "core/helpers.h"
#include "core/wiredate.h"
#include "testenv.h"
#include "testprocess.h"

#include <QProcess>
#include <QSqlQuery>
#include <QSslCipher>

#include <QStandardPaths>

#include <thread>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr int kRnd = 2;
constexpr int kDrawingOffice = 4;
constexpr int kDemoUser = 5;
constexpr qint64 kContracts2024 = 1001;
constexpr qint64 kSupplyAgreement = 5000; // three versions in the demo data
constexpr qint64 kTicks = 45322336909722;  // 2024-01-31 08:05:09

struct UploadResult
{
    qint32 status = -1;
    qint64 held = -1;
    qint64 check = -1;
    qint64 key = -1;
};

// One whole op 1 exchange; sends bytes from the offset the server offers when it matches.
UploadResult upload(quint16 port, const QString &text, const QByteArray &bytes, bool resume = true, bool tls = false)
{
    UploadResult r;
    RawClient c(port, tls);
    c.send(fileOpening(1, text));
    r.status = c.int32();
    if (r.status == 100)
        c.line();
    if (r.status != 3) {
        r.key = c.int64();
        return r;
    }
    r.held = c.int64();
    r.check = c.int64();
    qint64 start = 0;
    if (resume && r.held >= 8 && r.held <= bytes.size() && qFromLittleEndian<qint64>(bytes.constData() + r.held - 8) == r.check)
        start = r.held;
    c.send(int64BE(start) + int64BE(bytes.size() - start) + bytes.mid(start) + int32BE(kUploadComplete));
    r.key = c.int64();
    return r;
}

struct DownloadResult
{
    qint32 status = -1;
    QByteArray timeLine;
    qint64 accepted = -1;
    QByteArray body;
    qint32 trailer = -1;
};

DownloadResult download(quint16 port, const QString &text, qint64 offer = 0, qint64 check = 0, bool raw = false, bool tls = false)
{
    DownloadResult r;
    RawClient c(port, tls);
    c.send(fileOpening(raw ? 8 : 2, text));
    r.status = c.int32();
    if (r.status != 10)
        return r;
    if (!raw)
        r.timeLine = c.line();
    c.send(int64BE(offer) + int64BE(check));
    r.accepted = c.int64();
    const qint64 count = c.int64();
    r.body = c.read(count);
    r.trailer = c.int32();
    return r;
}

QString downloadText(const QString &token, qint64 key, const QString &extra = QStringLiteral("[IsReplace]True[/IsReplace]"))
{
    return E(token) + QStringLiteral("[FileKey]%1[/FileKey][language]1[/language]").arg(key) + extra;
}

qint64 fileKeyByName(quint16 port, const QString &token, int owner, qint64 folder, const QString &name)
{
    const FramedReply r = framed(port, 40, E(token) + QStringLiteral("[OwnerId]%1[/OwnerId][FolderId]%2[/FolderID]").arg(owner).arg(folder));
    for (const QString &line : r.body.split(QStringLiteral("\r\n"))) {
        const QStringList f = line.split(u'*');
        if (f.size() >= 5 && f.at(2) == name)
            return f.at(0).toLongLong();
    }
    return 0;
}
} // namespace

class FramingTest : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestServer> m_server;
private Q_SLOTS:
    void initTestCase() { m_server = std::make_unique<TestServer>(); }
    void cleanupTestCase() { m_server.reset(); }

    void replyBytesMatchTheWorkedExample()
    {
        // Request 109 with an empty body, reply [Space]60[/Space] with status 80.
        RawClient c(m_server->port());
        c.send(QByteArray::fromHex("5A5956454B202F5443502F312E300D0A") + QByteArray::fromHex("00000014")
               + QByteArray::fromHex("02006D00000000000000000000000000") + QByteArray::fromHex("0000FFEE"));
        const QByteArray raw = c.readToEnd();
        QCOMPARE(raw.left(24).toHex(), QByteArray("0000003602005000000000000000000000000000" "00000022"));
        QCOMPARE(raw.mid(24, 34), QByteArray::fromRawData("[\0S\0p\0a\0c\0e\0]\0006\0000\0[\0/\0S\0p\0a\0c\0e\0]\0", 34));
        QCOMPARE(raw.right(4).toHex(), QByteArray("0000ffee"));
    }

    void login_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("status");
        QTest::addRow("accepted") << "demo" << "demo" << 86;
        QTest::addRow("login name in other case") << "DEMO" << "demo" << 86;
        QTest::addRow("by e-mail") << "alice@example.com" << "alice123" << 86;
        QTest::addRow("wrong password") << "demo" << "Demo" << 82;
        QTest::addRow("unknown user") << "nobody" << "demo" << 82;
        QTest::addRow("empty") << "" << "" << 82;
    }
    void login()
    {
        QFETCH(QString, name);
        QFETCH(QString, password);
        QFETCH(int, status);
        const FramedReply r = framed(m_server->port(), 84, QStringLiteral("[Name]%1[/Name][PassWord]%2[/PassWord][Mac][/Mac]").arg(name, password));
        QCOMPARE(r.status, status);
        if (status == 86) {
            QVERIFY(QRegularExpression(QStringLiteral("^[0-9A-F]{32}$")).match(GetTagValue(r.body, QStringLiteral("UserId"))).hasMatch());
            QVERIFY(GetTagValue(r.body, QStringLiteral("UserId2")).toInt() > 0);
        } else {
            QVERIFY(!r.body.isEmpty()); // the client shows this text
        }
    }

    void disabledUserIsRefusedAndLosesSessions()
    {
        const QString token = loginToken(m_server->port(), QStringLiteral("bob"), QStringLiteral("bob123"));
        QVERIFY(!token.isEmpty());
        {
            Store store(m_server->dataDir());
            store.db().run(QStringLiteral("UPDATE owners SET disabled=1 WHERE login='bob'"));
        }
        QCOMPARE(framed(m_server->port(), 84, QStringLiteral("[Name]bob[/Name][PassWord]bob123[/PassWord]")).status, 88);
        QCOMPARE(framed(m_server->port(), 51, E(token) + QStringLiteral("[fileKey]5010[/fileKey]")).body, QStringLiteral("5"));
        Store store(m_server->dataDir());
        store.db().run(QStringLiteral("UPDATE owners SET disabled=0 WHERE login='bob'"));
    }

    void hostileFrames_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("status"); // -1: the server just closes
        const QByteArray head = encodeHead(THeadInfo{2, 0, 109, 0, 0, 0, 0});
        QTest::addRow("length beyond the limit") << kFramedRequestLine + int32BE(0x7FFFFFFF) + head << 21;
        QTest::addRow("negative length") << kFramedRequestLine + int32BE(-5) + head << 21;
        QTest::addRow("length below the header") << kFramedRequestLine + int32BE(12) + head << 21;
        QTest::addRow("count not matching the length") << kFramedRequestLine + int32BE(30) + head + int32BE(4000) + QByteArray(10, 'a') << 21;
        QTest::addRow("body shorter than announced") << kFramedRequestLine + int32BE(120) + head + int32BE(100) + QByteArray(10, 'a') << -1;
        QTest::addRow("garbage first line") << QByteArray("\x01\x02\x03\r\n") << -1;
        QTest::addRow("overlong first line") << QByteArray(20000, 'Z') << -1;
    }
    void hostileFrames()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, status);
        RawClient c(m_server->port());
        c.send(bytes);
        const QByteArray raw = c.readToEnd();
        QCOMPARE(parseReply(raw).status, status);
        // The server is still there for the next client.
        QCOMPARE(framed(m_server->port(), 109, {}).body, QStringLiteral("[Space]60[/Space]"));
    }

    void tolerantFrames_data()
    {
        QTest::addColumn<quint8>("code");
        QTest::addColumn<QByteArray>("trailer");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("body");
        QTest::addRow("wrong trailer still answered") << quint8(109) << int32BE(1234) << 80 << "[Space]60[/Space]";
        QTest::addRow("unknown code") << quint8(250) << int32BE(kFrameTrailer) << 0 << "";
        QTest::addRow("connection test") << quint8(0) << int32BE(kFrameTrailer) << 80 << "";
        QTest::addRow("server status") << quint8(22) << int32BE(kFrameTrailer) << 80 << "";
    }
    void tolerantFrames()
    {
        QFETCH(quint8, code);
        QFETCH(QByteArray, trailer);
        QFETCH(int, status);
        QFETCH(QString, body);
        RawClient c(m_server->port());
        THeadInfo h;
        h.TranType = code;
        // FreeInt left over from an earlier request must not matter.
        h.FreeInt = 77;
        QByteArray request = encodeRequest(h, {});
        request.chop(4);
        c.send(request + trailer);
        const FramedReply r = parseReply(c.readToEnd());
        QCOMPARE(r.status, status);
        QCOMPARE(r.body, body);
    }

    void oddBodyLengthIgnoresLastByte()
    {
        RawClient c(m_server->port());
        const QString login = QStringLiteral("[Name]demo[/Name][PassWord]demo[/PassWord]");
        const QByteArray text = QByteArray(reinterpret_cast<const char *>(login.utf16()), login.size() * 2) + 'x';
        c.send(kFramedRequestLine + int32BE(text.size() + 20) + encodeHead(THeadInfo{2, 0, 84, 0, 0, 0, 0}) + int32BE(text.size()) + text + int32BE(kFrameTrailer));
        QCOMPARE(parseReply(c.readToEnd()).status, 86);
    }

    void bareConnectIsTolerated()
    {
        for (int i = 0; i < 5; ++i) {
            RawClient c(m_server->port());
            QVERIFY(c.connected());
        }
        QCOMPARE(framed(m_server->port(), 0, {}).status, 80);
    }

    void tlsCiphersKeepForwardSecrecy_data()
    {
        QTest::addColumn<QString>("cipher");
        QTest::addColumn<bool>("accepted");
        QTest::addRow("ECDHE") << "ECDHE-RSA-AES128-GCM-SHA256" << true;
        QTest::addRow("static RSA") << "AES128-GCM-SHA256" << false;
        QTest::addRow("static RSA, CBC") << "AES128-SHA" << false;
    }
    void tlsCiphersKeepForwardSecrecy()
    {
        QFETCH(QString, cipher);
        QFETCH(bool, accepted);
        static TestServer tls(false, true);
        QSslSocket socket;
        socket.setPeerVerifyMode(QSslSocket::VerifyNone);
        QSslConfiguration config = socket.sslConfiguration();
        config.setProtocol(QSsl::TlsV1_2);
        config.setCiphers(QList<QSslCipher>{QSslCipher(cipher)});
        socket.setSslConfiguration(config);
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), tls.port());
        QCOMPARE(socket.waitForEncrypted(10000), accepted);
    }

    void maxUploadAndTypesInEveryReply()
    {
        const FramedReply r = framed(m_server->port(), 68, {});
        QCOMPARE(r.freeInt, 200);
        QCOMPARE(r.body, QStringLiteral("[Count]1[/Count][Type0]42[/Type0]"));
    }

    void tlsOnTheSamePort()
    {
        TestServer tls(false, true);
        QCOMPARE(framed(tls.port(), 109, {}, 0, 0, true).body, QStringLiteral("[Space]60[/Space]"));
        QCOMPARE(framed(tls.port(), 109, {}, 0, 0, false).body, QStringLiteral("[Space]60[/Space]"));
        QVERIFY(QFile::exists(tls.dataDir() + QStringLiteral("/tls/server.crt")));
        // Without TLS a handshake is refused rather than misread as a request.
        RawClient c(m_server->port(), true);
        QVERIFY(!c.connected());
    }
};

class BrowsingTest : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestServer> m_server;
    QString m_token;
private Q_SLOTS:
    void initTestCase()
    {
        m_server = std::make_unique<TestServer>();
        m_token = loginToken(m_server->port());
        QVERIFY(!m_token.isEmpty());
    }
    void cleanupTestCase() { m_server.reset(); }

    void organisationHasTwoLevelsOfGroups()
    {
        const FramedReply r = framed(m_server->port(), 90, QStringLiteral("[userinfo]%1[/userinfo][language]1[/language]").arg(E(m_token)));
        QCOMPARE(r.status, 80);
        QXmlStreamReader xml(r.body);
        QStringList groups;
        int users = 0;
        while (!xml.atEnd()) {
            xml.readNext();
            if (xml.isStartElement() && xml.name() == QLatin1String("GroupItem"))
                groups << xml.attributes().value(QStringLiteral("Name")).toString();
            if (xml.isStartElement() && xml.name() == QLatin1String("User")) {
                ++users;
                QVERIFY(xml.attributes().value(QStringLiteral("Id")).toInt() > 0);
            }
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QCOMPARE(groups, (QStringList{"Demo Co", "R&D", "Drawing Office", "Sales"}));
        QVERIFY(users >= 5);
        QVERIFY(!r.body.startsWith(QLatin1String("<?xml")));
    }

    void invalidSessionIsRefused_data()
    {
        QTest::addColumn<quint8>("code");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("body");
        const QString bad = E(QStringLiteral("0123456789ABCDEF0123456789ABCDEF"));
        QTest::addRow("folder list") << quint8(40) << bad + "[OwnerId]2[/OwnerId][FolderId]1001[/FolderID]" << "no power";
        QTest::addRow("lock") << quint8(76) << bad + "[FileKey]5000[/FileKey]" << "7";
        QTest::addRow("modification time is still a number") << quint8(77) << bad + "[FileKey]5000[/FileKey]" << "0";
        QTest::addRow("server path") << quint8(78) << bad + "[FileKey]5000[/FileKey][IsFolder]False[/IsFolder]" << "[PathStr][/PathStr][PathIdStr][/PathIdStr]";
    }
    void invalidSessionIsRefused()
    {
        QFETCH(quint8, code);
        QFETCH(QString, text);
        QFETCH(QString, body);
        QCOMPARE(framed(m_server->port(), code, text).body, body);
    }

    void folderListing()
    {
        const FramedReply r = framed(m_server->port(), 40, E(m_token) + QStringLiteral("[OwnerId]2[/OwnerId][FolderId]1000[/FolderID][IsIncludeSize]True[/IsIncludeSize]"));
        const QStringList lines = r.body.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 4);
        // Folders descending (the file manager reverses them), then files.
        QCOMPARE(lines.at(0).section(u'*', 2, 2), QStringLiteral("Drafts"));
        QCOMPARE(lines.at(2).section(u'*', 2, 2), QStringLiteral("2023"));
        QCOMPARE(lines.at(0).split(u'*').size(), 6);
        QCOMPARE(lines.at(0).section(u'*', 4, 4), QStringLiteral("True"));
        QCOMPARE(lines.at(3).section(u'*', 2, 2), QStringLiteral("Contract template.docx"));
        QCOMPARE(lines.at(3).section(u'*', 4, 4), QStringLiteral("False"));
        QVERIFY(lines.at(3).section(u'*', 5, 5).toLongLong() > 0);
        const FramedReply withoutSize = framed(m_server->port(), 40, E(m_token) + QStringLiteral("[OwnerId]2[/OwnerId][FolderId]1000[/FolderID]"));
        QCOMPARE(withoutSize.body.split(QStringLiteral("\r\n")).first().split(u'*').size(), 5);
        // A group the user is not in.
        QCOMPARE(framed(m_server->port(), 40, E(m_token) + QStringLiteral("[OwnerId]4[/OwnerId][FolderId]1008[/FolderID]")).body, QStringLiteral("no power"));
        // A folder of another owner named with an owner the user may see.
        QCOMPARE(framed(m_server->port(), 40, E(m_token) + QStringLiteral("[OwnerId]2[/OwnerId][FolderId]1008[/FolderID]")).body, QStringLiteral("no power"));
    }

    void folderTrees()
    {
        const FramedReply top = framed(m_server->port(), 69, E(m_token), kRnd, 0);
        QCOMPARE(top.status, 80);
        QVERIFY(top.body.contains(QLatin1String("<Folder Id=\"1000\" ChildNum=\"3\"><Path>Contracts</Path></Folder>")));
        const FramedReply refused = framed(m_server->port(), 69, E(m_token), kDrawingOffice, 0);
        QCOMPARE(refused.status, 13);
        QVERIFY(!refused.body.isEmpty());
        const FramedReply whole = framed(m_server->port(), 64, E(m_token), kRnd, 0);
        QVERIFY(whole.body.startsWith(QLatin1String("<Root><Item><Childs><Folder Id=\"1000\"><Path>Contracts</Path><Childs>")));
        const FramedReply files = framed(m_server->port(), 65, E(m_token) + QStringLiteral("[FolderId]1001[/FolderId][OwnerId]2[/OwnerId]"));
        QCOMPARE(files.status, 80);
        QVERIFY(files.body.contains(QLatin1String("Kind=\"7365734\">/Contracts/2024/Signed contract.pdf</File>")));
        // An owner without folders still gets a document, so the client does not fall back.
        QCOMPARE(framed(m_server->port(), 69, E(m_token), 1, 0).body, QStringLiteral("<Folders/>"));
    }

    void serverPath_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::addRow("file") << "[FileKey]5000[/FileKey][IsFolder]False[/IsFolder]" << "[PathStr]R&D/Contracts/2024/[/PathStr][PathIdStr]1000/1001/[/PathIdStr]";
        QTest::addRow("folder") << "[FileKey]1001[/FileKey][IsFolder]True[/IsFolder]" << "[PathStr]R&D/Contracts/2024/[/PathStr][PathIdStr]1000/1001/[/PathIdStr]";
        QTest::addRow("top-level folder") << "[FileKey]1000[/FileKey][IsFolder]True[/IsFolder]" << "[PathStr]R&D/Contracts/[/PathStr][PathIdStr]1000/[/PathIdStr]";
        QTest::addRow("no right") << "[FileKey]1008[/FileKey][IsFolder]True[/IsFolder]" << "[PathStr][/PathStr][PathIdStr][/PathIdStr]";
    }
    void serverPath()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(framed(m_server->port(), 78, E(m_token) + text).body, expected);
    }

    void descriptionRoundTrip()
    {
        QCOMPARE(framed(m_server->port(), 50, E(m_token) + QStringLiteral("[filekey]5001[/filekey][desc]Prices\r\nfor 2024[/desc]")).status, 60);
        const FramedReply r = framed(m_server->port(), 49, E(m_token) + QStringLiteral("[filekey]5001[/filekey]"));
        QCOMPARE(r.status, 60);
        QCOMPARE(r.body, QStringLiteral("Prices\r\nfor 2024"));
        QCOMPARE(framed(m_server->port(), 72, E(m_token) + QStringLiteral("[Key]5001[/Key]")).body, QStringLiteral("Price list.xlsx"));
        QCOMPARE(framed(m_server->port(), 49, E(m_token) + QStringLiteral("[filekey]999999[/filekey]")).status, 8);
    }

    void locksBetweenUsers()
    {
        const QString alice = loginToken(m_server->port(), QStringLiteral("alice"), QStringLiteral("alice123"));
        const QString lockKey = QStringLiteral("[FileKey]5002[/FileKey]");
        QCOMPARE(framed(m_server->port(), 76, E(m_token) + lockKey).body, QStringLiteral("1"));
        QCOMPARE(framed(m_server->port(), 76, E(m_token) + lockKey).body, QStringLiteral("1"));
        QCOMPARE(framed(m_server->port(), 76, E(alice) + lockKey).body, QStringLiteral("14"));
        QCOMPARE(framed(m_server->port(), 75, E(alice) + lockKey + QStringLiteral("[IsCancel]True[/IsCancel]")).body, QStringLiteral("14"));
        const FramedReply list = framed(m_server->port(), 40, E(alice) + QStringLiteral("[OwnerId]2[/OwnerId][FolderId]1001[/FolderID]"));
        QVERIFY(list.body.contains(QLatin1String("*Signed contract.pdf*Demo User*False")));
        QCOMPARE(framed(m_server->port(), 144, E(alice) + QStringLiteral("[OwnerId]2[/OwnerId]") + lockKey).body, QStringLiteral("14"));
        QCOMPARE(framed(m_server->port(), 75, E(m_token) + lockKey + QStringLiteral("[IsCancel]True[/IsCancel]")).body, QStringLiteral("1"));
        // Releasing a file nobody holds is not an error.
        QCOMPARE(framed(m_server->port(), 75, E(m_token) + lockKey + QStringLiteral("[IsCancel]True[/IsCancel]")).body, QStringLiteral("1"));
    }

    void badFolderNamesAreRefused_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addRow("parent") << "..";
        QTest::addRow("dots and blanks") << ". .";
        QTest::addRow("slash") << "a/b";
        QTest::addRow("backslash") << "a\\..\\b";
        QTest::addRow("star breaks list lines") << "a*b";
        QTest::addRow("closing tag") << "a[/Path]";
        QTest::addRow("control character") << "a\tb";
        QTest::addRow("device name") << "CON";
        QTest::addRow("device name with extension") << "nul.txt";
        QTest::addRow("device name in other case") << "Com1";
        QTest::addRow("trailing dot") << "draft.";
        QTest::addRow("direction override") << QStringLiteral("report\u202Efdp.exe");
        QTest::addRow("unpaired surrogate") << (QStringLiteral("a") + QChar(0xD800) + QStringLiteral("b"));
        QTest::addRow("replacement character") << QStringLiteral("a\uFFFDb");
    }
    void badFolderNamesAreRefused()
    {
        QFETCH(QString, name);
        const FramedReply r = framed(m_server->port(), 79, E(m_token) + QStringLiteral("[Ownerid]2[/Ownerid][FatherFolderId]1000[/FatherFolderId][FolderName]%1[/FolderName]").arg(name));
        QVERIFY(r.status != 80);
        QVERIFY(!framed(m_server->port(), 40, E(m_token) + QStringLiteral("[OwnerId]2[/OwnerId][FolderId]1000[/FolderID]")).body.contains(name));
    }

    void deleteFolderMovesContentToRecycleBin()
    {
        const FramedReply created = framed(m_server->port(), 79, E(m_token) + QStringLiteral("[Ownerid]3[/Ownerid][FatherFolderId]0[/FatherFolderId][FolderName]Old[/FolderName]"));
        QCOMPARE(created.status, 80);
        const qint64 folder = created.body.toLongLong();
        QVERIFY(folder >= 1000);
        const QByteArray body("bin me");
        const UploadResult up = upload(m_server->port(), uploadText(m_token, 3, folder, QStringLiteral("sub\\"), QStringLiteral("C:\\x\\bin.txt"), body.size(), kTicks), body);
        QVERIFY(up.key > 0);
        QCOMPARE(framed(m_server->port(), 142, E(m_token) + QStringLiteral("[OwnerId]3[/OwnerId][FolderId]%1[/FolderId]").arg(folder)).body, QStringLiteral("1"));
        QCOMPARE(download(m_server->port(), downloadText(m_token, up.key)).status, 25);
        QCOMPARE(framed(m_server->port(), 40, E(m_token) + QStringLiteral("[OwnerId]3[/OwnerId][FolderId]%1[/FolderID]").arg(folder)).body, QStringLiteral("no power"));
    }

    void messagesUntilTheDocPageIsShown()
    {
        // The demo user starts with one unread message; another user has none.
        QCOMPARE(framed(m_server->port(), 108, E(m_token) + QStringLiteral("[url]127.0.0.1[/url][language]1[/language]")).status, 80);
        const QString bob = loginToken(m_server->port(), QStringLiteral("bob"), QStringLiteral("bob123"));
        QCOMPARE(framed(m_server->port(), 108, E(bob)).status, 78);
        // Uploads announced to a group reach its other members.
        QCOMPARE(framed(m_server->port(), 74, E(m_token) + QStringLiteral("[OwnerId]3[/OwnerId][Key][/Key]")).status, 80);
        QCOMPARE(framed(m_server->port(), 108, E(bob)).status, 80);
        // The poll itself never marks read; the page does.
        QCOMPARE(framed(m_server->port(), 108, E(bob)).status, 80);
        RawClient c(m_server->port());
        c.send("GET /doc HTTP/1.1\r\nCookie: zsid=" + bob.toLatin1() + "\r\n\r\n");
        QVERIFY(c.readToEnd().contains("uploaded new files to Sales"));
        QCOMPARE(framed(m_server->port(), 108, E(bob)).status, 78);
    }

    void folderLinesAndRemarks()
    {
        const FramedReply r = framed(m_server->port(), 41, E(m_token) + QStringLiteral("[OwnerId]3[/OwnerId][FolderId]1005[/FolderId][Folder]Root\\B\\\r\nRoot\\C\\\r\n..\\x\\\r\n[/Folder]"));
        QCOMPARE(r.status, 80);
        const QStringList lines = r.body.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2); // the ".." line is refused
        const qint64 b = lines.at(0).section(u'*', 1).toLongLong();
        QCOMPARE(GetTagValue(framed(m_server->port(), 78, E(m_token) + QStringLiteral("[FileKey]%1[/FileKey][IsFolder]True[/IsFolder]").arg(b)).body, QStringLiteral("PathStr")),
                 QStringLiteral("Sales/Offers/Root/B/"));
        // Request 54 carries the key protected; the remark lands on the newest version.
        const QString key = EncryptWithAppKey(QStringLiteral("5001"), AKS_256);
        QCOMPARE(framed(m_server->port(), 54, E(m_token) + QStringLiteral("[Key]%1[/Key][ExtInfo][Opr]Remark[/Opr][Remark]checked[/Remark][/ExtInfo]").arg(key)).body, QStringLiteral("1"));
        Store store(m_server->dataDir());
        QCOMPARE(store.db().value(QStringLiteral("SELECT remark FROM versions WHERE file_key=5001 ORDER BY ver DESC LIMIT 1")).toString(), QStringLiteral("checked"));
    }

    // Clients making the same paths at once (batch workers of one task) share the folders.
    void concurrentFolderLinesMakeEachFolderOnce()
    {
        QString lines;
        for (int i = 0; i < 30; ++i)
            lines += QStringLiteral("Same %1\\Inner\r\n").arg(i);
        const QString text = E(m_token) + QStringLiteral("[OwnerId]3[/OwnerId][FolderId]1005[/FolderId][Folder]%1[/Folder]").arg(lines);
        const quint16 port = m_server->port();
        std::vector<std::thread> clients;
        QAtomicInt answered;
        for (int i = 0; i < 4; ++i) {
            clients.emplace_back([&] {
                if (framed(port, 41, text).body.count(QStringLiteral("\r\n")) == 30)
                    answered.ref();
            });
        }
        for (std::thread &t : clients)
            t.join();
        QCOMPARE(answered.loadRelaxed(), 4);
        Store store(m_server->dataDir());
        const int copies = store.db().value(QStringLiteral("SELECT MAX(n) FROM (SELECT COUNT(*) AS n FROM folders WHERE owner_id=3 AND deleted=0 GROUP BY parent_id, name)")).toInt();
        QCOMPARE(copies, 1);
        QCOMPARE(store.db().value(QStringLiteral("SELECT COUNT(*) FROM folders WHERE parent_id=1005 AND name LIKE 'Same %' AND deleted=0")).toInt(), 30);
    }

    void newestVersionsAndDownloadList()
    {
        const FramedReply r = framed(m_server->port(), 63, E(m_token) + QStringLiteral("[OwnerId]2[/OwnerId][FolderId]1003[/FolderID][IsIncludeSub]True[/IsIncludeSub]"));
        QVERIFY2(r.body.contains(QRegularExpression(QStringLiteral("\\d+\\*1004\\*\\d+\\*Bracket\\.dwg\\*Designs/Parts/\r\n"))), qPrintable(r.body));
        const FramedReply list = framed(m_server->port(), 66, QStringLiteral("[TranStyle]2[/TranStyle]\r\n[FF]2[/FF]\r\n[SourceOwnerId]2[/SourceOwnerId]\r\n[SourceFolderId]1003[/SourceFolderId]\r\n[SubFolder]-1[/SubFolder]\r\n") + E(m_token));
        QVERIFY2(list.body.contains(QLatin1String("[P]Designs/Parts/Bracket.dwg[/P][D]False[/D]")), qPrintable(list.body));
        QVERIFY(GetTagValue(list.body, QStringLiteral("FolderInfo")).contains(QLatin1String("Designs/Parts/")));
        QCOMPARE(GetTagValue(list.body, QStringLiteral("ErrorTxt")), QString());
    }

    void largeTypeBlockIsReadInOnePass()
    {
        QString block = QStringLiteral("[Dc_Types][Count]1000[/Count]");
        block += QString(4 * 1024 * 1024, u'x');
        block += QStringLiteral("[Ty0]7633012[/Ty0][/Dc_Types]");
        QElapsedTimer t;
        t.start();
        const FramedReply r = framed(m_server->port(), 66, QStringLiteral("[FF]2[/FF][SourceOwnerId]5[/SourceOwnerId][SourceFolderId]1010[/SourceFolderId][SubFolder]-1[/SubFolder]") + block + E(m_token));
        QVERIFY2(t.elapsed() < 3000, qPrintable(QString::number(t.elapsed())));
        QVERIFY2(r.body.contains(QLatin1String("[P]Personal/Todo.txt[/P]")), qPrintable(r.body.left(300)));
    }

    void folderDepthIsBounded()
    {
        QStringList deep;
        for (int i = 0; i < kMaxFolderDepth + 5; ++i)
            deep << QStringLiteral("d%1").arg(i);
        const FramedReply r = framed(m_server->port(), 41, E(m_token) + QStringLiteral("[OwnerId]2[/OwnerId][FolderId]1000[/FolderId][Folder]%1[/Folder]").arg(deep.join(u'\\')));
        QCOMPARE(r.status, 80);
        QCOMPARE(r.body, QString());
        // What was made stays within reach of the listings.
        Store store(m_server->dataDir());
        const qint64 deepest = store.db().value(QStringLiteral("SELECT MAX(id) FROM folders")).toLongLong();
        QVERIFY(store.folderChain(deepest).size() <= kMaxFolderDepth);
    }

    void fileCountWithoutSessionIsForGroupsOnly_data()
    {
        QTest::addColumn<int>("owner");
        QTest::addColumn<QString>("count");
        QTest::addRow("group") << 3 << "5";
        QTest::addRow("user") << kDemoUser << "0";
        QTest::addRow("unknown") << 99999 << "0";
    }
    void fileCountWithoutSessionIsForGroupsOnly()
    {
        QFETCH(int, owner);
        QFETCH(QString, count);
        QCOMPARE(framed(m_server->port(), 38, QStringLiteral("[GroupID]%1[/GroupID]").arg(owner)).body, count);
    }
};

// Every request that names an owner and a folder: the folder must belong to that owner.
class OwnerFolderTest : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestServer> m_server;
    QString m_token;
    static constexpr qint64 kForeignFolder = 1008; // Drawing Office's "Plans"

    QByteArray ticket()
    {
        static int r = 0;
        return EncryptWithAppKey(QStringLiteral("[R]%1[/R][U]%2[/U][Dt]%3[/Dt]").arg(++r).arg(m_token, FormatWireDateTime(NowDateTime())), AKS_128).toLatin1();
    }
    QByteArray httpGet(const QByteArray &target)
    {
        RawClient c(m_server->port());
        c.send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        const QByteArray response = c.readToEnd();
        return response.mid(response.indexOf("\r\n\r\n") + 4);
    }
private Q_SLOTS:
    void initTestCase()
    {
        m_server = std::make_unique<TestServer>();
        m_token = loginToken(m_server->port());
        QVERIFY(!m_token.isEmpty());
    }
    void cleanupTestCase() { m_server.reset(); }

    void refused_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<int>("owner");
        QTest::addColumn<qint64>("folder");
        const QStringList requests{QStringLiteral("40"), QStringLiteral("35"), QStringLiteral("47"), QStringLiteral("63"), QStringLiteral("69"),
                                   QStringLiteral("41"), QStringLiteral("66"), QStringLiteral("79"), QStringLiteral("142"), QStringLiteral("upload"),
                                   QStringLiteral("folderadd"), QStringLiteral("folderrename")};
        for (const QString &request : requests) {
            QTest::addRow("%s own owner, foreign folder", qPrintable(request)) << request << kRnd << kForeignFolder;
            QTest::addRow("%s foreign owner, own folder", qPrintable(request)) << request << kDrawingOffice << kContracts2024;
        }
    }
    void refused()
    {
        QFETCH(QString, request);
        QFETCH(int, owner);
        QFETCH(qint64, folder);
        const quint16 port = m_server->port();
        const QString of = QStringLiteral("[OwnerId]%1[/OwnerId][FolderId]%2[/FolderID]").arg(owner).arg(folder);
        if (request == QLatin1String("40") || request == QLatin1String("35") || request == QLatin1String("47")) {
            QCOMPARE(framed(port, quint8(request.toInt()), E(m_token) + of).body, QStringLiteral("no power"));
        } else if (request == QLatin1String("63")) {
            const FramedReply r = framed(port, 63, E(m_token) + of + QStringLiteral("[IsIncludeSub]True[/IsIncludeSub]"));
            QCOMPARE(r.status, 13);
            QCOMPARE(r.body, QString());
        } else if (request == QLatin1String("69")) {
            const FramedReply r = framed(port, 69, E(m_token), owner, qint32(folder));
            QVERIFY(r.status == 13 || r.status == 18);
            QVERIFY(!r.body.contains(QLatin1String("<Folder")));
        } else if (request == QLatin1String("41")) {
            const FramedReply r = framed(port, 41, E(m_token) + of + QStringLiteral("[Folder]Intruder[/Folder]"));
            QCOMPARE(r.status, owner == kRnd ? 18 : 37);
        } else if (request == QLatin1String("66")) {
            const FramedReply r = framed(port, 66, QStringLiteral("[FF]2[/FF][SourceOwnerId]%1[/SourceOwnerId][SourceFolderId]%2[/SourceFolderId][SubFolder]-1[/SubFolder]").arg(owner).arg(folder) + E(m_token));
            QCOMPARE(GetTagValue(r.body, QStringLiteral("F")), QString());
            QVERIFY(!GetTagValue(r.body, QStringLiteral("ErrorTxt")).isEmpty());
        } else if (request == QLatin1String("79")) {
            const FramedReply r = framed(port, 79, E(m_token) + QStringLiteral("[Ownerid]%1[/Ownerid][FatherFolderId]%2[/FatherFolderId][FolderName]Intruder[/FolderName]").arg(owner).arg(folder));
            QCOMPARE(r.status, owner == kRnd ? 18 : 37);
        } else if (request == QLatin1String("142")) {
            QCOMPARE(framed(port, 142, E(m_token) + of).body, QStringLiteral("18"));
        } else if (request == QLatin1String("upload")) {
            const UploadResult r = upload(port, uploadText(m_token, owner, folder, {}, QStringLiteral("intruder.txt"), 3, kTicks), "abc");
            QCOMPARE(r.status, owner == kRnd ? 18 : 13);
        } else if (request == QLatin1String("folderadd")) {
            const QByteArray answer = httpGet("/folderadd?opr=new&st=c&uid=" + ticket() + "&ownerid=" + QByteArray::number(owner) + "&fatherid=" + QByteArray::number(folder) + "&foldername=Intruder&rnd=1");
            QCOMPARE(answer.toLongLong(), 0);
            QVERIFY(!answer.isEmpty());
        } else {
            const QByteArray answer = httpGet("/folderrename?opr=rename&st=c&uid=" + ticket() + "&ownerid=" + QByteArray::number(owner) + "&folderid=" + QByteArray::number(folder) + "&foldername=Intruder&rnd=1");
            QCOMPARE(QString::fromUtf8(answer), QStringLiteral("The folder doesn't exist."));
        }
        // Nothing of the other owner's folder leaked or changed.
        Store store(m_server->dataDir());
        QCOMPARE(store.db().value(QStringLiteral("SELECT COUNT(*) FROM folders WHERE name='Intruder' AND deleted=0")).toInt(), 0);
        QVERIFY(store.folder(kForeignFolder).has_value());
        QVERIFY(store.folder(kContracts2024).has_value());
    }

    // A file above a user's classification shows in none of the listings that user gets.
    void classifiedFilesStayOutOfListings_data()
    {
        QTest::addColumn<int>("request");
        for (int request : {40, 35, 65, 63, 66})
            QTest::addRow("%d", request) << request;
    }
    void classifiedFilesStayOutOfListings()
    {
        QFETCH(int, request);
        const quint16 port = m_server->port();
        const QString folderName = QStringLiteral("classified %1").arg(request);
        const FramedReply made = framed(port, 79, E(m_token) + QStringLiteral("[Ownerid]%1[/Ownerid][FatherFolderId]%2[/FatherFolderId][FolderName]%3[/FolderName]")
                                                          .arg(kRnd).arg(kContracts2024).arg(folderName));
        const qint64 folder = made.body.toLongLong();
        QVERIFY2(folder > 0, qPrintable(made.body));
        QString text = uploadText(m_token, kRnd, folder, {}, QStringLiteral("secret-plan.txt"), 3, kTicks);
        text.replace(QStringLiteral("[SC]0[/SC]"), QStringLiteral("[SC]5[/SC]"));
        QVERIFY(upload(port, text, "abc").key > 0);
        QVERIFY(upload(port, uploadText(m_token, kRnd, folder, {}, QStringLiteral("open-plan.txt"), 3, kTicks), "def").key > 0);
        const QString alice = loginToken(port, QStringLiteral("alice"), QStringLiteral("alice123"));
        {
            Store store(m_server->dataDir());
            QVERIFY(store.db().run(QStringLiteral("UPDATE owners SET clearance=1 WHERE login='alice'")));
        }
        auto restore = qScopeGuard([&] { Store(m_server->dataDir()).db().run(QStringLiteral("UPDATE owners SET clearance=255 WHERE login='alice'")); });
        auto listing = [&](const QString &token) {
            const QString of = QStringLiteral("[OwnerId]%1[/OwnerId][FolderId]%2[/FolderID]").arg(kRnd).arg(folder);
            switch (request) {
            case 63:
                return framed(port, 63, E(token) + of + QStringLiteral("[IsIncludeSub]True[/IsIncludeSub]")).body;
            case 65:
                return framed(port, 65, E(token) + QStringLiteral("[FolderId]%1[/FolderId]").arg(folder)).body;
            case 66:
                return framed(port, 66, QStringLiteral("[FF]2[/FF][SourceOwnerId]%1[/SourceOwnerId][SourceFolderId]%2[/SourceFolderId][SubFolder]-1[/SubFolder]")
                                            .arg(kRnd).arg(folder) + E(token)).body;
            default:
                return framed(port, quint8(request), E(token) + of).body;
            }
        };
        const QString forAlice = listing(alice);
        QVERIFY2(forAlice.contains(QLatin1String("open-plan.txt")), qPrintable(forAlice));
        QVERIFY2(!forAlice.contains(QLatin1String("secret-plan.txt")), qPrintable(forAlice));
        QVERIFY(listing(m_token).contains(QLatin1String("secret-plan.txt")));
    }

    // Asked for by its key, a file above the user's classification is refused
    // wherever a request reaches one file, while a cleared user gets it.
    void classifiedFileIsRefusedByKey_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("refused");  // alice's answer
        QTest::addColumn<QString>("granted");  // demo's answer
        QTest::addRow("51 may download") << QStringLiteral("51") << QStringLiteral("38") << QStringLiteral("10");
        QTest::addRow("72 name") << QStringLiteral("72") << QStringLiteral("38") << QStringLiteral("60");
        QTest::addRow("37 file info") << QStringLiteral("37") << QString() << QStringLiteral("named");
        QTest::addRow("file channel download") << QStringLiteral("download") << QStringLiteral("38") << QStringLiteral("10");
    }
    void classifiedFileIsRefusedByKey()
    {
        QFETCH(QString, request);
        QFETCH(QString, refused);
        QFETCH(QString, granted);
        const quint16 port = m_server->port();
        const QString name = QStringLiteral("sealed-%1.txt").arg(QTest::currentDataTag()).replace(u' ', u'-');
        QString text = uploadText(m_token, kRnd, kContracts2024, {}, name, 3, kTicks);
        text.replace(QStringLiteral("[SC]0[/SC]"), QStringLiteral("[SC]5[/SC]"));
        const qint64 key = upload(port, text, "abc").key;
        QVERIFY(key > 0);
        const QString alice = loginToken(port, QStringLiteral("alice"), QStringLiteral("alice123"));
        QVERIFY(Store(m_server->dataDir()).db().run(QStringLiteral("UPDATE owners SET clearance=1 WHERE login='alice'")));
        auto restore = qScopeGuard([&] { Store(m_server->dataDir()).db().run(QStringLiteral("UPDATE owners SET clearance=255 WHERE login='alice'")); });
        auto answer = [&](const QString &token) {
            if (request == QLatin1String("download"))
                return QString::number(download(port, downloadText(token, key)).status);
            if (request == QLatin1String("51"))
                return framed(port, 51, E(token) + QStringLiteral("[fileKey]%1[/fileKey]").arg(key)).body;
            if (request == QLatin1String("72"))
                return QString::number(framed(port, 72, E(token) + QStringLiteral("[Key]%1[/Key]").arg(key)).status);
            const QString info = framed(port, 37, E(token) + QStringLiteral("[Key]%1[/Key]").arg(key)).body;
            return info.contains(name) ? QStringLiteral("named") : info;
        };
        QCOMPARE(answer(alice), refused);
        QCOMPARE(answer(m_token), granted);
    }

    // A change the store could not make is never answered as made, and leaves nothing half done.
    void failedWritesAreNotReportedAsDone_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("failing"); // when the store refuses the write
        QTest::addColumn<QString>("done");    // the answer that means success
        QTest::addRow("50 description") << QStringLiteral("50") << QStringLiteral("BEFORE UPDATE OF description ON files") << QStringLiteral("60");
        QTest::addRow("54 remark") << QStringLiteral("54") << QStringLiteral("BEFORE UPDATE ON versions") << QStringLiteral("1");
        QTest::addRow("75 unlock") << QStringLiteral("75") << QStringLiteral("BEFORE DELETE ON locks") << QStringLiteral("1");
        QTest::addRow("144 delete file") << QStringLiteral("144") << QStringLiteral("BEFORE UPDATE OF deleted ON files") << QStringLiteral("1");
        QTest::addRow("142 delete folder") << QStringLiteral("142") << QStringLiteral("BEFORE UPDATE OF deleted ON folders") << QStringLiteral("1");
        QTest::addRow("folder rename") << QStringLiteral("folderrename") << QStringLiteral("BEFORE UPDATE OF name ON folders") << QStringLiteral("ok");
        QTest::addRow("edit download takes the lock") << QStringLiteral("edit") << QStringLiteral("BEFORE INSERT ON locks") << QStringLiteral("10");
    }
    void failedWritesAreNotReportedAsDone()
    {
        QFETCH(QString, request);
        QFETCH(QString, failing);
        QFETCH(QString, done);
        const quint16 port = m_server->port();
        const FramedReply made = framed(port, 79, E(m_token) + QStringLiteral("[Ownerid]%1[/Ownerid][FatherFolderId]%2[/FatherFolderId][FolderName]failing %3[/FolderName]")
                                                          .arg(kRnd).arg(kContracts2024).arg(QString::fromLatin1(QTest::currentDataTag())));
        const qint64 folder = made.body.toLongLong();
        QVERIFY2(folder > 0, qPrintable(made.body));
        const QByteArray body = randomBytes(100);
        const UploadResult up = upload(port, uploadText(m_token, kRnd, folder, {}, QStringLiteral("failing.txt"), body.size(), kTicks), body);
        QVERIFY(up.key > 0);
        const QString key = QStringLiteral("[FileKey]%1[/FileKey]").arg(up.key);
        const bool locked = request == QLatin1String("75");
        if (locked)
            QCOMPARE(framed(port, 76, E(m_token) + key).body, QStringLiteral("1"));
        Store store(m_server->dataDir());
        const QString folderName = store.folder(folder)->name;
        QVERIFY(store.db().run(QStringLiteral("CREATE TRIGGER failing %1 BEGIN SELECT RAISE(ABORT, 'disk full'); END").arg(failing)));
        auto dropTrigger = qScopeGuard([&] { store.db().run(QStringLiteral("DROP TRIGGER IF EXISTS failing")); });

        QString answer;
        if (request == QLatin1String("50")) {
            answer = QString::number(framed(port, 50, E(m_token) + QStringLiteral("[filekey]%1[/filekey][desc]changed[/desc]").arg(up.key)).status);
        } else if (request == QLatin1String("54")) {
            answer = framed(port, 54, E(m_token) + QStringLiteral("[Key]%1[/Key][ExtInfo][Opr]Remark[/Opr][Remark]changed[/Remark][/ExtInfo]").arg(up.key)).body;
        } else if (request == QLatin1String("75") || request == QLatin1String("144")) {
            answer = framed(port, quint8(request.toInt()), E(m_token) + key).body;
        } else if (request == QLatin1String("142")) {
            answer = framed(port, 142, E(m_token) + QStringLiteral("[OwnerId]%1[/OwnerId][FolderId]%2[/FolderID]").arg(kRnd).arg(folder)).body;
        } else if (request == QLatin1String("folderrename")) {
            answer = QString::fromUtf8(httpGet("/folderrename?opr=rename&st=c&uid=" + ticket() + "&ownerid=" + QByteArray::number(kRnd)
                                               + "&folderid=" + QByteArray::number(folder) + "&foldername=Renamed&rnd=1"));
        } else {
            answer = QString::number(download(port, downloadText(m_token, up.key, QStringLiteral("[IsReplace]True[/IsReplace][VersionId]-1[/VersionId]"))).status);
        }
        QVERIFY2(answer != done, qPrintable(answer));
        QVERIFY(!answer.isEmpty());

        dropTrigger.dismiss();
        QVERIFY(store.db().run(QStringLiteral("DROP TRIGGER failing")));
        const FileInfo f = *store.file(up.key);
        QCOMPARE(f.deleted, false);
        QCOMPARE(f.description, QString());
        QCOMPARE(store.folder(folder).has_value(), true);
        QCOMPARE(store.folder(folder)->name, folderName);
        QCOMPARE(store.lock(up.key).has_value(), locked);
        QCOMPARE(store.db().value(QStringLiteral("SELECT COUNT(*) FROM versions WHERE file_key=? AND remark='changed'"), {up.key}).toInt(), 0);
    }

    // A file of an owner the user cannot reach: no request by its key reads, changes
    // or records anything of it.
    void foreignFileKeysAreRefused_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("success");
        QTest::addRow("53 print record") << 53 << QStringLiteral("[Filekey]%1[/Filekey][Opr]62[/Opr]") << QString();
        QTest::addRow("51 may download") << 51 << QStringLiteral("[fileKey]%1[/fileKey]") << QStringLiteral("10");
        QTest::addRow("52 date and size") << 52 << QStringLiteral("[fileKey]%1[/fileKey][locDT]2024-01-01 00:00:00[/locDT]") << QString();
        QTest::addRow("77 time") << 77 << QStringLiteral("[FileKey]%1[/FileKey]") << QString();
        QTest::addRow("37 file record") << 37 << QStringLiteral("[Key]%1[/Key]") << QString();
        QTest::addRow("49 description") << 49 << QStringLiteral("[filekey]%1[/filekey]") << QString();
        QTest::addRow("50 new description") << 50 << QStringLiteral("[filekey]%1[/filekey][desc]defaced[/desc]") << QString();
        QTest::addRow("72 name") << 72 << QStringLiteral("[Key]%1[/Key]") << QString();
        QTest::addRow("45 properties") << 45 << QStringLiteral("[FileKey]%1[/FileKey]") << QString();
        QTest::addRow("54 remark") << 54 << QStringLiteral("[Key]%1[/Key][ExtInfo][Opr]Remark[/Opr][Remark]defaced[/Remark][/ExtInfo]") << QStringLiteral("1");
        QTest::addRow("76 lock") << 76 << QStringLiteral("[FileKey]%1[/FileKey]") << QStringLiteral("1");
        QTest::addRow("144 delete") << 144 << QStringLiteral("[FileKey]%1[/FileKey]") << QStringLiteral("1");
        QTest::addRow("78 server path") << 78 << QStringLiteral("[FileKey]%1[/FileKey][IsFolder]False[/IsFolder]") << QString();
    }
    void foreignFileKeysAreRefused()
    {
        QFETCH(int, code);
        QFETCH(QString, text);
        QFETCH(QString, success);
        Store store(m_server->dataDir());
        const qint64 key = store.db().value(QStringLiteral("SELECT MIN(key) FROM files WHERE folder_id=? AND deleted=0"), {kForeignFolder}).toLongLong();
        QVERIFY(key > 0);
        QVERIFY(store.db().run(QStringLiteral("UPDATE files SET description='secret words', props='[P]secret props[/P]' WHERE key=?"), {key}));
        const FileInfo before = *store.file(key);
        const VersionInfo version = *store.version(key);
        auto records = [&] { return store.db().value(QStringLiteral("SELECT COUNT(*) FROM audit_log WHERE file_key=?"), {key}).toInt(); };
        const int recordsBefore = records();

        const FramedReply r = framed(m_server->port(), quint8(code), E(m_token) + text.arg(key));
        if (!success.isEmpty())
            QVERIFY2(r.body != success, qPrintable(r.body));
        for (const QString &secret : {before.name, QStringLiteral("secret"), QString::number(version.ticks), QStringLiteral("Plans/")})
            QVERIFY2(!r.body.contains(secret), qPrintable(r.body));
        const FileInfo after = *store.file(key);
        QCOMPARE(after.deleted, false);
        QCOMPARE(after.description, before.description);
        QCOMPARE(store.lock(key).has_value(), false);
        QCOMPARE(store.db().value(QStringLiteral("SELECT COUNT(*) FROM versions WHERE file_key=? AND remark='defaced'"), {key}).toInt(), 0);
        QCOMPARE(records(), recordsBefore);
    }
};

class FileChannelTest : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestServer> m_server;
    QString m_token;
private Q_SLOTS:
    void initTestCase()
    {
        m_server = std::make_unique<TestServer>();
        m_token = loginToken(m_server->port());
        QVERIFY(!m_token.isEmpty());
    }
    void cleanupTestCase() { m_server.reset(); }

    void uploadThenDownloadKeepsBytesAndTime()
    {
        const QByteArray body = randomBytes(100000);
        const UploadResult up = upload(m_server->port(), uploadText(m_token, kRnd, kContracts2024, {}, QStringLiteral("C:\\Work\\new.bin"), body.size(), kTicks), body);
        QCOMPARE(up.status, 3);
        QCOMPARE(up.held, 0);
        QVERIFY(up.key > 0);
        const DownloadResult down = download(m_server->port(), downloadText(m_token, up.key));
        QCOMPARE(down.status, 10);
        QCOMPARE(down.timeLine, QByteArray::number(kTicks) + "\r\n");
        QCOMPARE(down.accepted, 0);
        QCOMPARE(down.body, body);
        QCOMPARE(down.trailer, kDownloadComplete);
        // Same size and time again: "no change", with the existing key.
        const UploadResult again = upload(m_server->port(), uploadText(m_token, kRnd, kContracts2024, {}, QStringLiteral("D:\\other\\new.bin"), body.size(), kTicks), body);
        QCOMPARE(again.status, 16);
        QCOMPARE(again.key, up.key);
        // A different time makes it a new version of the same file.
        const QByteArray changed = randomBytes(5000);
        const UploadResult version = upload(m_server->port(), uploadText(m_token, kRnd, kContracts2024, {}, QStringLiteral("new.bin"), changed.size(), kTicks + 100000000), changed);
        QCOMPARE(version.key, up.key);
        QCOMPARE(download(m_server->port(), downloadText(m_token, up.key)).body, changed);
        QCOMPARE(download(m_server->port(), downloadText(m_token, up.key, QStringLiteral("[IsPreView]True[/IsPreView][IsReplace]True[/IsReplace][Versionid]1[/Versionid]"))).body, body);
    }

    void bodiesLargerThanTheReadBufferOverTls()
    {
        TestServer tls(true, true);
        const QString token = loginToken(tls.port());
        const QByteArray body = randomBytes(5 * 1024 * 1024);
        const UploadResult up = upload(tls.port(), uploadText(token, kRnd, kContracts2024, {}, QStringLiteral("big.bin"), body.size(), kTicks), body, true, true);
        QCOMPARE(up.status, 3);
        QVERIFY(up.key > 0);
        QCOMPARE(download(tls.port(), downloadText(token, up.key), 0, 0, false, true).body, body);
    }

    void longParameterLineIsAccepted()
    {
        // Beyond the free allowance of an opening, drawn from the shared budget.
        QString text = uploadText(m_token, kRnd, kContracts2024, {}, QStringLiteral("long summary.txt"), 3, kTicks);
        text.replace(QLatin1String("[Summary][/Summary]"), QStringLiteral("[Summary]%1[/Summary]").arg(QString(20000, u's')));
        QVERIFY(upload(m_server->port(), text, "abc").key > 0);
    }

    void subFoldersAreCreated()
    {
        const QByteArray body("nested");
        const UploadResult up = upload(m_server->port(), uploadText(m_token, kRnd, kContracts2024, QStringLiteral("Root\\B\\C\\"), QStringLiteral("C:\\Root\\B\\C\\deep.txt"), body.size(), kTicks), body);
        QVERIFY(up.key > 0);
        const FramedReply path = framed(m_server->port(), 78, E(m_token) + QStringLiteral("[FileKey]%1[/FileKey][IsFolder]False[/IsFolder]").arg(up.key));
        QCOMPARE(GetTagValue(path.body, QStringLiteral("PathStr")), QStringLiteral("R&D/Contracts/2024/Root/B/C/"));
        // The same chain again reuses the folders.
        const UploadResult second = upload(m_server->port(), uploadText(m_token, kRnd, kContracts2024, QStringLiteral("root\\b\\c\\"), QStringLiteral("other.txt"), body.size(), kTicks), body);
        QCOMPARE(framed(m_server->port(), 78, E(m_token) + QStringLiteral("[FileKey]%1[/FileKey][IsFolder]False[/IsFolder]").arg(second.key)).body, path.body);
    }

    void uploadRefusals_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("status");
        const QString t = QStringLiteral("TOKEN");
        QTest::addRow("invalid session") << uploadText(QStringLiteral("00000000000000000000000000000000"), kRnd, kContracts2024, {}, "a.txt", 3, kTicks) << 7;
        QTest::addRow("parent in sub-folders") << uploadText(t, kRnd, kContracts2024, "..\\..\\", "a.txt", 3, kTicks) << 100;
        QTest::addRow("parent hidden in sub-folders") << uploadText(t, kRnd, kContracts2024, "a\\..\\", "a.txt", 3, kTicks) << 100;
        QTest::addRow("parent as name") << uploadText(t, kRnd, kContracts2024, {}, "C:\\x\\..", 3, kTicks) << 100;
        QTest::addRow("reserved character in name") << uploadText(t, kRnd, kContracts2024, {}, "a*b.txt", 3, kTicks) << 100;
        QTest::addRow("device name") << uploadText(t, kRnd, kContracts2024, {}, "aux.txt", 3, kTicks) << 100;
        QTest::addRow("trailing dot") << uploadText(t, kRnd, kContracts2024, {}, "a.txt.", 3, kTicks) << 100;
        QTest::addRow("direction override") << uploadText(t, kRnd, kContracts2024, {}, QStringLiteral("a\u202Etxt.exe"), 3, kTicks) << 100;
        QTest::addRow("device name in sub-folders") << uploadText(t, kRnd, kContracts2024, "x\\LPT1\\", "a.txt", 3, kTicks) << 100;
        QTest::addRow("top level") << uploadText(t, kRnd, 0, {}, "a.txt", 3, kTicks) << 39;
        QTest::addRow("foreign folder") << uploadText(t, kRnd, 1008, {}, "a.txt", 3, kTicks) << 18;
        QTest::addRow("no right on owner") << uploadText(t, kDrawingOffice, 1008, {}, "a.txt", 3, kTicks) << 13;
        QTest::addRow("over the size limit") << uploadText(t, kRnd, kContracts2024, {}, "a.txt", 201LL * 1024 * 1024, kTicks) << 34;
        QTest::addRow("negative size") << uploadText(t, kRnd, kContracts2024, {}, "a.txt", -1, kTicks) << 21;
    }
    void uploadRefusals()
    {
        QFETCH(QString, text);
        QFETCH(int, status);
        text.replace(QLatin1String("[EncryptCode]TOKEN["), E(m_token).chopped(14) + u'[');
        const UploadResult r = upload(m_server->port(), text, QByteArray("abc"));
        QCOMPARE(r.status, status);
        QCOMPARE(r.key, 0); // the key always follows a refusal
        QCOMPARE(fileKeyByName(m_server->port(), m_token, kRnd, kContracts2024, QStringLiteral("a.txt")), 0);
    }

    void resumeAfterDroppedConnection()
    {
        const QByteArray body = randomBytes(300000);
        const QString text = uploadText(m_token, kRnd, kContracts2024, {}, QStringLiteral("C:\\big\\resume.bin"), body.size(), kTicks);
        {
            RawClient c(m_server->port());
            c.send(fileOpening(1, text));
            QCOMPARE(c.int32(), 3);
            QCOMPARE(c.int64(), 0);
            QCOMPARE(c.int64(), 0);
            c.send(int64BE(0) + int64BE(body.size()) + body.left(120000));
            c.close();
        }
        QCOMPARE(fileKeyByName(m_server->port(), m_token, kRnd, kContracts2024, QStringLiteral("resume.bin")), 0);
        // The server holds what arrived, minus a possible trailer, and proves it with the last 8 bytes.
        UploadResult offer;
        QTRY_VERIFY_WITH_TIMEOUT([&] {
            RawClient c(m_server->port());
            c.send(fileOpening(1, text));
            offer.status = c.int32();
            offer.held = c.int64();
            offer.check = c.int64();
            return offer.held > 0;
        }(), 5000);
        QCOMPARE(offer.status, 3);
        QVERIFY(offer.held <= 120000 - 4 && offer.held >= 8);
        QCOMPARE(offer.check, qFromLittleEndian<qint64>(body.constData() + offer.held - 8));
        const UploadResult done = upload(m_server->port(), text, body);
        QVERIFY(done.key > 0);
        QCOMPARE(download(m_server->port(), downloadText(m_token, done.key)).body, body);
    }

    void resumeWhileTheBrokenConnectionIsStillOpen()
    {
        // The first connection stalls part way without closing; the client resumes on
        // a new one. When both shared the partial body, the stalled one's truncate at
        // its idle time-out cut the body already stored by the resume.
        const QByteArray body = randomBytes(300000);
        const QString text = uploadText(m_token, kRnd, kContracts2024, {}, QStringLiteral("stalled.bin"), body.size(), kTicks);
        RawClient stalled(m_server->port());
        stalled.send(fileOpening(1, text));
        QCOMPARE(stalled.int32(), 3);
        QCOMPARE(stalled.int64(), 0);
        QCOMPARE(stalled.int64(), 0);
        stalled.send(int64BE(0) + int64BE(body.size()) + body.left(120000));
        const UploadResult resumed = upload(m_server->port(), text, body);
        QVERIFY(resumed.key > 0);
        QCOMPARE(stalled.readToEnd(), int64BE(0));
        QCOMPARE(download(m_server->port(), downloadText(m_token, resumed.key)).body, body);
        // The resume waited for the stalled connection and went on from what it kept.
        QCOMPARE(resumed.held, 120000 - 4);
    }

    void badResumeOffsetsAreRefused_data()
    {
        QTest::addColumn<qint64>("start");
        QTest::addColumn<qint64>("remaining");
        QTest::addRow("start not offered") << qint64(5) << qint64(95);
        QTest::addRow("sum above size") << qint64(0) << qint64(1000);
        QTest::addRow("negative") << qint64(0) << qint64(-100);
    }
    void badResumeOffsetsAreRefused()
    {
        QFETCH(qint64, start);
        QFETCH(qint64, remaining);
        RawClient c(m_server->port());
        c.send(fileOpening(1, uploadText(m_token, kRnd, kContracts2024, {}, QStringLiteral("offsets.bin"), 100, kTicks)));
        QCOMPARE(c.int32(), 3);
        c.int64();
        c.int64();
        c.send(int64BE(start) + int64BE(remaining));
        QCOMPARE(c.int64(), 0);
    }

    void cancelledUploadStoresNothing()
    {
        const QByteArray body = randomBytes(50000);
        const QString text = uploadText(m_token, kRnd, kContracts2024, {}, QStringLiteral("cancel.bin"), body.size(), kTicks);
        RawClient c(m_server->port());
        c.send(fileOpening(1, text));
        QCOMPARE(c.int32(), 3);
        c.int64();
        c.int64();
        // The client stops early, sends "stopped" and waits for the key.
        c.send(int64BE(0) + int64BE(body.size()) + body.left(20000) + int32BE(kUploadStopped));
        QCOMPARE(c.int64(), 0);
        QCOMPARE(fileKeyByName(m_server->port(), m_token, kRnd, kContracts2024, QStringLiteral("cancel.bin")), 0);
        RawClient again(m_server->port());
        again.send(fileOpening(1, text));
        QCOMPARE(again.int32(), 3);
        QCOMPARE(again.int64(), 20000); // the trailer was not kept as data
    }

    void downloadResumeAndChecks()
    {
        const QByteArray body = randomBytes(4096);
        const UploadResult up = upload(m_server->port(), uploadText(m_token, kRnd, kContracts2024, {}, QStringLiteral("dl.bin"), body.size(), kTicks), body);
        const qint64 check = qFromLittleEndian<qint64>(body.constData() + 1024 - 8);
        DownloadResult r = download(m_server->port(), downloadText(m_token, up.key, QStringLiteral("[IsReplace]False[/IsReplace]")), 1024, check);
        QCOMPARE(r.accepted, 1024);
        QCOMPARE(r.body, body.mid(1024));
        r = download(m_server->port(), downloadText(m_token, up.key), 1024, check + 1);
        QCOMPARE(r.accepted, 0);
        QCOMPARE(r.body, body);
        r = download(m_server->port(), downloadText(m_token, up.key), 999999, 0);
        QCOMPARE(r.accepted, 0);
        QCOMPARE(download(m_server->port(), downloadText(m_token, 424242)).status, 8);
        QCOMPARE(download(m_server->port(), downloadText(m_token, up.key, QStringLiteral("[IsCheckout]True[/IsCheckout][IsReplace]True[/IsReplace]"))).status, 17);
        QCOMPARE(download(m_server->port(), downloadText(m_token, up.key, QStringLiteral("[VersionId]7[/VersionId]"))).status, 8);
        // op 8: the same body exchange, no time line, a final Int64.
        const DownloadResult raw = download(m_server->port(), downloadText(m_token, up.key), 0, 0, true);
        QCOMPARE(raw.status, 10);
        QCOMPARE(raw.body, body);
    }

    void newVersionUpload()
    {
        const QByteArray first = randomBytes(3000);
        const UploadResult up = upload(m_server->port(), uploadText(m_token, kRnd, kContracts2024, {}, QStringLiteral("edit.docx"), first.size(), kTicks), first);
        QVERIFY(up.key > 0);
        // An edit download takes the edit lock; the edited version releases it.
        QCOMPARE(download(m_server->port(), downloadText(m_token, up.key, QStringLiteral("[IsReplace]True[/IsReplace][VersionId]-1[/VersionId]"))).status, 10);
        const QString alice = loginToken(m_server->port(), QStringLiteral("alice"), QStringLiteral("alice123"));
        QCOMPARE(download(m_server->port(), downloadText(alice, up.key, QStringLiteral("[VersionId]-1[/VersionId]"))).status, 14);

        auto op3 = [&](const QString &token, const QByteArray &bytes, qint64 ticks, qint64 sendBytes, qint32 trailer) {
            RawClient c(m_server->port());
            c.send(fileOpening(3, E(token) + QStringLiteral("[Key]%1[/Key][Size]%2[/Size][ModifyDate]%3[/ModifyDate][language]1[/language]").arg(up.key).arg(bytes.size()).arg(ticks)));
            const qint32 status = c.int32();
            if (status != 3)
                return status;
            c.int64();
            c.int64();
            c.send(int64BE(0) + int64BE(bytes.size()) + bytes.left(sendBytes) + int32BE(trailer));
            if (sendBytes < bytes.size())
                c.socket().disconnectFromHost();
            return c.int32();
        };
        const QByteArray second = randomBytes(3500);
        QCOMPARE(op3(alice, second, kTicks + 1000000000, second.size(), kUploadComplete), 14);
        QCOMPARE(op3(m_token, second, kTicks - 100000000, second.size(), kUploadComplete), 15);
        QCOMPARE(op3(m_token, first, kTicks, first.size(), kUploadComplete), 16);
        QCOMPARE(op3(m_token, second, kTicks + 1000000000, second.size() / 2, kUploadStopped), -1);
        QCOMPARE(download(m_server->port(), downloadText(m_token, up.key)).body, first);
        QCOMPARE(op3(m_token, second, kTicks + 1000000000, second.size(), kUploadComplete), 3);
        const DownloadResult now = download(m_server->port(), downloadText(alice, up.key));
        QCOMPARE(now.body, second);
        QCOMPARE(now.timeLine, QByteArray::number(kTicks + 1000000000) + "\r\n");
        QCOMPARE(framed(m_server->port(), 76, E(alice) + QStringLiteral("[FileKey]%1[/FileKey]").arg(up.key)).body, QStringLiteral("1"));
        QCOMPARE(framed(m_server->port(), 77, E(alice) + QStringLiteral("[FileKey]%1[/FileKey]").arg(up.key)).body, QString::number(kTicks + 1000000000));
        QVERIFY(QDir(m_server->dataDir() + QStringLiteral("/staging")).entryList({QStringLiteral("*.tmp")}, QDir::Files).isEmpty());
    }

    // Check-in without the caller's lock is refused; with it, each check-in is the
    // new current version (the tenth after the ninth) and gives the lock back.
    void checkInNeedsTheLock()
    {
        const QByteArray first = randomBytes(1000);
        const UploadResult up = upload(m_server->port(), uploadText(m_token, kRnd, kContracts2024, {}, QStringLiteral("checkin.txt"), first.size(), kTicks), first);
        QVERIFY(up.key > 0);
        const QString lockKey = QStringLiteral("[FileKey]%1[/FileKey]").arg(up.key);
        auto checkIn = [&](const QByteArray &bytes, qint64 ticks) {
            RawClient c(m_server->port());
            c.send(fileOpening(3, E(m_token) + QStringLiteral("[Key]%1[/Key][Size]%2[/Size][ModifyDate]%3[/ModifyDate][language]1[/language][IsCheckin]True[/IsCheckin]")
                                                   .arg(up.key).arg(bytes.size()).arg(ticks)));
            const qint32 status = c.int32();
            if (status != 3)
                return status;
            c.int64();
            c.int64();
            c.send(int64BE(0) + int64BE(bytes.size()) + bytes + int32BE(kUploadComplete));
            return c.int32();
        };
        QCOMPARE(checkIn(randomBytes(10), kTicks + 1000000000), 17);
        QByteArray last;
        for (int i = 2; i <= 11; ++i) {
            QCOMPARE(framed(m_server->port(), 76, E(m_token) + lockKey).body, QStringLiteral("1"));
            last = randomBytes(100 + i);
            QCOMPARE(checkIn(last, kTicks + qint64(i) * 1000000000), 3);
            QCOMPARE(Store(m_server->dataDir()).lock(up.key).has_value(), false);
        }
        const DownloadResult now = download(m_server->port(), downloadText(m_token, up.key));
        QCOMPARE(now.body, last);
        QCOMPARE(framed(m_server->port(), 77, E(m_token) + lockKey).body, QString::number(kTicks + 11 * qint64(1000000000)));
        const FramedReply newest = framed(m_server->port(), 63, E(m_token) + QStringLiteral("[OwnerId]2[/OwnerId][FolderId]1001[/FolderID][IsIncludeSub]False[/IsIncludeSub]"));
        QVERIFY2(newest.body.contains(QStringLiteral("%1*1001*%2*checkin.txt*").arg(up.key).arg(kTicks + 11 * qint64(1000000000))), qPrintable(newest.body));
    }

    // The lock, the recycle bin and the folder are checked again when the body has
    // arrived: what another user did meanwhile wins over the slower upload.
    void changesDuringAnUploadWin_data()
    {
        QTest::addColumn<int>("op");
        QTest::addColumn<QString>("meanwhile");
        QTest::addColumn<qint64>("expected"); // op 3: status; op 1: key (-1 = a new key)
        QTest::addRow("new version, file locked by another user") << 3 << QStringLiteral("lock") << qint64(14);
        QTest::addRow("new version, file deleted") << 3 << QStringLiteral("delete file") << qint64(25);
        QTest::addRow("replacing upload, file locked by another user") << 1 << QStringLiteral("lock") << qint64(0);
        QTest::addRow("replacing upload, file deleted") << 1 << QStringLiteral("delete file") << qint64(-1);
        QTest::addRow("replacing upload, folder deleted") << 1 << QStringLiteral("delete folder") << qint64(0);
    }
    void changesDuringAnUploadWin()
    {
        QFETCH(int, op);
        QFETCH(QString, meanwhile);
        QFETCH(qint64, expected);
        const quint16 port = m_server->port();
        const QString alice = loginToken(port, QStringLiteral("alice"), QStringLiteral("alice123"));
        QVERIFY(!alice.isEmpty());
        const FramedReply made = framed(port, 79, E(m_token) + QStringLiteral("[Ownerid]%1[/Ownerid][FatherFolderId]%2[/FatherFolderId][FolderName]%3[/FolderName]")
                                                          .arg(kRnd).arg(kContracts2024).arg(QString::fromLatin1(QTest::currentDataTag())));
        const qint64 folder = made.body.toLongLong();
        QVERIFY2(made.status == 80 && folder > 0, qPrintable(made.body));
        const QByteArray first = randomBytes(2000);
        const UploadResult up = upload(port, uploadText(m_token, kRnd, folder, {}, QStringLiteral("race.bin"), first.size(), kTicks), first);
        QVERIFY(up.key > 0);

        const QByteArray second = randomBytes(40000);
        const qint64 later = kTicks + 1000000000;
        RawClient c(port);
        c.send(fileOpening(op, op == 3 ? E(m_token) + QStringLiteral("[Key]%1[/Key][Size]%2[/Size][ModifyDate]%3[/ModifyDate][language]1[/language]")
                                                          .arg(up.key).arg(second.size()).arg(later)
                                       : uploadText(m_token, kRnd, folder, {}, QStringLiteral("race.bin"), second.size(), later)));
        QCOMPARE(c.int32(), 3);
        c.int64();
        c.int64();
        c.send(int64BE(0) + int64BE(second.size()) + second.left(20000));
        const QString key = QStringLiteral("[FileKey]%1[/FileKey]").arg(up.key);
        if (meanwhile == QLatin1String("lock"))
            QCOMPARE(framed(port, 76, E(alice) + key).body, QStringLiteral("1"));
        else if (meanwhile == QLatin1String("delete file"))
            QCOMPARE(framed(port, 144, E(alice) + key).body, QStringLiteral("1"));
        else
            QCOMPARE(framed(port, 142, E(alice) + QStringLiteral("[OwnerId]%1[/OwnerId][FolderId]%2[/FolderID]").arg(kRnd).arg(folder)).body, QStringLiteral("1"));
        c.send(second.mid(20000) + int32BE(kUploadComplete));

        Store store(m_server->dataDir());
        if (op == 3) {
            QCOMPARE(c.int32(), qint32(expected));
        } else if (expected == -1) {
            const qint64 fresh = c.int64();
            QVERIFY(fresh > 0 && fresh != up.key);
            QCOMPARE(download(port, downloadText(m_token, fresh)).body, second);
        } else {
            QCOMPARE(c.int64(), expected);
            QCOMPARE(store.db().value(QStringLiteral("SELECT COUNT(*) FROM files WHERE folder_id=? AND deleted=0"), {folder}).toInt(),
                     meanwhile == QLatin1String("lock") ? 1 : 0);
        }
        // The version the other user saw is still the current one.
        QCOMPARE(store.version(up.key)->size, qint64(first.size()));
        if (meanwhile == QLatin1String("lock"))
            QCOMPARE(store.lock(up.key)->userId, store.ownerIdByName(QStringLiteral("alice"), QStringLiteral("U")));
    }

    void hostileFileChannel_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addRow("parameter line without end") << kFileRequestLine + int32BE(2) + QByteArray(kMaxParamLine + 10, 'A');
        QTest::addRow("hex that is not hex") << kFileRequestLine + int32BE(2) + QByteArray("%_ZZ_%\r\n");
        QTest::addRow("unknown operation") << kFileRequestLine + int32BE(99) + QByteArray("%__%\r\n");
    }
    void hostileFileChannel()
    {
        QFETCH(QByteArray, bytes);
        RawClient c(m_server->port());
        c.send(bytes);
        const QByteArray answer = c.readToEnd();
        QVERIFY(answer.isEmpty() || answer == int32BE(21));
        QCOMPARE(framed(m_server->port(), 109, {}).status, 80);
    }

    void concurrentTransfers()
    {
        // Many uploads at once, each on its own connection, all stored whole.
        QList<QByteArray> bodies;
        for (int i = 0; i < 8; ++i)
            bodies << randomBytes(200000 + i);
        std::vector<std::unique_ptr<RawClient>> clients;
        for (int i = 0; i < bodies.size(); ++i) {
            clients.push_back(std::make_unique<RawClient>(m_server->port()));
            clients.back()->send(fileOpening(1, uploadText(m_token, kRnd, kContracts2024, QStringLiteral("many\\"), QStringLiteral("f%1.bin").arg(i), bodies.at(i).size(), kTicks)));
        }
        for (auto &c : clients) {
            QCOMPARE(c->int32(), 3);
            c->int64();
            c->int64();
        }
        for (size_t i = 0; i < clients.size(); ++i)
            clients.at(i)->send(int64BE(0) + int64BE(bodies.at(qsizetype(i)).size()) + bodies.at(qsizetype(i)) + int32BE(kUploadComplete));
        for (size_t i = 0; i < clients.size(); ++i) {
            const qint64 key = clients.at(i)->int64();
            QVERIFY(key > 0);
            QCOMPARE(download(m_server->port(), downloadText(m_token, key)).body, bodies.at(qsizetype(i)));
        }
    }
};

class HttpTest : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestServer> m_server;
    QString m_token;

    QByteArray get(const QByteArray &target, bool tls = false)
    {
        RawClient c(m_server->port(), tls);
        c.send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        return c.readToEnd();
    }
    QByteArray post(const QByteArray &target, const QByteArray &form) { return httpPost(m_server->port(), target, form); }
    static QByteArray body(const QByteArray &response) { return response.mid(response.indexOf("\r\n\r\n") + 4); }
    QByteArray ticket()
    {
        static int r = 0;
        return EncryptWithAppKey(QStringLiteral("[R]%1[/R][U]%2[/U][Dt]%3[/Dt]").arg(++r).arg(m_token, FormatWireDateTime(NowDateTime())), AKS_128).toLatin1();
    }
private Q_SLOTS:
    void initTestCase()
    {
        m_server = std::make_unique<TestServer>(true, true);
        m_token = loginToken(m_server->port());
    }
    void cleanupTestCase() { m_server.reset(); }

    void fetchedAnswers_data()
    {
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addRow("QR offered by the demo") << QByteArray("/QRLogin?opr=config") << QByteArray("200") << QByteArray("1");
        QTest::addRow("classifications off") << QByteArray("/user?opr=sc&userid=5") << QByteArray("200") << QByteArray();
        QTest::addRow("client config") << QByteArray("/linkX?opr=clientconfig&userid=5") << QByteArray("200") << QByteArray("[VersionRemark]0[/VersionRemark][OnlyTimeCheck]0[/OnlyTimeCheck]");
        QTest::addRow("viewer not shipped") << QByteArray("/helper/ReDazEdaver.exe") << QByteArray("404") << QByteArray();
        QTest::addRow("power without session") << QByteArray("/getPower?filekey=5000&uid=nothing") << QByteArray("200") << QByteArray();
    }
    void fetchedAnswers()
    {
        QFETCH(QByteArray, target);
        QFETCH(QByteArray, status);
        QFETCH(QByteArray, body);
        for (bool tls : {false, true}) {
            const QByteArray response = get(target, tls);
            QVERIFY2(response.startsWith(QByteArray(QByteArray("HTTP/1.1 ") + status)), response.constData());
            QCOMPARE(HttpTest::body(response), body);
        }
    }

    void images()
    {
        QVERIFY(body(get("/static/clientLogo2.png")).startsWith("\x89PNG"));
        QVERIFY(body(get("/static/clientLogo_ENG2.png")).startsWith("\x89PNG"));
        QVERIFY(body(get("/static/watermark.bmp")).startsWith("BM"));
    }

    void power()
    {
        const QByteArray answer = body(get("/getPower?filekey=5000&uid=" + m_token.toLatin1()));
        QVERIFY(answer.contains("[2]Y[/2]"));
        QVERIFY(!answer.contains("v3"));
    }

    void folderPages()
    {
        // "&", "=" and "+" arrive unencoded inside the name.
        const QByteArray added = body(get("/folderadd?opr=new&st=c&uid=" + ticket() + "&ownerid=2&fatherid=1000&foldername=A&B=C+D%20%E6%96%87&rnd=42"));
        const qint64 id = added.toLongLong();
        QVERIFY2(id >= 1000, added.constData());
        const FramedReply list = framed(m_server->port(), 40, E(m_token) + QStringLiteral("[OwnerId]2[/OwnerId][FolderId]1000[/FolderID]"));
        QVERIFY2(list.body.contains(QStringLiteral("*A&B=C+D 文**True")), qPrintable(list.body));
        QCOMPARE(body(get("/folderrename?opr=rename&st=c&uid=" + ticket() + "&ownerid=2&folderid=" + QByteArray::number(id) + "&foldername=Renamed&rnd=1")), QByteArray("ok"));
        QVERIFY(body(get("/folderadd?opr=new&st=c&uid=" + ticket() + "&ownerid=2&fatherid=1000&foldername=..&rnd=1")).toLongLong() == 0);
        QVERIFY(body(get("/folderadd?opr=new&st=c&uid=" + ticket() + "&ownerid=2&fatherid=1000&foldername=x%2F..%2Fy&rnd=1")).toLongLong() == 0);
        // A ticket opens one request only.
        const QByteArray once = ticket();
        QVERIFY(body(get("/folderadd?opr=new&st=c&uid=" + once + "&ownerid=2&fatherid=1000&foldername=First&rnd=1")).toLongLong() > 0);
        QVERIFY(body(get("/folderadd?opr=new&st=c&uid=" + once + "&ownerid=2&fatherid=1000&foldername=Second&rnd=1")).toLongLong() == 0);
    }

    // The property page offers one field per definition with the names the
    // client fills; an upload's property text is kept with the file and read
    // back by request 45.
    void filePropertiesPageAndStore()
    {
        const QByteArray response = get("/getPrtHtm?opr=page");
        QVERIFY(response.startsWith("HTTP/1.1 200"));
        QVERIFY(response.contains("Content-Security-Policy: default-src 'none'"));
        const QByteArray page = body(response);
        for (const char *field : {"<input type=\"text\" name=\"FilePrt1\">", "<input type=\"number\" name=\"FilePrt2\">",
                                  "<input type=\"date\" name=\"FilePrt3\">", "<select name=\"FilePrt4\">",
                                  "<input type=\"radio\" name=\"FilePrt5\" value=\"Review\">",
                                  "<input type=\"checkbox\" name=\"FilePrt6\" value=\"Customer\">",
                                  "<textarea name=\"FilePrt7\"", "id=\"isOK\"", "id=\"filePrt\"", "function fillProperty()",
                                  "function checkFilePrt()", "<option value=\"R&amp;D\">"})
            QVERIFY2(page.contains(field), field);

        const FramedReply defs = framed(m_server->port(), 45, E(m_token));
        QCOMPARE(defs.status, 80);
        QCOMPARE(GetTagValue(defs.body, QStringLiteral("proid")), QStringLiteral("1,2,3,4,5,6,7"));
        QCOMPARE(GetTagValue(defs.body, QStringLiteral("6")), QStringLiteral("Distribution"));

        const QString props = QStringLiteral("[proid]1,6[/proid][1]Bridge A[/1][6]Internal,Customer[/6]");
        const QByteArray bytes("with properties");
        const QString text = uploadText(m_token, kRnd, kContracts2024, {}, QStringLiteral("props.txt"), bytes.size(), kTicks)
                                 .replace(QStringLiteral("[FielPrt][/FielPrt]"), QStringLiteral("[FielPrt]") + props + QStringLiteral("[/FielPrt]"));
        const UploadResult up = upload(m_server->port(), text, bytes);
        QVERIFY(up.key > 0);
        const FramedReply stored = framed(m_server->port(), 45, E(m_token) + QStringLiteral("[FileKey]%1[/FileKey]").arg(up.key));
        QCOMPARE(stored.status, 80);
        QCOMPARE(stored.body, props);
        QCOMPARE(framed(m_server->port(), 45, E(m_token) + QStringLiteral("[FileKey]99999999[/FileKey]")).status, 8);
        QCOMPARE(framed(m_server->port(), 45, E(QStringLiteral("0123456789abcdef0123456789abcdef")) + QStringLiteral("[FileKey]%1[/FileKey]").arg(up.key)).status, 7);
    }

    void modifyPassword()
    {
        const QString userId = QString::number(kDemoUser);
        auto ps = [&](const QString &oldPs, const QString &newPs) {
            return EncryptText(QStringLiteral("[OldPs]%1[/OldPs][NewPs]%2[/Newps]").arg(oldPs, newPs), userId + kAppPassphrase, AKS_256).toLatin1();
        };
        QVERIFY(body(get("/modifypass?opr=clientmps&userid=5&ps=" + ps(QStringLiteral("wrong"), QStringLiteral("secret1")))) != "ok");
        QCOMPARE(body(get("/modifypass?opr=clientmps&userid=5&ps=" + ps(QStringLiteral("demo"), QStringLiteral("secret1")))), QByteArray("ok"));
        QVERIFY(loginToken(m_server->port()).isEmpty());
        QVERIFY(!loginToken(m_server->port(), QStringLiteral("demo"), QStringLiteral("secret1")).isEmpty());
        // Changing the password ended the old session.
        QCOMPARE(framed(m_server->port(), 76, E(m_token) + QStringLiteral("[FileKey]5000[/FileKey]")).body, QStringLiteral("7"));
        QCOMPARE(body(get("/modifypass?opr=clientmps&userid=5&ps=" + ps(QStringLiteral("secret1"), QStringLiteral("demo")))), QByteArray("ok"));
        m_token = loginToken(m_server->port());
    }

    void scanCodeLogin()
    {
        const QByteArray path = body(get("/QRLogin?opr=url"));
        QVERIFY2(path.startsWith("/QRLogin?opr=page&qid="), path.constData());
        const QByteArray qid = path.mid(path.indexOf("qid=") + 4);
        const QByteArray pageText = body(get(path));
        // The input the client looks for appears only with an answer.
        QVERIFY(!pageText.contains("name=\"usercode\""));
        QVERIFY(pageText.contains("<svg"));
        const qsizetype at = pageText.indexOf("http://127.0.0.1/QRLogin?opr=scan&amp;sid=");
        QVERIFY(at > 0);
        const QByteArray sid = pageText.mid(at + 42, 32);
        // The drawn code carries another key than the page's poll.
        QVERIFY(sid != qid);
        const QByteArray pollTarget = "/QRLogin?opr=poll&qid=" + qid;
        QCOMPARE(body(get(pollTarget)), QByteArray());

        const QByteArray scanTarget = "/QRLogin?opr=scan&sid=" + sid;
        QVERIFY(body(get(scanTarget)).contains("<form"));
        QVERIFY(body(post(scanTarget, "name=demo&password=wrong")).contains("id=\"error\""));
        QCOMPARE(body(get(pollTarget)), QByteArray());
        // Whoever saw the code cannot collect the identity with it.
        QVERIFY(body(get("/QRLogin?opr=poll&qid=" + sid)).startsWith("E:"));
        QVERIFY(!body(post("/QRLogin?opr=scan&sid=" + qid, "name=demo&password=demo")).contains("id=\"ok\""));
        QVERIFY(body(post(scanTarget, "name=demo&password=demo")).contains("id=\"ok\""));

        const QString identity = DecryptWithAppKey(QString::fromLatin1(body(get(pollTarget))), AKS_128);
        QCOMPARE(GetTagValue(identity, QStringLiteral("UserId2")), QString::number(kDemoUser));
        QCOMPARE(GetTagValue(identity, QStringLiteral("UserName")), QStringLiteral("Demo User"));
        const QString token = GetTagValue(identity, QStringLiteral("UserId"));
        QVERIFY(framed(m_server->port(), 76, E(token) + QStringLiteral("[FileKey]5000[/FileKey]")).body != QStringLiteral("7"));
        // Handed out once; the used code cannot be approved again.
        QVERIFY(body(get(pollTarget)).startsWith("E:"));
        QVERIFY(!body(post(scanTarget, "name=demo&password=demo")).contains("id=\"ok\""));
    }

    void scanCodeRefusals_data()
    {
        QTest::addColumn<QByteArray>("target");
        QTest::addRow("unknown code") << QByteArray("/QRLogin?opr=poll&qid=0123456789ABCDEF0123456789ABCDEF");
        QTest::addRow("malformed code") << QByteArray("/QRLogin?opr=poll&qid=%27%3B--");
    }
    void scanCodeRefusals()
    {
        QFETCH(QByteArray, target);
        QVERIFY(body(get(target)).startsWith("E:"));
    }

    void cancelledScanEndsTheCode()
    {
        const QByteArray path = body(get("/QRLogin?opr=url"));
        const QByteArray qid = path.mid(path.indexOf("qid=") + 4);
        const QByteArray pageText = body(get(path));
        const QByteArray sid = pageText.mid(pageText.indexOf("opr=scan&amp;sid=") + 17, 32);
        QVERIFY(body(post("/QRLogin?opr=scan&sid=" + sid, "cancel=Cancel")).contains("<p>"));
        QVERIFY(body(get("/QRLogin?opr=poll&qid=" + qid)).startsWith("E:"));
    }

    void usedTicketIsRefusedInAnySpelling_data()
    {
        QTest::addColumn<int>("spelling");
        QTest::addRow("same") << 0;
        QTest::addRow("lower-case hex") << 1;
        QTest::addRow("one more hex digit") << 2;
    }
    void usedTicketIsRefusedInAnySpelling()
    {
        QFETCH(int, spelling);
        const QByteArray once = ticket();
        const QByteArray again = spelling == 1 ? once.toLower() : spelling == 2 ? once + "0" : once;
        QVERIFY(body(get("/folderadd?opr=new&st=c&uid=" + once + "&ownerid=2&fatherid=1000&foldername=Once" + QByteArray::number(spelling) + "&rnd=1")).toLongLong() > 0);
        QCOMPARE(body(get("/folderadd?opr=new&st=c&uid=" + again + "&ownerid=2&fatherid=1000&foldername=Twice" + QByteArray::number(spelling) + "&rnd=1")).toLongLong(), 0);
    }

    void previewsRunNothing_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("shown");
        QTest::addRow("svg") << "drawing.svg" << QByteArray("<svg xmlns=\"http://www.w3.org/2000/svg\"><script>alert(document.cookie)</script></svg>") << false;
        QTest::addRow("html") << "page.html" << QByteArray("<html><script>alert(1)</script></html>") << false;
        QTest::addRow("xml") << "data.xml" << QByteArray("<?xml version=\"1.0\"?><a/>") << false;
        QTest::addRow("png") << "picture.png" << QByteArray("\x89PNG\r\n\x1a\n") << true;
        QTest::addRow("pdf") << "paper.pdf" << QByteArray("%PDF-1.4\n") << true;
    }
    void previewsRunNothing()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, body);
        QFETCH(bool, shown);
        const qint64 key = upload(m_server->port(), uploadText(m_token, kRnd, kContracts2024, {}, name, body.size(), kTicks), body).key;
        QVERIFY(key > 0);
        RawClient c(m_server->port());
        c.send("GET /previewopen?st=c&extopr=core&filekey=" + QByteArray::number(key) + "&c=2 HTTP/1.1\r\nCookie: zsid=" + m_token.toLatin1() + "\r\n\r\n");
        const QByteArray response = c.readToEnd();
        QCOMPARE(HttpTest::body(response), body);
        const QByteArray head = response.left(response.indexOf("\r\n\r\n")).toLower();
        QVERIFY(head.contains("x-content-type-options: nosniff"));
        QVERIFY(head.contains("content-security-policy: sandbox"));
        QCOMPARE(head.contains("content-disposition: inline"), shown);
        QCOMPARE(head.contains("content-disposition: attachment"), !shown);
        const QByteArray type = head.mid(head.indexOf("content-type:")).split('\r').first();
        QVERIFY2(!type.contains("svg") && !type.contains("html") && !type.contains("xml"), type.constData());
    }

    void portalPagesAreSandboxed_data()
    {
        QTest::addColumn<QByteArray>("target");
        QTest::addRow("login page") << QByteArray("/doc");
        QTest::addRow("index") << QByteArray("/index");
    }
    void portalPagesAreSandboxed()
    {
        QFETCH(QByteArray, target);
        const QByteArray head = get(target).toLower();
        QVERIFY(head.contains("x-content-type-options: nosniff"));
        QVERIFY(head.contains("content-security-policy: sandbox"));
    }

    void frontPagesLeadToThePortal_data()
    {
        QTest::addColumn<QByteArray>("target");
        QTest::addRow("root") << QByteArray("/");
        QTest::addRow("index") << QByteArray("/index");
    }
    void frontPagesLeadToThePortal()
    {
        QFETCH(QByteArray, target);
        const QByteArray response = get(target);
        QVERIFY2(response.startsWith("HTTP/1.1 200"), response.constData());
        QVERIFY2(body(response).contains("href=\"/portal\""), response.constData());
    }

    void pages()
    {
        const QByteArray login = get("/doc");
        QVERIFY(login.startsWith("HTTP/1.1 200"));
        QVERIFY(login.contains("<form"));
        const QByteArray index = get("/index?opr=fromclient&sn=" + ticket());
        QVERIFY2(index.startsWith("HTTP/1.1 302"), index.constData());
        QVERIFY(index.contains("Set-Cookie: zsid="));
        const QByteArray preview = get("/previewopen?st=c&extopr=core&filekey=5002&uid=" + ticket() + "&c=2");
        QVERIFY(preview.contains("Content-Type: application/pdf"));
        QVERIFY(body(preview).startsWith("%PDF-"));
        QVERIFY(get("/previewopen?st=c&extopr=core&filekey=5002&uid=bogus&c=2").contains("<html>"));
        RawClient c(m_server->port());
        c.send("GET /" + QByteArray(20000, 'a') + " HTTP/1.1\r\n\r\n");
        QVERIFY(c.readToEnd().isEmpty());
    }
};

class LoginTest : public QObject
{
    Q_OBJECT
    static qint64 timedLogin(quint16 port, const QString &name, const QString &password, int *status = nullptr)
    {
        QElapsedTimer t;
        t.start();
        const FramedReply r = framed(port, 84, QStringLiteral("[Name]%1[/Name][PassWord]%2[/PassWord][Mac][/Mac]").arg(name, password));
        if (status)
            *status = r.status;
        return t.elapsed();
    }
private Q_SLOTS:
    void unknownNamesTakeAsLongAsKnownOnes()
    {
        TestServer server;
        Store store(server.dataDir());
        auto fastest = [&](const QString &name) -> qint64 {
            qint64 best = std::numeric_limits<qint64>::max();
            for (int i = 0; i < 5; ++i) {
                QElapsedTimer t;
                t.start();
                UserInfo u;
                if (store.checkLogin(name, QStringLiteral("wrong"), u) != 82)
                    return -1;
                best = qMin(best, t.nsecsElapsed());
            }
            return best;
        };
        const qint64 known = fastest(QStringLiteral("alice"));
        const qint64 unknown = fastest(QStringLiteral("nobody"));
        QVERIFY2(unknown * 2 > known, qPrintable(QStringLiteral("known %1 ns, unknown %2 ns").arg(known).arg(unknown)));
    }

    // Failed logins under huge names are remembered at the size of short ones, and
    // each name still on its own.
    void longNamesTakeLittleMemory()
    {
        LoginThrottle throttle;
        const QString longName = QString(30000, u'n');
        for (int i = 0; i < 200; ++i)
            throttle.record(longName + QString::number(i), QHostAddress(QStringLiteral("192.0.2.%1").arg(i)), true);
        QVERIFY2(throttle.heldBytes() < 200 * 1024, qPrintable(QString::number(throttle.heldBytes())));

        const QHostAddress elsewhere(QStringLiteral("198.51.100.1"));
        for (int i = 0; i <= LoginThrottle::kFreeNameFailures; ++i)
            throttle.record(longName + QStringLiteral("x"), QHostAddress(QStringLiteral("203.0.113.%1").arg(i)), true);
        QVERIFY(throttle.delayMs(longName + QStringLiteral("X "), elsewhere) >= LoginThrottle::kFirstDelayMs);
        QCOMPARE(throttle.delayMs(longName + QStringLiteral("y"), elsewhere), 0);
    }

    // The waits themselves, without a clock: a loaded machine cannot make a
    // login that should not wait look like one that did.
    void failuresDoubleTheWait_data()
    {
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("waitMs");
        constexpr int first = LoginThrottle::kFirstDelayMs;
        const QString a = QStringLiteral("192.0.2.1");
        const QString b = QStringLiteral("192.0.2.2");
        const QStringList three{QStringLiteral("fail bob ") + a, QStringLiteral("fail bob ") + a, QStringLiteral("fail bob ") + a};
        QTest::newRow("no failure") << QStringList{} << QStringLiteral("bob") << a << 0;
        QTest::newRow("free failures") << three.mid(1) << QStringLiteral("bob") << a << 0;
        QTest::newRow("first wait") << three << QStringLiteral("bob") << a << first;
        QTest::newRow("doubles") << three + QStringList{QStringLiteral("fail bob ") + a} << QStringLiteral("bob") << a << 2 * first;
        QTest::newRow("name in any case, from anywhere")
            << three + QStringList{QStringLiteral("fail BOB ") + b, QStringLiteral("fail bob ") + b} << QStringLiteral(" Bob") << b << 4 * first;
        QTest::newRow("success clears the name")
            << three + QStringList{QStringLiteral("succeed bob ") + a} << QStringLiteral("bob") << a << 0;
        QTest::newRow("other names free") << three << QStringLiteral("carol") << b << 0;
        QStringList many;
        for (int i = 0; i < LoginThrottle::kFreeAddressFailures; ++i)
            many << QStringLiteral("fail name%1 %2").arg(i).arg(a);
        QTest::newRow("many names slow the address") << many << QStringLiteral("fresh") << a << first;
        QTest::newRow("not another address") << many << QStringLiteral("fresh") << b << 0;
        QStringList endless = three;
        for (int i = 0; i < 30; ++i)
            endless << QStringLiteral("fail bob ") + a;
        QTest::newRow("capped") << endless << QStringLiteral("bob") << a << int(LoginThrottle::kMaxDelayMs);
    }

    void failuresDoubleTheWait()
    {
        QFETCH(QStringList, events);
        QFETCH(QString, name);
        QFETCH(QString, address);
        QFETCH(int, waitMs);
        LoginThrottle throttle;
        for (const QString &event : std::as_const(events)) {
            const QStringList parts = event.split(u' ');
            throttle.record(parts.at(1), QHostAddress(parts.at(2)), parts.at(0) == QLatin1String("fail"));
        }
        QCOMPARE(throttle.delayMs(name, QHostAddress(address)), waitMs);
    }

    // Over the wire only lower bounds are checked: a wait cannot come out
    // shorter on a busy machine, a login that should not wait can come out longer.
    void repeatedFailuresSlowDown()
    {
        TestServer server;
        const quint16 port = server.port();
        int status = 0;
        for (int i = 0; i < LoginThrottle::kFreeNameFailures; ++i) {
            timedLogin(port, QStringLiteral("bob"), QStringLiteral("guess%1").arg(i), &status);
            QCOMPARE(status, 82);
        }
        QVERIFY(timedLogin(port, QStringLiteral("bob"), QStringLiteral("guess"), &status) >= LoginThrottle::kFirstDelayMs);
        QCOMPARE(status, 82);
        QVERIFY(timedLogin(port, QStringLiteral("BOB"), QStringLiteral("guess"), &status) >= 2 * LoginThrottle::kFirstDelayMs);
        // The right password still waits its turn, then gets in.
        QVERIFY(timedLogin(port, QStringLiteral("bob"), QStringLiteral("bob123"), &status) >= 4 * LoginThrottle::kFirstDelayMs);
        QCOMPARE(status, 86);
    }
};

class PersistenceTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void storedFilesSurviveRestart()
    {
        QTemporaryDir dir;
        auto server = std::make_unique<TestServer>(true, false, dir.path());
        QString token = loginToken(server->port());
        const QByteArray body = randomBytes(70000);
        const qint64 key = upload(server->port(), uploadText(token, kRnd, kContracts2024, {}, QStringLiteral("keep.bin"), body.size(), kTicks), body).key;
        QVERIFY(key > 0);
        // Half an upload when the server goes away.
        const QByteArray partial = randomBytes(60000);
        const QString partialText = uploadText(token, kRnd, kContracts2024, {}, QStringLiteral("half.bin"), partial.size(), kTicks);
        RawClient c(server->port());
        c.send(fileOpening(1, partialText));
        QCOMPARE(c.int32(), 3);
        c.int64();
        c.int64();
        c.send(int64BE(0) + int64BE(partial.size()) + partial.left(30000));
        server->stop();
        c.close();

        server->start();
        QCOMPARE(download(server->port(), downloadText(token, key)).body, body);
        const UploadResult resumed = upload(server->port(), partialText, partial);
        QVERIFY(resumed.held > 0);
        QVERIFY(resumed.key > 0);
        QCOMPARE(download(server->port(), downloadText(token, resumed.key)).body, partial);
        QCOMPARE(download(server->port(), downloadText(token, kSupplyAgreement)).status, 10);
        Store store(dir.path());
        QCOMPARE(store.db().value(QStringLiteral("PRAGMA integrity_check")).toString(), QStringLiteral("ok"));
        QCOMPARE(store.db().value(QStringLiteral("PRAGMA journal_mode")).toString(), QStringLiteral("wal"));
    }

    void killedServerLosesNothing()
    {
        const QString bin = binPath("zudivuvo-server");
        if (!QFile::exists(bin))
            QSKIP("zudivuvo-server not built");
        QTemporaryDir dir;
        auto startServer = [&](QProcess &p) -> quint16 {
            p.start(bin, {QStringLiteral("--data"), dir.path(), QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--seed"), QStringLiteral("demo")});
            if (!QTest::qWaitFor([&] { return p.canReadLine(); }, 20000))
                return 0;
            const QByteArray line = p.readLine().trimmed();
            return quint16(line.mid(line.lastIndexOf(':') + 1).toUInt());
        };
        QProcess first;
        const quint16 port = startServer(first);
        QVERIFY(port > 0);
        const QString token = loginToken(port);
        QList<QByteArray> bodies;
        QStringList texts;
        std::vector<std::unique_ptr<RawClient>> uploads;
        for (int i = 0; i < 10; ++i) {
            bodies << randomBytes(400000 + 17 * i);
            texts << uploadText(token, kRnd, kContracts2024, QStringLiteral("crash\\"), QStringLiteral("c%1.bin").arg(i), bodies.last().size(), kTicks);
            uploads.push_back(std::make_unique<RawClient>(port));
            uploads.back()->send(fileOpening(1, texts.last()));
            QCOMPARE(uploads.back()->int32(), 3);
            uploads.back()->int64();
            uploads.back()->int64();
            uploads.back()->send(int64BE(0) + int64BE(bodies.last().size()) + bodies.last().left(200000));
        }
        std::vector<std::unique_ptr<RawClient>> downloads;
        for (int i = 0; i < 10; ++i) {
            downloads.push_back(std::make_unique<RawClient>(port));
            downloads.back()->send(fileOpening(2, downloadText(token, kSupplyAgreement + i)));
        }
        // Kill while the bodies are still arriving.
        const QString staging = dir.path() + QStringLiteral("/staging");
        QTRY_VERIFY_WITH_TIMEOUT([&] {
            const QFileInfoList parts = QDir(staging).entryInfoList({QStringLiteral("*.part")}, QDir::Files);
            return parts.size() == 10
                && std::all_of(parts.begin(), parts.end(), [](const QFileInfo &fi) { return fi.size() >= 100000; });
        }(), 20000);
        first.kill();
        QVERIFY(first.waitForFinished(10000));
        uploads.clear();
        downloads.clear();

        QProcess second;
        const quint16 port2 = startServer(second);
        QVERIFY(port2 > 0);
        for (int i = 0; i < bodies.size(); ++i) {
            const UploadResult r = upload(port2, texts.at(i), bodies.at(i));
            QVERIFY2(r.held > 0, qPrintable(QStringLiteral("status %1 held %2").arg(r.status).arg(r.held)));
            QVERIFY(r.key > 0);
            QCOMPARE(download(port2, downloadText(token, r.key)).body, bodies.at(i));
        }
        QCOMPARE(download(port2, downloadText(token, kSupplyAgreement)).status, 10);
        second.terminate();
        QVERIFY(second.waitForFinished(10000));

        Store store(dir.path());
        QCOMPARE(store.db().value(QStringLiteral("PRAGMA integrity_check")).toString(), QStringLiteral("ok"));
        QSqlQuery q = store.db().exec(QStringLiteral("SELECT blob, size FROM versions"));
        int versions = 0;
        while (q.next()) {
            ++versions;
            const QString blob = q.value(0).toString();
            QCOMPARE(Store::hashFile(store.blobPath(blob)), blob);
            QCOMPARE(QFileInfo(store.blobPath(blob)).size(), q.value(1).toLongLong());
        }
        QVERIFY(versions >= 30);
    }

    void executableSeedsAndServes()
    {
        const QString bin = binPath("zudivuvo-server");
        if (!QFile::exists(bin))
            QSKIP("zudivuvo-server not built");
        QTemporaryDir dir;
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);  // the server's complaints show in the test log
        QElapsedTimer timer;
        timer.start();
        p.start(bin, {QStringLiteral("--data"), dir.path(), QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--seed"), QStringLiteral("demo")});
        QTRY_VERIFY_WITH_TIMEOUT(p.canReadLine(), 20000);
        const QByteArray line = p.readLine().trimmed();
        qInfo() << "started in" << timer.elapsed() << "ms:" << line;
        const quint16 port = quint16(line.mid(line.lastIndexOf(':') + 1).toUInt());
        QVERIFY(port > 0);
        const QString token = loginToken(port);
        QVERIFY(!token.isEmpty());
        QCOMPARE(framed(port, 69, E(token), kRnd, 0).status, 80);
        p.terminate();
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);

        // Admin commands on the same data folder.
        QCOMPARE(QProcess::execute(bin, {QStringLiteral("--data"), dir.path(), QStringLiteral("add-user"), QStringLiteral("erin"), QStringLiteral("pw1234"), QStringLiteral("Erin")}), 0);
        QCOMPARE(QProcess::execute(bin, {QStringLiteral("--data"), dir.path(), QStringLiteral("add-group"), QStringLiteral("Support"), QStringLiteral("Demo Co")}), 0);
        QCOMPARE(QProcess::execute(bin, {QStringLiteral("--data"), dir.path(), QStringLiteral("add-member"), QStringLiteral("Support"), QStringLiteral("erin")}), 0);
        QCOMPARE(QProcess::execute(bin, {QStringLiteral("--data"), dir.path(), QStringLiteral("set-password"), QStringLiteral("erin"), QStringLiteral("pw5678")}), 0);
        QVERIFY(QProcess::execute(bin, {QStringLiteral("--data"), dir.path(), QStringLiteral("add-user"), QStringLiteral("erin"), QStringLiteral("x")}) != 0);
        Store store(dir.path());
        UserInfo u;
        QCOMPARE(store.checkLogin(QStringLiteral("erin"), QStringLiteral("pw5678"), u), 0);
        QVERIFY(store.canAccess(u, store.ownerIdByName(QStringLiteral("Support"), QStringLiteral("G"))));
    }
};

namespace {
// A connection from another loopback address, so per-address caps tell it from the normal client.
std::unique_ptr<QTcpSocket> connectFrom(const QString &source, quint16 port, const QByteArray &opening)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->bind(QHostAddress(source));
    socket->connectToHost(QHostAddress::LocalHost, port);
    if (socket->waitForConnected(5000) && !opening.isEmpty()) {
        socket->write(opening);
        socket->waitForBytesWritten(5000);
    }
    return socket;
}

qint64 statusKiB(qint64 pid, const char *field)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// User and system CPU time of a process, in clock ticks.
qint64 cpuTicks(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = f.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12 ? fields.at(11).toLongLong() + fields.at(12).toLongLong() : -1;
}

quint16 startExecutable(QProcess &p, const QStringList &args, const QString &wrapper = {})
{
    const QString bin = binPath("zudivuvo-server");
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
#if defined(__SANITIZE_ADDRESS__)
    // The address sanitizer keeps freed blocks resident (its quarantine, up to 256 MiB);
    // the peak these tests read must be the server's own.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString asan = env.value(QStringLiteral("ASAN_OPTIONS"));
    env.insert(QStringLiteral("ASAN_OPTIONS"), (asan.isEmpty() ? QString() : asan + u':') + QStringLiteral("quarantine_size_mb=0"));
    p.setProcessEnvironment(env);
#endif
    if (wrapper.isEmpty())
        p.start(bin, args);
    else
        p.start(wrapper, QStringList{QStringLiteral("--nofile=128"), bin} + args);
    if (!QTest::qWaitFor([&] { return p.canReadLine(); }, 20000))
        return 0;
    const QByteArray line = p.readLine().trimmed();
    return quint16(line.mid(line.lastIndexOf(':') + 1).toUInt());
}
} // namespace

class HostileTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void normalClientIsServedBesideHostileOpenings()
    {
        TestServer server(true, false, {}, [](ServerOptions &o) {
            o.firstLineTimeoutMs = 1000;
            o.maxPerAddress = 8;
            o.maxConnections = 64;
        });
        const QList<QByteArray> openings{kFileRequestLine, kFramedRequestLine, QByteArray("GET / HTTP/1.1\r\nHost: x\r\n"),
                                         QByteArray("\x16\x03\x01", 3), QByteArray()};
        std::vector<std::unique_ptr<QTcpSocket>> hostile;
        for (int i = 0; i < 30; ++i)
            hostile.push_back(connectFrom(QStringLiteral("127.0.0.2"), server.port(), openings.at(i % openings.size())));
        QTcpSocket *trickle = hostile.at(2).get();
        QElapsedTimer t;
        t.start();
        QVERIFY(!loginToken(server.port()).isEmpty());
        QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
        // One header line every few hundred milliseconds does not stretch the opening.
        QElapsedTimer sinceLine;
        sinceLine.start();
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(hostile.begin(), hostile.end(), [&](const auto &socket) {
            if (socket.get() == trickle && sinceLine.elapsed() > 200 && socket->state() == QAbstractSocket::ConnectedState) {
                socket->write("X-Slow: 1\r\n");
                sinceLine.restart();
            }
            return socket->state() == QAbstractSocket::UnconnectedState;
        }), 4000);
        QVERIFY(!loginToken(server.port()).isEmpty());
    }

    void descriptorLimitNeitherKillsNorSpins()
    {
        const QString bin = binPath("zudivuvo-server");
        const QString prlimit = QStandardPaths::findExecutable(QStringLiteral("prlimit"));
        if (!QFile::exists(bin) || prlimit.isEmpty())
            QSKIP("zudivuvo-server or prlimit missing");
        QTemporaryDir dir;
        QProcess p;
        const quint16 port = startExecutable(p, {QStringLiteral("--data"), dir.path(), QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--seed"), QStringLiteral("demo")}, prlimit);
        QVERIFY(port > 0);
        std::vector<std::unique_ptr<QTcpSocket>> many;
        for (int i = 0; i < 130; ++i)
            many.push_back(connectFrom(QStringLiteral("127.0.0.%1").arg(2 + i % 50), port, kFramedRequestLine));
        const qint64 before = cpuTicks(p.processId());
        QElapsedTimer t;
        t.start();
        QTRY_VERIFY_WITH_TIMEOUT(t.elapsed() > 1000, 3000);
        QCOMPARE(p.state(), QProcess::Running);
        // Less than half a core while the connections wait.
        QVERIFY2((cpuTicks(p.processId()) - before) * 1000 / sysconf(_SC_CLK_TCK) < t.elapsed() / 2, "the server spins at its limit");
        many.clear();
        QTRY_VERIFY_WITH_TIMEOUT(!loginToken(port).isEmpty(), 5000);
        QCOMPARE(p.state(), QProcess::Running);
        p.terminate();
        QVERIFY(p.waitForFinished(10000));
    }

    // A whole frame of short folder lines: the lines served are taken from it without
    // first cutting all of it up.
    void manyFolderLinesStayWithinMemory_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("served");
        QTest::addRow("many short lines") << QStringLiteral("a\n") << 10000;
        QTest::addRow("one long path") << QStringLiteral("a\\") << 0;
    }
    void manyFolderLinesStayWithinMemory()
    {
        QFETCH(QString, line);
        QFETCH(int, served);
        const QString bin = binPath("zudivuvo-server");
        if (!QFile::exists(bin))
            QSKIP("zudivuvo-server not built");
        QTemporaryDir dir;
        QProcess p;
        const quint16 port = startExecutable(p, {QStringLiteral("--data"), dir.path(), QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--seed"), QStringLiteral("demo")});
        QVERIFY(port > 0);
        const QString token = loginToken(port);
        const QString lines = line.repeated((kMaxFrameBody - 4096) / 4);
        const FramedReply r = framed(port, 41, E(token) + QStringLiteral("[OwnerId]%1[/OwnerId][FolderId]%2[/FolderId][Folder]%3[/Folder]").arg(kRnd).arg(kContracts2024).arg(lines));
        QCOMPARE(r.status, 80);
        QCOMPARE(r.body.count(QStringLiteral("\r\n")), served);
        const qint64 peak = statusKiB(p.processId(), "VmHWM:");
        QVERIFY2(peak < 150 * 1024, qPrintable(QStringLiteral("%1 KiB for one request of folder lines").arg(peak)));
        p.terminate();
        QVERIFY(p.waitForFinished(10000));
    }

    void memoryStaysBoundedUnderStalledFramesAndSlowReaders()
    {
        const QString bin = binPath("zudivuvo-server");
        if (!QFile::exists(bin))
            QSKIP("zudivuvo-server not built");
        QTemporaryDir dir;
        QProcess p;
        const quint16 port = startExecutable(p, {QStringLiteral("--data"), dir.path(), QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--seed"), QStringLiteral("demo")});
        QVERIFY(port > 0);
        constexpr qint64 kLimitKiB = 150 * 1024;

        // Forty frames announcing 16 MiB, each sending half of it before stalling.
        const qint32 count = 16 * 1024 * 1024;
        const QByteArray opening = kFramedRequestLine + int32BE(count + 20) + encodeHead(THeadInfo{}) + int32BE(count);
        const QByteArray chunk(1024 * 1024, 'x');
        std::vector<int> fds;
        for (int i = 0; i < 40; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
            fds.push_back(fd);
        }
        QList<qint64> sent(40, -qint64(opening.size()));
        QDeadlineTimer sending(8000);
        for (bool busy = true; busy && !sending.hasExpired();) {
            busy = false;
            for (int i = 0; i < 40; ++i) {
                if (sent[i] >= 8 * 1024 * 1024 || fds[i] < 0)
                    continue;
                busy = true;
                pollfd pf{fds[i], POLLOUT, 0};
                if (::poll(&pf, 1, 5) <= 0)
                    continue;
                const QByteArray &bytes = sent[i] < 0 ? opening : chunk;
                const ssize_t n = ::send(fds[i], bytes.constData(), size_t(sent[i] < 0 ? -sent[i] : bytes.size()), MSG_NOSIGNAL);
                if (n < 0 && errno != EAGAIN) {
                    ::close(fds[i]);
                    fds[i] = -1;
                } else if (n > 0) {
                    sent[i] += n;
                }
            }
        }
        const qint64 afterFrames = statusKiB(p.processId(), "VmHWM:");
        for (int fd : fds) {
            if (fd >= 0)
                ::close(fd);
        }
        QVERIFY2(afterFrames < kLimitKiB, qPrintable(QStringLiteral("%1 KiB after stalled frames").arg(afterFrames)));

        // Six slow readers of a 48 MiB preview, sending more input meanwhile.
        const QString token = loginToken(port);
        const QByteArray big(48 * 1024 * 1024, 'p');
        const qint64 key = upload(port, uploadText(token, kRnd, kContracts2024, {}, QStringLiteral("big.pdf"), big.size(), kTicks), big).key;
        QVERIFY(key > 0);
        std::vector<std::unique_ptr<QTcpSocket>> readers;
        for (int i = 0; i < 6; ++i) {
            readers.push_back(connectFrom(QStringLiteral("127.0.0.1"), port, "GET /previewopen?filekey=" + QByteArray::number(key)
                                              + " HTTP/1.1\r\nCookie: zsid=" + token.toLatin1() + "\r\n\r\n"));
            readers.back()->setReadBufferSize(64 * 1024);
            readers.back()->write(QByteArray(4 * 1024 * 1024, 'i'));
        }
        // Each has its answer started, and the server went as far as a slow reader lets it.
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(readers.begin(), readers.end(), [](const auto &r) { return r->bytesAvailable() > 0; }), 10000);
        const qint64 afterPreviews = statusKiB(p.processId(), "VmHWM:");
        QVERIFY2(afterPreviews < kLimitKiB, qPrintable(QStringLiteral("%1 KiB with slow preview readers").arg(afterPreviews)));
        readers.clear();
        p.terminate();
        QVERIFY(p.waitForFinished(10000));
    }

    void abandonedUploadsAreSweptWhileRunning()
    {
        TestServer server(false, false, {}, [](ServerOptions &o) {
            o.stagingMaxAgeMs = 60 * 1000;
            o.stagingSweepMs = 100;
        });
        const QString staging = server.dataDir() + QStringLiteral("/staging/");
        for (const char *name : {"old.part", "fresh.part"}) {
            QFile f(staging + QLatin1String(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("partial");
        }
        QFile old(staging + QStringLiteral("old.part"));
        QVERIFY(old.open(QIODevice::ReadWrite));
        QVERIFY(old.setFileTime(QDateTime::currentDateTime().addSecs(-120), QFileDevice::FileModificationTime));
        old.close();
        QTRY_VERIFY_WITH_TIMEOUT(!old.exists(), 5000);
        QVERIFY(QFile::exists(staging + QStringLiteral("fresh.part")));
    }

    void uploadsKeepTheDiskReserve()
    {
        TestServer server(true, false, {}, [](ServerOptions &o) { o.diskReserveBytes = 1LL << 60; });
        const QString token = loginToken(server.port());
        const UploadResult r = upload(server.port(), uploadText(token, kRnd, kContracts2024, {}, QStringLiteral("full.txt"), 3, kTicks), "abc");
        QCOMPARE(r.status, 6);
        QCOMPARE(r.key, 0);
        RawClient c(server.port());
        c.send(fileOpening(3, E(token) + QStringLiteral("[Key]%1[/Key][Size]3[/Size][ModifyDate]%2[/ModifyDate][language]1[/language]").arg(kSupplyAgreement).arg(kTicks * 2)));
        QCOMPARE(c.int32(), 6);
    }
};

class DataFolderTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void secondServerOnTheSameFolderIsRefused()
    {
        TestServer first(false);
        ServerOptions options;
        options.dataDir = first.dataDir();
        options.port = 0;
        DocServer second(options);
        QString error;
        QVERIFY(!second.start(&error));
        QVERIFY2(error.contains(QStringLiteral("already serving")), qPrintable(error));
    }

    void dataFolderIsPrivate()
    {
        QTemporaryDir parent;
        const QString data = parent.path() + QStringLiteral("/data");
        TestServer server(true, false, data);
        QVERIFY(!loginToken(server.port()).isEmpty());
        Store keepsTheWal(data);
        QVERIFY(keepsTheWal.db().run(QStringLiteral("UPDATE settings SET value=value")));
        auto mode = [](const QString &path) {
            struct stat st {};
            return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
        };
        QCOMPARE(mode(data), 0700);
        QCOMPARE(mode(data + QStringLiteral("/staging")), 0700);
        QCOMPARE(mode(data + QStringLiteral("/zudivuvo.db")), 0600);
        QCOMPARE(mode(data + QStringLiteral("/zudivuvo.db-wal")), 0600);
    }

    void adminCommandBesideTheServerKeepsItsStaging()
    {
        const QString bin = binPath("zudivuvo-server");
        if (!QFile::exists(bin))
            QSKIP("zudivuvo-server not built");
        TestServer server;
        // A body the server is writing right now.
        QFile inFlight(server.dataDir() + QStringLiteral("/staging/in-flight.tmp"));
        QVERIFY(inFlight.open(QIODevice::WriteOnly));
        inFlight.write("partial");
        inFlight.close();
        QProcess admin;
        admin.start(bin, {QStringLiteral("--data"), server.dataDir(), QStringLiteral("web-session"), QStringLiteral("demo")});
        QVERIFY(admin.waitForFinished(20000));
        QCOMPARE(admin.exitCode(), 0);
        QVERIFY(!admin.readAllStandardOutput().trimmed().isEmpty());
        QVERIFY(inFlight.exists());
    }
};

// The archive link a scan upload asks for: only the caller's own fresh uploads are linked.
class ArchiveLinkTest : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestServer> m_server;
    QString m_token;
    qint64 m_fresh = 0;

    QByteArray get(const QByteArray &target)
    {
        RawClient c(m_server->port());
        c.send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        return c.readToEnd();
    }
    static QByteArray sn(qint64 key, qint64 arcId, qint64 userId)
    {
        return EncryptWithAppKey(QStringLiteral("[filekey]%1[/filekey][arcid]%2[/arcid][uid]%3[/uid]").arg(key).arg(arcId).arg(userId),
                                 AKS_256).toLatin1();
    }
    int links(qint64 arcId)
    {
        return Store(m_server->dataDir()).db().value(QStringLiteral("SELECT COUNT(*) FROM archive_links WHERE arc_id=?"), {arcId}).toInt();
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_server = std::make_unique<TestServer>();
        m_token = loginToken(m_server->port());
        const QByteArray body("scanned page");
        const UploadResult up = upload(m_server->port(), uploadText(m_token, kRnd, kContracts2024, {}, QStringLiteral("page_1.jpg"), body.size(), kTicks), body);
        QCOMPARE(up.status, 3);
        m_fresh = up.key;
        QVERIFY(m_fresh > 0);
    }
    void cleanupTestCase() { m_server.reset(); }

    void answers_data()
    {
        QTest::addColumn<QByteArray>("query");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<qint64>("arcId");
        QTest::addColumn<int>("rows");
        QTest::addRow("own fresh upload") << QByteArray("sn=" + sn(-1, 31, kDemoUser)) << QByteArray("ok") << qint64(31) << 1;
        QTest::addRow("linked twice stays one link") << QByteArray("sn=" + sn(-1, 31, kDemoUser)) << QByteArray("ok") << qint64(31) << 1;
        QTest::addRow("no archive record") << QByteArray("sn=" + sn(-1, 0, kDemoUser)) << QByteArray("error") << qint64(0) << 0;
        QTest::addRow("another user's name") << QByteArray("sn=" + sn(-1, 32, 1)) << QByteArray("error") << qint64(32) << 0;
        QTest::addRow("an old file of the demo") << QByteArray("sn=" + sn(kSupplyAgreement, 33, kDemoUser)) << QByteArray("error") << qint64(33) << 0;
        QTest::addRow("unknown file") << QByteArray("sn=" + sn(999999, 34, kDemoUser)) << QByteArray("error") << qint64(34) << 0;
        QTest::addRow("not protected") << QByteArray("sn=[filekey]1[/filekey][arcid]35[/arcid][uid]5[/uid]") << QByteArray("error") << qint64(35) << 0;
        QTest::addRow("no sn") << QByteArray("x=1") << QByteArray("error") << qint64(36) << 0;
    }
    void answers()
    {
        QFETCH(QByteArray, query);
        QFETCH(QByteArray, answer);
        QFETCH(qint64, arcId);
        QFETCH(int, rows);
        // -1 stands for the file uploaded in initTestCase.
        query.replace(sn(-1, arcId, kDemoUser), sn(m_fresh, arcId, kDemoUser));
        query.replace(sn(-1, arcId, 1), sn(m_fresh, arcId, 1));
        const QByteArray response = get("/arc/input2?opr=addfilekey&" + query);
        QVERIFY2(response.startsWith("HTTP/1.1 200 "), response.constData());
        QCOMPARE(response.mid(response.indexOf("\r\n\r\n") + 4), answer);
        QCOMPARE(links(arcId), rows);
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    TestHome home;
    return runTests<FramingTest, BrowsingTest, OwnerFolderTest, FileChannelTest, HttpTest, ArchiveLinkTest, LoginTest, PersistenceTest, DataFolderTest, HostileTest>(argc, argv);
}

#include "tst_server.moc"
