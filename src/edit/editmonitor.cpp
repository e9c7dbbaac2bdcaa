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

#include <QDir>
#include <QFile>
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

void TEditMonitor::EditFile()
{
    const TEditSettings settings = SettingsSource ? SettingsSource() : TEditSettings{};
    const QString request = m_pending;
    m_pending.clear();
    TEditedFileInfo record;
    record.FileKey = StrToInt64Def(GetTagValue(request, QStringLiteral("Key")), 0);
    record.FileName = GetTagValue(request, QStringLiteral("FileName"));
    record.LastModifyTime = NowDateTime();
    const qint64 version = StrToInt64Def(GetTagValue(request, QStringLiteral("VersionId")), -1);
    // A file already being edited is not fetched again: that would replace the copy under the user's hands.
    for (const TEditedFileInfo &f : std::as_const(m_files))
        if (f.FileKey == record.FileKey) {
            Q_EMIT currentFile(m_texts.WLS_CurrentFile + f.FileName);
            Q_EMIT bringToFrontRequested();
            return;
        }
    Timer1->stop();
    ++m_downloads;

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
        o.Record.CopyStamp = QFileInfo(o.Record.PathAndFile).lastModified();
        return o;
    }, [this, settings](const Outcome &o) {
        --m_downloads;
        if (!o.NameOk) {
            for (const QString &l : o.Log)
                log(l);
            log(o.Record.FileName + QStringLiteral(","));
            Q_EMIT currentFile(m_texts.WLS_CurrentFile);
        } else {
            Q_EMIT currentFile(m_texts.WLS_CurrentFile + o.Record.FileName);
            opened(o.Record, o.Log, o.Downloaded);
            if (!o.Downloaded)
                Q_EMIT bringToFrontRequested();
        }
        FLastTm = QDateTime::currentDateTime();
        Timer1->start();
        Q_UNUSED(settings);
    });
}

void TEditMonitor::opened(TEditedFileInfo record, const QStringList &lines, bool downloaded)
{
    if (!downloaded) {
        for (const QString &l : lines)
            log(record.FileName + QStringLiteral(",") + l);
        return;
    }
    // The first line says how the copy came (downloaded, or the user's checked-out copy).
    log(record.FileName + QStringLiteral(",") + lines.value(0, m_texts.WLS_DownloadOK));
    for (const QString &l : lines.mid(1))
        log(l);
    const EditorLauncher::Started s = EditorLauncher::Open(record.PathAndFile, m_language == HSL_CN);
    if (!s.Ok) {
        log(record.FileName + QStringLiteral(",") + m_texts.WLS_OpenFailed + (s.Error.isEmpty() ? QString() : QStringLiteral(" (") + s.Error + u')'));
        // Nobody will edit it: the file goes back rather than staying locked.
        const TEditSettings settings = SettingsSource ? SettingsSource() : TEditSettings{};
        const THS_Language language = m_language;
        RunOnPool(TransferPool(), this, [settings, record, language] {
            TEditTransfer(settings.Conn, settings.ConfigFolder, language).GiveUp(record.FileKey, record.PriorCheckout);
        }, [] {});
        Q_EMIT bringToFrontRequested();
        return;
    }
    record.EditorPid = s.Pid;
    log(record.FileName + QStringLiteral(",") + m_texts.WLS_OpenOK);
    m_files << record;
    TOpenEdits::Instance().Add(this, record.FileKey, QDir::toNativeSeparators(record.PathAndFile));
    Q_EMIT fileListChanged();
}

void TEditMonitor::Tick()
{
    if (FLastTm.isValid() && FLastTm.msecsTo(QDateTime::currentDateTime()) < SettleMs)
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
    RunOnPool(RequestPool(), this, [due, ownTitles, processes] {
        // One look at the processes and windows serves every watched file.
        FileInUse::Snapshot snapshot;
        QList<bool> held;
        for (const TEditedFileInfo &record : due) {
            FileInUse::Probe probe;
            if (record.EditorPid > 0)
                probe.EditorPids << record.EditorPid;
            probe.Processes = processes;
            probe.WindowTexts << record.FileName << QFileInfo(record.FileName).completeBaseName();
            probe.OwnTitles = ownTitles;
            // A missing copy may be an editor's save in progress: it counts as in use.
            held << FileInUse::InUse(FileInUse::Check(record.PathAndFile, probe, snapshot));
        }
        return held;
    }, [this, due](const QList<bool> &held) {
        for (qsizetype i = 0; i < due.size(); ++i) {
            const qint64 key = due.at(i).FileKey;
            const qsizetype at = std::find_if(m_files.cbegin(), m_files.cend(),
                                              [key](const TEditedFileInfo &r) { return r.FileKey == key; })
                                 - m_files.cbegin();
            if (at >= m_files.size())
                continue;
            // No answer (the check failed) counts as in use.
            const bool inUse = held.value(i, true);
            m_files[at].InUse = inUse;
            if (inUse)
                m_files[at].Busy = false;
            Q_EMIT checked(key, inUse);
            if (!inUse)
                finish(m_files.at(at));
        }
    });
}

void TEditMonitor::finish(const TEditedFileInfo &record)
{
    const TEditSettings settings = SettingsSource ? SettingsSource() : TEditSettings{};
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
        if (qAbs(o.FileTime.msecsTo(record.CopyStamp)) < kUnchangedMs) {
            o.Unchanged = true;
            if (mayDelete)
                QFile::remove(record.PathAndFile);
            transfer.GiveUp(record.FileKey, record.PriorCheckout);
            return o;
        }
        o.Upload = transfer.UploadEdited(record.FileKey, record.PathAndFile, record.PriorCheckout);
        if (o.Upload.Ok && mayDelete)
            QFile::remove(record.PathAndFile);
        return o;
    }, [this, key = record.FileKey](const Outcome &o) {
        const qsizetype at = std::find_if(m_files.cbegin(), m_files.cend(),
                                          [key](const TEditedFileInfo &r) { return r.FileKey == key; })
                             - m_files.cbegin();
        if (at >= m_files.size())
            return;
        TEditedFileInfo r = m_files.at(at);
        m_files.removeAt(at);
        TOpenEdits::Instance().Remove(this, key);
        Q_EMIT fileListChanged();
        if (o.Unchanged) {
            log(r.FileName + QStringLiteral(",") + m_texts.WLS_NoChange + m_texts.WLS_FileTime
                + o.FileTime.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
            Q_EMIT notice(r.FileName + QStringLiteral(",") + m_texts.WLS_NoChange, false);
            Q_EMIT editEnded(key, false);
            return;
        }
        const QString path = QDir::toNativeSeparators(r.PathAndFile);
        if (o.Upload.Ok) {
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

void TEditMonitor::afterSuccess()
{
    QTimer::singleShot(NoticeHoldMs, this, [this] {
        Q_EMIT hideRequested();
        // A client started only for editing ends, but never while other edits are open.
        if (!FMainfrmVisible && m_files.isEmpty() && m_downloads == 0 && TOpenEdits::Instance().IsEmpty())
            Q_EMIT exitRequested();
    });
}
