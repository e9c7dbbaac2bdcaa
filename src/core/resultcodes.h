#pragma once
#include <QString>

enum THS_Language { HSL_NONE = 0, HSL_ENG = 1, HSL_CN = 2 };
enum TTranStyle { TS_Default = 0, TS_Upload = 1, TS_Download = 2, TS_DataImport = 3 };

// The server's result codes by name, for the client and the reference server alike.
namespace rc {
constexpr int Unknown = 0;
constexpr int TimedOut = 2;            // also: the connection broke
constexpr int UploadOk = 3;
constexpr int Duplicate = 4;
constexpr int UserDisabled = 5;
constexpr int OutOfSpace = 6;
constexpr int IllegalUser = 7;         // the session or user id is not valid
constexpr int FileGone = 8;
constexpr int Refused = 9;             // a refusal without a text of its own
constexpr int DownloadOk = 10;
constexpr int CreateFileError = 11;
constexpr int OpenFileError = 12;
constexpr int NoPrivilege = 13;
constexpr int FileLocked = 14;
constexpr int OldVersion = 15;
constexpr int NoChange = 16;           // the server holds this very content already
constexpr int NotCheckedOut = 17;
constexpr int FolderGone = 18;
constexpr int LockedFileInside = 19;
constexpr int DuplicateFolder = 20;
constexpr int InvalidData = 21;
constexpr int UploadAudit = 24;
constexpr int FileDeleted = 25;
constexpr int DownloadAudit = 27;
constexpr int EditAudit = 29;          // stored; the new version waits for review
constexpr int EditAuditRunning = 30;
constexpr int ArchivedSameName = 31;
constexpr int ArchivedInside = 32;
constexpr int Archived = 33;
constexpr int TooLarge = 34;
constexpr int CheckOutFirst = 35;
constexpr int NoFolderPrivilege = 37;
constexpr int NoClassification = 38;
constexpr int NoParentFolder = 39;
constexpr int ServerOlder = 52;        // the local copy is newer: nothing was downloaded
constexpr int SaveFileError = 53;
constexpr int RecoveredFromRecycle = 55;  // stored: the copy in the recycle bin came back
constexpr int ForcedAudit = 60;
constexpr int TooManyDownloads = 61;
constexpr int NetworkOrData = 101;     // the client's own: a connection failure at once
constexpr int Other = 127;
}

// Leaves text untouched for an unknown code or a language other than Chinese/English.
void ResultCodeText(int code, int language, QString &text);
QString ResultCodeText(int code, int language);
