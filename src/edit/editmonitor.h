#pragma once
// The edit monitor without its window: takes an edit request, downloads the
// file into the work folder, opens it in its own program and watches it. An
// edit ends by itself only after something was seen holding the copy and then
// let go of it; without such a sign it goes on (changes that hold still go up
// as new versions) until the user says "Finished editing". Server work and the
// in-use checks run on worker threads.
#include "core/resultcodes.h"
#include "core/wiredate.h"
#include "edit/edittexts.h"
#include "model/serverconn.h"
#include "platform/fileinuse.h"

#include <QDateTime>
#include <QObject>
#include <QStringList>

#include <functional>

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
    QDateTime CopyStamp;           // the copy's last-write time as last downloaded or sent up
    qint64 EditorPid = 0;
    QString PriorCheckout;
    bool Busy = false;             // a check or an upload runs
    bool InUse = true;

    // What decides the end: a sign seen holding the copy that later went away.
    qint64 StartedMs = 0;          // when our editor process started
    bool SignSeen = false;
    bool OfficeLockSeen = false;   // LibreOffice's lock: its going away alone ends the edit
    QDateTime LastSeenStamp;       // the write time at the previous look: a change must hold still
    QDateTime FailedStamp;         // a change whose upload failed goes up again only when asked
    bool Uploaded = false;         // a version went up during this edit
    bool FinishAsked = false;      // the user said "Finished editing"
    TEditSettings Settings;        // the session the edit began in finishes it
};

// One look at a watched copy, taken on a worker.
struct TEditObservation {
    bool Missing = false;
    bool EditorAlive = false;      // the process we started still runs
    bool OfficeLock = false;       // a LibreOffice of this machine holds its lock file
    bool OtherSign = false;        // another sign: a descriptor, a swap file, a window
    QDateTime Stamp;               // the copy's last-write time
};

enum class TEditStep {
    Watch,         // keep watching
    End,           // a sign was seen and went away: upload a change, or give the file back
    UploadChange,  // nobody is known to hold it and it changed: a new version, the edit goes on
};

// The rule for one look; updates the evidence kept in record.
TEditStep DecideEditStep(TEditedFileInfo &record, const TEditObservation &o, qint64 nowMs, qint64 launcherMs);

// An edit record left by an earlier run (a failed upload, "exit anyway", a crash).
struct TLeftoverEdit {
    qint64 FileKey = 0;
    QString Path;
    bool Changed = false;          // the copy differs from what the edit took
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
    // The user ends one edit: a last change goes up, the lock goes back.
    void FinishEditing(qint64 fileKey);
    // Edit records of earlier runs whose copies are still there and not watched now.
    QList<TLeftoverEdit> LeftoverEdits() const;
    // upload: a changed copy goes up as a new version (an unchanged one is given
    // back); otherwise the file is given back and a changed copy stays where it is.
    void ResolveLeftover(qint64 fileKey, bool upload);
    QStringList Log() const { return m_log; }
    bool IsDownloading() const { return m_downloads > 0; }
    const TMonitorTexts &Texts() const { return m_texts; }

    int SettleMs = 5000;        // no check until this long after the last open
    // A scan that took this long is followed by a pause ten times as long (at most 30 s).
    int SlowScanMs = 250;
    // A started program that ends sooner was a launcher handing the file on (xdg-open,
    // a second office start): its end says nothing about the edit.
    int LauncherMs = 3000;
    // The app says whether other work still runs (batch tasks, version operations)
    // and whether the main window is shown now: a client started for the edit waits.
    std::function<bool()> BusyElsewhere;
    std::function<bool()> MainShownNow;
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
    // The copy is there: start its program (on a worker) and watch it.
    void opened(TEditedFileInfo record, const QStringList &log);
    // A request's download and start are over, whatever their outcome.
    void fetched(qint64 fileKey);
    void afterSuccess();
    // The watched copy was let go of: upload it, or give the file back when unchanged.
    void finish(const TEditedFileInfo &record);
    // A change while nobody is known to hold the copy: a new version, the edit goes on.
    void uploadChange(const TEditedFileInfo &record, const QDateTime &stamp);
    qsizetype indexOf(qint64 fileKey) const;
    void tryExit();

    THS_Language m_language;
    TMonitorTexts m_texts;
    QString m_pending;
    bool FMainfrmVisible = true;
    QDateTime FLastTm;
    QTimer *Timer1 = nullptr;
    QList<TEditedFileInfo> m_files;
    QList<qint64> m_fetching;   // keys being downloaded: a second request brings the first forward
    QStringList m_log;
    int m_downloads = 0;
    qint64 m_quietUntilMs = 0;
};
