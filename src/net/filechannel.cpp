// The file channel of TRobotTcpClient. Bodies are streamed in blocks of
// at most 32 768 bytes between disk and socket; no file is ever held in memory.
#include "net/robottcpclient.h"

#include "core/helpers.h"
#include "core/safepath.h"
#include "core/tagtext.h"
#include "core/uitext.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QThread>
#include <QtEndian>

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr qint64 kWriteBatch = 8 * kFileBlockSize;  // 256 KiB
constexpr qint64 kReadBatch = 8 * kFileBlockSize;
constexpr int kSaveFileError = 53;  // the server's own code for a body it could not store

enum ErrorRow { RowClosed, RowSocket, RowOpen, RowWrite, RowTimeout };

struct RowText {
    int code;
    const char16_t *cn;
    const char *en;
};

constexpr RowText kRows[] = {
    {2, u"网络原因导致服务器链接中断! ", "Connection closed gracefully! "},
    {2, u"传输文件中连接服务器发生错误！", " Server connection error while transferring file!"},
    {12, u"打开本地文件时发生错误！", " Error occurred while opening local files! "},
    {11, u"写本地文件时发生错误！", " Error occurred while writting local files! "},
    {2, u"传输文件中超时！", " File transfer timeout! "},
};

QString wireTicks(TDateTime dt)
{
    return QString::number(DateTimeToTicks(dt));
}

TDateTime fileWriteTime(const QFileInfo &fi)
{
    return QDateTimeToDateTime(fi.lastModified());
}

QString backupName(const QString &target)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyMMdd_HHmmss"));
    QString name = target + u'_' + stamp + QLatin1String(".bak");
    for (int i = 1; QFileInfo::exists(name); ++i)
        name = target + u'_' + stamp + u'_' + QString::number(i) + QLatin1String(".bak");
    return name;
}

[[noreturn]] void throwLocal(TNetErrorKind kind, const QString &what, const QString &path, const QString &why)
{
    throw ENetError(kind, QStringLiteral("%1 \"%2\": %3").arg(what, QDir::toNativeSeparators(path), why));
}

bool parseBoolDef(const QString &text, bool def)
{
    const QString t = text.trimmed();
    if (t.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
        return true;
    if (t.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0)
        return false;
    bool ok = false;
    const qint64 n = t.toLongLong(&ok);
    return ok ? n != 0 : def;
}

qint64 readLE64At(QFile &f, qint64 endOffset)
{
    char b[8];
    if (!f.seek(endOffset - 8) || f.read(b, 8) != 8)
        throwLocal(TNetErrorKind::LocalOpen, UiText("无法读取本地文件", "Cannot read the local file"), f.fileName(), f.errorString());
    return qFromLittleEndian<qint64>(b);
}

} // namespace

bool TRobotTcpClient::IsBreak() const
{
    return PIsBreak && PIsBreak->load() == 1;
}

QString TRobotTcpClient::CancelledText() const
{
    return FLanguage == HSL_CN ? QStringLiteral("传输已取消，文件未完整传输。")
                               : QStringLiteral("The transfer was cancelled; the file was not transferred completely.");
}

QString TRobotTcpClient::FileErrorText(int row) const
{
    // No text exists for HSL_NONE in the table; English then, so the user still sees why.
    return FLanguage == HSL_CN ? QString::fromUtf16(kRows[row].cn) : QString::fromLatin1(kRows[row].en);
}

int TRobotTcpClient::MapTransferError(const std::exception &e, bool waitReadTimeoutOnClose)
{
    if (FDoSocketError)
        FDoSocketError(e);
    const auto *ne = dynamic_cast<const ENetError *>(&e);
    if (!ne) {
        FErrorTxt = QString::fromUtf8(e.what());
        return fc::Other;
    }
    auto tableText = [&](int row) {
        FErrorTxt = FileErrorText(row);
        if (!ne->message().isEmpty())
            FErrorTxt += (FErrorTxt.endsWith(u' ') ? QString() : QStringLiteral(" ")) + ne->message();
        return kRows[row].code;
    };
    switch (ne->kind()) {
    case TNetErrorKind::Closed: {
        const int code = tableText(RowClosed);
        if (waitReadTimeoutOnClose) {
            // The protocol waits the read time-out here; the cancel flag ends the wait early.
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ReadTimeout);
            while (std::chrono::steady_clock::now() < until && !IsBreak())
                QThread::msleep(20);
        } else {
            QThread::msleep(100);
        }
        return code;
    }
    case TNetErrorKind::Socket:
        return tableText(RowSocket);
    case TNetErrorKind::Timeout:
        return tableText(RowTimeout);
    case TNetErrorKind::LocalOpen:
        return tableText(RowOpen);
    case TNetErrorKind::LocalWrite:
        return tableText(RowWrite);
    case TNetErrorKind::Cancelled:
        FErrorTxt = CancelledText();
        return fc::Nothing;
    case TNetErrorKind::Convert:
        FErrorTxt = ne->message();
        return fc::Other;
    case TNetErrorKind::Resolve:
    case TNetErrorKind::Tls:
    case TNetErrorKind::Protocol:
        FErrorTxt = ne->message();
        return fc::Network;
    }
    FErrorTxt = ne->message();
    return fc::Other;
}

void TRobotTcpClient::OpenFileChannel(qint32 operation, const QString &params)
{
    ConnectIfNeeded();
    Conn().setCancelFlag(PIsBreak);
    QByteArray head(kFileRequestLine);
    char b[4];
    qToBigEndian(operation, b);
    head.append(b, 4);
    head.append(EncodeHexUtf8(params).toLatin1());
    head.append("\r\n");
    Conn().write(head);
}

TRobotTcpClient::SendResult TRobotTcpClient::SendBodyWithResume(QIODevice &source, qint64 size, bool useTransmitEvent,
                                                                bool resume)
{
    TNetConnection &c = Conn();
    SendResult r;
    r.size = size;
    qint64 start = 0;
    const qint64 p = c.readInt64BE();
    const qint64 serverLast = c.readInt64BE();
    if (resume && p >= 8 && p <= size) {
        char b[8];
        if (!source.seek(p - 8) || source.read(b, 8) != 8)
            throw ENetError(TNetErrorKind::LocalOpen, UiText("无法读取本地文件：%1", "Cannot read the local file: %1").arg(source.errorString()));
        if (qFromLittleEndian<qint64>(b) == serverLast)
            start = p;
    }
    c.writeInt64BE(start);
    c.writeInt64BE(size - start);
    if (!source.seek(start))
        throw ENetError(TNetErrorKind::LocalOpen, UiText("无法读取本地文件：%1", "Cannot read the local file: %1").arg(source.errorString()));
    r.remaining = size - start;
    // The file is read in batches of blocks (fewer system calls), but every block
    // is still sent on its own, followed by its events and the cancel check.
    std::vector<char> buf(static_cast<size_t>(kReadBatch));
    qint64 have = 0, at = 0;
    while (r.remaining > 0) {
        if (at == have) {
            at = 0;
            have = source.read(buf.data(), std::min(kReadBatch, r.remaining));
            if (have < 0)
                throw ENetError(TNetErrorKind::LocalOpen, UiText("无法读取本地文件：%1", "Cannot read the local file: %1").arg(source.errorString()));
            if (have == 0)
                break;  // the file became shorter while it was sent
        }
        const qint64 n = std::min(kFileBlockSize, have - at);
        // Another block of this batch follows at once: let the kernel fill whole segments.
        if (at + n < have)
            c.writeMore(buf.data() + at, n);
        else
            c.write(buf.data() + at, n);
        at += n;
        r.remaining -= n;
        if (useTransmitEvent && FDoTransmit)
            FDoTransmit(this, size, size - r.remaining);
        if (FDoWorkEx)
            FDoWorkEx(this);
        if (IsBreak()) {
            r.cancelled = r.remaining > 0;
            break;
        }
    }
    r.stoppedEarly = r.remaining > 0;
    c.writeInt32BE(r.stoppedEarly ? kUploadStoppedEarly : kUploadComplete);
    if (FDoOver)
        FDoOver(this, size, size - r.remaining);
    return r;
}

quint8 TRobotTcpClient::UploadFile(qint64 destOwnerId, const QString &subFolderName, qint64 &newFileKey,
                                   const TTidyFile &file, qint64 destFolderId)
{
    newFileKey = 0;
    const QFileInfo fi(file.Path);
    if (file.Path.isEmpty() || !fi.isFile()) {
        FErrorTxt = QStringLiteral("file does not exist ");
        return 0;
    }
    if (destOwnerId == 0) {
        FErrorTxt = QStringLiteral("group id is 0");
        return 0;
    }
    const QString params =
        FUserEncryptStr + QLatin1String("[DestOwnerId]") + QString::number(destOwnerId) + QLatin1String("[/DestOwnerId]")
        + QLatin1String("[DestFolderId]") + QString::number(destFolderId) + QLatin1String("[/DestFolderId]")
        + QLatin1String("[SubFolderName]") + subFolderName + QLatin1String("[/SubFolderName]") + QLatin1String("[NameHash]")
        + QString::number(file.NameHash) + QLatin1String("[/NameHash]") + QLatin1String("[Size]") + QString::number(file.Size)
        + QLatin1String("[/Size]") + QLatin1String("[Kind]") + QString::number(qint32(file.Kind)) + QLatin1String("[/Kind]")
        + QLatin1String("[PathAndName]") + (file.DisplayName.isEmpty() ? file.Path : file.DisplayName)
        + QLatin1String("[/PathAndName]") + QLatin1String("[Summary]") + file.Summary + QLatin1String("[/Summary]")
        + QLatin1String("[ModifyDate]") + wireTicks(file.ModifyDT) + QLatin1String("[/ModifyDate]")
        + QLatin1String("[FielPrt]") + file.FilePrt + QLatin1String("[/FielPrt]") + QLatin1String("[SC]")
        + QString::number(file.SC) + QLatin1String("[/SC]") + QLatin1String("[language]") + Lang()
        + QLatin1String("[/language]");
    try {
        OpenFileChannel(1, params);
        const quint8 status = quint8(Conn().readInt32BE() & 0xFF);
        SendResult sent;
        if (status == fc::Stored) {
            QFile f(file.Path);
            if (!f.open(QIODevice::ReadOnly))
                throwLocal(TNetErrorKind::LocalOpen, UiText("无法打开本地文件", "Cannot open the local file"), file.Path, f.errorString());
            sent = SendBodyWithResume(f, f.size(), true, true);
        } else if (status == 100) {
            const QString line = QString::fromLatin1(Conn().readLine());
            FErrorTxt = DecodeHexUtf8(line).value_or(line);
        } else {
            FErrorTxt = GetDesc(status);
        }
        if (sent.stoppedEarly) {
            // The server cannot tell the "stopped early" trailer from body bytes (it was
            // told the remaining length up front), so it never answers with a key: waiting
            // would only run into the read time-out. Closing now ends its body; it keeps
            // the part it holds for a later resume.
            Disconnect();
        }
        const qint64 key = sent.stoppedEarly ? 0 : Conn().readInt64BE();
        Disconnect();
        if (status == fc::Stored && sent.stoppedEarly) {
            // The server may keep the part it has; the upload is not complete.
            if (sent.cancelled) {
                FErrorTxt = CancelledText();
                return fc::Nothing;
            }
            FErrorTxt = FileErrorText(RowOpen)
                        + QStringLiteral("\"%1\" became shorter while it was being sent; upload it again.")
                              .arg(QDir::toNativeSeparators(file.Path));
            return fc::LocalOpen;
        }
        newFileKey = key;
        // The status came before the body; a key of 0 after it means the server took
        // the body but could not store it (a lock or a deletion meanwhile, a full disk).
        if (status == fc::Stored && key <= 0) {
            FErrorTxt = GetDesc(kSaveFileError);
            return kSaveFileError;
        }
        return status;
    } catch (const std::exception &e) {
        Disconnect();
        return quint8(MapTransferError(e, false));
    }
}

quint8 TRobotTcpClient::UploadFile2(const QString &localFileName, const QString &extraParams, qint64 fileKey)
{
    const QFileInfo fi(localFileName);
    if (localFileName.isEmpty() || !fi.isFile())
        return 0;
    try {
        QFile f(localFileName);
        if (!f.open(QIODevice::ReadOnly))
            throwLocal(TNetErrorKind::LocalOpen, UiText("无法打开本地文件", "Cannot open the local file"), localFileName, f.errorString());
        const qint64 size = f.size();
        const QString params = FUserEncryptStr + QLatin1String("[Key]") + QString::number(fileKey) + QLatin1String("[/Key]")
                               + QLatin1String("[Size]") + QString::number(size) + QLatin1String("[/Size]")
                               + QLatin1String("[ModifyDate]") + wireTicks(fileWriteTime(fi)) + QLatin1String("[/ModifyDate]")
                               + QLatin1String("[language]") + Lang() + QLatin1String("[/language]") + extraParams;
        OpenFileChannel(3, params);
        const quint8 status = quint8(Conn().readInt32BE() & 0xFF);
        qint32 result = status;
        SendResult sent;
        if (status == fc::Stored || status == fc::Review) {
            sent = SendBodyWithResume(f, size, false, false);
            if (!sent.stoppedEarly)  // see UploadFile: no answer comes after a stop
                result = Conn().readInt32BE();
        }
        Disconnect();
        if (sent.stoppedEarly) {
            if (sent.cancelled) {
                FErrorTxt = CancelledText();
                return fc::Nothing;
            }
            FErrorTxt = FileErrorText(RowOpen)
                        + QStringLiteral("\"%1\" became shorter while it was being sent; upload it again.")
                              .arg(QDir::toNativeSeparators(localFileName));
            return fc::LocalOpen;
        }
        if (result != fc::Stored)
            FErrorTxt = GetDesc(result);
        return quint8(result);
    } catch (const std::exception &e) {
        Disconnect();
        return quint8(MapTransferError(e, true));
    }
}

qint32 TRobotTcpClient::UploadKmItemFile(const QString &ext, QIODevice *source, quint8 &firstStatus, qint64 itemKey)
{
    firstStatus = 0;
    try {
        if (!source || !source->isOpen() || source->isSequential())
            throw ENetError(TNetErrorKind::LocalOpen, UiText("要上传的附件无法读取。", "The attachment to upload is not open for reading."));
        const QString params = FUserEncryptStr + QLatin1String("[Key]") + QString::number(itemKey) + QLatin1String("[/Key]")
                               + QLatin1String("[Ext]") + ext + QLatin1String("[/Ext]");
        OpenFileChannel(5, params);
        firstStatus = quint8(Conn().readInt32BE() & 0xFF);
        if (firstStatus != fc::Stored) {
            FErrorTxt = GetDesc(firstStatus);
            Disconnect();
            return 0;
        }
        const SendResult sent = SendBodyWithResume(*source, source->size(), true, true);
        const qint32 result = sent.stoppedEarly ? 0 : Conn().readInt32BE();  // see UploadFile
        Disconnect();
        if (sent.stoppedEarly) {
            FErrorTxt = sent.cancelled ? CancelledText() : FileErrorText(RowOpen);
            return sent.cancelled ? fc::Nothing : fc::LocalOpen;
        }
        return result;
    } catch (const std::exception &e) {
        Disconnect();
        return MapTransferError(e, true);
    }
}

QString PartialDownloadName(const QString &target)
{
    return target + QLatin1String(".tmp");
}

TRobotTcpClient::ReceiveResult TRobotTcpClient::ReceiveBody(const QString &targetName, bool isReplace,
                                                            TDateTime serverTime, bool stamp)
{
    // The bytes always go to "<name>.tmp" and reach the final name only when the
    // server's trailer says the transfer is complete. The old local copy stays
    // untouched until then; a broken, cancelled or failed transfer never leaves a
    // partial file under the final name, and a later call resumes from the ".tmp".
    TNetConnection &c = Conn();
    ReceiveResult res;
    FLastKeptBackup.clear();
    FLastNotice.clear();
    const QString finalName = targetName;
    const QString work = PartialDownloadName(targetName);
    const QFileInfo finalInfo(finalName);
    if (finalInfo.isDir())
        throwLocal(TNetErrorKind::LocalWrite, UiText("无法写入文件", "Cannot write the file"), finalName,
                   QStringLiteral("a folder of that name exists"));
    const QString folder = finalInfo.absolutePath();
    if (!QDir().mkpath(folder))
        throwLocal(TNetErrorKind::LocalWrite, UiText("无法创建文件夹", "Cannot create the folder"), folder,
                   QStringLiteral("check the access rights"));

    QString workBackup;  // the earlier partial ".tmp", put aside while a new one is received
    auto restoreWorkBackup = [&] {
        if (!workBackup.isEmpty()) {
            QFile::remove(work);
            QFile::rename(workBackup, work);
            workBackup.clear();
        }
    };
    auto putWorkAside = [&] {
        workBackup = backupName(work);
        if (!QFile::rename(work, workBackup))
            throwLocal(TNetErrorKind::LocalWrite, UiText("无法重命名未完成的文件", "Cannot rename the partial file"), work,
                       UiText("文件可能已被其他程序打开", "it may be open in another program"));
    };

    // A stopped transfer keeps what arrived, stamped with the server's time of
    // the file, so the next download of that same version resumes from it.
    QFile f(work);
    bool bodyStarted = false;
    auto keepPartial = [&] {
        if (f.isOpen())
            f.close();
        if (!bodyStarted || QFileInfo(work).size() == 0) {
            restoreWorkBackup();
            return;
        }
        if (stamp)
            SetFileWriteTime(work, DateTimeToQDateTime(serverTime));
        if (!workBackup.isEmpty())
            QFile::remove(workBackup);
        workBackup.clear();
    };
    try {
        const QFileInfo wi(work);
        qint64 offered = 0;
        // Replacing still resumes a partial copy of this very version (a time
        // from another version, or none after a crash, starts again at 0).
        const bool sameVersion = wi.isFile() && stamp && std::abs(fileWriteTime(wi) - serverTime) < 2.0 / 86400.0;
        if (wi.isFile() && (!isReplace || sameVersion)) {
            QFile old(work);
            if (!old.open(QIODevice::ReadOnly))
                throwLocal(TNetErrorKind::LocalOpen, UiText("无法打开未完成的文件", "Cannot open the partial file"), work, old.errorString());
            offered = wi.size() & ~qint64(15);
            const qint64 last = offered >= 8 ? readLE64At(old, offered) : 0;
            old.close();
            c.writeInt64BE(offered);
            c.writeInt64BE(last);
        } else {
            if (wi.exists())
                putWorkAside();
            c.writeInt64BE(0);
            c.writeInt64BE(0);
        }
        const qint64 accepted = c.readInt64BE();
        if (accepted != 0 && (accepted < 0 || accepted > offered))
            throw ENetError(TNetErrorKind::Protocol,
                            UiText("服务器要求从第 %2 字节续传“%1”，但本地只有 %3 字节，已拒绝下载。",
                                   "The server wanted to resume \"%1\" at byte %2, but only %3 bytes were offered; "
                                   "the download was refused.")
                                .arg(QDir::toNativeSeparators(finalName))
                                .arg(accepted)
                                .arg(offered));
        if (accepted == 0 && QFileInfo::exists(work))
            putWorkAside();
        const qint64 remaining0 = c.readInt64BE();
        if (remaining0 < 0 || remaining0 > std::numeric_limits<qint64>::max() - accepted)
            throw ENetError(TNetErrorKind::Protocol, UiText("服务器声明的“%2”大小无效（%1 字节）。", "The server announced an invalid size (%1 bytes) for \"%2\".")
                                                         .arg(remaining0)
                                                         .arg(QDir::toNativeSeparators(finalName)));
        const QStorageInfo disk(folder);
        if (disk.isValid() && disk.bytesAvailable() >= 0 && remaining0 > disk.bytesAvailable())
            throw ENetError(TNetErrorKind::LocalWrite,
                            UiText("服务器声明“%2”有 %1 字节，但该磁盘只剩 %3 字节可用。请释放空间后重试。",
                                   "The server announced %1 bytes for \"%2\", but only %3 bytes are free on that "
                                   "disk. Free some space and try again.")
                                .arg(remaining0)
                                .arg(QDir::toNativeSeparators(finalName))
                                .arg(disk.bytesAvailable()));
        const qint64 total = accepted + remaining0;
        qint64 remaining = remaining0;
        if (accepted == 0) {
            if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
                throwLocal(TNetErrorKind::LocalOpen, UiText("无法创建本地文件", "Cannot create the local file"), work, f.errorString());
        } else {
            if (!f.open(QIODevice::ReadWrite) || !f.resize(accepted) || !f.seek(accepted))
                throwLocal(TNetErrorKind::LocalOpen, UiText("无法打开未完成的文件", "Cannot open the partial file"), work, f.errorString());
        }
        bodyStarted = true;

        // One receive may bring several blocks, and blocks go to disk in batches of up
        // to kWriteBatch bytes: fewer system calls, same bytes on disk. Each block still
        // gets its events and the cancel check once it is whole.
        std::vector<char> buf(static_cast<size_t>(kWriteBatch));
        qint64 filled = 0;  // whole blocks, not yet written
        qint64 got = 0;     // bytes in buf: those blocks and the start of the next one
        auto flushBatch = [&] {
            // Only whole blocks: a block not yet whole is neither reported nor kept.
            if (filled > 0 && f.write(buf.data(), filled) != filled)
                throwLocal(TNetErrorKind::LocalWrite, UiText("无法写入本地文件", "Cannot write the local file"), work, f.errorString());
            std::memmove(buf.data(), buf.data() + filled, size_t(got - filled));
            got -= filled;
            filled = 0;
        };
        while (remaining > 0) {
            const qint64 n = std::min(remaining, kFileBlockSize);
            try {
                // Never past the body: the trailer follows it on the same stream.
                while (got - filled < n)
                    got += c.readSome(buf.data() + got, std::min(kWriteBatch - got, remaining - (got - filled)));
            } catch (...) {
                flushBatch();   // the blocks that did arrive whole are the next try's resume point
                throw;
            }
            filled += n;
            remaining -= n;
            if (filled + kFileBlockSize > kWriteBatch || remaining == 0)
                flushBatch();
            if (IsBreak()) {
                flushBatch();  // the whole blocks received stay for a later resume
                keepPartial();
                res.cancelled = true;
                FErrorTxt = CancelledText();
                return res;
            }
            if (FDoTransmit)
                FDoTransmit(this, total, total - remaining);
            if (FDoWorkEx)
                FDoWorkEx(this);
        }
        flushBatch();
        const qint32 trailer = c.readInt32BE();
        const bool complete = (trailer >= 0 && trailer <= 16) || trailer == kUploadComplete;
        if (complete && trailer >= 0 && trailer <= 16) {
            const qint64 cut = std::min<qint64>(trailer, f.size());
            if (!f.resize(f.size() - cut))
                throwLocal(TNetErrorKind::LocalWrite, UiText("无法写入本地文件", "Cannot write the local file"), work, f.errorString());
        }
        if (!f.flush())
            throwLocal(TNetErrorKind::LocalWrite, UiText("无法写入本地文件", "Cannot write the local file"), work, f.errorString());
        const qint64 received = f.size();
        f.close();
        if (FDoOver)
            FDoOver(this, total, total - remaining);
        if (!complete) {
            restoreWorkBackup();
            FErrorTxt = (FLanguage == HSL_CN ? QStringLiteral("服务器报告文件“%1”传输失败（结束码 %2），本地文件未改变。")
                                             : QStringLiteral("The server reported that sending \"%1\" failed (end code %2); "
                                                              "the local file was not changed. Try again later."))
                            .arg(QDir::toNativeSeparators(finalName))
                            .arg(trailer);
            return res;
        }

        // Complete: the old copy goes to a backup, the new one takes the final name.
        QString finalBackup;
        TDateTime oldTime = 0;
        if (QFileInfo::exists(finalName)) {
            oldTime = fileWriteTime(QFileInfo(finalName));
            finalBackup = backupName(finalName);
            if (!QFile::rename(finalName, finalBackup))
                throwLocal(TNetErrorKind::LocalWrite, UiText("无法替换本地文件", "Cannot replace the local file"), finalName,
                           UiText("文件可能已被其他程序打开", "it may be open in another program"));
        }
        if (!QFile::rename(work, finalName)) {
            if (!finalBackup.isEmpty())
                QFile::rename(finalBackup, finalName);
            throwLocal(TNetErrorKind::LocalWrite, UiText("无法将收到的文件重命名为", "Cannot rename the received file to"), finalName,
                       UiText("文件可能已被其他程序打开", "it may be open in another program"));
        }
        if (stamp)
            SetFileWriteTime(finalName, DateTimeToQDateTime(serverTime));
        if (!workBackup.isEmpty())
            QFile::remove(workBackup);
        if (!finalBackup.isEmpty()) {
            if (oldTime - serverTime > 2.0 / 86400.0) {
                FLastKeptBackup = finalBackup;
                FLastNotice = (FLanguage == HSL_CN
                                   ? QStringLiteral("本地文件“%1”比服务器文件新，已保留为“%2”。")
                                   : QStringLiteral("The local copy of \"%1\" was newer than the server's; it was kept as \"%2\"."))
                                  .arg(QDir::toNativeSeparators(finalName), QDir::toNativeSeparators(finalBackup));
            } else {
                QFile::remove(finalBackup);
            }
        }
        res.complete = true;
        res.received = received;
        return res;
    } catch (...) {
        // A cut connection: what arrived is the resume point of the next try.
        keepPartial();
        throw;
    }
}

quint8 TRobotTcpClient::DownloadFile(const QString &localFileName, const QString &params, qint64 fileKey)
{
    TDateTime t = 0;
    return DownloadFile(localFileName, params, t, fileKey);
}

quint8 TRobotTcpClient::DownloadFile(const QString &localFileName, const QString &params, TDateTime &serverModifyTime,
                                     qint64 fileKey)
{
    const bool isReplace = parseBoolDef(GetTagValue(params, QStringLiteral("IsReplace")), false);
    const QString full = FUserEncryptStr + QLatin1String("[FileKey]") + QString::number(fileKey) + QLatin1String("[/FileKey]")
                         + QLatin1String("[language]") + Lang() + QLatin1String("[/language]") + params;
    try {
        OpenFileChannel(2, full);
        const quint8 status = quint8(Conn().readInt32BE() & 0xFF);
        if (status != fc::Download) {
            FErrorTxt = GetDesc(status);
            Disconnect();
            return status;
        }
        const QString line = TrimCtl(QString::fromLatin1(Conn().readLine(256)));
        bool ok = false;
        const qint64 ticks = line.toLongLong(&ok);
        if (!ok)
            throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(line));
        serverModifyTime = TicksToDateTime(ticks);
        const ReceiveResult r = ReceiveBody(localFileName, isReplace, serverModifyTime, true);
        Disconnect();
        if (r.complete)
            return fc::Download;
        return r.cancelled ? fc::Nothing : fc::BadTrailer;
    } catch (const std::exception &e) {
        Disconnect();
        return quint8(MapTransferError(e, false));
    }
}

quint8 TRobotTcpClient::DownloadFile2(const QString &localFileName, TDateTime &serverModifyTime, qint64 fileKey)
{
    const QFileInfo fi(localFileName);
    if (fi.isFile()) {
        const TDateTime local = fileWriteTime(fi);
        const QString reply = Tcp_GetText(rq::LocalNewerCheck, FUserEncryptStr + QLatin1String("[fileKey]")
                                                                   + QString::number(fileKey) + QLatin1String("[/fileKey][locDT]")
                                                                   + FormatWireDateTime(local) + QLatin1String("[/locDT][locSize]")
                                                                   + QString::number(fi.size()) + QLatin1String("[/locSize]"));
        const QString dt = GetTagValue(reply, QStringLiteral("Dt"));
        std::optional<TDateTime> server;
        bool isTicks = false;
        const qint64 ticks = dt.toLongLong(&isTicks);
        if (isTicks)
            server = TicksToDateTime(ticks);
        else if (!dt.isEmpty())
            server = ParseWireDateTime(dt);
        // Without a server time there is nothing to compare; the download itself keeps
        // a newer local copy as ".bak" (ReceiveBody).
        if (server && local - *server > 2.0 / 86400.0) {
            FErrorTxt = GetDesc(fc::ServerOlder);
            return fc::ServerOlder;
        }
    }
    return DownloadFile(localFileName, QStringLiteral("[IsReplace]True[/IsReplace]"), serverModifyTime, fileKey);
}

quint8 TRobotTcpClient::ReplaceWithServerCopy(const QString &localFileName, qint64 fileKey, bool keepNewerLocal)
{
    // A partial copy that was there before is someone else's resume point; only ours goes.
    const QString work = PartialDownloadName(localFileName);
    const bool hadPartial = QFileInfo::exists(work);
    TDateTime serverTime = 0;
    const quint8 code = keepNewerLocal
                            ? DownloadFile2(localFileName, serverTime, fileKey)
                            : DownloadFile(localFileName, QStringLiteral("[IsReplace]True[/IsReplace]"), serverTime, fileKey);
    if (code == fc::Download) {
        const QString numbered = localFileName + QStringLiteral(".1");
        if (QFileInfo(numbered).isFile())
            QFile::remove(numbered);
    } else if (!hadPartial && QFileInfo(work).isFile()) {
        QFile::remove(work);
    }
    return code;
}

quint8 TRobotTcpClient::DownloadFileInto(const QString &folder, const QString &serverName, const QString &params,
                                         TDateTime &serverModifyTime, qint64 fileKey, QString *localFileName)
{
    QString why;
    const std::optional<QString> local = SafeJoin(folder, serverName, &why);
    if (localFileName)
        *localFileName = local.value_or(QString());
    if (!local) {
        FErrorTxt = FileErrorText(RowWrite) + why;
        return fc::LocalWrite;
    }
    return DownloadFile(*local, params, serverModifyTime, fileKey);
}

quint8 TRobotTcpClient::ApiReceiveFile(const QString &requestText, const QString &localFileName, TDateTime modifyTime)
{
    try {
        OpenFileChannel(8, requestText);
        const quint8 status = quint8(Conn().readInt32BE() & 0xFF);
        quint8 result = status;
        if (status == fc::Download) {
            const ReceiveResult r = ReceiveBody(localFileName, false, modifyTime, true);
            if (!r.complete) {
                Disconnect();
                return r.cancelled ? fc::Nothing : fc::BadTrailer;
            }
        } else {
            FErrorTxt = QString::fromLatin1(Conn().readLine());
        }
        Conn().readInt64BE();
        Disconnect();
        return result;
    } catch (...) {
        Disconnect();
        throw;
    }
}
