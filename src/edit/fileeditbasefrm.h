#pragma once
// The base of the in-window editors: the file's key and names, the server
// snapshot, the collected messages, and the download, upload and give-back
// steps every editor shares. Transfers run on the transfer pool; a window that
// closes first simply never hears the answer.
#include "core/resultcodes.h"
#include "edit/edittexts.h"
#include "edit/edittransfer.h"
#include "model/serverconn.h"

#include <QDateTime>
#include <QStringList>
#include <QWidget>

#include <functional>

class TFileEditBaseFrm : public QWidget
{
    Q_OBJECT
public:
    TFileEditBaseFrm(const TServerConn &conn, const QString &configFolder, QWidget *parent = nullptr);
    ~TFileEditBaseFrm() override;

    virtual void LoadTexts();
    // Starts the edit; editReady tells how it went.
    virtual int Edit(const QString &fileName, const QString &ext, qint64 fileKey);
    // Starts the upload; uploadFinished tells how it went.
    virtual int SaveAndUpload(QString *error);
    virtual void CancelEdit();
    virtual void ResetClientSize() {}

    qint64 FFileKey = 0;
    quint32 FFileType = 0;
    QString FSourceFileName;
    QString FEditFileName;
    QString FIniFilePath;
    QString FUserIdStr, FServerHost;
    int FServerPort = 0;
    THS_Language FLanguage = HSL_ENG;
    QStringList FNogList;
    TEditTexts Texts;
    TEditorTexts EditorTexts;

    bool IsEditing() const { return m_editing; }
    bool IsBusy() const { return m_busy; }
    // The user's check-out from before this edit, if any: it outlives the edit.
    QString PriorCheckout() const { return m_priorCheckout; }

Q_SIGNALS:
    void editReady(bool ok);
    void uploadFinished(bool ok, const QString &messages);

protected:
    // download for editing into FEditFileName
    void downloadForEdit(std::function<void(bool ok)> done);
    // upload of the edited copy; the copy is deleted only when it is safe
    void uploadEditedCopy(std::function<void(const TEditTransfer::Upload &)> done);
    void giveUpEditing();
    void log(const QString &line) { FNogList << line; }
    void setEditing(bool on);
    QString pick(const char *cn, const char *en) const;
    // The Save and Cancel buttons of both editors: an upload the Save button began
    // closes the window once it went up; Cancel asks, then gives the edit up.
    void saveFromButton();
    void finishButtonUpload(bool ok, const QString &messages);
    void cancelFromButton();
    // Before the window closes after a good upload from the Save button.
    virtual void beforeCloseAfterUpload() {}
    bool m_fromButton = false;
    bool m_closing = false;

    TServerConn m_conn;
    bool m_busy = false;

private:
    bool m_editing = false;
    QString m_priorCheckout;
};
