#include "web/webmodule.h"

#include "core/fileext.h"
#include "core/helpers.h"
#include "core/tagtext.h"
#include "core/textfile.h"
#include "core/workpools.h"
#include "web/logging.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

namespace {

const QString kParameterError = QStringLiteral("Parameter error!");
const QString kFileParameterError = QStringLiteral("File parameter error!");

qint64 int64Tag(const QString &cmd, const char *tag, qint64 def = 0)
{
    return StrToInt64Def(GetTagValue(cmd, QLatin1String(tag)), def);
}

QString lowerAscii(const QString &s)
{
    QString out = s;
    for (QChar &c : out)
        if (c.unicode() >= u'A' && c.unicode() <= u'Z')
            c = QChar(char16_t(c.unicode() + 32));
    return out;
}

// Any web page can send these lists, not only the server's: more than a user ever ticks is refused.
constexpr qsizetype kMaxListedFiles = 5000;

// Lists must pair up: keys that are missing, not numbers or unnamed are a malformed command.
bool parseKeyList(const QStringList &keyTexts, const QStringList &names, QList<qint64> &keys)
{
    if (keyTexts.isEmpty() || keyTexts.size() > kMaxListedFiles || names.size() < keyTexts.size())
        return false;
    for (const QString &k : keyTexts) {
        const qint64 key = StrToInt64Def(k, 0);
        if (key <= 0)
            return false;
        keys << key;
    }
    return true;
}

} // namespace

bool TWebCommandTarget::NotAvailable(QString *error) const
{
    if (error)
        *error = m_language == HSL_CN ? QStringLiteral("此功能尚未提供。") : QStringLiteral("This function is not available yet.");
    return false;
}

bool TWebCommandTarget::Preview(const QString &, QString *error) { return NotAvailable(error); }
bool TWebCommandTarget::EditOffice(qint64, const QString &, QString *error) { return NotAvailable(error); }
bool TWebCommandTarget::EditText(qint64, const QString &, QString *error) { return NotAvailable(error); }
bool TWebCommandTarget::ChooseWorkPath(qint64, QString *error) { return NotAvailable(error); }
bool TWebCommandTarget::FetchNewest(qint64, qint64, QString *error) { return NotAvailable(error); }
bool TWebCommandTarget::VersionControl(int, const QList<qint64> &, const QStringList &, QString *error)
{
    return NotAvailable(error);
}
bool TWebCommandTarget::Scan(qint64, qint64, qint64, QString *error) { return NotAvailable(error); }
bool TWebCommandTarget::UploadClipboard(qint64, qint64, QString *error) { return NotAvailable(error); }
bool TWebCommandTarget::MailTest(const QString &, QString *error) { return NotAvailable(error); }
bool TWebCommandTarget::BulkDownload(const QList<qint64> &, const QStringList &, QString *error)
{
    return NotAvailable(error);
}

TWebModule::TWebModule(std::shared_ptr<TWebCommandTarget> target, THS_Language language, const QString &clientPath,
                       const QString &tempFolder, QObject *parent)
    : QObject(parent)
    , m_target(std::move(target))
    , m_language(language)
    , m_clientPath(clientPath)
    , m_tempFolder(tempFolder)
{
    m_target->SetLanguage(language);
}

TWebModule::TWebModule(TWebCommandTarget &target, THS_Language language, const QString &clientPath,
                       const QString &tempFolder, QObject *parent)
    : TWebModule(std::shared_ptr<TWebCommandTarget>(std::shared_ptr<void>(), &target), language, clientPath, tempFolder,
                 parent)
{
}

QString TWebModule::text(const char *cn, const char *en) const
{
    return m_language == HSL_CN ? QString::fromUtf8(cn) : QString::fromUtf8(en);
}

void TWebModule::DoWebMessage()
{
    pickUpHandOffFile();
    if (m_busy)
        return;
    TWebCmd cmd;
    if (!m_queue.Pop(cmd))
        return;
    if (cmd.Cmd.isEmpty()) {
        Q_EMIT hintText(kParameterError);
        Q_EMIT commandFinished(cmd.Code, false);
        return;
    }
    run(cmd);
}

void TWebModule::pickUpHandOffFile()
{
    const QString path = m_clientPath + kWebCmdFileName;
    const QFileInfo info(path);
    if (!info.exists()) {
        m_refusedHandOff = {};
        return;
    }
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return;  // gone meanwhile
    const HandOffStamp stamp{qint64(st.st_dev), qint64(st.st_ino), qint64(st.st_size),
                             qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    if (stamp == m_refusedHandOff)
        return;
    if (!info.isFile()) {
        qCWarning(lcWeb).noquote() << "Cannot take web commands from" << path << "- it is not a file";
        m_refusedHandOff = stamp;
        return;
    }
    // Instead of sleeping on the GUI thread, leave a fresh file to the next tick.
    // A time in the future (a clock set back) counts as settled.
    const qint64 age = info.lastModified().msecsTo(QDateTime::currentDateTime());
    if (age >= 0 && age < kHandOffSettleMs)
        return;
    // Claimed under a name of our own before reading, so that a command written
    // meanwhile lands in a new WebCmd.txt instead of being deleted with this one.
    const QString claimed = m_clientPath + QStringLiteral("WebCmd.%1.claimed")
                                               .arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'));
    QString text;
    // rename(2) itself: QFile::rename would fall back to copy and remove, which is not atomic.
    if (::rename(QFile::encodeName(path).constData(), QFile::encodeName(claimed).constData()) == 0) {
        Q_EMIT handOffClaimed();
        text = ReadTextFile(claimed);
        if (!QFile::remove(claimed))
            qCWarning(lcWeb).noquote() << "Cannot remove" << claimed;
    } else {
        const QString reason = qt_error_string(errno);
        if (!QFileInfo::exists(path))
            return;  // replaced or gone meanwhile: the next tick sees what is there
        qCWarning(lcWeb).noquote() << "Cannot remove" << path + QLatin1String(":") << reason
                                   << "- its web command runs once";
        text = ReadTextFile(path);
        m_refusedHandOff = stamp;
    }
    const TWebCmd cmd = ParseWebCmdText(text);
    qCDebug(lcWeb) << "web command" << cmd.Code;
    m_queue.Add(cmd);
}

void TWebModule::run(const TWebCmd &cmd)
{
    const QString &c = cmd.Cmd;
    QString error;
    bool ok = false;
    switch (cmd.Code) {
    case 11:
    case 12:
        m_target->SetClipboardText(c);
        ok = true;
        break;
    case 13:
        if (int64Tag(c, "filekey") == 0)
            error = kFileParameterError;
        else
            ok = m_target->Preview(c, &error);
        break;
    case 14:
        openFileOrVersion(c);
        return;
    case 15:
        edit(c, &error);
        break;
    case 16:
        ok = m_target->ChooseWorkPath(int64Tag(c, "folderId"), &error);
        break;
    case 17:
        ok = m_target->FetchNewest(int64Tag(c, "ownerId"), int64Tag(c, "folderId"), &error);
        break;
    case 18:
    case 19:
    case 20: {
        QList<qint64> keys;
        const QStringList names = SplitByChar(GetTagValue(c, QStringLiteral("fileName")), u',');
        if (!parseKeyList(SplitByChar(GetTagValue(c, QStringLiteral("fileKeys")), u','), names, keys))
            error = kParameterError;
        else
            ok = m_target->VersionControl(int(cmd.Code), keys, names, &error);
        break;
    }
    case 21:
        ok = m_target->Scan(int64Tag(c, "ownerId"), int64Tag(c, "folderId"), int64Tag(c, "arcid"), &error);
        break;
    case 22:
        ok = m_target->UploadClipboard(int64Tag(c, "ownerId"), int64Tag(c, "folderId"), &error);
        break;
    case 23:
        ok = m_target->MailTest(GetTagValue(c, QStringLiteral("params")), &error);
        break;
    case 25: {
        QList<qint64> keys;
        QStringList names = SplitByChar(GetTagValue(c, QStringLiteral("names")), u'|');
        for (QString &n : names)
            n.replace(QLatin1String("&nbsp;"), QLatin1String(" "));
        if (!parseKeyList(SplitByChar(GetTagValue(c, QStringLiteral("keys")), u'|'), names, keys))
            error = kParameterError;
        else
            ok = m_target->BulkDownload(keys, names, &error);
        break;
    }
    case 26: {
        const qint64 key = int64Tag(c, "filekey");
        if (key == 0) {
            error = kFileParameterError;
            break;
        }
        m_target->SetClipboardText(QStringLiteral("[Key]%1[/Key][FileName]").arg(key)
                                  + GetTagValue(c, QStringLiteral("filename")) + QLatin1String("[/FileName]"));
        ok = true;
        break;
    }
    default:
        // Numbers that name no command are consumed and do nothing; not reported as done.
        qCInfo(lcWeb) << "web command" << cmd.Code << "names no command; ignored";
        break;
    }
    finish(cmd.Code, ok, error);
}

void TWebModule::edit(const QString &cmd, QString *error)
{
    const qint64 key = int64Tag(cmd, "filekey");
    if (key == 0) {
        *error = kFileParameterError;
        return;
    }
    const QString name = GetTagValue(cmd, QStringLiteral("filename"));
    const QString ext = lowerAscii(ExtWithoutDot(name));
    static const QStringList office{QStringLiteral("doc"), QStringLiteral("docx"), QStringLiteral("xls"),
                                    QStringLiteral("xlsx"), QStringLiteral("xlsm"), QStringLiteral("ppt"),
                                    QStringLiteral("pptx"), QStringLiteral("dps"), QStringLiteral("wps"),
                                    QStringLiteral("et")};
    if (office.contains(ext)) {
        m_target->EditOffice(key, name, error);
    } else if (ext == QLatin1String("txt")) {
        m_target->EditText(key, name, error);
    } else {
        m_target->SetClipboardText(QStringLiteral("[Key]%1[/Key][FileName]").arg(key) + name
                                  + QLatin1String("[/FileName]"));
    }
}

namespace {

// Windows drops trailing blanks and dots from a name, so "x.exe . " is x.exe;
// other blanks are cut too, since they only hide the real suffix.
QString trimNameEnd(const QString &name)
{
    qsizetype n = name.size();
    while (n > 0 && (name.at(n - 1) == u'.' || name.at(n - 1).isSpace()))
        --n;
    return name.left(n);
}

bool isRunnableSuffix(const QString &suffix)
{
    static const QStringList runnable{
        QStringLiteral("desktop"), QStringLiteral("sh"), QStringLiteral("bash"), QStringLiteral("csh"),
        QStringLiteral("zsh"), QStringLiteral("ksh"), QStringLiteral("exe"), QStringLiteral("com"),
        QStringLiteral("bat"), QStringLiteral("cmd"), QStringLiteral("msi"), QStringLiteral("scr"),
        QStringLiteral("lnk"), QStringLiteral("pif"), QStringLiteral("cpl"), QStringLiteral("hta"),
        QStringLiteral("reg"), QStringLiteral("msc"), QStringLiteral("inf"), QStringLiteral("appimage"),
        QStringLiteral("run"), QStringLiteral("bin"), QStringLiteral("jar"), QStringLiteral("jnlp"),
        QStringLiteral("py"), QStringLiteral("pyw"), QStringLiteral("pl"), QStringLiteral("rb"),
        QStringLiteral("php"),
        QStringLiteral("ps1"), QStringLiteral("psm1"), QStringLiteral("vbs"), QStringLiteral("vbe"),
        QStringLiteral("js"), QStringLiteral("jse"), QStringLiteral("wsf"), QStringLiteral("wsh"),
        QStringLiteral("elf"), QStringLiteral("so"), QStringLiteral("deb"), QStringLiteral("rpm")};
    return runnable.contains(suffix.toLower());
}

// Programs, scripts, launchers and installers; a type counts when it or one of
// its ancestors is listed (every script type inherits application/x-executable).
bool isRunnableType(const QMimeType &type)
{
    static const QStringList runnable{
        QStringLiteral("application/x-executable"), QStringLiteral("application/x-sharedlib"),
        QStringLiteral("application/x-pie-executable"), QStringLiteral("application/x-msdownload"),
        QStringLiteral("application/vnd.microsoft.portable-executable"),
        QStringLiteral("application/x-ms-dos-executable"), QStringLiteral("application/x-ms-ne-executable"),
        QStringLiteral("application/x-dosexec"), QStringLiteral("application/x-shellscript"),
        QStringLiteral("text/x-script"), QStringLiteral("application/x-desktop"),
        QStringLiteral("application/x-java-archive"), QStringLiteral("application/x-java-jnlp-file"),
        QStringLiteral("application/x-java"), QStringLiteral("application/x-msi"),
        QStringLiteral("application/x-ms-shortcut"), QStringLiteral("application/vnd.debian.binary-package"),
        QStringLiteral("application/x-rpm"), QStringLiteral("application/vnd.appimage"),
        QStringLiteral("application/x-iso9660-appimage"), QStringLiteral("text/vbscript")};
    if (!type.isValid())
        return false;
    QStringList names = type.aliases();
    names << type.name() << type.allAncestors();
    for (const QString &n : std::as_const(names))
        if (runnable.contains(n))
            return true;
    return false;
}

} // namespace

QString TWebModule::OpenCopyName(const QString &serverName)
{
    // Only the last element of a server name may name our copy.
    QString leaf = serverName.mid(std::max(serverName.lastIndexOf(u'/'), serverName.lastIndexOf(u'\\')) + 1);
    QString clean;
    for (QChar ch : trimNameEnd(leaf))
        clean += (ch.unicode() < 32 || ch.unicode() == 0x7F || ch == u':') ? QChar(u'_') : ch;
    const QString ext = ExtWithoutDot(clean);
    QString stem = ext.isEmpty() ? clean : clean.left(clean.size() - ext.size() - (ext == QLatin1String(".") ? 0 : 1));
    if (stem.isEmpty() || stem == QLatin1String(".") || stem == QLatin1String(".."))
        stem = QStringLiteral("file");
    QString name = stem + QLatin1String("_qx");
    if (!ext.isEmpty() && ext != QLatin1String("."))
        name += u'.' + ext;
    return name;
}

bool TWebModule::IsSafeToOpen(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isFile() || info.isExecutable())
        return false;
    const QString name = trimNameEnd(info.fileName());
    if (isRunnableSuffix(QFileInfo(name).suffix()))
        return false;
    // The desktop picks a program by type, so a program under a harmless name is
    // refused by what it holds. A "#!" text is refused only when the database
    // calls it a script by its content.
    const QMimeDatabase db;
    if (isRunnableType(db.mimeTypeForFile(info.absoluteFilePath(), QMimeDatabase::MatchContent)))
        return false;
    const QList<QMimeType> byName = db.mimeTypesForFileName(name);
    return std::none_of(byName.cbegin(), byName.cend(), isRunnableType);
}

void TWebModule::openFileOrVersion(const QString &cmd)
{
    const qint64 key = int64Tag(cmd, "filekey");
    if (key == 0) {
        finish(14, false, kFileParameterError);
        return;
    }
    const qint64 version = int64Tag(cmd, "filever", -1);
    QDir temp(m_tempFolder);
    for (const QFileInfo &old : temp.entryInfoList({QStringLiteral("*_qx.*"), QStringLiteral("*_qx")}, QDir::Files))
        QFile::remove(old.absoluteFilePath());
    const QString local = temp.filePath(OpenCopyName(GetTagValue(cmd, QStringLiteral("filename"))));

    m_busy = true;
    struct Outcome {
        QString downloadError;  // null when the copy arrived
        bool opened = false;
        QString reason;
    };
    // Asking the desktop for a program may take a moment: not on the GUI thread.
    std::shared_ptr<TWebCommandTarget> target = m_target;
    RunOnPool(RequestPool(), this, [target, key, version, local] {
        Outcome o;
        QString error;
        if (!target->DownloadForOpen(key, version, local, &error)) {
            o.downloadError = error.isEmpty() ? QStringLiteral("Download failed") : error;
            return o;
        }
        o.opened = IsSafeToOpen(local) && target->OpenWithDesktop(local, &o.reason);
        return o;
    }, [this](const Outcome &o) {
        m_busy = false;
        if (!o.downloadError.isNull()) {
            finish(14, false, o.downloadError);
            return;
        }
        QString failed = text("打开文件失败", "Failed to open the file");
        if (!o.reason.isEmpty())
            failed += u'\n' + o.reason;
        finish(14, o.opened, o.opened ? QString() : failed);
    });
}

void TWebModule::finish(unsigned code, bool ok, const QString &error)
{
    qCInfo(lcWeb).noquote() << "web command" << code << (ok ? QStringLiteral("done") : QStringLiteral("refused:") + error);
    if (!ok && !error.isEmpty())
        Q_EMIT hintText(error);
    Q_EMIT commandFinished(code, ok);
}
