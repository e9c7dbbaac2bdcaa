#include "edit/editmonitor.h"

#include "core/clientconfigx.h"
#include "core/folders.h"
#include "core/helpers.h"
#include "core/safepath.h"
#include "core/tagtext.h"
#include "core/workpools.h"
#include "edit/editorlauncher.h"
#include "edit/edittransfer.h"
#include "edit/logging.h"
#include "net/robottcpclient.h"
#include "platform/fileinuse.h"
#include "versions/workpaths.h"

#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTimer>
#include <QWindow>

namespace {
constexpr qint64 kUnchangedMs = 200;
} // namespace

TEditSettings TEditSettings::FromConfig(const TClientConfigX &config)
{
    TEditSettings s;
    s.Conn = TServerConn::FromConfig(config);
    s.WorkRoot = config.WorkRoot();
    s.ConfigFolder = GetConfigFolder();
    return s;
}

TEditMonitor::TEditMonitor(THS_Language language, QObject *parent)
    : QObject(parent)
    , m_language(language)
    , m_texts(TMonitorTexts::For(language))
{
    Timer1 = new QTimer(this);
    Timer1->setInterval(2000);
    connect(Timer1, &QTimer::timeout, this, &TEditMonitor::Tick);
}

TEditMonitor::~TEditMonitor()
{
    for (const TEditedFileInfo &f : std::as_const(m_files))
        TOpenEdits::Instance().Remove(this, f.FileKey);
}

void TEditMonitor::SetInterval(int ms)
{
    Timer1->setInterval(ms);
}

void TEditMonitor::log(const QString &line)
{
    m_log << line;
    Q_EMIT logLine(line);
}

TEditStep DecideEditStep(TEditedFileInfo &r, const TEditObservation &o, qint64 nowMs, qint64 launcherMs)
{
    const QDateTime previous = r.LastSeenStamp;
    r.LastSeenStamp = o.Stamp;
    // A missing copy may be an editor's save in progress.
    if (o.Missing) {
        r.InUse = true;
        return TEditStep::Watch;
    }
    if (o.OfficeLock) {
        r.SignSeen = r.OfficeLockSeen = true;
        r.InUse = true;
        return TEditStep::Watch;
    }
    // The precise sign: LibreOffice dropped its lock, so the document is closed even
    // while the program (its start centre, other documents) lives on.
    if (r.OfficeLockSeen) {
        r.InUse = false;
        return TEditStep::End;
    }
    if (o.OtherSign) {
        r.SignSeen = true;
        r.InUse = true;
        return TEditStep::Watch;
    }
    if (o.EditorAlive) {
        if (nowMs - r.StartedMs >= launcherMs)
            r.SignSeen = true;
        r.InUse = true;
        return TEditStep::Watch;
    }
    r.InUse = false;
    if (r.SignSeen)
        return TEditStep::End;
    // Nothing tells whether the user still edits: the edit goes on, and a change that
    // held still since the last look goes up as a new version.
    const bool changed = o.Stamp.isValid() && (!r.CopyStamp.isValid() || qAbs(o.Stamp.msecsTo(r.CopyStamp)) >= kUnchangedMs);
    if (changed && o.Stamp == previous && o.Stamp != r.FailedStamp)
        return TEditStep::UploadChange;
    return TEditStep::Watch;
}

qsizetype TEditMonitor::indexOf(qint64 fileKey) const
{
    for (qsizetype i = 0; i < m_files.size(); ++i)
        if (m_files.at(i).FileKey == fileKey)
            return i;
    return -1;
}

void TEditMonitor::EditFile()
{
    const TEditSettings settings = SettingsSource ? SettingsSource() : TEditSettings{};
    const QString request = m_pending;
    m_pending.clear();
    TEditedFileInfo record;
    record.FileKey = StrToInt64Def(GetTagValue(request, QStringLiteral("Key")), 0);
    record.FileName = GetTagValue(request, QStringLiteral("FileName"));
    record.LastModifyTime = NowDateTime();
    record.Settings = settings;
    const qint64 version = StrToInt64Def(GetTagValue(request, QStringLiteral("VersionId")), -1);
    // One edit per file: a file being fetched or edited is not fetched again (that
    // would replace the copy under the user's hands); the first edit comes forward.
    const qsizetype at = indexOf(record.FileKey);
    if (at >= 0 || m_fetching.contains(record.FileKey)) {
        Q_EMIT currentFile(m_texts.WLS_CurrentFile + (at >= 0 ? m_files.at(at).FileName : record.FileName));
        Q_EMIT bringToFrontRequested();
        return;
    }
    Timer1->stop();
    ++m_downloads;
    m_fetching << record.FileKey;

    struct Outcome {
        TEditedFileInfo Record;
        QStringList Log;
        bool NameOk = false;
        bool Downloaded = false;
    };
    const THS_Language language = m_language;
    RunOnPool(TransferPool(), this, [settings, record, version, language]() mutable {
        Outcome o;
        o.Record = record;
        try {
            auto client = settings.Conn.MakeClient(30000);
            QString name;
            if (client->GetFileName(record.FileKey, name) != st::NameOk || name.trimmed().isEmpty())
                return o;
            o.NameOk = true;
            o.Record.FileName = name;
            // The server's path and name become a local path only through the safe join.
            QString pathStr = GetTagValue(client->GetServerPath(record.FileKey, false), QStringLiteral("PathStr"));
            pathStr.replace(u'\\', u'/');
            const QString root = IncludeTrailingSlash(ToLocalSeparators(settings.WorkRoot));
            QString why;
            const std::optional<QString> local = SafeJoin(root, pathStr + u'/' + name, &why);
            if (!local) {
                o.Log << name + QStringLiteral(",") + why;
                return o;
            }
            o.Record.PathAndFile = *local;
        } catch (const std::exception &e) {
            o.Log << QString::fromLocal8Bit(e.what());
            return o;
        }
        TEditTransfer transfer(settings.Conn, settings.ConfigFolder, language);
        const TEditTransfer::Download d = transfer.DownloadForEdit(o.Record.FileKey, o.Record.PathAndFile, version);
        o.Log << d.Log;
        if (!d.Ok)
            return o;
        o.Downloaded = true;
        o.Record.LastModifyTime = d.ServerTime;
        o.Record.PriorCheckout = d.PriorCheckout;
        o.Record.CopyStamp = d.CopyStamp;
        return o;
    }, [this](const Outcome &o) {
        if (o.NameOk && o.Downloaded) {
            Q_EMIT currentFile(m_texts.WLS_CurrentFile + o.Record.FileName);
            opened(o.Record, o.Log);
            return;
        }
        fetched(o.Record.FileKey);
        if (!o.NameOk) {
            for (const QString &l : o.Log)
                log(l);
            log(o.Record.FileName + QStringLiteral(","));
            Q_EMIT currentFile(m_texts.WLS_CurrentFile);
        } else {
            Q_EMIT currentFile(m_texts.WLS_CurrentFile + o.Record.FileName);
            for (const QString &l : o.Log)
                log(o.Record.FileName + QStringLiteral(",") + l);
            Q_EMIT bringToFrontRequested();
        }
    });
}

void TEditMonitor::fetched(qint64 fileKey)
{
    --m_downloads;
    m_fetching.removeOne(fileKey);
    FLastTm = QDateTime::currentDateTime();
    Timer1->start();
}

void TEditMonitor::opened(TEditedFileInfo record, const QStringList &lines)
{
    // The first line says how the copy came (downloaded, or the user's checked-out copy).
    log(record.FileName + QStringLiteral(",") + lines.value(0, m_texts.WLS_DownloadOK));
    for (const QString &l : lines.mid(1))
        log(l);
    // Asking the desktop for the program may take seconds: not on the GUI thread.
    const QString path = record.PathAndFile;
    const bool chinese = m_language == HSL_CN;
    RunOnPool(RequestPool(), this, [path, chinese] { return EditorLauncher::Open(path, chinese); },
              [this, record](const EditorLauncher::Started &s) mutable {
        fetched(record.FileKey);
        if (!s.Ok) {
            log(record.FileName + QStringLiteral(",") + m_texts.WLS_OpenFailed
                + (s.Error.isEmpty() ? QString() : QStringLiteral(" (") + s.Error + u')'));
            // Nobody will edit it: the file goes back rather than staying locked.
            const TEditSettings settings = record.Settings;
            const THS_Language language = m_language;
            RunOnPool(TransferPool(), this, [settings, record, language] {
                TEditTransfer(settings.Conn, settings.ConfigFolder, language).GiveUp(record.FileKey, record.PriorCheckout);
            }, [] {});
            Q_EMIT bringToFrontRequested();
            return;
        }
        record.EditorPid = s.Pid;
        record.StartedMs = QDateTime::currentMSecsSinceEpoch();
        log(record.FileName + QStringLiteral(",") + m_texts.WLS_OpenOK);
        m_files << record;
        TOpenEdits::Instance().Add(this, record.FileKey, QDir::toNativeSeparators(record.PathAndFile));
        Q_EMIT fileListChanged();
    });
}

void TEditMonitor::Tick()
{
    if (FLastTm.isValid() && FLastTm.msecsTo(QDateTime::currentDateTime()) < SettleMs)
        return;
    // A slow scan (many processes) is not repeated at once: the machine is the user's.
    if (QDateTime::currentMSecsSinceEpoch() < m_quietUntilMs)
        return;
    // The client's own windows (an editor of the same file) never hold it for an outside program.
    QStringList ownTitles;
    for (QWindow *w : QGuiApplication::topLevelWindows())
        if (w->isVisible())
            ownTitles << w->title();
    QList<TEditedFileInfo> due;
    for (qsizetype i = m_files.size() - 1; i >= 0; --i) {
        TEditedFileInfo &f = m_files[i];
        if (f.Busy)
            continue;
        f.Busy = true;
        due << f;
    }
    if (due.isEmpty())
        return;
    const FileInUse::ProcessLister processes = ProcessSource;
    struct Looks {
        QList<TEditObservation> Seen;
        qint64 Ms = 0;
    };
    RunOnPool(RequestPool(), this, [due, ownTitles, processes] {
        // One look at the processes and windows serves every watched file.
        QElapsedTimer took;
        took.start();
        FileInUse::Snapshot snapshot;
        Looks looks;
        QList<TEditObservation> &seen = looks.Seen;
        for (const TEditedFileInfo &record : due) {
            TEditObservation o;
            o.EditorAlive = record.EditorPid > 0 && FileInUse::IsProcessAlive(record.EditorPid);
            FileInUse::Probe probe;
            probe.Processes = processes;
            probe.WindowTexts << record.FileName << QFileInfo(record.FileName).completeBaseName();
            probe.OwnTitles = ownTitles;
            const FileInUse::Signal s = FileInUse::Check(record.PathAndFile, probe, snapshot);
            o.Missing = s == FileInUse::Signal::Missing;
            o.OfficeLock = s == FileInUse::Signal::OfficeLock;
            o.OtherSign = !o.Missing && !o.OfficeLock && s != FileInUse::Signal::None;
            o.Stamp = QFileInfo(record.PathAndFile).lastModified();
            seen << o;
        }
        looks.Ms = took.elapsed();
        return looks;
    }, [this, due](const Looks &looks) {
        const QList<TEditObservation> &seen = looks.Seen;
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        if (looks.Ms >= SlowScanMs)
            m_quietUntilMs = now + qMin<qint64>(30000, looks.Ms * 10);
        for (qsizetype i = 0; i < due.size(); ++i) {
            const qint64 key = due.at(i).FileKey;
            const qsizetype at = indexOf(key);
            if (at < 0)
                continue;
            TEditedFileInfo &r = m_files[at];
            TEditObservation o = seen.value(i);
            // No answer (the check failed) counts as in use.
            if (i >= seen.size())
                o.OtherSign = true;
            const TEditStep step = r.FinishAsked ? TEditStep::End : DecideEditStep(r, o, now, LauncherMs);
            Q_EMIT checked(key, r.InUse);
            if (step == TEditStep::End)
                finish(r);
            else if (step == TEditStep::UploadChange)
                uploadChange(r, o.Stamp);
            else
                r.Busy = false;
        }
    });
}

void TEditMonitor::FinishEditing(qint64 fileKey)
{
    const qsizetype at = indexOf(fileKey);
    if (at < 0)
        return;
    TEditedFileInfo &r = m_files[at];
    // A look or an upload in flight finishes first; its answer then ends the edit.
    r.FinishAsked = true;
    if (r.Busy)
        return;
    r.Busy = true;
    finish(r);
}

void TEditMonitor::uploadChange(const TEditedFileInfo &record, const QDateTime &stamp)
{
    const TEditSettings settings = record.Settings;
    const THS_Language language = m_language;
    RunOnPool(TransferPool(), this, [settings, record, stamp, language] {
        return TEditTransfer(settings.Conn, settings.ConfigFolder, language)
            .UploadInterim(record.FileKey, record.PathAndFile, record.PriorCheckout, stamp);
    }, [this, key = record.FileKey, stamp](const TEditTransfer::Upload &u) {
        const qsizetype at = indexOf(key);
        if (at < 0)
            return;
        TEditedFileInfo &r = m_files[at];
        const QString path = QDir::toNativeSeparators(r.PathAndFile);
        if (u.Ok || u.Unchanged) {
            r.CopyStamp = stamp;
            r.FailedStamp = QDateTime();
        }
        if (u.Ok) {
            r.Uploaded = true;
            log(path + QStringLiteral(",") + (u.Code == 29 ? m_texts.WLS_Audit : m_texts.WLS_UpdateOk) + m_texts.ChangeUploaded);
            for (const QString &l : u.Log)
                if (l != m_texts.WLS_Audit)
                    log(l);
            Q_EMIT notice(m_texts.WLS_UpdateOk, true);
        } else if (!u.Unchanged) {
            r.FailedStamp = stamp;
            log(path + m_texts.WLS_UpdateError + u.Log.join(QStringLiteral(" ")));
            Q_EMIT bringToFrontRequested();
        }
        r.Busy = false;
        if (r.FinishAsked) {
            r.Busy = true;
            finish(r);
        }
    });
}

void TEditMonitor::finish(const TEditedFileInfo &record)
{
    const TEditSettings settings = record.Settings;
    const THS_Language language = m_language;
    struct Outcome {
        bool Unchanged = false;
        QDateTime FileTime;
        TEditTransfer::Upload Upload;
    };
    RunOnPool(TransferPool(), this, [settings, record, language] {
        Outcome o;
        o.FileTime = QFileInfo(record.PathAndFile).lastModified();
        TEditTransfer transfer(settings.Conn, settings.ConfigFolder, language);
        // The user's own checked-out copy is never deleted by an edit.
        const bool mayDelete = QFileInfo(record.PathAndFile) != QFileInfo(record.PriorCheckout);
        const bool missing = !QFileInfo::exists(record.PathAndFile);
        if (missing || (record.CopyStamp.isValid() && qAbs(o.FileTime.msecsTo(record.CopyStamp)) < kUnchangedMs)) {
            o.Unchanged = true;
            if (mayDelete && !missing)
                QFile::remove(record.PathAndFile);
            transfer.GiveUp(record.FileKey, record.PriorCheckout);
            return o;
        }
        o.Upload = transfer.UploadEdited(record.FileKey, record.PathAndFile, record.PriorCheckout);
        o.Unchanged = o.Upload.Unchanged;
        if ((o.Upload.Ok || o.Upload.Unchanged) && mayDelete)
            QFile::remove(record.PathAndFile);
        return o;
    }, [this, key = record.FileKey](const Outcome &o) {
        const qsizetype at = indexOf(key);
        if (at < 0)
            return;
        TEditedFileInfo r = m_files.at(at);
        m_files.removeAt(at);
        TOpenEdits::Instance().Remove(this, key);
        Q_EMIT fileListChanged();
        if (o.Unchanged && !r.Uploaded) {
            log(r.FileName + QStringLiteral(",") + m_texts.WLS_NoChange + m_texts.WLS_FileTime
                + o.FileTime.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
            Q_EMIT notice(r.FileName + QStringLiteral(",") + m_texts.WLS_NoChange, false);
            Q_EMIT editEnded(key, false);
            return;
        }
        const QString path = QDir::toNativeSeparators(r.PathAndFile);
        if (o.Unchanged || o.Upload.Ok) {
            // Unchanged since a version went up during the edit: that version was the work.
            if (o.Upload.Ok)
                log(path + QStringLiteral(",") + (o.Upload.Code == 29 ? m_texts.WLS_Audit : m_texts.WLS_UpdateOk));
            Q_EMIT notice(m_texts.WLS_UpdateOk, true);
            Q_EMIT editEnded(key, true);
            afterSuccess();
            return;
        }
        const QString error = o.Upload.Log.value(0);
        const QString rest = o.Upload.Log.mid(1).join(QStringLiteral(" "));
        const QString text = QStringLiteral("(") + error + QStringLiteral(")") + rest;
        log(path + m_texts.WLS_UpdateError + text);
        Q_EMIT notice(text, false);
        Q_EMIT editEnded(key, false);
        Q_EMIT bringToFrontRequested();
    });
}

QList<TLeftoverEdit> TEditMonitor::LeftoverEdits() const
{
    const TEditSettings settings = SettingsSource ? SettingsSource() : TEditSettings{};
    const CheckoutRecord records(settings.ConfigFolder);
    QList<TLeftoverEdit> out;
    for (qint64 key : records.editKeys()) {
        // An editor window of this run has its own record: that edit is not left over.
        if (indexOf(key) >= 0 || m_fetching.contains(key) || TOpenEdits::Instance().Contains(key))
            continue;
        const QString path = records.read(key);
        const QFileInfo copy(path);
        if (path.isEmpty() || !copy.isFile())
            continue;
        const QDateTime stamp = records.editStamp(key);
        out << TLeftoverEdit{key, path, !stamp.isValid() || qAbs(copy.lastModified().msecsTo(stamp)) >= kUnchangedMs};
    }
    return out;
}

void TEditMonitor::ResolveLeftover(qint64 fileKey, bool upload)
{
    if (indexOf(fileKey) >= 0)
        return;
    const TEditSettings settings = SettingsSource ? SettingsSource() : TEditSettings{};
    const CheckoutRecord records(settings.ConfigFolder);
    if (!records.isEdit(fileKey))
        return;
    TEditedFileInfo r;
    r.FileKey = fileKey;
    r.PathAndFile = records.read(fileKey);
    r.FileName = QFileInfo(r.PathAndFile).fileName();
    r.CopyStamp = records.editStamp(fileKey);
    r.Settings = settings;
    r.InUse = false;
    if (upload) {
        // Watched until the upload answers, so exit asks meanwhile.
        r.Busy = r.FinishAsked = true;
        m_files << r;
        TOpenEdits::Instance().Add(this, fileKey, QDir::toNativeSeparators(r.PathAndFile));
        Q_EMIT fileListChanged();
        finish(r);
        return;
    }
    const THS_Language language = m_language;
    RunOnPool(TransferPool(), this, [settings, r, language] {
        const QFileInfo copy(r.PathAndFile);
        const bool changed = !r.CopyStamp.isValid() || qAbs(copy.lastModified().msecsTo(r.CopyStamp)) >= kUnchangedMs;
        // Giving back never throws work away: a changed copy stays where it is.
        if (!changed)
            QFile::remove(r.PathAndFile);
        TEditTransfer(settings.Conn, settings.ConfigFolder, language).GiveUp(r.FileKey, QString());
        return changed;
    }, [this, r](bool changed) {
        const QString path = QDir::toNativeSeparators(r.PathAndFile);
        log(r.FileName + QStringLiteral(",") + (changed ? m_texts.LeftoverKept + path : m_texts.GivenBack));
        Q_EMIT editEnded(r.FileKey, false);
    });
}

void TEditMonitor::afterSuccess()
{
    QTimer::singleShot(NoticeHoldMs, this, [this] {
        Q_EMIT hideRequested();
        tryExit();
    });
}

void TEditMonitor::tryExit()
{
    // A client started only for editing ends, but never while other edits are open,
    // and never once the user has brought the main window up meanwhile.
    if (FMainfrmVisible || !m_files.isEmpty() || m_downloads > 0 || !TOpenEdits::Instance().IsEmpty())
        return;
    if (MainShownNow && MainShownNow())
        return;
    // Batch tasks or version operations still running: look again later.
    if (BusyElsewhere && BusyElsewhere()) {
        QTimer::singleShot(2000, this, &TEditMonitor::tryExit);
        return;
    }
    Q_EMIT exitRequested();
}
