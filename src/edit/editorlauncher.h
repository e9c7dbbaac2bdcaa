#pragma once
// Starts the program that edits a downloaded copy: LibreOffice (or WPS) for
// office documents, the desktop's associated program for the rest. Always an
// argument list, never a shell, and never for a file that could run as a
// program. The editor is detached: it outlives the client, so exiting never
// takes the user's unsaved work with it.
#include <QString>
#include <QStringList>

namespace EditorLauncher {

struct Started {
    bool Ok = false;
    qint64 Pid = 0;      // 0 when the desktop started it for us
    QString Error;
};

// Types that open in an office suite.
bool IsOfficeType(const QString &extWithoutDot);
// The office program for a type, or empty when no suite is installed.
QString OfficeProgram(const QString &extWithoutDot);
Started Open(const QString &path, bool chinese);

// Deployments and tests may name the editor themselves: program, then its
// fixed arguments, then the file's path.
void SetEditorOverride(const QString &program, const QStringList &leadingArgs);

} // namespace EditorLauncher
