#pragma once
// Local file-system helpers for transfers, the file index, the
// comparison window and the editors. Stateless; nothing here raises: a missing or
// unreadable file gives sizes and times of 0, lists stay as they were.
// Times are date-times (days since 1899-12-30) in local time; sizes are bytes.
// Paths use "/" on this platform; "\" in inputs is accepted as a separator.
#include "core/wiredate.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

// One folder of a scanned tree. A record owns the records linked under Childs;
// SaveDirectoryToList links every record it creates under its Father, so the
// caller owns everything through the root and FreeDirectoryTree releases it.
struct TDirectoryTree {
    qint32 Id = 0;        // position in the output list at insertion, from 1
    quint8 Level = 0;     // parent's level + 1
    quint8 Dealed = 0;    // processing mark for the caller
    TDirectoryTree *Father = nullptr;
    std::vector<std::unique_ptr<TDirectoryTree>> Childs;
    QString Path;         // full folder path without a trailing separator
};

struct TFileAttributeData {
    bool IsDir = false;
    bool ReadOnly = false;
    bool Hidden = false;
    qint64 Size = 0;
    TDateTime CreationTime = 0;
    TDateTime LastAccessTime = 0;
    TDateTime LastWriteTime = 0;
};

class TFileOperator
{
public:
    void GetFileSizeAndModifyTime(const QString &fileName, qint64 &size, TDateTime &modifyTime) const;
    void GetFileSizeAndLastTime(const QString &fileName, qint64 &size, TDateTime &modifyTime, TDateTime &lastTime) const;
    void GetFileSizeAndCreateTime(const QString &fileName, qint64 &size, TDateTime &createTime) const;
    TDateTime GetFileModifyTime(const QString &fileName) const;
    qint64 GetFileSize(const QString &fileName) const;
    bool GetAttributes(const QString &fileName, TFileAttributeData &attributes) const;

    QString GetFilePostfix(const QString &fileName) const;
    quint32 GetFileExtType2(const QString &fileName) const;
    QString FileTypeToExtStr(quint32 code) const;
    void FiltrateFile(const QList<quint32> &typeCodes, QStringList &files) const;
    QString GetSearchPath(const QString &folder, const QString &ext) const;

    void GetAllFiles(const QString &rootPath, bool isGetSubDir, const QString &fileExt, QStringList &fileList) const;
    void SaveDirectoryToList(const QString &root, QStringList &list) const;
    void SaveDirectoryToList(TDirectoryTree *rootDir, QList<TDirectoryTree *> &list, int maxLevel) const;
    void FreeDirectoryTree(TDirectoryTree *rootDir) const;

    // Off Windows the "drives" are the mounted volumes' roots ("/", "/media/usb/").
    QStringList GetDrives() const;
    QStringList GetDrives_Fixed() const;
    bool GetVolumeInformation(const QString &driveRoot) const;
    void GetPicFileNum(const QString &rootPath, bool isGetSubDir, int &allCount) const;
};

qint64 GetFileSizeEx(const QString &fileName);
QStringList ListAllFiles(const QString &rootPath, bool isGetSubDir, const QString &fileExt);
