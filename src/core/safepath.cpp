#include "core/safepath.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

namespace {

bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

bool isReservedDeviceName(const QString &component)
{
    // "CON", "con.txt", "COM1.log": Windows opens the device whatever the extension.
    QString base = component.section(u'.', 0, 0).trimmed().toUpper();
    static const QStringList fixed{QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"),
                                   QStringLiteral("NUL"), QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
    if (fixed.contains(base))
        return true;
    if (base.size() == 4 && (base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT")))) {
        const QChar d = base.at(3);
        return d >= u'1' && d <= u'9';
    }
    return false;
}

bool checkComponent(const QString &c, const QString &whole, QString *error)
{
    bool onlyDotsAndBlanks = true;
    for (QChar ch : c) {
        if (ch != u'.' && ch != u' ') {
            onlyDotsAndBlanks = false;
            break;
        }
    }
    if (onlyDotsAndBlanks)
        return fail(error, QStringLiteral("The name \"%1\" given by the server contains the folder step \"%2\"; "
                                          "it would lead outside the chosen folder and was refused.")
                               .arg(whole, c));
    if (isReservedDeviceName(c))
        return fail(error, QStringLiteral("The name \"%1\" given by the server contains the reserved device "
                                          "name \"%2\" and was refused.")
                               .arg(whole, c));
    return true;
}

// The deepest part of path that exists, resolved through symbolic links, plus the
// rest appended lexically; empty when nothing of it exists.
QString canonicalPrefixed(const QString &path)
{
    QString existing = path;
    QString rest;
    while (!existing.isEmpty()) {
        const QFileInfo fi(existing);
        if (fi.exists()) {
            const QString canon = fi.canonicalFilePath();
            if (canon.isEmpty())
                return {};
            return rest.isEmpty() ? canon : QDir::cleanPath(canon + u'/' + rest);
        }
        const qsizetype slash = existing.lastIndexOf(u'/');
        if (slash <= 0)
            return {};
        rest = rest.isEmpty() ? existing.mid(slash + 1) : existing.mid(slash + 1) + u'/' + rest;
        existing = existing.left(slash);
    }
    return {};
}

// On Windows any ":" names a drive or a data stream. Elsewhere ":" is an ordinary
// character of names ("Minutes 10:30.txt"); only a leading drive form ("C:") is refused.
bool hasDriveOrStream(const QString &rel)
{
#ifdef Q_OS_WIN
    return rel.contains(u':');
#else
    return rel.size() >= 2 && rel.at(1) == u':' && rel.at(0).isLetter() && rel.at(0).unicode() < 0x80;
#endif
}

bool isStrictlyInside(const QString &root, const QString &path)
{
    QString r = root;
    if (!r.endsWith(u'/'))
        r += u'/';
    return path.size() > r.size() && path.startsWith(r);
}

} // namespace

bool IsSafeFileName(const QString &name)
{
    if (name.isEmpty() || name.contains(u'/') || name.contains(u'\\') || hasDriveOrStream(name))
        return false;
    for (QChar ch : name)
        if (ch.unicode() < 0x20 || ch.unicode() == 0x7F)
            return false;
    return checkComponent(name, name, nullptr);
}

std::optional<QString> SafeJoin(const QString &folder, const QString &untrustedRelative, QString *error)
{
    if (folder.trimmed().isEmpty()) {
        fail(error, QStringLiteral("No local folder was chosen for \"%1\".").arg(untrustedRelative));
        return std::nullopt;
    }
    const QString &rel = untrustedRelative;
    if (rel.isEmpty()) {
        fail(error, QStringLiteral("The server gave an empty file name; nothing was written."));
        return std::nullopt;
    }
    for (QChar ch : rel) {
        if (ch.unicode() < 0x20 || ch.unicode() == 0x7F) {
            fail(error, QStringLiteral("The name \"%1\" given by the server contains a control character "
                                       "(code %2) and was refused.")
                            .arg(QString(rel).replace(ch, u'?'))
                            .arg(ch.unicode()));
            return std::nullopt;
        }
    }
    if (rel.startsWith(u'/') || rel.startsWith(u'\\')) {
        fail(error, QStringLiteral("The name \"%1\" given by the server is an absolute path; only names "
                                   "inside the chosen folder are accepted.")
                        .arg(rel));
        return std::nullopt;
    }
    if (hasDriveOrStream(rel)) {
        fail(error, QStringLiteral("The name \"%1\" given by the server contains a drive letter or \":\" "
                                   "and was refused.")
                        .arg(rel));
        return std::nullopt;
    }
    QString normalised = rel;
    normalised.replace(u'\\', u'/');
    QStringList parts;
    for (const QString &c : normalised.split(u'/')) {
        if (c.isEmpty())
            continue;
        if (!checkComponent(c, rel, error))
            return std::nullopt;
        parts << c;
    }
    if (parts.isEmpty()) {
        fail(error, QStringLiteral("The server gave no usable file name in \"%1\".").arg(rel));
        return std::nullopt;
    }

    QString base = folder;
    base.replace(u'\\', u'/');
    base = QDir::cleanPath(QDir(base).absolutePath());
    const QString joined = QDir::cleanPath(base + u'/' + parts.join(u'/'));
    if (!isStrictlyInside(base, joined)) {
        fail(error, QStringLiteral("The name \"%1\" given by the server leads outside the folder \"%2\" and "
                                   "was refused.")
                        .arg(rel, base));
        return std::nullopt;
    }
    // A symbolic link inside the folder must not lead out of it either.
    const QString canonBase = canonicalPrefixed(base);
    const QString canonJoined = canonicalPrefixed(joined);
    if (!canonBase.isEmpty() && !canonJoined.isEmpty() && !isStrictlyInside(canonBase, canonJoined)) {
        fail(error, QStringLiteral("The name \"%1\" given by the server passes through a link that leads "
                                   "outside the folder \"%2\"; it was refused.")
                        .arg(rel, base));
        return std::nullopt;
    }
    return joined;
}
