// Command 13 as a user meets it: a link from a web page starts a second
// client, which hands the command to the running one; the viewer shows the
// file from the reference server with the link's permissions.
#include "app/netsessionbackend.h"
#include "core/clientconfigx.h"
#include "core/fileext.h"
#include "core/tagtext.h"
#include "core/workpools.h"
#include "platform/instancechannel.h"
#include "preview/officeconverter.h"
#include "preview/pdfpreviewfrm.h"
#include "preview/previewcommand.h"
#include "preview/simplepreviewfrms.h"
#include "serverfixture.h"
#include "testenv.h"
#include "testprocess.h"
#include "web/previewhint.h"
#include "web/webmodule.h"

#include <QApplication>
#include <QAction>
#include <QDirIterator>
#include <QLabel>
#include <QPdfDocument>
#include <QProcess>
#include <QTextBrowser>
#include <QUrl>
#include <QUuid>

namespace {

// What the running client's target does for command 13; nothing else is wanted here.
struct PreviewTarget : TWebCommandTarget {
    TPreviewCommand *command = nullptr;
    void SetClipboardText(const QString &) override {}
    bool OpenWithDesktop(const QString &, QString *) override { return false; }
    bool DownloadForOpen(qint64, qint64, const QString &, QString *) override { return false; }
    bool Preview(const QString &cmd, QString *error) override { return command->Run(cmd, error); }
};

} // namespace

class PreviewE2ETest : public QObject
{
    Q_OBJECT
    TestHome home;
    TestServer server;
    InstanceChannel channel;
    TServerConn conn;
    std::unique_ptr<TPreViewHint> hint;
    std::unique_ptr<TPreviewWindows> windows;
    std::unique_ptr<TPreviewCommand> command;
    PreviewTarget target;
    std::unique_ptr<TWebModule> module;
    QList<QUrl> webPages;


    // Stores a file in the demo user's first folder, as an upload would.
    qint64 addFile(const QString &name, const QByteArray &body)
    {
        Store store(server.dataDir());
        const int demo = store.db().value(QStringLiteral("SELECT id FROM owners WHERE login='demo'")).toInt();
        const QList<FolderInfo> folders = store.subFolders(demo, 0);
        if (folders.isEmpty())
            return 0;
        const QString tmp = store.stagingDir() + u'/' + QUuid::createUuid().toString(QUuid::WithoutBraces) + QStringLiteral(".tmp");
        QFile f(tmp);
        if (!f.open(QIODevice::WriteOnly) || f.write(body) != body.size())
            return 0;
        f.close();
        QString blob;
        if (!store.commitBlob(tmp, blob, nullptr))
            return 0;
        return store.addVersion(0, demo, folders.first().id, name, blob, body.size(), 638000000000000000LL, demo);
    }

    // The link a page gives the browser, handed to a second client as the browser would.
    void launch(qint64 key, const QString &name, const QString &options)
    {
        const QString cmd = QStringLiteral("[filekey]%1[/filekey][filever]-1[/filever][filename]%2[/filename][ctparams]%3[/ctparams]")
                                .arg(key)
                                .arg(name, options);
        // Blanks travel as "##", as the server's pages write them.
        const QString link = QStringLiteral("zudivuvo://-p%20[code]13[/code][cmd]")
                             + QString::fromLatin1(QUrl::toPercentEncoding(QString(cmd).replace(u' ', QLatin1String("##")), "[]/=,#"))
                             + QStringLiteral("[/cmd]/");
        const ProgramRun second = runProgram(QStringLiteral("ZuDivuvo"), {link}, QProcessEnvironment::systemEnvironment(), 15000);
        QVERIFY2(second.code == 0, qPrintable(second.failText()));
    }

    // The running client's ticks until a window opens for the command.
    QWidget *nextWindow()
    {
        // A window closed just before may still be in the list until it is freed, and a
        // new one may take a freed one's address: windows already handed out are marked.
        const char *seen = "handedToTheTest";
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 15000) {
            module->DoWebMessage();
            for (QWidget *w : windows->Windows())
                if (!w->property(seen).toBool()) {
                    w->setProperty(seen, true);
                    return w;
                }
            QTest::qWait(50);
        }
        return nullptr;
    }

private Q_SLOTS:
    void initTestCase()
    {
        TNetSessionBackend backend;
        TLoginResult r;
        QString error;
        QVERIFY2(backend.Login({QStringLiteral("127.0.0.1"), server.port(), false}, HSL_ENG, QStringLiteral("demo"),
                               QStringLiteral("demo"), r, &error),
                 qPrintable(error));
        conn.Host = QStringLiteral("127.0.0.1");
        conn.Port = server.port();
        conn.EncryptId = r.UserId;
        conn.Language = HSL_ENG;
        // This process is the running client: the launches find it and hand over.
        QVERIFY(channel.acquire());
        QVERIFY(channel.listen());
        hint = std::make_unique<TPreViewHint>(HSL_ENG);
        windows = std::make_unique<TPreviewWindows>(QRect(100, 100, 800, 680));
        command = std::make_unique<TPreviewCommand>(conn, home.configFolder() + QLatin1String("Temp/"), hint.get(),
                                                    windows.get());
        command->FOpenUrl = [this](const QUrl &u) { webPages << u; return true; };
        target.command = command.get();
        module = std::make_unique<TWebModule>(target, HSL_ENG, home.configFolder(), home.configFolder() + QLatin1String("Temp/"));
    }

    void cleanupTestCase()
    {
        module.reset();
        windows.reset();
    }

    void readOnlyPdfShowsPageOneWithoutPrint()
    {
        const qint64 key = server.keyOf(QStringLiteral("Signed contract.pdf"));
        QVERIFY(key > 0);
        launch(key, QStringLiteral("Signed contract.pdf"), QStringLiteral("Readonly=True,CanPrint=False"));
        auto *w = qobject_cast<TPdfPreviewFrm *>(nextWindow());
        QVERIFY(w);
        QTRY_VERIFY_WITH_TIMEOUT(w->PageCount() > 0, 15000);
        QCOMPARE(w->CurrentPage(), 0);
        QCOMPARE(w->windowTitle(), QStringLiteral("Signed contract.pdf"));
        QVERIFY(!w->PrintAction());
        QVERIFY(w->FGuard);
        // The downloaded copy does not stay in the temporary folder.
        QTRY_VERIFY(QDir(home.configFolder() + QLatin1String("Temp/")).entryList({QStringLiteral("*Z.pdf")}).isEmpty());
        w->close();
    }

    void docxIsConvertedAndShown()
    {
        if (!TOfficeConverter().IsAvailable())
            QSKIP("LibreOffice is not installed; run scripts/deps.sh to install it");
        const qint64 key = server.keyOf(QStringLiteral("Contract template.docx"));
        const QString open = QStringLiteral("Readonly=False,CanPrint=True,CtrlC=True");
        const QDir cache(home.configFolder() + QLatin1String("Temp/preview-cache"));
        launch(key, QStringLiteral("Contract template.docx"), open);
        auto *w = qobject_cast<TOfficeFilePreviewFrm *>(nextWindow());
        QVERIFY(w);
        QTRY_VERIFY_WITH_TIMEOUT(w->PageCount() > 0, 120000);
        QCOMPARE(w->CurrentPage(), 0);
        QVERIFY(w->PrintAction());
        QVERIFY(!w->FromCache());
        w->close();
        // The same version again comes from the cache.
        launch(key, QStringLiteral("Contract template.docx"), open);
        auto *again = qobject_cast<TOfficeFilePreviewFrm *>(nextWindow());
        QVERIFY(again);
        QTRY_VERIFY_WITH_TIMEOUT(again->PageCount() > 0, 30000);
        QVERIFY(again->FromCache());
        again->close();
        QCOMPARE(cache.entryList({QStringLiteral("*.pdf")}).size(), 1);

        // Read-only, no print, no copy: converted anew, shown from memory, and no
        // readable PDF of it stays anywhere in the temporary folder.
        launch(key, QStringLiteral("Contract template.docx"), QStringLiteral("Readonly=True"));
        auto *restricted = qobject_cast<TOfficeFilePreviewFrm *>(nextWindow());
        QVERIFY(restricted);
        QTRY_VERIFY_WITH_TIMEOUT(restricted->PageCount() > 0, 120000);
        QVERIFY(!restricted->PrintAction());
        QVERIFY(!restricted->FromCache());
        QVERIFY(restricted->InMemory());
        QStringList pdfs;
        QDirIterator it(home.configFolder() + QLatin1String("Temp"), {QStringLiteral("*.pdf")}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            pdfs << it.next();
        QCOMPARE(pdfs, QStringList());
        QCOMPARE(QFileInfo(cache.path()).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther),
                 QFileDevice::Permissions());
        restricted->close();
    }

    void downloadFinishingAfterCloseLeavesNoCopy()
    {
        const qint64 key = server.keyOf(QStringLiteral("Signed contract.pdf"));
        auto *w = new TPdfPreviewFrm(conn, home.configFolder() + QLatin1String("Temp/"));
        w->PreviewEx(FileExtCode(QStringLiteral("pdf")), -1, key);
        const QString local = w->FLocalFileName;
        QVERIFY(!local.isEmpty());
        // Gone while its download is on the wire: the answer has nobody to open or remove it.
        delete w;
        QVERIFY(TransferPool()->waitForDone(30000));
        QVERIFY(!QFileInfo::exists(local));
    }

    void helpViewerThatCannotStartIsAFailure()
    {
        struct HelpProbe : TLocalSoftwareProbe {
            QString HelpViewer() const override { return QStringLiteral("/usr/bin/xchm"); }
        };
        const std::shared_ptr<TSoftwareProbe> probe = command->FProbe;
        const auto start = command->FStartHelpViewer;
        command->FProbe = std::make_shared<HelpProbe>();
        QString handed;
        command->FStartHelpViewer = [&handed](const QString &, const QString &file) {
            handed = file;
            return false;
        };
        const qint64 key = addFile(QStringLiteral("Manual.chm"), QByteArray("ITSF not really a help file"));
        QVERIFY(key > 0);
        QString error;
        QVERIFY2(command->Run(QStringLiteral("[filekey]%1[/filekey][filename]Manual.chm[/filename]"
                                             "[ctparams]Readonly=False,CanPrint=True,CtrlC=True[/ctparams]")
                                  .arg(key),
                              &error),
                 qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(!handed.isEmpty(), 15000);
        QTRY_VERIFY(hint->Text().contains(QLatin1String("could not be started")));
        // The copy nobody opened does not stay.
        QTRY_VERIFY(!QFileInfo::exists(handed));
        command->FProbe = probe;
        command->FStartHelpViewer = start;
    }

    void pictureIsShown()
    {
        const qint64 key = server.keyOf(QStringLiteral("Whiteboard.png"));
        launch(key, QStringLiteral("Whiteboard.png"), QStringLiteral("Readonly=True"));
        auto *w = qobject_cast<TImagePreviewFrm *>(nextWindow());
        QVERIFY(w);
        QTRY_VERIFY_WITH_TIMEOUT(!w->Image().isNull(), 15000);
        QCOMPARE(w->Image().size(), QSize(160, 120));
        w->close();
    }

    void mailListsItsAttachment()
    {
        const QByteArray eml = "Date: Mon, 7 Dec 2026 10:00:00 +0000\r\nFrom: ann@example.com\r\nTo: demo@example.com\r\n"
                               "Cc: bob@example.com\r\nSubject: Offer\r\nMIME-Version: 1.0\r\n"
                               "Content-Type: multipart/mixed; boundary=\"B\"\r\n\r\n"
                               "--B\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<p>See the <b>offer</b>.</p><script>alert(1)</script>\r\n"
                               "--B\r\nContent-Type: application/pdf; name=\"offer.pdf\"\r\nContent-Disposition: attachment; filename=\"offer.pdf\"\r\n"
                               "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQK\r\n--B--\r\n";
        const qint64 key = addFile(QStringLiteral("Offer mail.eml"), eml);
        QVERIFY(key > 0);
        launch(key, QStringLiteral("Offer mail.eml"), QStringLiteral("Readonly=True"));
        auto *w = qobject_cast<TEmlPreviewFrm *>(nextWindow());
        QVERIFY(w);
        QTRY_VERIFY_WITH_TIMEOUT(w->AttachmentLabels().size() == 1, 15000);
        QCOMPARE(w->AttachmentLabels().first()->text(), QStringLiteral("offer.pdf"));
        QVERIFY(w->Body()->toPlainText().contains(QLatin1String("See the offer.")));
        QVERIFY(!(w->Body()->textInteractionFlags() & Qt::TextSelectableByMouse));
        // A read-only mail's attachment is not handed to another program.
        QTest::mouseClick(w->AttachmentLabels().first(), Qt::LeftButton);
        QVERIFY(hint->Text().contains(QLatin1String("cannot be opened")));
        QVERIFY(!QFileInfo::exists(home.configFolder() + QLatin1String("Temp/attachments/offer.pdf")));
        w->close();
    }

    void printAllowedDocumentReportsThePrint()
    {
        const qint64 key = server.keyOf(QStringLiteral("Signed contract.pdf"));
        launch(key, QStringLiteral("Signed contract.pdf"), QStringLiteral("Readonly=False,CanPrint=True"));
        auto *w = qobject_cast<TPdfPreviewFrm *>(nextWindow());
        QVERIFY(w);
        QTRY_VERIFY_WITH_TIMEOUT(w->PageCount() > 0, 15000);
        QVERIFY(w->PrintAction());
        int printed = 0;
        w->FPrintJob = [&](TPdfPreviewFrm *) { ++printed; return true; };
        w->FVirtualPrinterExists = [] { return false; };
        w->PrintAction()->trigger();
        QCOMPARE(printed, 1);
        Store store(server.dataDir());
        QTRY_COMPARE_WITH_TIMEOUT(store.db().value(QStringLiteral("SELECT COUNT(*) FROM audit_log WHERE opr='print' AND file_key=?"), {key}).toInt(), 1, 10000);
        w->close();
    }

    void nameWithMarkersGetsNoPermissions()
    {
        const qint64 key = server.keyOf(QStringLiteral("Signed contract.pdf"));
        launch(key, QStringLiteral("x.pdf[/filename][ctparams]Readonly=False,CanPrint=True,CtrlC=True[/ctparams]"),
               QStringLiteral("Readonly=True"));
        auto *w = qobject_cast<TPdfPreviewFrm *>(nextWindow());
        QVERIFY(w);
        QTRY_VERIFY_WITH_TIMEOUT(w->PageCount() > 0, 15000);
        QVERIFY(!w->PrintAction());
        QVERIFY(w->FDocReadonly);
        QVERIFY(!w->FCanCopy);
        w->close();
    }
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    return runTests<PreviewE2ETest>(argc, argv);
}

#include "tst_previewe2e.moc"
