#include "model/fileoperator.h"

#include "core/fileext.h"
#include "core/folders.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QStorageInfo>

namespace {

QString norm(const QString &path)
{
    return ToLocalSeparators(path);
}

QString joinPath(const QString &folder, const QString &name)
{
    return folder.endsWith(u'/') ? QString(folder + name) : QString(folder + u'/' + name);
}

QString withoutTrailingSep(const QString &folder)
{
    QString f = folder;
    while (f.size() > 1 && f.endsWith(u'/'))
        f.chop(1);
    return f;
}

// Creation time where the file system keeps one, else the inode change time.
QDateTime creationTime(const QFileInfo &fi)
{
    const QDateTime b = fi.birthTime();
    return b.isValid() ? b : fi.metadataChangeTime();
}

TDateTime dt(const QDateTime &t)
{
    return t.isValid() ? QDateTimeToDateTime(t.toLocalTime()) : 0;
}

// An unset time stamp: January 1980, hour 0.
bool isUnsetStamp(const QDateTime &t)
{
    const QDateTime l = t.toLocalTime();
    return l.date().year() == 1980 && l.date().month() == 1 && l.time().hour() == 0;
}

// Entries of a folder in the file system's order, "." and ".." skipped, hidden
// and system entries included (as the platform enumeration returns them).
QFileInfoList entries(const QString &folder, const QString &ext)
{
    QDir d(folder);
    if (!ext.isEmpty())
        d.setNameFilters({QStringLiteral("*.") + ext});
    d.setFilter(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    d.setSorting(QDir::Unsorted);
    return d.entryInfoList();
}

bool volumeAnswers(const QString &path)
{
    const QStorageInfo s(path);
    return s.isValid() && s.isReady();
}

} // namespace

void TFileOperator::GetFileSizeAndModifyTime(const QString &fileName, qint64 &size, TDateTime &modifyTime) const
{
    const QFileInfo fi(norm(fileName));
    if (!fi.exists()) {
        size = 0;
        modifyTime = 0;
        return;
    }
    size = fi.size();
    const QDateTime w = fi.lastModified();
    modifyTime = isUnsetStamp(w) ? dt(creationTime(fi)) : dt(w);
}

void TFileOperator::GetFileSizeAndLastTime(const QString &fileName, qint64 &size, TDateTime &modifyTime,
                                           TDateTime &lastTime) const
{
    const QFileInfo fi(norm(fileName));
    if (!fi.exists()) {
        size = 0;
        lastTime = 0;
        return;  // modifyTime unchanged
    }
    GetFileSizeAndModifyTime(fileName, size, modifyTime);
    lastTime = std::max(dt(creationTime(fi)), dt(fi.lastModified()));
}

void TFileOperator::GetFileSizeAndCreateTime(const QString &fileName, qint64 &size, TDateTime &createTime) const
{
    const QFileInfo fi(norm(fileName));
    if (!fi.exists()) {
        size = 0;
        createTime = 0;
        return;
    }
    size = fi.size();
    createTime = dt(creationTime(fi));
}

TDateTime TFileOperator::GetFileModifyTime(const QString &fileName) const
{
    const QFileInfo fi(norm(fileName));
    return fi.exists() ? dt(fi.lastModified()) : 0;
}

qint64 TFileOperator::GetFileSize(const QString &fileName) const
{
    return GetFileSizeEx(fileName);
}

qint64 GetFileSizeEx(const QString &fileName)
{
    const QFileInfo fi(ToLocalSeparators(fileName));
    return fi.exists() ? fi.size() : 0;
}

bool TFileOperator::GetAttributes(const QString &fileName, TFileAttributeData &a) const
{
    const QFileInfo fi(norm(fileName));
    if (!fi.exists())
        return false;
    a.IsDir = fi.isDir();
    a.ReadOnly = !fi.isWritable();
    a.Hidden = fi.isHidden();
    a.Size = fi.isDir() ? 0 : fi.size();
    a.CreationTime = dt(creationTime(fi));
    a.LastAccessTime = dt(fi.lastRead());
    a.LastWriteTime = dt(fi.lastModified());
    return true;
}

QString TFileOperator::GetFilePostfix(const QString &fileName) const
{
    const qsizetype dot = fileName.lastIndexOf(u'.');
    return dot < 0 ? QString() : fileName.mid(dot + 1);
}

quint32 TFileOperator::GetFileExtType2(const QString &fileName) const
{
    return FileExtCode(GetFilePostfix(fileName));
}

QString TFileOperator::FileTypeToExtStr(quint32 code) const
{
    return ExtCodeText(code);
}

void TFileOperator::FiltrateFile(const QList<quint32> &typeCodes, QStringList &files) const
{
    for (qsizetype i = files.size() - 1; i >= 0; --i)
        if (!typeCodes.contains(GetFileExtType2(files.at(i))))
            files.removeAt(i);
}

QString TFileOperator::GetSearchPath(const QString &folder, const QString &ext) const
{
    if (folder.isEmpty())
        return QString();
    QString f = norm(folder);
    if (!f.endsWith(u'/'))
        f += u'/';
    return f + (ext.isEmpty() ? QStringLiteral("*.*") : QStringLiteral("*.") + ext);
}

void TFileOperator::GetAllFiles(const QString &rootPath, bool isGetSubDir, const QString &fileExt,
                                QStringList &fileList) const
{
    const QString root = norm(rootPath);
    if (root.isEmpty() || !QFileInfo(root).isDir())
        return;
    for (const QFileInfo &e : entries(root, fileExt)) {
        const QString full = joinPath(root, e.fileName());
        if (e.isDir()) {
            if (isGetSubDir && !e.isSymLink())
                GetAllFiles(full, true, QString(), fileList);
        } else {
            fileList << full;
        }
    }
}

QStringList ListAllFiles(const QString &rootPath, bool isGetSubDir, const QString &fileExt)
{
    QStringList out;
    TFileOperator().GetAllFiles(rootPath, isGetSubDir, fileExt, out);
    return out;
}

void TFileOperator::SaveDirectoryToList(const QString &root, QStringList &list) const
{
    QString r = norm(root);
    if (r.isEmpty() || !volumeAnswers(r))
        return;
    if (!r.endsWith(u'/'))
        r += u'/';
    for (const QFileInfo &e : entries(r, QString())) {
        if (!e.isDir() || e.isSymLink())
            continue;
        const QString sub = r + e.fileName() + u'/';
        list << sub;
        SaveDirectoryToList(sub, list);
    }
}

void TFileOperator::SaveDirectoryToList(TDirectoryTree *rootDir, QList<TDirectoryTree *> &list, int maxLevel) const
{
    if (!rootDir || !volumeAnswers(norm(rootDir->Path)))
        return;
    const QString parent = withoutTrailingSep(norm(rootDir->Path));
    for (const QFileInfo &e : entries(parent, QString())) {
        if (!e.isDir() || e.isSymLink())
            continue;
        auto rec = std::make_unique<TDirectoryTree>();
        rec->Id = qint32(list.size() + 1);
        rec->Level = quint8(rootDir->Level + 1);
        rec->Father = rootDir;
        rec->Dealed = 0;
        rec->Path = joinPath(parent, e.fileName());
        TDirectoryTree *p = rec.get();
        rootDir->Childs.push_back(std::move(rec));
        list << p;
        if (maxLevel == 0 || p->Level < maxLevel)
            SaveDirectoryToList(p, list, maxLevel);
    }
}

void TFileOperator::FreeDirectoryTree(TDirectoryTree *rootDir) const
{
    if (rootDir)
        rootDir->Childs.clear();  // each record frees its own children
}

QStringList TFileOperator::GetDrives() const
{
    QStringList out;
    for (const QStorageInfo &s : QStorageInfo::mountedVolumes())
        if (s.isValid())
            out << IncludeTrailingSlash(s.rootPath());
    return out;
}

QStringList TFileOperator::GetDrives_Fixed() const
{
    static const QList<QByteArray> notFixed{"nfs", "nfs4", "cifs", "smbfs", "smb3", "sshfs", "fuse.sshfs", "tmpfs",
                                            "devtmpfs", "proc", "sysfs", "iso9660", "udf", "squashfs", "overlay"};
    QStringList out;
    for (const QStorageInfo &s : QStorageInfo::mountedVolumes())
        if (s.isValid() && s.isReady() && !notFixed.contains(s.fileSystemType()))
            out << IncludeTrailingSlash(s.rootPath());
    return out;
}

bool TFileOperator::GetVolumeInformation(const QString &driveRoot) const
{
    return volumeAnswers(norm(driveRoot));
}

void TFileOperator::GetPicFileNum(const QString &rootPath, bool isGetSubDir, int &allCount) const
{
    const QString root = norm(rootPath);
    if (root.isEmpty() || !volumeAnswers(root) || !QFileInfo(root).isDir())
        return;
    for (const QFileInfo &e : entries(root, QString())) {
        if (e.isDir()) {
            if (isGetSubDir && !e.isSymLink())
                GetPicFileNum(joinPath(root, e.fileName()), true, allCount);
        } else if (IsImageExt(GetFileExtType2(e.fileName()))) {
            ++allCount;
        }
    }
}
