#pragma once
// The office editor. Nothing can be embedded here, so the document opens in
// LibreOffice (or WPS) as a program of its own and this small window beside it
// keeps the editor's part: the document's name, its state, "Save and upload"
// and "Cancel".
#include "edit/edittexts.h"
#include "edit/fileeditbasefrm.h"
#include "platform/fileinuse.h"

#include <QDateTime>

class QLabel;
class QPushButton;
class QTimer;

class TOfficeFileEditFrm : public TFileEditBaseFrm
{
    Q_OBJECT
public:
    TOfficeFileEditFrm(const TServerConn &conn, const QString &configFolder, QWidget *parent = nullptr);
    ~TOfficeFileEditFrm() override;

    int Edit(const QString &fileName, const QString &ext, qint64 fileKey) override;
    // Checks on a worker that the office program let go of the copy, then uploads;
    // uploadFinished tells how it went (error stays untouched).
    int SaveAndUpload(QString *error) override;
    void CancelEdit() override;
    // Stops watching; the edit copy stays unless it was uploaded or given up.
    void CloseOleObject();

    bool IsOfficeOpen() const { return m_inUse; }
    qint64 EditorPid() const { return m_pid; }
    void SetToolbarVisible(bool visible);
    // Shows a copy that is already local (the screenshot script).
    void ShowDocument(const QString &copy, const QString &name, qint64 pid);

    QLabel *lbDocument = nullptr;
    QLabel *lbStatus = nullptr;
    QWidget *plToolbar = nullptr;
    QPushButton *spbSave = nullptr;
    QPushButton *spbCancel = nullptr;
    QTimer *Timer1 = nullptr;
    // Where the in-use checks read the user's processes (called on a worker); empty: /proc.
    FileInUse::ProcessLister ProcessSource;

Q_SIGNALS:
    void officeStateChanged(bool open);

protected:
    void closeEvent(QCloseEvent *event) override;
    // The office program's copy is let go of before the window closes.
    void beforeCloseAfterUpload() override { CloseOleObject(); }

private:
    void check();
    void setStatus(const QString &text);
    FileInUse::Probe probe() const;

    qint64 m_pid = 0;
    QDateTime m_stamp;  // the copy's last-write time when it was handed to the office program
    bool m_inUse = false;
    bool m_checking = false;
    bool FEditOvered = false;
    bool m_closedOle = false;
};
