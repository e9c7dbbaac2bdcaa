#pragma once
// Upload work of the capture windows, without windows: scanned pages as JPEG
// files (with the archive link) and the files copied in the desktop's file
// manager. Each runs on the transfer pool, one file after the other.
#include "files/transfer.h"

#include <QList>
#include <QStringList>

struct TCaptureTexts {
    explicit TCaptureTexts(THS_Language lang);
    // Scan window
    QString WLS_Caption, WLS_SaveAs, WLS_AddWatermark, WLS_OrigPic, WLS_ShowUI, WLS_NoFindTwain, WLS_SelectedTwain,
        WLS_TwainInit, WLS_NoImageFile, WLS_Over;
    // Upload dialog
    QString WLS_Ok, WLS_Error, WLS_InputName, WLS_Uploading, WLS_ArchiveFailed;
    // Clipboard window
    QString WLS_Hint, WLS_NoFile, WLS_CurrentFile, WLS_UploadErr, WLS_UploadOk, WLS_ErrorNum, WLS_NumDesc,
        WLS_SizeIsZero;
};

struct TScanUploadPage {
    QString PagePath;     // the page file it came from
    QString UploadName;   // the name it gets on the server
    quint8 Status = 0;
    qint64 Key = 0;
    QString Error;
    bool ArchiveTried = false;
    bool ArchiveOk = false;
    bool Stored() const { return Status == 3 && Key > 0; }
};

class TScanUploadController : public TTransferBase
{
    Q_OBJECT
public:
    explicit TScanUploadController(const TServerConn &conn, QObject *parent = nullptr);

    // The typed name without a ".jpg" ending; path separators and control characters become "_".
    static QString UploadBaseName(const QString &typed);
    // "<base>.jpg" for one page, else "<base>_<n>.jpg" with n zero-padded to the digits the count needs.
    static QString PageUploadName(const QString &base, int index, int count);

    // Uploads the pages in order into the folder; arcId > 0 also links each stored file to that archive record.
    void Start(const QString &typedName, const QStringList &pages, qint32 ownerId, qint64 folderId, qint64 arcId,
               qint64 ownerId2, int jpegQuality = -1);
    const QList<TScanUploadPage> &Results() const { return m_results; }

Q_SIGNALS:
    void pageStarted(int index, int count);
    void finished();

private:
    QList<TScanUploadPage> m_results;
};

struct TClipboardUploadLine {
    QString Path;
    bool Ok = false;
    QString Error;
};

class TClipboardUploadController : public TTransferBase
{
    Q_OBJECT
public:
    explicit TClipboardUploadController(const TServerConn &conn, QObject *parent = nullptr);

    // The question asked before anything leaves: the files and where they go.
    static QString ConfirmText(THS_Language lang, const QStringList &paths, const QString &target);
    // One memo line for a finished file.
    static QString LogLine(const TCaptureTexts &texts, const TClipboardUploadLine &line);

    void Start(const QStringList &paths, qint32 ownerId, qint64 folderId);
    int Failures() const { return m_failures; }
    const TCaptureTexts &Texts() const { return m_texts; }

Q_SIGNALS:
    void currentFile(const QString &text);
    void fileDone(const TClipboardUploadLine &line, int done, int count);
    void finished(int failures);

private:
    void next();

    TCaptureTexts m_texts;
    QStringList m_paths;
    qint32 m_owner = 0;
    qint64 m_folder = 0;
    int m_done = 0;
    int m_failures = 0;
};

Q_DECLARE_METATYPE(TClipboardUploadLine)
