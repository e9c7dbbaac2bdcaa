#pragma once
// One batch task and its tag text. The text is also the body of the
// download-list request, so its tag names and value forms are shared with the server.
#include "core/resultcodes.h"
#include "core/wiredate.h"

#include <QList>
#include <QString>

enum TFileOrFolder : quint8 { FF_File = 1, FF_Folder = 2 };

enum TBatchTaskState : quint8 {
    BTS_Unknown = 0,
    BTS_Init = 1,
    BTS_Running = 2,
    BTS_Paused = 3,
    BTS_Completed = 4,
    BTS_Waiting = 5,
    BTS_Error = 6,
    BTS_Deleted = 9,
};

struct TBatchTransport {
    qint32 Id = 0;
    TTranStyle TranStyle = TS_Default;
    quint8 FF = 0;
    qint32 DestOwnerId = 0;
    qint64 DestFolderId = 0;
    QString DestFolderName;
    qint32 SourceOwnerId = 0;
    qint64 SourceFolderId = 0;
    QString SourceFolderName;
    bool IsIncludeSubFolder = true;
    bool IsGetSummary = false;
    bool KeepClientNewFile = true;
    QString FilePrtParams;
    TDateTime FileStartDate = 0;
    TDateTime FileEndDate = 0;
    qint64 MinSize = 0;
    qint64 MaxSize = 0;
    QList<qint32> Types;
    quint8 St = BTS_Completed;
    TDateTime TaskStartTime = 0;
    double TaskCyc = -1.0;
    TDateTime RunStartTime = 0;
    TDateTime RunEndTime = 0;
    bool IncludeRootPath = false;
    quint8 SC = 0;
    QString ExtInfo;
};

// The shortest period the time rule can work with, in hours: shorter ones would
// round to zero minutes and divide by zero.
constexpr double kMinTaskCyc = 1.0 / 60.0;

// "YYMMDDHHMMSS" + the second again without a leading zero.
QString TaskTimeStamp(const QDateTime &now);
void NewBatchTransport(TBatchTransport &value, const QDateTime &now = QDateTime::currentDateTime());
QString BatchTransportToText(const TBatchTransport &value);
void TextToBatchTransport(const QString &text, TBatchTransport &value, TDateTime now = NowDateTime());
void TaskStateText(int state, THS_Language lang, QString &text);
QString TaskStateText(int state, THS_Language lang);
void TaskSummaryText(const TBatchTransport &value, THS_Language lang, QString &text);

// Time of day as stored ("hh:mm:ss"), and the reader that also takes the
// locale's form; nullopt when neither reads.
QString FormatTaskTime(TDateTime t);
std::optional<TDateTime> ParseTaskTime(const QString &text);
// "%2.2f" with "." always; the reader takes "." or ",". A period under one
// minute reads as one minute.
QString FormatTaskCyc(double hours);
double ParseTaskCyc(const QString &text);

// True when the task names both of its ends.
bool IsRunnableTask(const TBatchTransport &value);
