// Pictures of the capture and mail windows: the scan window with two pages
// from SANE's test back end, its naming dialog, the clipboard upload's log and
// the mail test after a send through a local SMTP server.
#include "app/arvoclientfrm.h"
#include "app/capturecommands.h"
#include "capture/twainxefrm.h"
#include "capture/uploaddragfilesfrm.h"
#include "files/filemagfrm.h"
#include "mail/smtptestfrm.h"
#include "platform/clipboardfiles.h"
#include "platform/prompter.h"

#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <cstdio>
#include <functional>

namespace {

// Shoots the mail dialog when it reports the passed test, then answers as the prompter under it would.
struct MailShotPrompter : TPrompter {
    TPrompter *next = nullptr;
    std::function<void(QWidget *)> onPassed;
    void Info(QWidget *parent, const QString &caption, const QString &text) override
    {
        if (onPassed && parent && parent->window()->objectName() == QLatin1String("TSmtpTestFrm"))
            onPassed(parent->window());
        next->Info(parent, caption, text);
    }
    void Error(QWidget *parent, const QString &caption, const QString &text) override { next->Error(parent, caption, text); }
    bool Ask(QWidget *parent, const QString &caption, const QString &text) override
    {
        return next->Ask(parent, caption, text);
    }
};

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QString python()
{
    for (const QString &candidate : {QStringLiteral("python3"), QStringLiteral("/usr/bin/python3")}) {
        QProcess p;
        p.start(candidate, {QStringLiteral("-c"), QStringLiteral("import aiosmtpd")});
        if (p.waitForFinished(20000) && p.exitCode() == 0)
            return candidate;
    }
    return {};
}

} // namespace

void shootCapture(TARVOClientFrm &w, bool chinese, const std::function<void(QWidget *, const QString &)> &shoot,
                  const std::function<void(const std::function<bool()> &, const char *, int)> &need)
{
    TFileMagFrm *fm = w.FileMagFrm();
    const qint32 owner = fm->FGroupId;
    const qint64 folder = fm->FFolderId;
    TCaptureCommands *capture = w.Capture();

    // SANE's test back end stands in for a scanner.
    static QTemporaryDir sane;
    writeBytes(sane.filePath(QStringLiteral("dll.conf")), "test\n");
    writeBytes(sane.filePath(QStringLiteral("test.conf")),
               "number_of_devices 2\nmode Color\ndepth 8\nresolution 75\ntest-picture \"Color pattern\"\n");
    qputenv("SANE_CONFIG_DIR", QFile::encodeName(sane.path()));
    capture->Scan(owner, folder, 0, nullptr);
    TTwainXeFrm *scan = capture->ScanWindow();
    need([scan] { return scan->cbTwainSource->count() >= 2; }, "scanner list", 30000);
    bool shown = false;
    QObject::connect(scan, &TTwainXeFrm::optionsShown, scan, [&shown] { shown = true; });
    scan->cbTwainSource->setCurrentIndex(0);
    need([&shown] { return shown; }, "scanner settings", 20000);
    for (int page = 1; page <= 2; ++page) {
        bool ended = false;
        QMetaObject::Connection c = QObject::connect(scan, &TTwainXeFrm::scanEnded, scan, [&ended] { ended = true; });
        QTest::mouseClick(scan->sptAcquire, Qt::LeftButton);
        need([&ended] { return ended; }, "a scanned page", 60000);
        QObject::disconnect(c);
    }
    if (scan->Pages().Count() != 2)
        std::fprintf(stderr, "  scan: %d pages\n", scan->Pages().Count());
    QTest::mouseClick(scan->tbWi, Qt::LeftButton);
    shoot(scan, QStringLiteral("scan"));
    QTest::mouseClick(scan->spbSaveUpload, Qt::LeftButton);
    need([scan] { return scan->UploadFrm() && scan->UploadFrm()->isVisible(); }, "upload naming dialog", 10000);
    scan->UploadFrm()->edtFileName->setText(chinese ? QStringLiteral("收据") : QStringLiteral("Receipt"));
    shoot(scan->UploadFrm(), QStringLiteral("scanupload"));
    scan->UploadFrm()->reject();
    need([scan] { return !scan->UploadFrm(); }, "naming dialog closed", 10000);
    scan->hide();

    // Two copied files and an empty one, as the desktop's file manager puts them.
    QDir copied(QDir::homePath() + QStringLiteral("/Documents/Copied"));
    copied.mkpath(QStringLiteral("."));
    const QString a = copied.filePath(chinese ? QStringLiteral("会议纪要 3月.txt") : QStringLiteral("Meeting notes March.txt"));
    const QString b = copied.filePath(QStringLiteral("Site photo.bin"));
    const QString empty = copied.filePath(chinese ? QStringLiteral("空白.txt") : QStringLiteral("Blank.txt"));
    writeBytes(a, QByteArray(3000, 'n'));
    writeBytes(b, QByteArray(90000, 'p'));
    writeBytes(empty, QByteArray());
    ClipboardFiles::Write({a, b, empty});
    capture->UploadClipboard(owner, folder, nullptr);
    TUploadDragFilesFrm *clip = capture->ClipboardWindow();
    bool passed = false;
    QObject::connect(clip, &TUploadDragFilesFrm::passEnded, clip, [&passed] { passed = true; });
    need([&passed] { return passed; }, "clipboard upload", 60000);
    shoot(clip, QStringLiteral("clipboardupload"));
    clip->hide();

    // The mail test through a local SMTP server.
    const QString py = python();
    if (py.isEmpty()) {
        std::fprintf(stderr, "  mail test: python3 with aiosmtpd is missing, no picture\n");
        return;
    }
    static QTemporaryDir mailOut;
    QProcess smtp;
    smtp.start(py, {QStringLiteral(ZUDIVUVO_MAIL_TEST_DIR "/smtpserver.py"), QStringLiteral("--out"), mailOut.path(),
                    QStringLiteral("--user"), QStringLiteral("admin@example.test"), QStringLiteral("--password"),
                    QStringLiteral("pw"), QStringLiteral("--plain-auth")});
    need([&smtp] { return smtp.canReadLine() || smtp.waitForReadyRead(100); }, "SMTP server", 20000);
    const int port = smtp.readLine().trimmed().mid(5).toInt();
    MailShotPrompter prompter;
    prompter.next = &TPrompter::Instance();
    bool shot = false;
    prompter.onPassed = [&](QWidget *dialog) {
        shoot(dialog, QStringLiteral("mailtest"));
        shot = true;
    };
    TPrompter::SetInstance(&prompter);
    capture->MailTest(QStringLiteral("[srv]127.0.0.1[/srv][port]%1[/port][ssl]1[/ssl][add]admin@example.test&%2[/add]"
                                     "[pass]pw[/pass]")
                          .arg(port)
                          .arg(chinese ? QStringLiteral("文档管理员") : QStringLiteral("Document Admin")),
                      nullptr);
    TSmtpTestFrm *mail = capture->MailWindow();
    need([mail] { return mail && mail->isVisible(); }, "mail test dialog", 10000);
    QObject::connect(mail, &TSmtpTestFrm::sendFinished, mail, [mail](bool ok) {
        if (!ok)
            std::fprintf(stderr, "  mail test failed: %s\n", qPrintable(mail->FErrorInfo));
    });
    QTest::mouseClick(mail->btnSend, Qt::LeftButton);
    need([&shot] { return shot; }, "mail sent", 40000);
    TPrompter::SetInstance(prompter.next);
    smtp.kill();
    smtp.waitForFinished(5000);
}
