#pragma once
// Names the scanned pages and uploads them as JPEG files into the command's
// folder. Cannot be closed while it uploads; the work is TScanUploadController's.
#include "capture/captureupload.h"

#include <QDialog>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

class TTwainUploadFrm : public QDialog
{
    Q_OBJECT
public:
    TTwainUploadFrm(const TServerConn &conn, qint64 ownerId2, QWidget *parent = nullptr);

    // The page source: page files in order and where they go.
    void SetPages(const QStringList &pages, qint32 ownerId, qint64 folderId);
    void SetArcId2(qint64 arcId) { FArcId2 = arcId; }
    qint64 ArcId2() const { return FArcId2; }
    bool IsOver() const { return FIsOver; }
    // Keys of the stored files, joined with ",".
    QString FileKeys() const;
    const QList<TScanUploadPage> &Results() const { return m_ctrl->Results(); }
    TScanUploadController &Controller() { return *m_ctrl; }

    QLineEdit *edtFileName = nullptr;
    QLabel *lblHint = nullptr;
    QProgressBar *ProgressBar1 = nullptr;
    QPushButton *btnUpload = nullptr;
    bool Uploaded = true;   // the dialog may close

public Q_SLOTS:
    void btnUploadClick();
    void reject() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void uploadFinished();

    TServerConn m_conn;
    TCaptureTexts m_texts;
    TScanUploadController *m_ctrl;
    qint64 m_ownerId2;
    QStringList m_pages;
    qint32 m_ownerId = 0;
    qint64 m_folderId = 0;
    qint64 FArcId2 = 0;
    bool FIsOver = false;
};
