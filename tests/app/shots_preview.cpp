// Pictures of the viewers, each opened read-only through command 13 as a web
// page hands it over: a PDF, an office document converted by LibreOffice, a
// picture and a mail message with an attachment.
#include "app/arvoclientfrm.h"
#include "preview/emlmessage.h"
#include "preview/pdfpreviewfrm.h"
#include "preview/previewcommand.h"
#include "preview/simplepreviewfrms.h"
#include "web/webmodule.h"

#include <QApplication>
#include <QLabel>
#include <QTest>

#include <functional>

namespace {

QWidget *openPreview(TARVOClientFrm &w, qint64 key, const QString &name,
                     const std::function<void(const std::function<bool()> &, const char *, int)> &need)
{
    TPreviewWindows *list = w.PreviewWindows();
    const qsizetype before = list->Windows().size();
    TWebCmd cmd;
    cmd.Code = 13;
    cmd.Cmd = QStringLiteral("[filekey]%1[/filekey][filever]-1[/filever][filename]%2[/filename][ctparams]Readonly=True,CanPrint=False[/ctparams]")
                  .arg(key)
                  .arg(name);
    w.WebModule().Queue().Add(cmd);
    w.WebModule().DoWebMessage();
    need([&] { return list->Windows().size() > before; }, "preview window", 20000);
    QWidget *v = list->Windows().last();
    v->move(60, 40);
    return v;
}

} // namespace

void shootPreview(TARVOClientFrm &w, bool chinese, const std::function<void(QWidget *, const QString &)> &shoot,
                  const std::function<void(const std::function<bool()> &, const char *, int)> &need,
                  const std::function<qint64(const QString &owner, const QStringList &path, const QString &name)> &keyOf)
{
    const qint64 pdfKey = keyOf(QStringLiteral("R&D"), {QStringLiteral("Contracts"), QStringLiteral("2024")},
                                QStringLiteral("Signed contract.pdf"));
    auto *pdf = qobject_cast<TPdfPreviewFrm *>(openPreview(w, pdfKey, QStringLiteral("Signed contract.pdf"), need));
    need([pdf] { return pdf && pdf->PageCount() > 0; }, "PDF shown", 20000);
    QTest::qWait(300);
    shoot(pdf, QStringLiteral("preview-pdf"));
    pdf->Rotate(1);
    QTest::qWait(100);
    shoot(pdf, QStringLiteral("preview-pdf-turned"));
    pdf->close();

    const qint64 docKey = keyOf(QStringLiteral("R&D"), {QStringLiteral("Contracts")}, QStringLiteral("Contract template.docx"));
    auto *office = qobject_cast<TPdfPreviewFrm *>(openPreview(w, docKey, QStringLiteral("Contract template.docx"), need));
    need([office] { return office && office->PageCount() > 0; }, "office document converted", 120000);
    QTest::qWait(300);
    shoot(office, QStringLiteral("preview-office"));
    office->close();

    const qint64 jpgKey = keyOf(QStringLiteral("R&D"), {QStringLiteral("Contracts"), QStringLiteral("2023")},
                                QStringLiteral("Scan page 1.jpg"));
    auto *image = qobject_cast<TImagePreviewFrm *>(openPreview(w, jpgKey, QStringLiteral("Scan page 1.jpg"), need));
    need([image] { return image && !image->Image().isNull(); }, "picture shown", 20000);
    shoot(image, QStringLiteral("preview-image"));
    image->close();

    // The demo holds no mail: the mail viewer shows one made here, as it shows a downloaded one.
    const QByteArray eml = chinese
        ? QByteArray("Date: Mon, 7 Dec 2026 10:00:00 +0800\r\nFrom: =?UTF-8?B?5byg5LiJ?= <zhang@example.com>\r\n"
                     "To: demo@example.com\r\nCc: li@example.com\r\nSubject: =?UTF-8?B?5oql5Lu3?=\r\nMIME-Version: 1.0\r\n"
                     "Content-Type: multipart/mixed; boundary=\"B\"\r\n\r\n--B\r\nContent-Type: text/html; charset=utf-8\r\n\r\n")
              + QStringLiteral("<p>您好：</p><p>附件是 2024 年的<b>报价单</b>，请查收。</p><p>张三</p>").toUtf8()
              + "\r\n--B\r\nContent-Type: application/pdf; name=\"offer.pdf\"\r\nContent-Disposition: attachment; filename=\"offer.pdf\"\r\n"
                "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQK\r\n--B--\r\n"
        : QByteArray("Date: Mon, 7 Dec 2026 10:00:00 +0000\r\nFrom: Ann Smith <ann@example.com>\r\nTo: demo@example.com\r\n"
                     "Cc: bob@example.com\r\nSubject: Offer\r\nMIME-Version: 1.0\r\n"
                     "Content-Type: multipart/mixed; boundary=\"B\"\r\n\r\n--B\r\nContent-Type: text/html; charset=utf-8\r\n\r\n"
                     "<p>Hello,</p><p>please find our <b>offer for 2024</b> attached.</p><p>Ann</p>\r\n"
                     "--B\r\nContent-Type: application/pdf; name=\"offer.pdf\"\r\nContent-Disposition: attachment; filename=\"offer.pdf\"\r\n"
                     "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQK\r\n--B--\r\n");
    TServerConn conn;
    conn.Language = chinese ? HSL_CN : HSL_ENG;
    auto *mail = new TEmlPreviewFrm(conn, QString());
    w.PreviewWindows()->Add(mail);
    mail->setWindowTitle(QStringLiteral("Offer.eml"));
    mail->ApplyOptions(TPreviewOptions::Parse(QStringLiteral("Readonly=True")));
    mail->setGeometry(60, 40, 800, 680);
    mail->ShowMessage(TEmlMessage::Parse(eml));
    mail->show();
    need([mail] { return mail->isVisible(); }, "mail shown", 5000);
    QTest::qWait(200);
    shoot(mail, QStringLiteral("preview-eml"));
    mail->close();
    // Back where the file manager was.
    keyOf(QStringLiteral("R&D"), {QStringLiteral("Contracts"), QStringLiteral("2024")}, QStringLiteral("Signed contract.pdf"));
}
