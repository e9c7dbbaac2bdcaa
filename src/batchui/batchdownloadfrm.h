#pragma once
// Bulk download of files a web page names by key and name into one local
// folder: TBulkDownload does the work on a transfer thread without a window,
// TBatchDownloadFrm shows the folder, the list with each file's outcome and
// the progress. Nothing is stored and no index is kept.
#include "files/transfer.h"

#include <QDialog>
#include <QSet>

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class TClientConfigX;

struct TBulkDownloadTexts {
    explicit TBulkDownloadTexts(THS_Language lang);
    QString WLS_OpenPath, WLS_DownloadNum, WLS_OpenFailed, WLS_DownlandFile, WLS_Hint, WLS_SelPath, WLS_SelPath2,
        WLS_Dowload, WLS_BadList;
};

struct TBulkDownloadItem {
    qint64 Key = 0;
    QString Name;        // the local file name: the part after the last "/"
    QString LocalPath;   // set when the run reached it
    bool Done = false;
    QString Text;        // outcome shown to the user
};

class TBulkDownload : public TTransferBase
{
    Q_OBJECT
public:
    // More files than this in one command are refused as a broken list.
    static constexpr int kMaxFiles = 1000;

    TBulkDownload(const TServerConn &conn, THS_Language lang, QObject *parent = nullptr);

    // Keys and names pair up by position; false (the list stays empty) when their
    // counts differ, a key is not positive, a name gives no usable file name, or
    // the list is empty or longer than kMaxFiles.
    bool Init(const QList<qint64> &keys, const QStringList &names);
    const QList<TBulkDownloadItem> &Items() const { return m_items; }
    // name itself, or "name (2).ext", "name (3).ext"... when a file of the list
    // already goes by it (compared ignoring case, as the desktops of Windows do).
    static QString FreeListName(const QString &name, const QSet<QString> &takenLower);
    // "dir\\\\sub" -> "dir/sub/".
    static QString DownloadFolder(const QString &typed);
    // Downloads every file into the folder; a local copy newer than the server's stays.
    void Start(const QString &folder);
    int Downloaded() const { return m_downloaded; }
    int Failed() const { return m_failed; }
    int Handled() const { return m_handled; }
    QString Folder() const { return m_folder; }
    // What to open afterwards: the single file unless it may run as a program, else the folder.
    QString OpenTarget() const;

Q_SIGNALS:
    void fileStarted(int index);
    void fileFinished(int index);
    void allDone();

private:
    struct Outcome {
        int Index = 0;
        bool Ok = false;
        QString LocalPath;
        QString Text;
    };
    void onOutcome(const Outcome &o);

    TBulkDownloadTexts m_texts;
    QList<TBulkDownloadItem> m_items;
    QString m_folder;
    int m_downloaded = 0;
    int m_failed = 0;
    int m_handled = 0;
};

class TBatchDownloadFrm : public QDialog
{
    Q_OBJECT
public:
    TBatchDownloadFrm(TClientConfigX &config, THS_Language language, QWidget *parent = nullptr);

    // False when the lists do not pair up; the dialog then says so and offers nothing to download.
    bool Init(const QList<qint64> &keys, const QStringList &names);
    TBulkDownload &Controller() { return *m_ctrl; }
    // Opening the result; replaceable so tests never start a program.
    std::function<bool(const QString &path)> FOpen;

    void Confirm();
    void CancelOrClose();

    QLineEdit *Edit1 = nullptr;
    QPushButton *btPathSelect = nullptr;
    QPushButton *btSetDownloadPath = nullptr;
    QCheckBox *cbOpenFile = nullptr;
    QProgressBar *ProgressBar1 = nullptr;
    QProgressBar *ProgressBar2 = nullptr;
    QLabel *Label7 = nullptr;
    QLabel *Label8 = nullptr;
    QTreeWidget *lvFiles = nullptr;
    QPushButton *btConfirm = nullptr;
    QPushButton *btCancel = nullptr;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QString t(const char *cn, const char *en) const;
    void choosePath(bool remember);
    void showCount();
    void onAllDone();

    TClientConfigX &m_config;
    THS_Language FHS_Language;
    TBulkDownloadTexts m_texts;
    TBulkDownload *m_ctrl;
    bool FCanClose = false;
};
