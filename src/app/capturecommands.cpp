#include "app/capturecommands.h"

#include "capture/twainxefrm.h"
#include "capture/uploaddragfilesfrm.h"
#include "core/clientconfigx.h"
#include "core/folders.h"
#include "files/filetexts.h"
#include "mail/smtptestfrm.h"
#include "platform/prompter.h"

#include <QScreen>
#include <QWidget>

TCaptureCommands::TCaptureCommands(TClientConfigX &config, THS_Language language, QWidget *mainWindow)
    : QObject(mainWindow)
    , m_config(config)
    , FHS_Language(language == HSL_CN ? HSL_CN : HSL_ENG)
    , m_main(mainWindow)
{
}

TCaptureCommands::~TCaptureCommands()
{
    delete PTwainXeFrm;
    delete PUploadClipboardFrm;
    delete m_mail;
}

TTwainXeFrm *TCaptureCommands::ScanWindow() const { return PTwainXeFrm; }
TUploadDragFilesFrm *TCaptureCommands::ClipboardWindow() const { return PUploadClipboardFrm; }
TSmtpTestFrm *TCaptureCommands::MailWindow() const { return m_mail; }

bool TCaptureCommands::sameSession(const TServerConn &a, const TServerConn &b) const
{
    return a.Host == b.Host && a.Port == b.Port && a.SSL == b.SSL && a.EncryptId == b.EncryptId;
}

void TCaptureCommands::place(QWidget *w) const
{
    const QRect around = m_main && m_main->isVisible() ? m_main->frameGeometry()
                                                       : (w->screen() ? w->screen()->availableGeometry() : QRect());
    if (around.isValid())
        w->move(around.center() - QPoint(w->width() / 2, w->height() / 2));
}

bool TCaptureCommands::Scan(qint64 ownerId, qint64 folderId, qint64 arcId, QString *error)
{
    TServerConn conn = TServerConn::FromConfig(m_config);
    conn.Language = FHS_Language;
    // A window made for another session would upload as its user: it is made
    // again, but never while it works or holds pages the user has not stored.
    if (PTwainXeFrm && !sameSession(conn, m_scanConn)) {
        if (PTwainXeFrm->IsScanning() || PTwainXeFrm->UploadFrm() || PTwainXeFrm->Pages().Count() > 0) {
            if (error)
                *error = LangText(FHS_Language, "扫描窗口中还有上一次登录扫描的页面，请先上传或删除这些页面。",
                                  "The scan window still holds pages scanned under the previous login: upload or "
                                  "delete them first.");
            PTwainXeFrm->show();
            PTwainXeFrm->raise();
            return false;
        }
        delete PTwainXeFrm;
    }
    if (!PTwainXeFrm) {
        m_scanConn = conn;
        PTwainXeFrm = new TTwainXeFrm(conn, m_config.OwnerId2(), GetTempFolder(), nullptr, nullptr, m_main);
        PTwainXeFrm->ShowUploadPanel();
        PTwainXeFrm->VideoInit();
        place(PTwainXeFrm);
    }
    // Pages being scanned or sent keep the folder they were meant for.
    if (PTwainXeFrm->IsScanning() || PTwainXeFrm->UploadFrm()) {
        if (error)
            *error = LangText(FHS_Language, "扫描窗口正在扫描或上传，请完成后再从网页发起扫描。",
                              "The scan window is scanning or uploading: the new scan command was not carried out. "
                              "Start it again from the page when the window is done.");
        PTwainXeFrm->show();
        PTwainXeFrm->raise();
        return false;
    }
    PTwainXeFrm->SetUpload(qint32(ownerId), folderId, arcId);
    PTwainXeFrm->show();
    PTwainXeFrm->raise();
    PTwainXeFrm->activateWindow();
    return true;
}

bool TCaptureCommands::UploadClipboard(qint64 ownerId, qint64 folderId, QString *error)
{
    TServerConn conn = TServerConn::FromConfig(m_config);
    conn.Language = FHS_Language;
    if (PUploadClipboardFrm && !sameSession(conn, m_clipboardConn) && !PUploadClipboardFrm->Controller().IsBusy())
        delete PUploadClipboardFrm;
    if (!PUploadClipboardFrm) {
        m_clipboardConn = conn;
        PUploadClipboardFrm = new TUploadDragFilesFrm(conn, m_main);
        place(PUploadClipboardFrm);
    }
    if (PUploadClipboardFrm->Controller().IsBusy()) {
        if (error)
            *error = LangText(FHS_Language, "剪贴板文件正在上传，新的上传命令未执行，请完成后再试。",
                              "Files from the clipboard are being uploaded: the new upload command was not carried "
                              "out. Try again when they are done.");
        PUploadClipboardFrm->raise();
        return false;
    }
    PUploadClipboardFrm->SetDestination(qint32(ownerId), folderId);
    PUploadClipboardFrm->show();
    PUploadClipboardFrm->raise();
    PUploadClipboardFrm->activateWindow();
    PUploadClipboardFrm->Uplad();
    return true;
}

bool TCaptureCommands::MailTest(const QString &params, QString *error)
{
    if (m_mail) {
        m_mail->raise();
        if (m_mail->IsBusy()) {
            if (error)
                *error = LangText(FHS_Language, "正在发送测试邮件，新的邮件测试命令未执行。",
                                  "A test mail is being sent: the new mail test command was not carried out.");
            return false;
        }
        // The page's newer settings replace the ones on screen.
        m_mail->ParamInti(params);
        return true;
    }
    // Modal without a nested loop: the main window's duties go on while it is open.
    m_mail = new TSmtpTestFrm(m_main);
    m_mail->setAttribute(Qt::WA_DeleteOnClose);
    m_mail->setWindowModality(Qt::ApplicationModal);
    m_mail->SetLanguage(FHS_Language);
    m_mail->ParamInti(params);
    const bool chinese = FHS_Language == HSL_CN;
    connect(m_mail, &TSmtpTestFrm::sendFinished, m_mail, [dialog = m_mail.data(), chinese](bool ok) {
        if (!ok)
            return;
        TPrompter::Instance().Info(dialog, chinese ? QStringLiteral("提示") : QStringLiteral("Notice"),
                                   chinese ? QStringLiteral("测试通过，请返回页面保存设置并重启文档服务！")
                                           : QStringLiteral("test is passed, please return to save the settings and "
                                                            "restart the service!"));
        dialog->accept();
    });
    m_mail->open();
    m_mail->raise();
    m_mail->activateWindow();
    return true;
}
