#pragma once
// Uploads the files copied in the desktop's file manager into the folder a web
// page named, one after the other, with a line per file. Nothing is sent
// before the user has seen the list and the target folder and agreed.
#include "capture/captureupload.h"

#include <QWidget>

class QLabel;
class QPlainTextEdit;
class QProgressBar;

class TUploadDragFilesFrm : public QWidget
{
    Q_OBJECT
public:
    explicit TUploadDragFilesFrm(const TServerConn &conn, QWidget *parent = nullptr);

    void SetDestination(qint32 ownerId, qint64 folderId);
    // Reads the clipboard's file list, asks, and uploads it.
    void Uplad();
    // The same with a list already taken (tests, the pass after the question).
    void UploadList(const QStringList &paths);
    TClipboardUploadController &Controller() { return *m_ctrl; }

    QLabel *lbCurrent = nullptr;
    QLabel *lbT = nullptr;
    QProgressBar *ProgressBar1 = nullptr;
    QPlainTextEdit *Memo1 = nullptr;
    QStringList PFileList;

Q_SIGNALS:
    // A pass ended (or was declined: ran is false).
    void passEnded(bool ran, int failures);

private:
    void ask(const QString &target);

    TServerConn m_conn;
    TCaptureTexts m_texts;
    TClipboardUploadController *m_ctrl;
    qint32 FDestOwnerId = 0;
    qint64 FDestFolderId = 0;
    int m_generation = 0;
};
