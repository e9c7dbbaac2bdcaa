#include "versions/workpaths.h"

#include "core/folders.h"
#include "core/helpers.h"
#include "core/safepath.h"
#include "core/tagtext.h"
#include "versions/inifile.h"

#include <QList>

namespace {

const QString kCheckoutPath = QStringLiteral("CheckoutPath");
const QString kWorkPath = QStringLiteral("WorkPath");
const QString kEditSession = QStringLiteral("EditSession");

QString withTrailingSlash(const QString &folder)
{
    if (folder.isEmpty() || folder.endsWith(u'/') || folder.endsWith(u'\\'))
        return folder;
    return folder + u'/';
}

}  // namespace

QString ToStoredPath(const QString &localPath)
{
    QString p = localPath;
    return p.replace(u'/', u'\\');
}

CheckoutRecord::CheckoutRecord(const QString &configFolder)
    : m_fileName(withTrailingSlash(ToLocalSeparators(configFolder)) + QLatin1String(kCheckoutRecordFile))
{
}

bool CheckoutRecord::write(qint64 fileKey, const QString &localPath, QString *error)
{
    // A check-out over an edit's record takes the mark away with it.
    return IniFile(m_fileName).replaceSection(QString::number(fileKey), {{kCheckoutPath, ToStoredPath(localPath)}}, error);
}

bool CheckoutRecord::writeEdit(qint64 fileKey, const QString &localPath, const QDateTime &copyStamp, QString *error)
{
    const qint64 stamp = copyStamp.isValid() ? copyStamp.toMSecsSinceEpoch() : 0;
    return IniFile(m_fileName).replaceSection(QString::number(fileKey),
                                              {{kCheckoutPath, ToStoredPath(localPath)},
                                               {kEditSession, QString::number(stamp)}}, error);
}

bool CheckoutRecord::isEdit(qint64 fileKey) const
{
    return !IniFile(m_fileName).readString(QString::number(fileKey), kEditSession).isEmpty();
}

QDateTime CheckoutRecord::editStamp(qint64 fileKey) const
{
    const QString text = IniFile(m_fileName).readString(QString::number(fileKey), kEditSession);
    const qint64 ms = StrToInt64Def(text, 0);
    return ms > 0 ? QDateTime::fromMSecsSinceEpoch(ms) : QDateTime();
}

QList<qint64> CheckoutRecord::editKeys() const
{
    QList<qint64> out;
    const IniFile ini(m_fileName);
    for (const QString &section : ini.sections()) {
        // Only a section every other call finds by this key ("060017" is not 60017's).
        const qint64 key = StrToInt64Def(section, 0);
        if (key != 0 && section == QString::number(key) && !out.contains(key) && !ini.readString(section, kEditSession).isEmpty())
            out << key;
    }
    return out;
}

QString CheckoutRecord::read(qint64 fileKey) const
{
    return ToLocalSeparators(IniFile(m_fileName).readString(QString::number(fileKey), kCheckoutPath));
}

bool CheckoutRecord::erase(qint64 fileKey, QString *error)
{
    return IniFile(m_fileName).eraseSection(QString::number(fileKey), error);
}

WorkPathRecord::WorkPathRecord(const QString &configFolder)
    : m_fileName(withTrailingSlash(ToLocalSeparators(configFolder)) + QLatin1String(kWorkPathRecordFile))
{
}

bool WorkPathRecord::write(qint32 folderId, const QString &localFolder, QString *error)
{
    if (folderId <= 0) {
        if (error)
            *error = QStringLiteral("Folder id %1 cannot be bound to a work path").arg(folderId);
        return false;
    }
    return IniFile(m_fileName).writeString(QString::number(folderId), kWorkPath, ToStoredPath(localFolder), error);
}

QString WorkPathRecord::read(qint64 folderId) const
{
    return ToLocalSeparators(IniFile(m_fileName).readString(QString::number(folderId), kWorkPath));
}

TWorkPathResolution ResolveWorkPathEx(const QString &serverPathReply, const QString &configFolder)
{
    TWorkPathResolution r;
    QString pathStr = GetTagValue(serverPathReply, QStringLiteral("PathStr"));
    QString pathIdStr = GetTagValue(serverPathReply, QStringLiteral("PathIdStr"));
    if (pathStr.isEmpty() || pathIdStr.isEmpty())
        return r;
    r.tagsPresent = true;
    pathStr.replace(u'/', u'\\');
    pathIdStr.replace(u'/', u'\\');
    r.pathStr = ToLocalSeparators(pathStr);

    // Ids: one final separator dropped, every piece kept, a non-number reads as 0.
    if (pathIdStr.endsWith(u'\\'))
        pathIdStr.chop(1);
    QList<qint64> ids;
    for (const QString &piece : pathIdStr.split(u'\\'))
        ids << StrToInt64Def(piece.trimmed(), 0);
    // Names: trimmed, empty pieces dropped.
    const QStringList names = SplitByChar(pathStr, u'\\');
    r.nameCount = int(names.size());

    const WorkPathRecord record(configFolder);
    for (qsizetype i = ids.size() - 1; i >= 0; --i) {
        const QString bound = record.read(ids[i]);
        if (bound.isEmpty())
            continue;
        // Id i stands for name i + 1; the names after it are the bound folder's descendants.
        QString path = bound;
        for (qsizetype j = i + 2; j < names.size(); ++j) {
            if (!IsSafeFileName(names[j]))
                return r;
            path = withTrailingSlash(path) + names[j] + u'/';
        }
        r.path = path;
        return r;
    }
    return r;
}

QString ResolveWorkPath(const QString &serverPathReply, const QString &configFolder)
{
    return ResolveWorkPathEx(serverPathReply, configFolder).path;
}

QString RootPlusServerPath(const QString &root, const QString &pathStr)
{
    if (pathStr.trimmed().isEmpty() || root.isEmpty())
        return root;
    // A refused server path is no folder at all: the bare root would stand for the wrong folder.
    const auto joined = SafeJoin(root, pathStr);
    return joined ? withTrailingSlash(*joined) : QString();
}

QString DefaultWorkFolder(const QString &workRoot, const QString &pathStr)
{
    // The owner's name leads the server path; below the work root a folder keeps only its
    // folders' names, as newest versions always placed their files.
    QStringList names = ToLocalSeparators(pathStr).split(u'/', Qt::SkipEmptyParts);
    if (!names.isEmpty())
        names.removeFirst();
    return RootPlusServerPath(workRoot, names.join(u'/'));
}

QString CheckoutFolderFor(const QString &serverPathReply, const QString &configFolder,
                          const QString &lastCheckoutPath, const QString &workRoot)
{
    const TWorkPathResolution r = ResolveWorkPathEx(serverPathReply, configFolder);
    if (!r.path.isEmpty())
        return r.path;
    if (r.tagsPresent)
        return DefaultWorkFolder(workRoot, r.pathStr);
    return !lastCheckoutPath.isEmpty() ? lastCheckoutPath : workRoot;
}

QString CompareFolderFor(const QString &serverPathReply, const QString &configFolder, const QString &workRoot)
{
    const TWorkPathResolution r = ResolveWorkPathEx(serverPathReply, configFolder);
    if (!r.path.isEmpty())
        return r.path;
    const QString pathStr = r.tagsPresent ? r.pathStr
                                          : ToLocalSeparators(GetTagValue(serverPathReply, QStringLiteral("PathStr")));
    return DefaultWorkFolder(workRoot, pathStr);
}

QString WorkPathDialogFolderFor(const QString &serverPathReply, const QString &configFolder,
                                const QString &workRoot)
{
    const TWorkPathResolution r = ResolveWorkPathEx(serverPathReply, configFolder);
    if (!r.path.isEmpty())
        return r.path;
    return r.tagsPresent ? DefaultWorkFolder(workRoot, r.pathStr) : QString();
}

QString NewestFolderFor(const QString &serverPathReply, const QString &configFolder, const QString &workRoot,
                        int *pathStep)
{
    const TWorkPathResolution r = ResolveWorkPathEx(serverPathReply, configFolder);
    if (pathStep)
        *pathStep = qMax(0, r.nameCount - 1);
    if (!r.path.isEmpty())
        return r.path;
    if (r.tagsPresent)
        return DefaultWorkFolder(workRoot, r.pathStr);
    return RootPlusServerPath(workRoot, ToLocalSeparators(GetTagValue(serverPathReply, QStringLiteral("PathStr"))));
}
