#pragma once
// Deletes the chosen files and folders on the server one request at a time,
// from the last row to the first, removes each deleted row from the file
// manager's list and logs one line per row. TFileDeleter does the work;
// TFileDelFrm shows its log. Closing the window stops after the row in progress:
// the window hides at once and goes when that row's answer is in.
#include "files/filelistmodel.h"
#include "model/serverconn.h"

#include <QPointer>
#include <QSet>
#include <QWidget>

class QLabel;
class QPlainTextEdit;
class QPushButton;

class TFileDeleter : public QObject
{
    Q_OBJECT
public:
    explicit TFileDeleter(const TServerConn &conn, QObject *parent = nullptr);

    void Init(const TSelectedInfos &selectedInfo, qint32 ownerId, TFileListModel *fileListItem);
    // Starts with the last row; each answer sends the next request.
    void DeleteFiles();
    // Sends no further request; finished comes with the answer of the row in progress.
    void Stop() { m_stop = true; }
    bool Running() const { return m_next >= 0; }

    TSelectedInfos FSelectedInfo;
    qint32 FOwnerId = -1;
    QString WLS_DelOK;
    QStringList Log;
    QSet<qint64> DeletedFolders;

Q_SIGNALS:
    void logLine(const QString &line);
    void finished();

private:
    void deleteNext();
    TServerConn m_conn;
    QPointer<TFileListModel> FFileListItem;
    int m_next = -1;
    bool m_stop = false;
};

class TFileDelFrm : public QWidget
{
    Q_OBJECT
public:
    explicit TFileDelFrm(const TServerConn &conn, QWidget *parent = nullptr);

    void Init(const TSelectedInfos &selectedInfo, qint32 ownerId, TFileListModel *fileListItem);
    void DeleteFiles();
    TFileDeleter &Deleter() { return *m_deleter; }

    QLabel *lblHint = nullptr;
    QPlainTextEdit *mmLog = nullptr;
    QPushButton *btnClose = nullptr;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    TFileDeleter *m_deleter;
    bool m_closing = false;
};
