#pragma once
// The edit monitor without its window: takes an edit request, downloads the
// file into the work folder, opens it in its own program and watches until that
// program lets go of it; then uploads it when it changed, or gives it back.
// Server work and the in-use checks run on worker threads.
#include "core/resultcodes.h"
#include "core/wiredate.h"
#include "edit/edittexts.h"
#include "model/serverconn.h"
#include "platform/fileinuse.h"

#include <QDateTime>
#include <QObject>
#include <QStringList>

class QTimer;
class TClientConfigX;

struct TEditSettings {
    TServerConn Conn;
    QString WorkRoot;
    QString ConfigFolder;
    static TEditSettings FromConfig(const TClientConfigX &config);
};

// One file watched by the monitor.
struct TEditedFileInfo {
    qint64 FileKey = 0;
    QString FileName;
    QString PathAndFile;
    TDateTime LastModifyTime = 0;  // the server's time of the downloaded version
    bool Update = false;
    QDateTime CopyStamp;           // the copy's last-write time right after the download
    qint64 EditorPid = 0;
    QString PriorCheckout;
    bool Busy = false;             // a check or an upload runs
    bool InUse = true;
};

class TEditMonitor : public QObject
{
    Q_OBJECT
public:
    explicit TEditMonitor(THS_Language language, QObject *parent = nullptr);
    ~TEditMonitor() override;

    // The settings are read again for every edit, as the user may have logged in anew.
    std::function<TEditSettings()> SettingsSource;
    void SetPendingEdit(const QString &text) { m_pending = text; }
    void SetMainVisible(bool visible) { FMainfrmVisible = visible; }
    // Takes the pending request; the answer arrives as signals.
    void EditFile();

    const QList<TEditedFileInfo> &FileList() const { return m_files; }
    QStringList Log() const { return m_log; }
    bool IsDownloading() const { return m_downloads > 0; }
    const TMonitorTexts &Texts() const { return m_texts; }

    int SettleMs = 5000;        // no check until this long after the last open
    int NoticeHoldMs = 2100;    // a success notice stays this long before the monitor hides
    // Where the in-use checks read the user's processes (called on a worker); empty: /proc.
    FileInUse::ProcessLister ProcessSource;
    void SetInterval(int ms);
    // One timer pass; public so tests need not wait for the timer.
    void Tick();

Q_SIGNALS:
    void logLine(const QString &line);
    void currentFile(const QString &text);
    void notice(const QString &text, bool ok);
    void fileListChanged();
    void editEnded(qint64 fileKey, bool uploaded);
    // One in-use check of a watched file.
    void checked(qint64 fileKey, bool inUse);
    void hideRequested();
    void bringToFrontRequested();
    // A success while the client had been started only for editing, and nothing else is open.
    void exitRequested();

private:
    void log(const QString &line);
    void opened(TEditedFileInfo record, const QStringList &log, bool downloaded);
    void afterSuccess();
    // The watched copy was let go of: upload it, or give the file back when unchanged.
    void finish(const TEditedFileInfo &record);

    THS_Language m_language;
    TMonitorTexts m_texts;
    QString m_pending;
    bool FMainfrmVisible = true;
    QDateTime FLastTm;
    QTimer *Timer1 = nullptr;
    QList<TEditedFileInfo> m_files;
    QStringList m_log;
    int m_downloads = 0;
};
