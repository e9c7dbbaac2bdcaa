#include "versions/inifile.h"

#include "core/textfile.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>

namespace {

// Every read-modify-write of any profile file of this process runs under one lock,
// so a check-out on a worker and an edit session never lose each other's entry.
QMutex &writeMutex()
{
    static QMutex m;
    return m;
}

// "[name]" (blanks around allowed) gives name; anything else gives a null string.
QString sectionOf(const QString &line)
{
    const QString t = line.trimmed();
    if (t.size() < 2 || !t.startsWith(u'[') || !t.endsWith(u']'))
        return {};
    return t.mid(1, t.size() - 2).trimmed();
}

bool isComment(const QString &line)
{
    const QString t = line.trimmed();
    return t.startsWith(u';') || t.startsWith(u'#');
}

// The key of a "key=value" line, or a null string.
QString keyOf(const QString &line)
{
    if (isComment(line))
        return {};
    const qsizetype eq = line.indexOf(u'=');
    if (eq < 0)
        return {};
    return line.left(eq).trimmed();
}

QString valueOf(const QString &line)
{
    QString v = line.mid(line.indexOf(u'=') + 1).trimmed();
    // The profile operations drop one pair of enclosing quotes.
    if (v.size() >= 2 && ((v.startsWith(u'"') && v.endsWith(u'"')) || (v.startsWith(u'\'') && v.endsWith(u'\''))))
        v = v.mid(1, v.size() - 2);
    return v;
}

// The form to store: the reader trims a value and drops one pair of enclosing quotes,
// so a value it would change is stored in quotes (as the profile operations read it).
QString storedValue(const QString &value)
{
    const bool quoted = value.size() >= 2 && ((value.startsWith(u'"') && value.endsWith(u'"'))
                                              || (value.startsWith(u'\'') && value.endsWith(u'\'')));
    return quoted || value != value.trimmed() ? u'"' + value + u'"' : value;
}

bool sameName(const QString &a, const QString &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// [begin, end) of the first section named section: begin is its header line.
bool findSection(const QStringList &lines, const QString &section, qsizetype &begin, qsizetype &end)
{
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString name = sectionOf(lines[i]);
        if (name.isNull() || !sameName(name, section))
            continue;
        begin = i;
        end = i + 1;
        while (end < lines.size() && sectionOf(lines[end]).isNull())
            ++end;
        return true;
    }
    return false;
}

bool hasLineBreak(const QString &s)
{
    return s.contains(u'\r') || s.contains(u'\n') || s.contains(QChar(0));
}

}  // namespace

IniFile::IniFile(const QString &fileName)
    : m_fileName(fileName)
{
}

QStringList IniFile::readLines() const
{
    QString text = ReadTextFile(m_fileName);
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(u'\r', u'\n');
    QStringList lines = text.split(u'\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

bool IniFile::writeLines(const QStringList &lines, QString *error)
{
    QString text;
    for (const QString &line : lines)
        text += line + QLatin1String("\r\n");
    // UTF-8 with its mark: any name of any language survives, and the reader knows it.
    // An emptied file stays empty (a lone mark is too short to be recognised).
    const QByteArray bytes = text.isEmpty() ? QByteArray() : QByteArray("\xEF\xBB\xBF") + text.toUtf8();
    return WriteFileAtomic(m_fileName, bytes, error, true);
}

QString IniFile::readString(const QString &section, const QString &key, const QString &def) const
{
    const QStringList lines = readLines();
    qsizetype begin = 0, end = 0;
    if (!findSection(lines, section, begin, end))
        return def;
    for (qsizetype i = begin + 1; i < end; ++i) {
        const QString k = keyOf(lines[i]);
        if (!k.isNull() && sameName(k, key))
            return valueOf(lines[i]);
    }
    return def;
}

namespace {
bool storable(const QString &s, const QString &k, const QString &value)
{
    return !(s.isEmpty() || k.isEmpty() || hasLineBreak(s) || hasLineBreak(k) || hasLineBreak(value) || s.contains(u']')
             || k.contains(u'=') || k.startsWith(u'[') || k.startsWith(u';'));
}
} // namespace

bool IniFile::replaceSection(const QString &section, const QList<QPair<QString, QString>> &entries, QString *error)
{
    const QString s = section.trimmed();
    for (const auto &[key, value] : entries)
        if (!storable(s, key.trimmed(), value)) {
            if (error)
                *error = QStringLiteral("Cannot store \"%1\" in section \"%2\" of %3").arg(key.trimmed(), s, m_fileName);
            return false;
        }
    QMutexLocker lock(&writeMutex());
    QStringList lines = readLines();
    QStringList block{u'[' + s + u']'};
    for (const auto &[key, value] : entries)
        block << key.trimmed() + u'=' + storedValue(value);
    // The section keeps its place; copies of it further down go.
    qsizetype begin = 0, end = 0;
    qsizetype at = -1;
    while (findSection(lines, s, begin, end)) {
        lines.remove(begin, end - begin);
        if (at < 0)
            at = begin;
    }
    if (at < 0)
        at = lines.size();
    for (qsizetype i = 0; i < block.size(); ++i)
        lines.insert(at + i, block.at(i));
    return writeLines(lines, error);
}

bool IniFile::writeString(const QString &section, const QString &key, const QString &value, QString *error)
{
    const QString s = section.trimmed();
    const QString k = key.trimmed();
    if (!storable(s, k, value)) {
        if (error)
            *error = QStringLiteral("Cannot store \"%1\" in section \"%2\" of %3").arg(k, s, m_fileName);
        return false;
    }
    QMutexLocker lock(&writeMutex());
    QStringList lines = readLines();
    const QString entry = k + u'=' + storedValue(value);
    qsizetype begin = 0, end = 0;
    if (!findSection(lines, s, begin, end)) {
        lines << u'[' + s + u']' << entry;
        return writeLines(lines, error);
    }
    qsizetype lastKey = begin;
    for (qsizetype i = begin + 1; i < end; ++i) {
        const QString lineKey = keyOf(lines[i]);
        if (lineKey.isNull())
            continue;
        if (sameName(lineKey, k)) {
            lines[i] = entry;
            return writeLines(lines, error);
        }
        lastKey = i;
    }
    lines.insert(lastKey + 1, entry);
    return writeLines(lines, error);
}

bool IniFile::eraseSection(const QString &section, QString *error)
{
    QMutexLocker lock(&writeMutex());
    QStringList lines = readLines();
    bool changed = false;
    qsizetype begin = 0, end = 0;
    // A hand-edited file may repeat a section: every copy goes.
    while (findSection(lines, section.trimmed(), begin, end)) {
        lines.remove(begin, end - begin);
        changed = true;
    }
    return !changed || writeLines(lines, error);
}

QStringList IniFile::sections() const
{
    QStringList out;
    for (const QString &line : readLines()) {
        const QString name = sectionOf(line);
        if (!name.isNull())
            out << name;
    }
    return out;
}
