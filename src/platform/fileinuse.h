#pragma once
// "Is this file still open in an editor?" Linux has no exclusive open to try,
// so the answer comes from what editors leave behind: the process we started,
// the lock files of the office suites and of vim and emacs beside the file,
// and the open descriptors of the user's processes.
#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace FileInUse {

enum class Signal {
    None,            // nobody holds the file
    Missing,         // the file is not there (an editor may be replacing it)
    EditorRunning,   // the editor process we started still runs
    OfficeLock,      // LibreOffice's ".~lock.NAME#"
    OtherSuiteLock,  // "~$NAME" of other office suites
    EditorSwap,      // vim's ".NAME.swp" or emacs' ".#NAME"
    EditorWindow,    // a window of another program shows the file's name
    OpenDescriptor,  // a process of the user has the file open
};

struct ProcessInfo {
    qint64 Pid = 0;
    QString Name;       // as in /proc/<pid>/comm
    QStringList Args;   // read for office programs only
};
// The user's processes; tests give a list of their own.
using ProcessLister = std::function<QList<ProcessInfo>()>;

// Titles of the visible top-level windows; tests give a list of their own.
using WindowLister = std::function<QStringList()>;

struct Probe {
    QList<qint64> EditorPids;   // processes started for this file
    ProcessLister Processes;    // empty: the user's processes from /proc
    // Texts a window title shows while a program has the file open (its name,
    // its base name); compared ignoring case. Empty: no window search.
    QStringList WindowTexts;
    QStringList OwnTitles;      // our own windows never count
    WindowLister Windows;       // empty: the X11 windows, through xdotool
};

// What the checks read of the whole machine, each part read on first need
// through the probe's listers and kept: one pass over many files scans the
// processes, their descriptors and the windows once.
struct Snapshot {
    std::optional<QList<ProcessInfo>> Processes;
    std::optional<QSet<QByteArray>> OpenFiles;  // where the descriptors of those processes (ours excepted) lead
    std::optional<QStringList> Windows;
};

// The first signal that says the file is held, or None. Reads only small files
// and /proc; may take a few milliseconds with many processes.
Signal Check(const QString &path, const Probe &probe = {});
// The same against a snapshot shared by several checks.
Signal Check(const QString &path, const Probe &probe, Snapshot &snapshot);
// Does a window title show text (a file name or base name) as a whole name,
// not as a part of a longer one? Ignores case.
bool TitleShows(const QString &title, const QString &text);
inline bool InUse(Signal s) { return s != Signal::None; }
QString SignalName(Signal s);

QList<ProcessInfo> UserProcesses();
// Visible window titles on X11 (empty without a display or xdotool).
QStringList VisibleWindowTitles();
bool IsProcessAlive(qint64 pid);
// LibreOffice's lock file name for a document.
QString OfficeLockName(const QString &path);

} // namespace FileInUse
