#pragma once
// The files a user copied in the desktop's file manager, as the clipboard
// carries them: a URI list, GNOME's "copy"/"cut" form, or file URIs as text.
#include <QStringList>

class QMimeData;

namespace ClipboardFiles {
// Local paths in the order copied; anything that is not a local file is left out.
QStringList Paths(const QMimeData *data);
// The clipboard's file list now (GUI thread).
QStringList Read();
// Empties the system clipboard (GUI thread).
void Clear();
// Puts a file list on the clipboard the way file managers do (tests, screenshots).
void Write(const QStringList &paths);
} // namespace ClipboardFiles
