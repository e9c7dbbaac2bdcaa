#include "versions/versioncontrol.h"

#include "core/helpers.h"
#include "core/safepath.h"
#include "net/robottcpclient.h"
#include "platform/fileinuse.h"
#include "versions/logging.h"
#include "versions/workpaths.h"
#include "web/webmodule.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QString nameAt(const QStringList &names, qsizetype i)
{
    return i < names.size() ? names[i] : QString();
}

// What a monitor row names: the local copy where there is one, else the server's
// file name, else the key, so that no row is left without a file.
QString rowName(const QString &localPath, const QString &name, qint64 key)
{
    if (!localPath.isEmpty())
        return QDir::toNativeSeparators(localPath);
    return !name.trimmed().isEmpty() ? name : QStringLiteral("#%1").arg(key);
}

// The file's last-write time as a date-time, or nullopt when it is not there.
std::optional<TDateTime> localWriteTime(const QString &path)
{
    const QFileInfo fi(path);
    if (!fi.isFile())
        return std::nullopt;
    return QDateTimeToDateTime(fi.lastModified());
}

void clearReadOnly(const QString &path)
{
    const QFileInfo fi(path);
    if (fi.isFile() && !fi.isWritable())
        QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::WriteOwner);
}

void stampWriteTime(const QString &path, const QDateTime &time)
{
    QFile f(path);
    if (time.isValid() && f.open(QIODevice::ReadWrite))
        f.setFileTime(time, QFileDevice::FileModificationTime);
}

}  // namespace

TVersionControl::TVersionControl(const TServerConn &conn, const QString &configFolder, TVersionHooks hooks)
    : m_conn(conn)
    , m_configFolder(configFolder)
    , m_hooks(std::move(hooks))
    , m_texts(conn.Language)
{
}

void TVersionControl::report(const QString &name, const QString &text) const
{
    if (m_hooks.report)
        m_hooks.report(name, text);
}

bool TVersionControl::ask(const QString &question) const
{
    return m_hooks.ask && m_hooks.ask(question);
}

QString TVersionControl::CheckoutTarget(const QString &folder, const QString &name, QString *error)
{
    const auto joined = SafeJoin(folder, name, error);
    return joined ? *joined : QString();
}

QString TVersionControl::NumberedCopy(const QString &path)
{
    const QFileInfo fi(path);
    if (fi.suffix().compare(QLatin1String("asm"), Qt::CaseInsensitive) != 0)
        return path;
    qint64 best = 0;
    const QDir dir = fi.absoluteDir();
    for (const QFileInfo &e : dir.entryInfoList({fi.fileName() + QLatin1String(".*")},
                                                QDir::Files | QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        if (e.isDir())
            continue;
        const QString ext = e.fileName().mid(fi.fileName().size() + 1).left(8);
        best = qMax(best, StrToInt64Def(ext, 0));
    }
    // Without a numbered save the file itself is what the user has.
    return best > 0 ? path + u'.' + QString::number(best) : path;
}

bool TVersionControl::checkOutOne(qint64 key, const QString &name, const QString &target, bool keepLocalChanges)
{
    auto client = m_conn.MakeClient(kReadTimeout);
    client->FIsPostMessage = false;
    // A file this user holds already (checked out or being edited) keeps its lock when this attempt fails.
    const bool heldBefore = CheckoutRecord(m_configFolder).contains(key);
    const qint32 lock = client->LockFile(key);
    bool ok = false;
    QString error;
    if (lock == 1) {
        try {
            clearReadOnly(target);
            const QDateTime serverTime = client->GetLastModifyTime(key);
            const auto local = localWriteTime(target);
            bool keep = keepLocalChanges && local.has_value();
            if (!keep && local && (*local - QDateTimeToDateTime(serverTime)) * 86400.0 > kNewerLocalSeconds)
                keep = !ask(m_texts.WLS_Replace);
            if (keep) {
                ok = client->CanDownloadFile(key) == 10;
            } else {
                TDateTime serverModify = 0;
                ok = client->DownloadFile(target, QStringLiteral("[IsCheckout]True[/IsCheckout][IsReplace]True[/IsReplace]"),
                                          serverModify, key) == 10;
                if (ok) {
                    stampWriteTime(target, serverTime);
                    if (!client->LastNotice().isEmpty())
                        report(rowName(target, name, key), client->LastNotice());
                }
            }
            if (!ok)
                error = client->GetLastError();
        } catch (const std::exception &e) {
            // A time that is not a number, or the connection gone: the lock goes back.
            error = QString::fromUtf8(e.what());
            ok = false;
        }
    } else {
        error = client->GetLastError();
    }
    if (ok) {
        QString recordError;
        if (!CheckoutRecord(m_configFolder).write(key, target, &recordError)) {
            // Without the record the check-in could not find the copy: undo the lock.
            error = recordError;
            ok = false;
        }
    }
    if (!ok) {
        if (lock != 14 && !heldBefore)
            client->UnLockFile(true, key);
        report(rowName(target, name, key), error.isEmpty() ? ResultCodeText(lock == 1 ? 0 : lock, m_conn.Language) : error);
    }
    return ok;
}

bool TVersionControl::CheckOut(const QStringList &keys, const QStringList &names, const QString &targetFolder,
                               bool keepLocalChanges, bool openFile)
{
    bool succeed = false;
    const bool openEach = openFile && keys.size() == 1;
    for (qsizetype i = 0; i < keys.size(); ++i) {
        const qint64 key = StrToInt64Def(keys[i].trimmed(), 0);
        const QString name = nameAt(names, i);
        QString error;
        const QString target = CheckoutTarget(targetFolder, name, &error);
        if (target.isEmpty()) {
            report(rowName(QString(), name, key), error);
            continue;
        }
        if (!checkOutOne(key, name, target, keepLocalChanges))
            continue;
        report(rowName(target, name, key), m_texts.WLS_CheckOut);
        succeed = true;
        if (openEach) {
            QString why;
            // The one rule for every "open the file": nothing that could run as a program.
            if (!TWebModule::IsSafeToOpen(target)) {
                report(rowName(target, name, key), m_texts.WLS_OpenFailed + QLatin1String(": ")
                                   + (m_conn.Language == HSL_CN ? QStringLiteral("此类型的文件不会被打开")
                                                                : QStringLiteral("files of this type are not opened")));
                continue;
            }
            if (!m_hooks.open || !m_hooks.open(target, &why))
                report(rowName(target, name, key), why.isEmpty() ? m_texts.WLS_OpenFailed : m_texts.WLS_OpenFailed + QLatin1String(": ") + why);
        }
    }
    if (openFile && keys.size() > 1 && m_hooks.open) {
        QString why;
        m_hooks.open(targetFolder, &why);
    }
    return succeed;
}

bool TVersionControl::CancelCheckout(const QStringList &keys, const QStringList &names)
{
    bool result = false;
    for (qsizetype i = 0; i < keys.size(); ++i) {
        const qint64 key = StrToInt64Def(keys[i].trimmed(), 0);
        const QString name = nameAt(names, i);
        auto client = m_conn.MakeClient(kReadTimeout);
        client->FIsPostMessage = false;
        CheckoutRecord record(m_configFolder);
        const QString row = rowName(record.read(key), name, key);
        if (client->UnLockFile(true, key) == 1) {
            record.erase(key);
            report(row, m_texts.WLS_CancelCheckOut);
            result = true;
        } else {
            report(row, client->GetLastError());
        }
    }
    return result;
}

bool TVersionControl::BathCheckin(const QStringList &keys, const QStringList &names)
{
    bool result = false;
    CheckoutRecord record(m_configFolder);
    for (qsizetype i = 0; i < keys.size(); ++i) {
        const qint64 key = StrToInt64Def(keys[i].trimmed(), 0);
        const QString name = nameAt(names, i);
        auto client = m_conn.MakeClient(kReadTimeout);
        client->FIsPostMessage = false;
        const QString path = record.read(key);
        if (path.isEmpty() || !QFileInfo(path).isFile()) {
            qint32 audit = 0;
            try {
                audit = client->IsInWriteAudit(key);
            } catch (const std::exception &e) {
                qCInfo(lcVersions) << "audit question failed:" << e.what();
            }
            report(rowName(path, name, key), audit == 1 ? m_texts.WLS_Modify : m_texts.WLS_Missing);
            continue;
        }
        // What the editor has not saved yet would not be in the new version: ask first.
        const FileInUse::Signal held = FileInUse::Check(path);
        if (held != FileInUse::Signal::None && held != FileInUse::Signal::Missing
            && !ask((m_conn.Language == HSL_CN ? QStringLiteral("“%1”仍在其他程序中打开，未保存的修改不会被签入。是否仍然签入？")
                                               : QStringLiteral("\"%1\" is still open in another program; changes not saved there will not be checked in. Check in anyway?"))
                        .arg(QDir::toNativeSeparators(path)))) {
            report(rowName(path, name, key), m_conn.Language == HSL_CN ? QStringLiteral("文件仍在编辑中，未签入")
                                                   : QStringLiteral("Not checked in: the file is still open"));
            continue;
        }
        const quint8 answer = client->UploadFile2(NumberedCopy(path), QStringLiteral("[IsCheckin]True[/IsCheckin]"), key);
        if (answer == fc::Stored) {
            record.erase(key);
            report(rowName(path, name, key), m_texts.WLS_CheckIn);
            result = true;
            continue;
        }
        QString error = client->GetLastError();
        if (error.isEmpty())
            error = ResultCodeText(answer, m_conn.Language);
        if (answer == 15) {
            // The server holds a newer version than this copy: nothing is thrown away,
            // the copy, its record and the lock stay for the user to decide.
            error += (m_conn.Language == HSL_CN ? QStringLiteral(" 本地文件保留在“%1”，仍处于签出状态。")
                                                : QStringLiteral(" The local copy stays at \"%1\" and remains checked out."))
                         .arg(QDir::toNativeSeparators(path));
        } else if (answer == 16) {
            record.erase(key);
            client->UnLockFile(true, key);
        } else if (answer == fc::Review) {
            record.erase(key);
            result = true;
        }
        report(rowName(path, name, key), error);
    }
    return result;
}
