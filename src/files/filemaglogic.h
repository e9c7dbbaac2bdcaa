#pragma once
// Decisions of the file manager that need no window: where a preview goes,
// what a drop asks and uploads.
#include "core/webcmd.h"
#include "files/filetexts.h"

#include <QString>
#include <QStringList>

struct TPreviewRoute {
    bool HandOff = false;   // true: write Cmd into the hand-off file; false: open Url
    TWebCmd Cmd;            // code 13 with "[filekey]...[/ctparams]"
    QString Url;
};

// Types with their own viewer go to the web command dispatcher; the extension
// is matched case-sensitively. A name with "[" or "]" could close the name's tag
// and append its own print and copy rights, so it goes to the browser page.
// shownInClient: a viewer of this client shows the type, so it is handed over too.
TPreviewRoute PreviewRoute(qint64 fileKey, const QString &fileName, const QString &baseUrl, const QString &encryptId,
                           bool shownInClient = false);
bool IsHandOffPreviewExt(const QString &ext);

// Folders first (each new one on top), then files, as dropped.
QStringList OrderDroppedPaths(const QStringList &paths);
// The question before a drop upload: at most ten path lines, then "......".
QString DropQuestion(const TFileMagTexts &texts, const QStringList &paths);
// The folder holding the first dropped path (a trailing separator removed first).
QString DropSourceFolder(const QStringList &paths);
// Every dropped folder replaced in place by all files below it; blocking (disk).
QStringList ExpandDroppedFolders(const QStringList &paths);
