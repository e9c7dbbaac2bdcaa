#pragma once
// What every preview window has in common: the permissions of the command,
// the download of the file into the private temporary folder, progress and
// errors in the shared hint window, the print report, and the input guard that
// keeps keys and clicks away from a restricted document. A window frees itself
// when closed, and its local copy goes with it.
#include "model/serverconn.h"
#include "preview/viewerchoice.h"

#include <QPointer>
#include <QIcon>
#include <QWidget>

#include <atomic>
#include <functional>
#include <memory>

class QAction;
class QLabel;
class QPrinter;
class QProgressBar;
class QPushButton;
class QTimer;
class TPreViewHint;

// Keyboard and mouse rules of a restricted document, as an event filter on the
// widgets that show it: function keys and keys with Ctrl, Shift or Alt are
// swallowed (Ctrl+C passes when copying is allowed), and so are right clicks
// (and left ones when asked).
// The print action's icon: the desktop theme's printer, else a small drawn one (the
// style's own icons have no printer, and a floppy disk reads as "save").
QIcon PrintActionIcon();

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

// What a long job of a viewer shares with its worker: the cancel flag the
// window sets and the progress the worker reports (0..100).
struct TBusyState {
    std::atomic<bool> Cancel{false};
    std::atomic<int> Percent{0};
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
    // Nothing may leave the viewer: no readable copy of such a document stays on disk.
    bool Restricted() const { return FDocReadonly || !FCanPrint || !FCanCopy; }

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

    // Chooses the printer: the print dialog when a printer may be chosen. False when cancelled.
    std::function<bool(QPrinter &)> FChoosePrinter;
    // Asked before printing a read-only document; blocking, runs on a worker.
    std::function<bool()> FVirtualPrinterExists;
    // False, with the reason in the hint window, for a printer that would only
    // make a file (Qt's PDF output, a file name) or is no printer at all.
    bool PrinterAcceptable(const QPrinter &printer);

    // The local copy arrived (before OpenLocalCopy) or the download failed.
    std::function<void(bool ok)> FOnDownloaded;

    QString WLS_Wait, WLS_Fail, WLS_CancelPrint, WLS_Hint, WLS_Downloading, WLS_VirtualPrinter, WLS_PrintToFile;

Q_SIGNALS:
    // The document is on screen (or failed to show); tests and benchmarks wait on it.
    void shown(bool ok);

protected:
    QString t(const char *cn, const char *en) const;
    void hint(const QString &text, int picture);
    void hideHint();
    // Removes the local copy now (most viewers need it no longer once loaded).
    void dropLocalCopy();
    // Shows the progress strip with a cancel button for a long job; the worker
    // reads Cancel and writes Percent. One job at a time: a new one cancels the last.
    std::shared_ptr<TBusyState> beginBusy(const QString &text);
    // Hides the strip when state is the job shown (or none is given).
    void endBusy(const std::shared_ptr<TBusyState> &state = {});
    void resizeEvent(QResizeEvent *event) override;
    // Runs job (print on a printer) after the virtual-printer check a read-only
    // document needs, and reports a done print to the server.
    void PrintGuarded(QAction *action, std::function<bool()> job);
    // Guards the widget that shows a read-only document.
    void guard(QWidget *view);
    void closeEvent(QCloseEvent *event) override;

public:
    // The progress strip of a long job (hidden when there is none).
    QWidget *BusyStrip() const { return m_busy; }
    QPushButton *BusyCancel() const { return m_busyCancel; }

private:
    QWidget *m_busy = nullptr;
    QLabel *m_busyText = nullptr;
    QProgressBar *m_busyBar = nullptr;
    QPushButton *m_busyCancel = nullptr;
    QTimer *m_busyTimer = nullptr;
    std::shared_ptr<TBusyState> m_busyState;
    // Cleared when the window goes; a download finishing later removes its own copy.
    std::shared_ptr<std::atomic<bool>> m_alive = std::make_shared<std::atomic<bool>>(true);
};
