#pragma once
// What every preview window has in common: the permissions of the command,
// the download of the file into the private temporary folder, progress and
// errors in the shared hint window, the print report, and the input guard that
// keeps keys and clicks away from a restricted document. A window frees itself
// when closed, and its local copy goes with it.
#include "model/serverconn.h"
#include "preview/viewerchoice.h"

#include <QPointer>
#include <QWidget>

#include <functional>

class TPreViewHint;

// Keyboard and mouse rules of a restricted document, as an event filter on the
// widgets that show it: function keys and keys with Ctrl, Shift or Alt are
// swallowed (Ctrl+C passes when copying is allowed), and so are right clicks
// (and left ones when asked).
class TViewerGuard : public QObject
{
    Q_OBJECT
public:
    explicit TViewerGuard(QObject *parent = nullptr);
    bool FCtrlC = false;
    bool FBlockLeft = false;
    static bool SwallowsKey(int key, Qt::KeyboardModifiers modifiers, bool ctrlC);
    void Watch(QWidget *widget);   // the widget and everything inside it

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};

class TPreviewBaseFrm : public QWidget
{
    Q_OBJECT
public:
    TPreviewBaseFrm(const TServerConn &conn, const QString &root, QWidget *parent = nullptr);
    ~TPreviewBaseFrm() override;

    // Fields of the command's permissions.
    void ApplyOptions(const TPreviewOptions &options);
    void SetHint(TPreViewHint *hint);

    // Remembers the key and, when the viewer can work here, fetches and shows the file.
    void ShowHTML(quint32 code, qint64 version, qint64 key);
    // Download and show.
    void PreviewEx(quint32 code, qint64 version, qint64 key);

    virtual bool CanPreview() { return false; }
    virtual void OpenLocalCopy(quint32 code, const QString &localFile);
    virtual void CloseOleObject() {}
    // Reports print (62) and print preview (63) to the server; the answer is ignored.
    virtual void Print(quint32 code);
    virtual void PrintPreview();

    // The text of the file's type for local names ("sldprt" for its short code).
    static QString StampedName(const QString &root, quint32 code);
    // The preview tags of the download request.
    QString DownloadTags(qint64 version) const;

    QString FRoot;
    TServerConn FConn;
    THS_Language FHS_Language = HSL_ENG;
    qint64 FFileId = 0;
    qint64 FVersion = -1;
    quint32 FCode = 0;
    QString FLocalFileName;
    QString FHashPs;
    bool FDocReadonly = false;
    bool FCanPrint = false;
    bool FSelectPrinter = true;
    bool FIsCheckVirtualPrint = true;
    bool FCanCopy = false;
    QPointer<TPreViewHint> PreViewHintFrm;
    TViewerGuard *FGuard = nullptr;

    // The local copy arrived (before OpenLocalCopy) or the download failed.
    std::function<void(bool ok)> FOnDownloaded;

    QString WLS_Wait, WLS_Fail, WLS_CancelPrint, WLS_Hint, WLS_Downloading, WLS_VirtualPrinter;

Q_SIGNALS:
    // The document is on screen (or failed to show); tests and benchmarks wait on it.
    void shown(bool ok);

protected:
    QString t(const char *cn, const char *en) const;
    void hint(const QString &text, int picture);
    void hideHint();
    // Removes the local copy now (most viewers need it no longer once loaded).
    void dropLocalCopy();
    // Guards the widget that shows a read-only document.
    void guard(QWidget *view);
    void closeEvent(QCloseEvent *event) override;
};
