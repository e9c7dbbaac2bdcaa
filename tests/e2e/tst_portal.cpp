// The server's portal and the links it hands to the client, read back by the
// client's own start-up and dispatcher.
#include "app/startup.h"
#include "core/clientconfigx.h"
#include "core/tagtext.h"
#include "httphandler.h"
#include "portal.h"
#include "seed.h"
#include "testenv.h"
#include "web/webmodule.h"

#include <QApplication>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>

namespace {

// Records what each command reached, in one line per call.
struct RecordingTarget : TWebCommandTarget {
    QStringList calls;
    void SetClipboardText(const QString &text) override { calls << QStringLiteral("clipboard ") + text; }
    bool OpenWithDesktop(const QString &path, QString *) override
    {
        calls << QStringLiteral("open ") + QFileInfo(path).fileName();
        return true;
    }
    bool DownloadForOpen(qint64 key, qint64 version, const QString &localPath, QString *) override
    {
        calls << QStringLiteral("download %1 %2 %3").arg(key).arg(version).arg(QFileInfo(localPath).fileName());
        QFile f(localPath);
        return f.open(QIODevice::WriteOnly) && f.write("x") == 1;
    }
    bool Preview(const QString &cmd, QString *) override
    {
        calls << QStringLiteral("preview %1 %2 %3").arg(GetTagValue(cmd, QStringLiteral("filekey")),
                                                       GetTagValue(cmd, QStringLiteral("filename")),
                                                       GetTagValue(cmd, QStringLiteral("ctparams")));
        return true;
    }
    bool EditOffice(qint64 key, const QString &name, QString *) override
    {
        calls << QStringLiteral("office %1 %2").arg(key).arg(name);
        return true;
    }
    bool EditText(qint64 key, const QString &name, QString *) override
    {
        calls << QStringLiteral("text %1 %2").arg(key).arg(name);
        return true;
    }
    bool ChooseWorkPath(qint64 folder, QString *) override
    {
        calls << QStringLiteral("workpath %1").arg(folder);
        return true;
    }
    bool FetchNewest(qint64 owner, qint64 folder, QString *) override
    {
        calls << QStringLiteral("newest %1 %2").arg(owner).arg(folder);
        return true;
    }
    bool VersionControl(int code, const QList<qint64> &keys, const QStringList &names, QString *) override
    {
        calls << QStringLiteral("vc %1 %2 %3").arg(code).arg(join(keys), names.join(u'|'));
        return true;
    }
    bool Scan(qint64 owner, qint64 folder, qint64 arc, QString *) override
    {
        calls << QStringLiteral("scan %1 %2 %3").arg(owner).arg(folder).arg(arc);
        return true;
    }
    bool UploadClipboard(qint64 owner, qint64 folder, QString *) override
    {
        calls << QStringLiteral("clipupload %1 %2").arg(owner).arg(folder);
        return true;
    }
    bool MailTest(const QString &params, QString *) override
    {
        calls << QStringLiteral("mail ") + params;
        return true;
    }
    bool BulkDownload(const QList<qint64> &keys, const QStringList &names, QString *) override
    {
        calls << QStringLiteral("bulk %1 %2").arg(join(keys), names.join(u'|'));
        return true;
    }
    static QString join(const QList<qint64> &keys)
    {
        QStringList k;
        for (qint64 v : keys)
            k << QString::number(v);
        return k.join(u',');
    }
};

// A link as a launch reads it, then one dispatcher tick: what reached the target, and the hint shown.
struct Outcome {
    unsigned code = 0;
    QString calls;
    QString hint;
};

Outcome launchAndDispatch(const QString &link, const QString &clientPath)
{
    Outcome o;
    TClientConfigX config;
    const TWebCmd pending = TStartup(config, {}).Run(link).pending;
    o.code = pending.Code;
    if (pending.Code == 0)
        return o;
    RecordingTarget target;
    TWebModule m(target, HSL_ENG, clientPath, clientPath + QLatin1String("Temp/"));
    QSignalSpy done(&m, &TWebModule::commandFinished);
    QSignalSpy hints(&m, &TWebModule::hintText);
    m.Queue().Add(pending);
    m.DoWebMessage();
    if (done.isEmpty() && !done.wait(5000))
        return o;
    o.calls = target.calls.join(u';');
    o.hint = hints.isEmpty() ? QString() : hints.last().at(0).toString();
    return o;
}

const QString kOddName = QStringLiteral("R&D [draft] #1 50% 报告.docx");

} // namespace

class ClientLinkTest : public QObject
{
    Q_OBJECT
    TestHome home;

private Q_SLOTS:
    void initTestCase() { QDir().mkpath(home.configFolder() + QLatin1String("Temp")); }

    void linkReadsBack_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<ClientLinkParams>("params");
        QTest::addColumn<QString>("call");
        const QString odd = kOddName;
        const QString tricky = QStringLiteral("a  b&c#d[e]f%20g%h 中文.txt");
        QTest::addRow("13 preview") << 13
            << ClientLinkParams{{"filekey", "42"}, {"filename", odd}, {"ctparams", "Readonly=False,CanPrint=True,"}}
            << QStringLiteral("preview 42 %1 Readonly=False,CanPrint=True,").arg(odd);
        QTest::addRow("14 open version") << 14 << ClientLinkParams{{"filekey", "42"}, {"filever", "2"}, {"filename", tricky}}
                                         << "download 42 2 a  b&c#d[e]f%20g%h 中文_qx.txt;open a  b&c#d[e]f%20g%h 中文_qx.txt";
        QTest::addRow("15 edit office") << 15 << ClientLinkParams{{"filekey", "7"}, {"filename", odd}}
                                        << QStringLiteral("office 7 ") + odd;
        QTest::addRow("15 edit text") << 15 << ClientLinkParams{{"filekey", "7"}, {"filename", tricky}}
                                      << QStringLiteral("text 7 ") + tricky;
        QTest::addRow("16 work folder") << 16 << ClientLinkParams{{"folderId", "1001"}} << "workpath 1001";
        QTest::addRow("17 newest") << 17 << ClientLinkParams{{"ownerId", "5"}, {"folderId", "1001"}} << "newest 5 1001";
        QTest::addRow("18 check out") << 18 << ClientLinkParams{{"fileKeys", "9"}, {"fileName", odd}}
                                      << QStringLiteral("vc 18 9 ") + odd;
        QTest::addRow("19 cancel") << 19 << ClientLinkParams{{"fileKeys", "9"}, {"fileName", tricky}}
                                   << QStringLiteral("vc 19 9 ") + tricky;
        QTest::addRow("20 check in") << 20 << ClientLinkParams{{"fileKeys", "9"}, {"fileName", "plain.txt"}} << "vc 20 9 plain.txt";
        QTest::addRow("21 scan") << 21 << ClientLinkParams{{"ownerId", "5"}, {"folderId", "1001"}, {"arcid", "0"}} << "scan 5 1001 0";
        QTest::addRow("22 clipboard upload") << 22 << ClientLinkParams{{"ownerId", "5"}, {"folderId", "1001"}} << "clipupload 5 1001";
        QTest::addRow("23 mail test") << 23 << ClientLinkParams{{"params", "[srv]smtp.example.com[/srv][add]ann&Ann Lee[/add][pass]p%w#[/pass]"}}
                                      << "mail [srv]smtp.example.com[/srv][add]ann&Ann Lee[/add][pass]p%w#[/pass]";
        QTest::addRow("25 bulk") << 25 << ClientLinkParams{{"keys", "3|4"}, {"names", odd + QStringLiteral("|") + tricky}}
                                 << QStringLiteral("bulk 3,4 %1|%2").arg(odd, tricky);
        QTest::addRow("26 edit outside") << 26 << ClientLinkParams{{"filekey", "8"}, {"filename", tricky}}
                                         << QStringLiteral("clipboard [Key]8[/Key][FileName]%1[/FileName]").arg(tricky);
    }
    void linkReadsBack()
    {
        QFETCH(int, code);
        QFETCH(ClientLinkParams, params);
        QFETCH(QString, call);
        const QString link = QString::fromLatin1(clientLink(code, params));
        // As built, as a browser hands it over (scheme lower-cased), and without the encoded blank.
        for (const QString &form : QStringList{link, QStringLiteral("zudivuvo:") + link.mid(9), link.left(9) + link.mid(12)}) {
            const Outcome o = launchAndDispatch(form, home.configFolder());
            QCOMPARE(o.code, unsigned(code));
            QCOMPARE(o.calls, call);
            QCOMPARE(o.hint, QString());
        }
    }

    void linkHasNoCharacterABrowserRewrites()
    {
        const QByteArray link = clientLink(14, {{"filekey", "1"}, {"filename", kOddName + QStringLiteral(" \"<>`{}|\\^'")}});
        QVERIFY2(QRegularExpression(QStringLiteral("^[A-Za-z0-9:%\\[\\]/#._-]+$")).match(QString::fromLatin1(link)).hasMatch(),
                 link.constData());
        QVERIFY(link.startsWith("ZuDivuvo:%20-p%20[code]14[/code][cmd]"));
    }

    // Any page can open these links: a hostile one gets a clear refusal, never a wider action.
    void hostileLinksAreRefused_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<unsigned>("code");
        QTest::addColumn<QString>("calls");
        QTest::addColumn<QString>("hint");
        QString many;
        for (int i = 1; i <= 6000; ++i)
            many += QString::number(i) + u'|';
        QTest::addRow("name reaching out of the temp folder")
            << QString::fromLatin1(clientLink(14, {{"filekey", "42"}, {"filename", "../../../.bashrc"}})) << 14u
            << "download 42 -1 file_qx.bashrc;open file_qx.bashrc" << "";
        QTest::addRow("absolute name") << QString::fromLatin1(clientLink(14, {{"filekey", "42"}, {"filename", "/etc/passwd"}}))
                                       << 14u << "download 42 -1 passwd_qx;open passwd_qx" << "";
        QTest::addRow("program never opened") << QString::fromLatin1(clientLink(14, {{"filekey", "42"}, {"filename", "run.sh"}}))
                                              << 14u << "download 42 -1 run_qx.sh" << "Failed to open the file";
        QTest::addRow("huge bulk list") << QString::fromLatin1(clientLink(25, {{"keys", many}, {"names", many}})) << 25u << ""
                                        << "Parameter error!";
        QTest::addRow("key that is a path") << QString::fromLatin1(clientLink(18, {{"fileKeys", "1,../2"}, {"fileName", "a,b"}}))
                                            << 18u << "" << "Parameter error!";
        QTest::addRow("negative key") << QString::fromLatin1(clientLink(20, {{"fileKeys", "-5"}, {"fileName", "a"}})) << 20u << ""
                                      << "Parameter error!";
        QTest::addRow("unknown code") << QString::fromLatin1(clientLink(99, {{"filekey", "1"}})) << 99u << "" << "";
        QTest::addRow("code out of range") << QString::fromLatin1(clientLink(600, {{"filekey", "1"}})) << 0u << "" << "";
        QTest::addRow("no file key") << QString::fromLatin1(clientLink(13, {{"filename", "a.pdf"}})) << 13u << "" << "File parameter error!";
    }
    void hostileLinksAreRefused()
    {
        QFETCH(QString, link);
        QFETCH(unsigned, code);
        QFETCH(QString, calls);
        QFETCH(QString, hint);
        const Outcome o = launchAndDispatch(link, home.configFolder());
        QCOMPARE(o.code, code);
        QCOMPARE(o.calls, calls);
        QVERIFY2(hint.isEmpty() ? o.hint.isEmpty() : o.hint.startsWith(hint), qPrintable(o.hint));
    }

    void unknownCodeIsNotReportedDone()
    {
        RecordingTarget target;
        TWebModule m(target, HSL_ENG, home.configFolder(), home.configFolder() + QLatin1String("Temp/"));
        QSignalSpy done(&m, &TWebModule::commandFinished);
        m.Queue().Add(TWebCmd{99, QStringLiteral("[filekey]1[/filekey]")});
        m.DoWebMessage();
        QCOMPARE(done.size(), 1);
        QCOMPARE(done.at(0).at(1).toBool(), false);
        QVERIFY(target.calls.isEmpty());
    }
};

// The portal pages, answered in-process by the server's HTTP handler.
class PortalPagesTest : public QObject
{
    Q_OBJECT
    TestHome home;
    QTemporaryDir dir;
    std::unique_ptr<Store> store;
    int demo = 0, alice = 0;
    qint64 todoKey = 0, oddKey = 0, folderId = 0;

    struct NoStream : ByteStream {
        bool readExact(char *, qint64) override { return false; }
        qint64 readSome(char *, qint64) override { return 0; }
        bool writeAll(const char *, qint64) override { return true; }
    };

    QByteArray request(const QByteArray &method, const QByteArray &target, const QByteArray &cookie = {},
                       const QByteArray &body = {})
    {
        QByteArray raw;
        if (!cookie.isEmpty())
            raw += "Cookie: zsid=" + cookie + "\r\n";
        if (method == "POST")
            raw += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
        raw += "\r\n" + body;
        BufferReader in(raw);
        HttpRequest r;
        if (!readHttpRequest(in, method + ' ' + target + " HTTP/1.1\r\n", r))
            return {};
        NoStream stream;
        return HttpHandler(*store, stream).respond(r);
    }
    QByteArray login(const char *name, const char *password)
    {
        const QByteArray answer = request("POST", "/portal/login", {}, QByteArray("name=") + name + "&password=" + password);
        const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("zsid=([0-9A-F]+)")).match(QString::fromLatin1(answer));
        return m.hasMatch() ? m.captured(1).toLatin1() : QByteArray();
    }
    QByteArray folderPage(const QByteArray &cookie)
    {
        return request("GET", "/portal?owner=" + QByteArray::number(demo) + "&folder=" + QByteArray::number(folderId), cookie);
    }
    // The link of one action in the row of a file, read back as a launch reads it.
    QString actionLink(const QByteArray &page, qint64 key, int code)
    {
        const qsizetype row = page.indexOf(QByteArray("<tr data-key=\"" + QByteArray::number(key) + "\">"));
        const qsizetype end = page.indexOf("</tr>", row);
        const QRegularExpression re(QStringLiteral("data-code=\"%1\" href=\"([^\"]+)\"").arg(code));
        const QRegularExpressionMatch m = re.match(QString::fromUtf8(page.mid(row, end - row)));
        if (row < 0 || !m.hasMatch())
            return {};
        return m.captured(1).replace(QLatin1String("&amp;"), QLatin1String("&"));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QString error;
        QVERIFY(Store::initDataDir(dir.path(), &error));
        store = std::make_unique<Store>(dir.path());
        QVERIFY(seedDemo(*store, &error));
        demo = store->ownerIdByName(QStringLiteral("demo"), QStringLiteral("U"));
        alice = store->ownerIdByName(QStringLiteral("alice"), QStringLiteral("U"));
        todoKey = store->db().value(QStringLiteral("SELECT key FROM files WHERE name='Todo.txt'")).toLongLong();
        QVERIFY(demo > 0 && alice > 0 && todoKey > 0);
        folderId = store->file(todoKey)->folderId;
        const auto v = store->version(todoKey);
        oddKey = store->addVersion(0, demo, folderId, kOddName, v->blob, v->size, v->ticks, demo);
        QVERIFY(oddKey > 0);
        // A display name that would run as markup if printed raw.
        store->db().run(QStringLiteral("UPDATE owners SET name=? WHERE id=?"), {QStringLiteral("<img src=x onerror=alert(1)>"), alice});
    }

    void withoutSessionOnlyTheLoginForm()
    {
        const QByteArray page = folderPage("0123456789ABCDEF0123456789ABCDEF");
        QVERIFY(page.contains("action=\"/portal/login\""));
        QVERIFY(!page.contains("Todo.txt"));
        QVERIFY(login("demo", "wrong").isEmpty());
    }

    void fileListShowsStateAndEscapes()
    {
        const QByteArray cookie = login("demo", "demo");
        QVERIFY(!cookie.isEmpty());
        store->setLock(oddKey, alice, LockCheckout);
        const QByteArray page = folderPage(cookie);
        QVERIFY(page.startsWith("HTTP/1.1 200"));
        QVERIFY(page.contains("Content-Security-Policy: sandbox"));
        QVERIFY(page.contains(QString(kOddName).toHtmlEscaped().toUtf8()));
        QVERIFY(page.contains("&lt;img src=x onerror=alert(1)&gt;"));
        QVERIFY(!page.contains("<img"));
        // Held by someone else: who holds it shows, and neither check-out nor check-in is offered.
        QVERIFY(actionLink(page, oddKey, 18).isEmpty());
        QVERIFY(actionLink(page, oddKey, 20).isEmpty());
        QVERIFY(!actionLink(page, oddKey, 14).isEmpty());
        QVERIFY(actionLink(page, todoKey, 20).isEmpty());
        // The holder gets check-in and cancel instead of check-out.
        store->releaseLock(oddKey);
        store->setLock(todoKey, demo, LockCheckout);
        const QByteArray mine = folderPage(cookie);
        store->releaseLock(todoKey);
        QVERIFY(actionLink(mine, todoKey, 18).isEmpty());
        const Outcome in = launchAndDispatch(actionLink(mine, todoKey, 20), dir.path() + QLatin1String("/client/"));
        QCOMPARE(in.calls, QStringLiteral("vc 20 %1 Todo.txt").arg(todoKey));
        QVERIFY(!actionLink(mine, todoKey, 19).isEmpty());
    }

    void pageLinksReachTheClient_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("call");
        QTest::addRow("preview") << 13 << QStringLiteral("preview %1 %2 Readonly=False,");
        QTest::addRow("edit") << 15 << QStringLiteral("office %1 %2");
        QTest::addRow("check out") << 18 << QStringLiteral("vc 18 %1 %2");
    }
    void pageLinksReachTheClient()
    {
        QFETCH(int, code);
        QFETCH(QString, call);
        const QByteArray page = folderPage(login("demo", "demo"));
        const Outcome o = launchAndDispatch(actionLink(page, oddKey, code), dir.path() + QLatin1String("/client/"));
        QCOMPARE(o.code, unsigned(code));
        QVERIFY2(o.calls.startsWith(call.arg(oddKey).arg(kOddName)), qPrintable(o.calls));
    }

    void foreignFolderIsNotListed()
    {
        const auto foreign = store->file(store->db().value(QStringLiteral("SELECT key FROM files WHERE name='Ground floor.dwg'")).toLongLong());
        QVERIFY(foreign);
        const QByteArray page = request("GET", "/portal?owner=" + QByteArray::number(foreign->ownerId) + "&folder="
                                                   + QByteArray::number(foreign->folderId), login("demo", "demo"));
        QVERIFY(page.startsWith("HTTP/1.1 200"));
        QVERIFY(!page.contains("Ground floor.dwg"));
        QVERIFY(!page.contains("Plans"));
    }

    void bulkPageCarriesOnlyReachableFiles()
    {
        const qint64 foreign = store->db().value(QStringLiteral("SELECT key FROM files WHERE name='Ground floor.dwg'")).toLongLong();
        QVERIFY(foreign > 0 && !store->canAccess(*store->user(demo), store->file(foreign)->ownerId));
        const QByteArray page = request("GET", "/portal/bulk?owner=1&folder=2&key=" + QByteArray::number(todoKey) + "&key="
                                                   + QByteArray::number(foreign) + "&key=" + QByteArray::number(oddKey),
                                        login("demo", "demo"));
        const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("data-code=\"25\" href=\"([^\"]+)\"")).match(QString::fromUtf8(page));
        QVERIFY(m.hasMatch());
        const Outcome o = launchAndDispatch(m.captured(1), dir.path() + QLatin1String("/client/"));
        QCOMPARE(o.calls, QStringLiteral("bulk %1,%2 Todo.txt|%3").arg(todoKey).arg(oddKey).arg(kOddName));
    }

    void stateChangesNeedTheFormToken()
    {
        const QByteArray cookie = login("demo", "demo");
        QVERIFY(request("GET", "/portal/logout", cookie).startsWith("HTTP/1.1 404"));
        QVERIFY(request("POST", "/portal/logout", cookie, "token=00112233445566778899aabbccddeeff").startsWith("HTTP/1.1 403"));
        QVERIFY(folderPage(cookie).contains("Todo.txt"));
        const QByteArray out = request("POST", "/portal/logout", cookie, "token=" + Portal::formToken(QString::fromLatin1(cookie)));
        QVERIFY(out.startsWith("HTTP/1.1 302"));
        QVERIFY(!folderPage(cookie).contains("Todo.txt"));
    }

    void mailSettingsLinkCarriesTheForm()
    {
        const QByteArray cookie = login("demo", "demo");
        QVERIFY(request("POST", "/portal/settings", cookie, "srv=smtp.example.com").startsWith("HTTP/1.1 403"));
        const QByteArray page = request("POST", "/portal/settings", cookie,
                                        "token=" + Portal::formToken(QString::fromLatin1(cookie))
                                            + "&srv=smtp.example.com&port=465&ssl=2&add=ann&displayname=Ann+Lee&pass=p%26%5B");
        const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("data-code=\"23\" href=\"([^\"]+)\"")).match(QString::fromUtf8(page));
        QVERIFY(m.hasMatch());
        const Outcome o = launchAndDispatch(m.captured(1), dir.path() + QLatin1String("/client/"));
        QCOMPARE(o.calls, QStringLiteral("mail [srv]smtp.example.com[/srv][port]465[/port][ssl]2[/ssl][add]ann[/add]"
                                         "[displayname]Ann Lee[/displayname][pass]p&[[/pass]"));
    }
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    return runTests<ClientLinkTest, PortalPagesTest>(argc, argv);
}

#include "tst_portal.moc"
