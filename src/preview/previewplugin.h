#pragma once
// The viewers (Qt Pdf, Qt Print Support with CUPS) live in a library the
// client loads at its first preview, so a resident client maps neither. The
// library takes the client's own classes from the client: the hint window and
// the window list it is handed exist once, in the client.
#include "model/serverconn.h"

#include <QString>

class TPreViewHint;
class TPreviewWindows;

struct TPreviewRun {
    TServerConn Conn;
    QString TempFolder;
    TPreViewHint *Hint = nullptr;
    TPreviewWindows *Windows = nullptr;
    QString RelationFile;   // FileTypeRelation.txt
    QString Command;        // the text of command 13
};

// Runs a preview command in the viewers, loading them first; false with
// *error when the command cannot be carried out or the viewers are missing.
bool RunPreviewCommand(const TPreviewRun &run, QString *error);

// The one entry point the viewers export. Another interface version answers
// false with no error, so an old library beside a new client is refused.
using TPreviewRunFn = bool (*)(int interfaceVersion, const TPreviewRun &run, QString *error);
inline constexpr char kPreviewRunSymbol[] = "zudivuvo_preview_run";
inline constexpr int kPreviewInterfaceVersion = 1;
// File name of the library without "lib" and ".so".
inline constexpr char kViewersPluginName[] = "zudivuvo_viewers";
