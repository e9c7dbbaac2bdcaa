#pragma once
// Turns office documents (and whatever else LibreOffice imports) into PDF with
// LibreOffice run headless: a private profile per run, so a running LibreOffice
// of the user neither takes the job nor sees the file; an argument list, no
// shell; a time-out that ends the whole process group. No windows here: the
// preview and the editors call it from worker threads.
#include <QString>
#include <QStringList>

#include <atomic>

struct TConversionResult {
    bool Ok = false;
    bool TimedOut = false;
    QString OutputPath;   // the converted file when Ok
    QString Error;        // what went wrong, for the log and the hint window
};

class TOfficeConverter
{
public:
    // The LibreOffice program, or empty when LibreOffice is not installed.
    static QString FindSoffice();

    explicit TOfficeConverter(const QString &soffice = FindSoffice());
    bool IsAvailable() const { return !m_soffice.isEmpty(); }
    QString Program() const { return m_soffice; }

    int TimeoutMs = 120000;
    // Where bubblewrap is installed, LibreOffice runs without network and sees
    // the file system read-only but for its own folders.
    bool Sandbox = true;

    // The sandbox program, or empty when it is not installed.
    static QString FindBwrap();
    // The program and arguments that run soffice with args: inside the sandbox
    // when bwrap is given, with the writable folders bound.
    static QStringList SandboxArguments(const QString &bwrap, const QString &profile,
                                        const QStringList &writableFolders, const QString &program);
    // Seeds a fresh profile so documents never run macros and never fetch
    // what they link to. False when the profile cannot be written.
    static bool SeedProfile(const QString &profile);

    // Blocking: never on the GUI thread. Converts source into outDir (created
    // when missing) as format ("pdf", "docx", ...). The profile lives in a fresh
    // folder under workDir and is removed afterwards. A set cancel flag ends
    // the run within a fifth of a second.
    TConversionResult Convert(const QString &source, const QString &outDir, const QString &workDir,
                              const QString &format = QStringLiteral("pdf"),
                              const std::atomic<bool> *cancel = nullptr) const;

private:
    QString m_soffice;
};

// Converted copies kept by file key and content, so a second preview of the same
// version needs no conversion. The folder is private to the user; Clear() empties it.
class TConversionCache
{
public:
    explicit TConversionCache(const QString &folder);
    // The cached PDF of this file's content, or empty.
    QString Lookup(qint64 fileKey, const QString &source) const;
    // Moves pdf into the cache; returns its new path (pdf itself when it cannot be kept).
    // The folder is made private to the user first.
    QString Store(qint64 fileKey, const QString &source, const QString &pdf) const;
    // Forgets this file's content.
    void Remove(qint64 fileKey, const QString &source) const;
    void Clear() const;
    QString Folder() const { return m_folder; }

    static QString ContentId(const QString &path);

private:
    QString nameFor(qint64 fileKey, const QString &source) const;
    QString m_folder;
};
