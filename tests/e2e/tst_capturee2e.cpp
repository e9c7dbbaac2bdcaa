// Web commands 21, 22 and 23 as a user meets them: the client runs (here, in
// this process, holding the instance channel), a browser link starts the real
// program a second time, and the command reaches the running client's windows,
// which talk to the reference server, SANE's test back end and a local SMTP server.
#include "app/arvoclientfrm.h"
#include "app/capturecommands.h"
#include "app/netsessionbackend.h"
#include "app/startup.h"
#include "capture/twainxefrm.h"
#include "capture/uploaddragfilesfrm.h"
#include "core/clientconfigx.h"
#include "mail/smtptestfrm.h"
#include "model/folderchanges.h"
#include "platform/clipboardfiles.h"
#include "platform/instancechannel.h"
#include "qrlogin.h"
#include "recordingprompter.h"
#include "serverfixture.h"
#include "testenv.h"
#include "testprocess.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QTcpServer>
#include <QPushButton>
#include <QSignalSpy>

namespace {

struct YesPrompter : RecordingPrompter {
    QStringList asked;
    bool Ask(QWidget *, const QString &, const QString &text) override
    {
        asked << text;
        return true;
    }
};

QString python()
{
    for (const QString &candidate : {QStringLiteral("python3"), QStringLiteral("/usr/bin/python3")}) {
        QProcess p;
        p.start(candidate, {QStringLiteral("-c"), QStringLiteral("import aiosmtpd")});
        if (p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
            return candidate;
    }
    return {};
}

} // namespace

class CaptureLinkE2ETest : public QObject
{
    Q_OBJECT
    TestHome home;
    TestServer server;
    YesPrompter prompter;
    InstanceChannel channel;
    std::unique_ptr<TClientConfigX> config;
    std::unique_ptr<TARVOClientFrm> client;
    qint64 folder = 0;

    // The second launch a browser makes; it must hand the command over and end.
    bool launch(const QString &code, const QString &cmd)
    {
        const ProgramRun second = runProgram(QStringLiteral("ZuDivuvo"),
                                             {QStringLiteral("zudivuvo://-p%20[code]") + code + QStringLiteral("[/code][cmd]") + cmd + QStringLiteral("[/cmd]/")},
                                             QProcessEnvironment::systemEnvironment(), 15000);
        if (second.code != 0)
            qWarning("%s", qPrintable(second.failText()));
        return second.code == 0;
    }
    QByteArray stored(const QString &name, qint64 *key = nullptr)
    {
        Store store(server.dataDir());
        const qint64 k = store.db().value(QStringLiteral("SELECT key FROM files WHERE name=? AND folder_id=?"), {name, folder}).toLongLong();
        if (key)
            *key = k;
        if (k <= 0)
            return {};
        QFile f(store.blobPath(store.version(k)->blob));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private Q_SLOTS:
    void initTestCase()
    {
        TPrompter::SetInstance(&prompter);
        QVERIFY(channel.acquire());
        QVERIFY(channel.listen());
        Store store(server.dataDir());
        folder = store.db().value(QStringLiteral("SELECT id FROM folders WHERE owner_id=? ORDER BY id"), {5}).toLongLong();
        QVERIFY(folder > 0);
        // What a browser's "-u" launch stores, taken in this process.
        {
            TClientConfigX c;
            c.SetLanguage(1);
            TStartup(c, [] {}).Run(QStringLiteral("-s 127.0.0.1#%1#0 -u %2").arg(server.port()).arg(webIdentity(store, 5)));
        }
        config = std::make_unique<TClientConfigX>();
        client = std::make_unique<TARVOClientFrm>(*config, std::make_shared<TNetSessionBackend>(),
                                                  QStringLiteral("/opt/kv/ZuDivuvo"));
        connect(&channel, &InstanceChannel::messageReceived, client.get(), &TARVOClientFrm::handleMessage);
        client->StartLoginSequence();
        QTRY_VERIFY_WITH_TIMEOUT(client->Session().FIsLogin, 20000);
    }
    void cleanupTestCase()
    {
        client.reset();
        TPrompter::SetInstance(nullptr);
    }

    void scanCommandUploadsScannedPages()
    {
        QVERIFY(launch(QStringLiteral("21"),
                       QStringLiteral("[ownerId]5[/ownerId][folderId]%1[/folderId][arcid]12[/arcid]").arg(folder)));
        QTRY_VERIFY_WITH_TIMEOUT(client->Capture()->ScanWindow() && client->Capture()->ScanWindow()->isVisible(), 15000);
        TTwainXeFrm *w = client->Capture()->ScanWindow();
        QVERIFY(w->plUpload->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(w->cbTwainSource->count() >= 2, 30000);
        QSignalSpy shown(w, &TTwainXeFrm::optionsShown);
        w->cbTwainSource->setCurrentIndex(0);
        QVERIFY(shown.wait(20000));
        QSignalSpy ended(w, &TTwainXeFrm::scanEnded);
        QTest::mouseClick(w->sptAcquire, Qt::LeftButton);
        QVERIFY(ended.wait(60000));
        QCOMPARE(w->Pages().Count(), 1);
        const QSize page = w->Pages().Current().size();
        QTest::mouseClick(w->spbSaveUpload, Qt::LeftButton);
        QTRY_VERIFY(w->UploadFrm());   // once the page file is written
        w->UploadFrm()->edtFileName->setText(QStringLiteral("扫描 receipt"));
        QSignalSpy done(w, &TTwainXeFrm::uploadFinished);
        QSignalSpy folderChanged(&TFolderChanges::Instance(), &TFolderChanges::changed);
        QTest::mouseClick(w->UploadFrm()->btnUpload, Qt::LeftButton);
        QVERIFY(done.wait(60000));
        QVERIFY(done.first().at(0).toBool());
        // An open list of the folder is told to show the new page.
        QVERIFY(!folderChanged.isEmpty());
        QCOMPARE(folderChanged.last().at(1).toLongLong(), qint64(folder));
        qint64 key = 0;
        QCOMPARE(QImage::fromData(stored(QStringLiteral("扫描 receipt.jpg"), &key), "JPEG").size(), page);
        QCOMPARE(Store(server.dataDir()).db().value(QStringLiteral("SELECT arc_id FROM archive_links WHERE file_key=?"), {key}).toInt(), 12);
        QVERIFY(!w->isVisible());   // done: the window closed
    }

    void clipboardCommandUploadsCopiedFiles()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("copied 文件.txt"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("copied in the file manager\n");
        f.close();
        ClipboardFiles::Write({path});
        QSignalSpy folderChanged(&TFolderChanges::Instance(), &TFolderChanges::changed);
        QVERIFY(launch(QStringLiteral("22"), QStringLiteral("[ownerId]5[/ownerId][folderId]%1[/folderId]").arg(folder)));
        QTRY_VERIFY_WITH_TIMEOUT(client->Capture()->ClipboardWindow(), 15000);
        TUploadDragFilesFrm *w = client->Capture()->ClipboardWindow();
        QTRY_COMPARE_WITH_TIMEOUT(stored(QStringLiteral("copied 文件.txt")), QByteArray("copied in the file manager\n"), 30000);
        QCOMPARE(prompter.asked.size(), 1);
        QVERIFY(prompter.asked.first().contains(path));
        QTRY_VERIFY(w->lbT->text().startsWith(QStringLiteral("There are 1 files, has completed 1")));
        QTRY_VERIFY(!folderChanged.isEmpty());
        QCOMPARE(folderChanged.last().at(1).toLongLong(), qint64(folder));
    }

    void busyMailWindowRefusesANewCommand()
    {
        // A server that takes the connection and never answers keeps the test mail on the wire.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        const QString params = QStringLiteral("[srv]127.0.0.1[/srv][port]%1[/port][ssl]0[/ssl][add]admin@example.test[/add]")
                                   .arg(silent.serverPort());
        QString error;
        QVERIFY(client->Capture()->MailTest(params, &error));
        QPointer<TSmtpTestFrm> dialog = client->Capture()->MailWindow();
        QVERIFY(dialog);
        QTest::mouseClick(dialog->btnSend, Qt::LeftButton);
        QVERIFY(dialog->IsBusy());
        QVERIFY(!client->Capture()->MailTest(params, &error));
        QVERIFY2(error.contains(QLatin1String("not carried out")), qPrintable(error));
        dialog->close();   // the send stops with the dialog
        QTRY_VERIFY(dialog.isNull());
    }

    void mailCommandSendsTheTestMail()
    {
        const QString py = python();
        QVERIFY2(!py.isEmpty(), "python3 with aiosmtpd is needed (Debian package python3-aiosmtpd)");
        QTemporaryDir out;
        QProcess smtp;
        smtp.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        smtp.start(py, {QStringLiteral(ZUDIVUVO_MAIL_TEST_DIR "/smtpserver.py"), QStringLiteral("--out"), out.path(),
                        QStringLiteral("--user"), QStringLiteral("admin@example.test"), QStringLiteral("--password"),
                        QStringLiteral("pw"), QStringLiteral("--plain-auth")});
        QVERIFY(smtp.waitForReadyRead(20000));
        const int port = smtp.readLine().trimmed().mid(5).toInt();
        QVERIFY(port > 0);
        auto stop = qScopeGuard([&smtp] {
            smtp.kill();
            smtp.waitForFinished(5000);
        });
        prompter.shown.clear();
        QVERIFY(launch(QStringLiteral("23"),
                       QStringLiteral("[params][srv]127.0.0.1[/srv][port]%1[/port][ssl]1[/ssl][add]admin@example.test[/add]"
                                      "[pass]pw[/pass][/params]")
                           .arg(port)));
        QTRY_VERIFY_WITH_TIMEOUT(client->Capture()->MailWindow(), 15000);
        TSmtpTestFrm *dialog = client->Capture()->MailWindow();
        QCOMPARE(dialog->edtHost->text(), QStringLiteral("127.0.0.1"));
        QCOMPARE(dialog->cbAuth->currentText(), QStringLiteral("Default"));
        QTest::mouseClick(dialog->btnSend, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!client->Capture()->MailWindow(), 30000);
        QCOMPARE(prompter.shown, QStringList{QStringLiteral(
                                     "test is passed, please return to save the settings and restart the service!")});
        QFile received(out.filePath(QStringLiteral("msg-0.json")));
        QVERIFY(received.open(QIODevice::ReadOnly));
        const QJsonObject m = QJsonDocument::fromJson(received.readAll()).object();
        QCOMPARE(m.value(u"subject").toString(), QStringLiteral("E-mail test message from Document Management System"));
        QCOMPARE(m.value(u"envelopeTo").toVariant().toStringList(), QStringList{QStringLiteral("admin@example.test")});
    }
};

int main(int argc, char **argv)
{
    QTemporaryDir sane;
    QFile dll(sane.filePath(QStringLiteral("dll.conf")));
    QFile conf(sane.filePath(QStringLiteral("test.conf")));
    if (!dll.open(QIODevice::WriteOnly) || !conf.open(QIODevice::WriteOnly))
        return 2;
    dll.write("test\n");
    conf.write("number_of_devices 2\nmode Color\ndepth 8\nresolution 75\ntest-picture \"Color pattern\"\n");
    dll.close();
    conf.close();
    qputenv("SANE_CONFIG_DIR", QFile::encodeName(sane.path()));
    QApplication app(argc, argv);
    return runTests<CaptureLinkE2ETest>(argc, argv);
}

#include "tst_capturee2e.moc"
