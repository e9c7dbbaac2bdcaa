#pragma once
// Web commands 21 to 23 in the running client: the scan window and the
// clipboard upload window (each made once and kept), and the mail test.
#include "core/resultcodes.h"
#include "model/serverconn.h"

#include <QObject>
#include <QPointer>

class QWidget;
class TClientConfigX;
class TSmtpTestFrm;
class TTwainXeFrm;
class TUploadDragFilesFrm;

class TCaptureCommands : public QObject
{
    Q_OBJECT
public:
    TCaptureCommands(TClientConfigX &config, THS_Language language, QWidget *mainWindow);
    ~TCaptureCommands() override;

    bool Scan(qint64 ownerId, qint64 folderId, qint64 arcId, QString *error);
    bool UploadClipboard(qint64 ownerId, qint64 folderId, QString *error);
    bool MailTest(const QString &params, QString *error);

    TTwainXeFrm *ScanWindow() const;
    TUploadDragFilesFrm *ClipboardWindow() const;
    TSmtpTestFrm *MailWindow() const;

private:
    bool sameSession(const TServerConn &a, const TServerConn &b) const;
    void place(QWidget *w) const;

    TClientConfigX &m_config;
    THS_Language FHS_Language;
    QWidget *m_main;
    QPointer<TTwainXeFrm> PTwainXeFrm;
    TServerConn m_scanConn;
    QPointer<TUploadDragFilesFrm> PUploadClipboardFrm;
    TServerConn m_clipboardConn;
    QPointer<TSmtpTestFrm> m_mail;
};
