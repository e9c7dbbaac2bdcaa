#pragma once
// A small profile (ini) file of our own, read and written key by key like the
// desktop system's profile operations: every write goes to disk at once (the
// whole file replaced atomically), nothing is cached, a missing file reads as
// empty and the first write creates it. Section and key names match ignoring
// case; lines we do not understand survive every write. Unlike QSettings, values
// are kept verbatim (backslashes included).
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

class IniFile
{
public:
    explicit IniFile(const QString &fileName);

    QString fileName() const { return m_fileName; }

    // Empty (or def) when the file, the section or the key is missing.
    QString readString(const QString &section, const QString &key, const QString &def = {}) const;
    // Creates the section or key when missing. Refuses names or values that would
    // break the line layout (line breaks, a "]" in a section, "=" in a key).
    bool writeString(const QString &section, const QString &key, const QString &value, QString *error = nullptr);
    // Removes the section header and all of its keys; a missing section is not an error.
    bool eraseSection(const QString &section, QString *error = nullptr);
    // The section holds exactly these keys afterwards, in one write.
    bool replaceSection(const QString &section, const QList<QPair<QString, QString>> &entries, QString *error = nullptr);
    QStringList sections() const;

private:
    QStringList readLines() const;
    bool writeLines(const QStringList &lines, QString *error);

    QString m_fileName;
};
