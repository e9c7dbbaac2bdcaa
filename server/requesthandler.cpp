#include "requesthandler.h"

#include "batchrequests.h"
#include "propertypage.h"

#include "core/aes.h"
#include "core/helpers.h"
#include "core/resultcodes.h"
#include "core/tagtext.h"
#include "core/wiredate.h"

#include <QLoggingCategory>
#include <QStringTokenizer>
#include <QSet>
#include <QXmlStreamWriter>
#include <functional>

Q_LOGGING_CATEGORY(lcRequest, "zudivuvo.server.request")

namespace {
constexpr quint8 kOk = 80;     // "P"
constexpr quint8 kText = 60;   // "<"
constexpr quint8 kLogin = 86;  // "V"
constexpr quint8 kNoUnread = 78;

Reply code(int value, quint8 status = kOk)
{
    return Reply{status, QString::number(value), 0};
}

bool tagBool(const QString &text, const QString &tag)
{
    const QString v = GetTagValue(text, tag).toLower();
    return v == QLatin1String("true") || v == QLatin1String("1") || v == QLatin1String("-1");
}

qint64 tagInt64(const QString &text, const QString &tag)
{
    return StrToInt64Def(GetTagValue(text, tag), 0);
}

int langOf(const QString &text)
{
    const int lang = StrToIntDef(GetTagValue(text, QStringLiteral("language")), 0);
    return lang == 1 || lang == 2 ? lang : -1;
}

QString ResultCodeTextFor(int rc, int lang)
{
    const QString text = ResultCodeText(rc, lang == 1 ? HSL_ENG : HSL_CN);
    return text.isEmpty() ? QString::number(rc) : text;
}

// Owner names head the client's local paths: keep them usable as a folder name.
QString pathSafeName(QString name)
{
    for (QChar &c : name) {
        if (c.unicode() < 32 || QStringLiteral("\\/:*?\"<>|").contains(c))
            c = u'_';
    }
    return name.isEmpty() ? QStringLiteral("_") : name;
}

QString relativeFolderPath(const QList<FolderInfo> &chain)
{
    QString path;
    for (const FolderInfo &f : chain)
        path += f.name + u'/';
    return path;
}
} // namespace

QString serverText(int lang, const char *english, const char *chinese)
{
    return lang == 1 ? QString::fromUtf8(english) : QString::fromUtf8(chinese);
}

int RequestHandler::auth(const QString &text, SessionInfo &session)
{
    return m_store.resolveSession(GetTagValue(text, QStringLiteral("EncryptCode")), session, langOf(text));
}

int RequestHandler::downloadCheck(Store &store, const SessionInfo &session, qint64 key, FileInfo *out)
{
    const auto f = store.file(key);
    if (!f)
        return 8;
    if (f->deleted)
        return 25;
    if (!store.canAccess(session.user, f->ownerId))
        return 13;
    if (f->sc > session.user.clearance)
        return 38;
    if (out)
        *out = *f;
    return 0;
}

Reply RequestHandler::handle(const FramedRequest &request)
{
    const QString &text = request.text;
    switch (request.head.TranType) {
    case 0:
    case 22:
    case 44:
        return Reply{kOk, {}, 0};
    case 39:
        return Reply{kOk, QStringLiteral("[UploadLimitB]%1[/UploadLimitB][UploadLimitT]%2[/UploadLimitT]")
                              .arg(m_store.setting(QStringLiteral("upload_limit_b"), QStringLiteral("0")),
                                   m_store.setting(QStringLiteral("upload_limit_t"), QStringLiteral("0"))), 0};
    case 68: {
        // Both answers in every reply: the client asks twice and reads one each time.
        const int mb = qMax(1, m_store.setting(QStringLiteral("max_upload_mb"), QStringLiteral("200")).toInt());
        return Reply{kOk, QStringLiteral("[Count]1[/Count][Type0]42[/Type0]"), mb};
    }
    case 109:
        return Reply{kOk, QStringLiteral("[Space]%1[/Space]").arg(m_store.setting(QStringLiteral("poll_seconds"), QStringLiteral("60"))), 0};
    case 84:
        return login(text);
    case 90:
        return organisation(text);
    case 69:
        return subFolders(request);
    case 64:
        return ownerFolders(request);
    case 65:
        return folderFiles(text);
    case 40:
        return listFolder(text, false, false);
    case 35:
        return listFolder(text, false, true);
    case 47:
        return listFolder(text, true, false);
    case 63:
        return newestVersions(text);
    case 41:
        return createFolderLines(text);
    case 66: {
        SessionInfo s;
        const int rc = auth(text, s);
        return batchDownloadList(m_store, s, rc, text);
    }
    case 78:
        return serverPath(text);
    case 49:
        return fileDescription(text, false);
    case 50:
        return fileDescription(text, true);
    case 72:
        return fileName(text);
    case 75:
        return lockFile(text, false);
    case 76:
        return lockFile(text, true);
    case 142:
        return deleteFolder(text);
    case 144:
        return deleteFile(text);
    case 108:
        return messages(text);
    case 79:
        return createFolder(text);
    case 51: {
        SessionInfo s;
        if (const int rc = auth(text, s))
            return code(rc);
        return code(RequestHandler::downloadCheck(m_store, s, tagInt64(text, QStringLiteral("fileKey"))) ?: 10);
    }
    case 52: {
        SessionInfo s;
        const qint64 key = tagInt64(text, QStringLiteral("fileKey"));
        if (auth(text, s) != 0 || downloadCheck(m_store, s, key) != 0)
            return Reply{kOk, {}, 0};
        const auto v = m_store.version(key);
        if (!v)
            return Reply{kOk, {}, 0};
        return Reply{kOk, QStringLiteral("[Dt]%1[/Dt][Size]%2[/Size]").arg(FormatWireDateTime(TicksToDateTime(v->ticks))).arg(v->size), 0};
    }
    case 77: {
        // The client raises on a non-number: always a number, 0 when unknown.
        SessionInfo s;
        const qint64 key = tagInt64(text, QStringLiteral("FileKey"));
        if (auth(text, s) != 0 || downloadCheck(m_store, s, key) != 0)
            return Reply{kOk, QStringLiteral("0"), 0};
        const auto v = m_store.version(key);
        return Reply{kOk, QString::number(v ? v->ticks : 0), 0};
    }
    case 46:
        return Reply{kOk, QStringLiteral("0"), 0};
    case 53: {
        SessionInfo s;
        const qint64 key = tagInt64(text, QStringLiteral("Filekey"));
        // Only files the user may open: the records must not tell of prints that could not happen.
        if (auth(text, s) == 0 && downloadCheck(m_store, s, key) == 0) {
            const int opr = StrToIntDef(GetTagValue(text, QStringLiteral("Opr")), 0);
            m_store.log(s.user.id, opr == 62 ? QStringLiteral("print") : QStringLiteral("print preview"), key);
        }
        return Reply{kOk, {}, 0};
    }
    case 54: {
        SessionInfo s;
        if (auth(text, s) != 0)
            return code(7);
        const QString keyText = GetTagValue(text, QStringLiteral("Key"));
        qint64 key = StrToInt64Def(keyText, 0);
        if (key == 0)
            key = StrToInt64Def(DecryptWithAppKey(keyText, AKS_256), 0);
        const QString ext = GetTagValue(text, QStringLiteral("ExtInfo"));
        if (downloadCheck(m_store, s, key) != 0 || GetTagValue(ext, QStringLiteral("Opr")) != QLatin1String("Remark"))
            return code(8);
        if (!m_store.db().run(QStringLiteral("UPDATE versions SET remark=? WHERE file_key=? AND ver=(SELECT MAX(ver) FROM versions WHERE file_key=?)"),
                              {GetTagValue(ext, QStringLiteral("Remark")), key, key}))
            return code(53);
        return code(1);
    }
    case 74: {
        SessionInfo s;
        if (auth(text, s) == 0) {
            const int owner = StrToIntDef(GetTagValue(text, QStringLiteral("OwnerId")), 0);
            if (m_store.isGroup(owner) && m_store.canAccess(s.user, owner)) {
                m_store.db().run(QStringLiteral("INSERT INTO messages(user_id, text, created) SELECT user_id, ?, ? FROM memberships WHERE group_id=? AND user_id<>?"),
                                 {QStringLiteral("%1 uploaded new files to %2").arg(s.user.name, m_store.ownerName(owner)), NowDateTime(), owner, s.user.id});
            }
        }
        return Reply{kOk, {}, 0};
    }
    case 33: {
        SessionInfo s;
        if (const int rc = auth(text, s))
            return code(rc, 7);
        QStringList ids;
        for (int g : m_store.groupsOf(s.user.id))
            ids << QString::number(g);
        return Reply{kOk, ids.join(u','), 0};
    }
    case 92: {
        SessionInfo s;
        if (const int rc = auth(text, s))
            return code(rc, 7);
        QString lines;
        for (int g : m_store.groupsOf(s.user.id))
            lines += QStringLiteral("%1*%2\r\n").arg(g).arg(m_store.ownerName(g));
        return Reply{kOk, lines, 0};
    }
    case 48: {
        SessionInfo s;
        if (const int rc = auth(text, s))
            return code(rc, 7);
        QString lines;
        QSqlQuery q = m_store.db().exec(QStringLiteral("SELECT id, name, email, core_id FROM owners WHERE kind='U' ORDER BY id"));
        while (q.next())
            lines += QStringLiteral("%1*%2*%3*%4\r\n").arg(q.value(0).toString(), q.value(1).toString(), q.value(2).toString(), q.value(3).toString());
        return Reply{kOk, lines, 0};
    }
    case 37: {
        SessionInfo s;
        FileInfo f;
        const qint64 key = tagInt64(text, QStringLiteral("Key"));
        if (auth(text, s) != 0 || downloadCheck(m_store, s, key, &f) != 0)
            return Reply{kOk, {}, 0};
        const auto v = m_store.version(key);
        return Reply{kOk, QStringLiteral("[Name]%1[/Name][Size]%2[/Size][DT]%3[/DT][Kind]%4[/Kind][OwnerId]%5[/OwnerId][FolderId]%6[/FolderId][Version]%7[/Version]")
                              .arg(f.name).arg(v ? v->size : 0).arg(FormatWireDateTime(TicksToDateTime(v ? v->ticks : 0)))
                              .arg(f.kind).arg(f.ownerId).arg(f.folderId).arg(v ? v->ver : 0), 0};
    }
    case 38: {
        // Sent without a session: the count of a group's files and nothing else, so
        // it tells neither whether a user exists nor how much a user keeps.
        const int group = StrToIntDef(GetTagValue(text, QStringLiteral("GroupID")), 0);
        return Reply{kOk, m_store.db().value(QStringLiteral("SELECT COUNT(*) FROM files f JOIN owners o ON o.id=f.owner_id"
                                                            " WHERE f.owner_id=? AND o.kind='G' AND f.deleted=0"), {group}, 0).toString(), 0};
    }
    case 42: {
        SessionInfo s;
        const int owner = StrToIntDef(GetTagValue(text, QStringLiteral("OwnerId")), 0);
        if (auth(text, s) != 0 || !m_store.canAccess(s.user, owner))
            return Reply{13, serverText(s.lang, "No privilege", "没有权限"), 0};
        QString lines;
        QSqlQuery q = m_store.db().exec(QStringLiteral("SELECT id, description FROM folders WHERE owner_id=? AND deleted=0 AND description<>''"), {owner});
        while (q.next())
            lines += QStringLiteral("%1*%2\r\n").arg(q.value(0).toString(), q.value(1).toString());
        return Reply{kOk, lines, 0};
    }
    case 73:
        return Reply{kOk, QStringLiteral("0"), 0};
    case 45:
        return fileProperties(text);
    case 36:
        return Reply{kOk, {}, 0};
    default:
        // Unknown requests get an empty answer rather than a dropped connection.
        return Reply{0, {}, 0};
    }
}

Reply RequestHandler::login(const QString &text)
{
    UserInfo u;
    const int rc = checkLoginThrottled(m_store, m_peer, GetTagValue(text, QStringLiteral("Name")), GetTagValue(text, QStringLiteral("PassWord"), false), u);
    if (rc == 82)
        return Reply{82, serverText(langOf(text), "Wrong user name or password.", "用户名或密码错误。"), 0};
    if (rc == 88)
        return Reply{88, serverText(langOf(text), "The user account is disabled.", "该用户已被禁用。"), 0};
    const QString token = m_store.createSession(u.id);
    m_store.log(u.id, QStringLiteral("login"), 0, GetTagValue(text, QStringLiteral("BindingIp")));
    return Reply{kLogin, QStringLiteral("[UserName]%1[/UserName][UserId]%2[/UserId][UserId2]%3[/UserId2]").arg(u.name, token).arg(u.id), 0};
}

Reply RequestHandler::organisation(const QString &text)
{
    SessionInfo s;
    if (const int rc = auth(text, s))
        return Reply{quint8(rc), ResultCodeTextFor(rc, s.lang), 0};
    QString out;
    QXmlStreamWriter w(&out);
    w.writeStartElement(QStringLiteral("Org"));
    const double now = NowDateTime();
    std::function<void(int, int)> writeGroup = [&](int id, int depth) {
        w.writeStartElement(QStringLiteral("GroupItem"));
        w.writeAttribute(QStringLiteral("Name"), m_store.ownerName(id));
        w.writeAttribute(QStringLiteral("Id"), QString::number(id));
        w.writeStartElement(QStringLiteral("Members"));
        QSqlQuery q = m_store.db().exec(QStringLiteral("SELECT o.id, o.name, o.email, o.core_id, o.last_seen FROM memberships m JOIN owners o ON o.id=m.user_id"
                                                       " WHERE m.group_id=? ORDER BY o.sort, o.name"), {id});
        while (q.next()) {
            w.writeStartElement(QStringLiteral("User"));
            w.writeAttribute(QStringLiteral("Id"), q.value(0).toString());
            w.writeAttribute(QStringLiteral("Name"), q.value(1).toString());
            w.writeAttribute(QStringLiteral("Email"), q.value(2).toString());
            w.writeAttribute(QStringLiteral("CoreId"), q.value(3).toString());
            w.writeAttribute(QStringLiteral("BindingIp"), QString());
            if (!q.value(4).isNull() && q.value(4).toDouble() <= now)
                w.writeAttribute(QStringLiteral("LasterLoginTm"), FormatWireDateTime(q.value(4).toDouble()));
            w.writeEndElement();
        }
        w.writeEndElement();
        w.writeStartElement(QStringLiteral("Childs"));
        QList<int> children;
        QSqlQuery c = m_store.db().exec(QStringLiteral("SELECT id FROM owners WHERE kind='G' AND parent_id=? ORDER BY sort, name"), {id});
        while (c.next())
            children << c.value(0).toInt();
        if (depth < 32) {
            for (int child : children)
                writeGroup(child, depth + 1);
        }
        w.writeEndElement();
        w.writeEndElement();
    };
    // Several root groups are wrapped in one, as the client reads only the first.
    QList<int> roots;
    QSqlQuery r = m_store.db().exec(QStringLiteral("SELECT id FROM owners WHERE kind='G' AND parent_id IS NULL ORDER BY id"));
    while (r.next())
        roots << r.value(0).toInt();
    if (!roots.isEmpty())
        writeGroup(roots.first(), 0);
    w.writeEndElement();
    return Reply{kOk, out, 0};
}

Reply RequestHandler::subFolders(const FramedRequest &request)
{
    SessionInfo s;
    if (const int rc = auth(request.text, s))
        return Reply{quint8(rc), ResultCodeTextFor(rc, s.lang), 0};
    const int owner = request.head.FreeInt;
    const qint64 parent = request.head.FreeInt2 <= 1 ? 0 : request.head.FreeInt2;
    if (!m_store.canAccess(s.user, owner))
        return Reply{13, serverText(s.lang, "No privilege", "没有权限"), 0};
    if (parent != 0) {
        const auto f = m_store.folder(parent);
        if (!f || f->ownerId != owner)
            return Reply{18, serverText(s.lang, "The folder doesn't exist.", "文件夹不存在。"), 0};
    }
    QString out;
    QXmlStreamWriter w(&out);
    w.writeStartElement(QStringLiteral("Folders"));
    for (const FolderInfo &f : m_store.subFolders(owner, parent)) {
        w.writeStartElement(QStringLiteral("Folder"));
        w.writeAttribute(QStringLiteral("Id"), QString::number(f.id));
        w.writeAttribute(QStringLiteral("ChildNum"), QString::number(m_store.childCount(f.id)));
        w.writeTextElement(QStringLiteral("Path"), f.name);
        w.writeEndElement();
    }
    w.writeEndElement();
    return Reply{kOk, out, 0};
}

Reply RequestHandler::ownerFolders(const FramedRequest &request)
{
    SessionInfo s;
    if (const int rc = auth(request.text, s))
        return Reply{quint8(rc), ResultCodeTextFor(rc, s.lang), 0};
    const int owner = request.head.FreeInt;
    if (!m_store.canAccess(s.user, owner))
        return Reply{13, serverText(s.lang, "No privilege", "没有权限"), 0};
    QString out;
    QXmlStreamWriter w(&out);
    std::function<void(qint64, int)> writeChilds = [&](qint64 parent, int depth) {
        w.writeStartElement(QStringLiteral("Childs"));
        if (depth < 64) {
            for (const FolderInfo &f : m_store.subFolders(owner, parent)) {
                w.writeStartElement(QStringLiteral("Folder"));
                w.writeAttribute(QStringLiteral("Id"), QString::number(f.id));
                w.writeTextElement(QStringLiteral("Path"), f.name);
                writeChilds(f.id, depth + 1);
                w.writeEndElement();
            }
        }
        w.writeEndElement();
    };
    w.writeStartElement(QStringLiteral("Root"));
    w.writeStartElement(QStringLiteral("Item"));
    writeChilds(0, 0);
    w.writeEndElement();
    w.writeEndElement();
    return Reply{kOk, out, 0};
}

Reply RequestHandler::folderFiles(const QString &text)
{
    SessionInfo s;
    if (const int rc = auth(text, s))
        return Reply{quint8(rc), ResultCodeTextFor(rc, s.lang), 0};
    const qint64 folderId = tagInt64(text, QStringLiteral("FolderId"));
    const auto folder = m_store.folder(folderId);
    if (!folder)
        return Reply{18, serverText(s.lang, "The folder doesn't exist.", "文件夹不存在。"), 0};
    if (!m_store.canAccess(s.user, folder->ownerId))
        return Reply{13, serverText(s.lang, "No privilege", "没有权限"), 0};
    const QString path = u'/' + relativeFolderPath(m_store.folderChain(folderId));
    QString out;
    QXmlStreamWriter w(&out);
    w.writeStartElement(QStringLiteral("Files"));
    for (const FileInfo &f : m_store.filesIn(folderId)) {
        // Above the user's classification: not even the name, as in every other listing.
        if (f.sc > s.user.clearance)
            continue;
        const auto v = m_store.version(f.key);
        w.writeStartElement(QStringLiteral("File"));
        w.writeAttribute(QStringLiteral("Id"), QString::number(f.key));
        w.writeAttribute(QStringLiteral("Size"), QString::number(v ? v->size : 0));
        w.writeAttribute(QStringLiteral("DT"), FormatWireDateTime(TicksToDateTime(v ? v->ticks : 0)));
        w.writeAttribute(QStringLiteral("Kind"), QString::number(f.kind));
        w.writeCharacters(path + f.name);
        w.writeEndElement();
    }
    w.writeEndElement();
    return Reply{kOk, out, 0};
}

Reply RequestHandler::listFolder(const QString &text, bool foldersOnly, bool filesOnly)
{
    const QString noPower = QStringLiteral("no power");
    SessionInfo s;
    if (auth(text, s) != 0)
        return Reply{kOk, noPower, 0};
    const int owner = StrToIntDef(GetTagValue(text, QStringLiteral("OwnerId")), 0);
    qint64 folderId = tagInt64(text, QStringLiteral("FolderId"));
    if (folderId == 1)
        folderId = 0;
    if (!m_store.canAccess(s.user, owner))
        return Reply{kOk, noPower, 0};
    if (folderId != 0) {
        const auto f = m_store.folder(folderId);
        if (!f || f->ownerId != owner)
            return Reply{kOk, noPower, 0};
    }
    const bool withSize = tagBool(text, QStringLiteral("IsIncludeSize"));
    QString out;
    if (!filesOnly) {
        QList<FolderInfo> folders = m_store.subFolders(owner, folderId);
        // The file manager inserts each folder row at the top: descending here shows ascending there.
        std::reverse(folders.begin(), folders.end());
        const qint64 ticks = DateTimeToTicks(NowDateTime());
        for (const FolderInfo &f : folders) {
            const double created = m_store.db().value(QStringLiteral("SELECT created FROM folders WHERE id=?"), {f.id}, 0).toDouble();
            out += QStringLiteral("%1*%2*%3**True").arg(f.id).arg(created > 0 ? DateTimeToTicks(created) : ticks).arg(f.name);
            out += withSize ? QStringLiteral("*0\r\n") : QStringLiteral("\r\n");
        }
    }
    if (!foldersOnly && folderId != 0) {
        for (const FileInfo &f : m_store.filesIn(folderId)) {
            if (f.sc > s.user.clearance)
                continue;
            const auto v = m_store.version(f.key);
            const auto l = m_store.lock(f.key);
            out += QStringLiteral("%1*%2*%3*%4*False").arg(f.key).arg(v ? v->ticks : 0).arg(f.name, l ? l->userName : QString());
            out += withSize ? QStringLiteral("*%1\r\n").arg(v ? v->size : 0) : QStringLiteral("\r\n");
        }
    }
    return Reply{kOk, out, 0};
}

Reply RequestHandler::newestVersions(const QString &text)
{
    SessionInfo s;
    if (auth(text, s) != 0)
        return Reply{kOk, {}, 0};
    const int owner = StrToIntDef(GetTagValue(text, QStringLiteral("OwnerId")), 0);
    qint64 folderId = tagInt64(text, QStringLiteral("FolderId"));
    if (folderId == 1)
        folderId = 0;
    if (!m_store.canAccess(s.user, owner))
        return Reply{13, {}, 0};
    // The folder must be the owner's too, or any owner's rights would open every folder.
    if (folderId != 0) {
        const auto f = m_store.folder(folderId);
        if (!f || f->ownerId != owner)
            return Reply{13, {}, 0};
    }
    const bool sub = tagBool(text, QStringLiteral("IsIncludeSub"));
    QString out;
    std::function<void(qint64, int)> walk = [&](qint64 id, int depth) {
        if (id != 0) {
            const QString path = relativeFolderPath(m_store.folderChain(id));
            for (const FileInfo &f : m_store.filesIn(id)) {
                const auto v = m_store.version(f.key);
                if (v && f.sc <= s.user.clearance)
                    out += QStringLiteral("%1*%2*%3*%4*%5\r\n").arg(f.key).arg(id).arg(v->ticks).arg(f.name, path);
            }
        }
        if ((sub || id == 0) && depth < 64) {
            for (const FolderInfo &c : m_store.subFolders(owner, id))
                walk(c.id, depth + 1);
        }
    };
    walk(folderId, 0);
    return Reply{kOk, out, 0};
}

Reply RequestHandler::createFolderLines(const QString &text)
{
    SessionInfo s;
    if (auth(text, s) != 0)
        return Reply{7, {}, 0};
    const int owner = StrToIntDef(GetTagValue(text, QStringLiteral("OwnerId")), 0);
    const qint64 base = tagInt64(text, QStringLiteral("FolderId"));
    if (!m_store.canAccess(s.user, owner))
        return Reply{37, {}, 0};
    if (base != 0) {
        const auto f = m_store.folder(base);
        if (!f || f->ownerId != owner)
            return Reply{18, {}, 0};
    }
    QString out;
    // Only the lines that are served are cut out: splitting a whole frame of short
    // lines first would take many times its size.
    constexpr int kMaxLines = 10000;
    const QString block = GetTagValue(text, QStringLiteral("Folder"));
    QStringList lines;
    for (qsizetype pos = 0; pos < block.size() && lines.size() < kMaxLines;) {
        qsizetype end = pos;
        while (end < block.size() && block.at(end) != u'\r' && block.at(end) != u'\n')
            ++end;
        if (end > pos)
            lines << block.mid(pos, end - pos);
        pos = end + 1;
    }
    for (const QString &line : std::as_const(lines)) {
        qint64 parent = base;
        bool ok = true;
        // Looked up and made under the write lock: two clients making one path at once get one folder.
        Transaction t(m_store.db());
        // Name by name as they are made: a long path stops at the depth limit unread.
        QString path = line;
        path.replace(u'\\', u'/');
        for (const QStringView part : qTokenize(path, u'/', Qt::SkipEmptyParts)) {
            const QString name = part.trimmed().toString();
            qint64 id = m_store.findFolder(owner, parent, name);
            if (id == 0 && m_store.createFolder(owner, parent, name, &id) != 0) {
                ok = false;
                break;
            }
            parent = id;
        }
        if (ok && parent != base && t.commit())
            out += QStringLiteral("%1*%2\r\n").arg(line.trimmed()).arg(parent);
    }
    return Reply{kOk, out, 0};
}

Reply RequestHandler::downloadList(const QString &text)
{
    const QString empty = QStringLiteral("[F][/F][Summary][/Summary][FolderInfo][/FolderInfo][ErrorTxt]%1[/ErrorTxt]");
    SessionInfo s;
    if (const int rc = auth(text, s))
        return Reply{kOk, empty.arg(ResultCodeTextFor(rc, s.lang)), 0};
    const int owner = StrToIntDef(GetTagValue(text, QStringLiteral("SourceOwnerId")), 0);
    const qint64 source = tagInt64(text, QStringLiteral("SourceFolderId"));
    const bool single = GetTagValue(text, QStringLiteral("FF")) == QLatin1String("1");
    const bool sub = StrToIntDef(GetTagValue(text, QStringLiteral("SubFolder")), 0) != 0;
    const qint64 minSize = tagInt64(text, QStringLiteral("MinSize"));
    const qint64 maxSize = tagInt64(text, QStringLiteral("MaxSize"));
    const auto start = ParseWireDateTime(GetTagValue(text, QStringLiteral("FileStartDate")));
    const auto end = ParseWireDateTime(GetTagValue(text, QStringLiteral("FileEndDate")));
    QSet<quint32> types;
    const QString dcTypes = GetTagValue(text, QStringLiteral("Dc_Types"));
    // Each entry takes at least "[Ty0][/Ty0]": a count the block cannot hold is cut, and one
    // pass over the block reads every entry.
    const int typeCount = qBound(0, StrToIntDef(GetTagValue(dcTypes, QStringLiteral("Count")), 0), int(qMin<qsizetype>(1000, dcTypes.size() / 11)));
    if (typeCount > 0) {
        const TTagIndex entries(dcTypes, u"Ty");
        for (int i = 0; i < typeCount; ++i)
            types.insert(quint32(StrToInt64Def(entries.Value(QStringLiteral("Ty%1").arg(i)), 0)));
    }
    if (!m_store.canAccess(s.user, owner))
        return Reply{kOk, empty.arg(serverText(s.lang, "No privilege", "没有权限")), 0};

    QStringList fileLines;
    QStringList folderLines;
    qint64 total = 0;
    auto addFile = [&](const FileInfo &f, const QString &path) {
        const auto v = m_store.version(f.key);
        if (!v || f.sc > s.user.clearance)
            return;
        if (minSize < maxSize && (v->size < minSize || v->size > maxSize))
            return;
        const double dt = TicksToDateTime(v->ticks);
        if (start && end && *end > *start && (dt < *start || dt > *end))
            return;
        if (!types.isEmpty() && !types.contains(42) && !types.contains(f.kind))
            return;
        total += v->size;
        fileLines << QStringLiteral("[K]%1[/K][Fd]%2[/Fd][Dt]%3[/Dt][Sz]%4[/Sz][P]%5[/P][D]False[/D]")
                         .arg(f.key).arg(f.folderId).arg(FormatWireDateTime(dt)).arg(v->size).arg(path + f.name);
    };
    if (single) {
        FileInfo f;
        if (downloadCheck(m_store, s, source, &f) == 0)
            addFile(f, QString());
    } else {
        // Paths start with the source folder's own name, or at the owner root for the top level.
        std::function<void(qint64, const QString &, int)> walk = [&](qint64 id, const QString &path, int depth) {
            if (id != 0) {
                folderLines << path;
                for (const FileInfo &f : m_store.filesIn(id))
                    addFile(f, path);
            }
            if ((sub || id == 0) && depth < 64) {
                for (const FolderInfo &c : m_store.subFolders(owner, id))
                    walk(c.id, path + c.name + u'/', depth + 1);
            }
        };
        if (source != 0) {
            const auto f = m_store.folder(source);
            if (!f || f->ownerId != owner)
                return Reply{kOk, empty.arg(serverText(s.lang, "The folder doesn't exist.", "文件夹不存在。")), 0};
            walk(source, f->name + u'/', 0);
        } else {
            walk(0, QString(), 0);
        }
    }
    return Reply{kOk, QStringLiteral("[F]%1[/F][Summary][Count]%2[/Count][Size]%3[/Size][/Summary][FolderInfo]%4[/FolderInfo][ErrorTxt][/ErrorTxt]")
                          .arg(fileLines.join(QStringLiteral("\r\n"))).arg(fileLines.size()).arg(total).arg(folderLines.join(QStringLiteral("\r\n"))), 0};
}

Reply RequestHandler::serverPath(const QString &text)
{
    const QString empty = QStringLiteral("[PathStr][/PathStr][PathIdStr][/PathIdStr]");
    SessionInfo s;
    if (auth(text, s) != 0)
        return Reply{kOk, empty, 0};
    const qint64 key = tagInt64(text, QStringLiteral("FileKey"));
    qint64 folderId = key;
    if (!tagBool(text, QStringLiteral("IsFolder"))) {
        FileInfo f;
        if (downloadCheck(m_store, s, key, &f) != 0)
            return Reply{kOk, empty, 0};
        folderId = f.folderId;
    }
    const QList<FolderInfo> chain = m_store.folderChain(folderId);
    if (chain.isEmpty() || !m_store.canAccess(s.user, chain.first().ownerId))
        return Reply{kOk, empty, 0};
    QString names = pathSafeName(m_store.ownerName(chain.first().ownerId)) + u'/';
    QString ids;
    for (const FolderInfo &f : chain) {
        names += f.name + u'/';
        ids += QString::number(f.id) + u'/';
    }
    return Reply{kOk, QStringLiteral("[PathStr]%1[/PathStr][PathIdStr]%2[/PathIdStr]").arg(names, ids), 0};
}

Reply RequestHandler::fileDescription(const QString &text, bool update)
{
    SessionInfo s;
    if (const int rc = auth(text, s))
        return Reply{quint8(rc), ResultCodeTextFor(rc, s.lang), 0};
    const qint64 key = tagInt64(text, QStringLiteral("filekey"));
    FileInfo f;
    if (const int rc = downloadCheck(m_store, s, key, &f))
        return Reply{quint8(rc), ResultCodeTextFor(rc, s.lang), 0};
    if (!update)
        return Reply{kText, f.description, 0};
    if (!m_store.db().run(QStringLiteral("UPDATE files SET description=? WHERE key=?"), {GetTagValue(text, QStringLiteral("desc")), key}))
        return Reply{53, ResultCodeTextFor(53, s.lang), 0};
    return Reply{kText, {}, 0};
}

Reply RequestHandler::fileName(const QString &text)
{
    SessionInfo s;
    if (const int rc = auth(text, s))
        return Reply{quint8(rc), ResultCodeTextFor(rc, s.lang), 0};
    FileInfo f;
    if (const int rc = downloadCheck(m_store, s, tagInt64(text, QStringLiteral("Key")), &f))
        return Reply{quint8(rc), ResultCodeTextFor(rc, s.lang), 0};
    return Reply{kText, f.name, 0};
}

Reply RequestHandler::lockFile(const QString &text, bool lock)
{
    SessionInfo s;
    if (const int rc = auth(text, s))
        return code(rc);
    const qint64 key = tagInt64(text, QStringLiteral("FileKey"));
    if (const int rc = downloadCheck(m_store, s, key))
        return code(rc);
    Transaction t(m_store.db());
    const auto held = m_store.lock(key);
    if (lock) {
        if (held && held->userId != s.user.id)
            return code(14);
        if (!m_store.setLock(key, s.user.id, LockCheckout))
            return code(53);
        m_store.log(s.user.id, QStringLiteral("lock"), key);
    } else {
        if (held && held->userId != s.user.id && !s.user.admin)
            return code(14);
        if (held) {
            if (!m_store.releaseLock(key))
                return code(53);
            m_store.log(s.user.id, QStringLiteral("unlock"), key);
        }
    }
    if (!t.commit())
        return code(53);
    return code(1);
}

Reply RequestHandler::deleteFolder(const QString &text)
{
    SessionInfo s;
    if (const int rc = auth(text, s))
        return code(rc);
    const int owner = StrToIntDef(GetTagValue(text, QStringLiteral("OwnerId")), 0);
    const qint64 id = tagInt64(text, QStringLiteral("FolderId"));
    const auto folder = m_store.folder(id);
    if (!folder || folder->ownerId != owner)
        return code(18);
    if (!m_store.canAccess(s.user, owner))
        return code(13);
    // Collected under the write lock, so a sub-folder made meanwhile goes too instead of
    // living on below a deleted one.
    Transaction t(m_store.db());
    QList<qint64> ids{id};
    for (int i = 0; i < ids.size() && ids.size() < 100000; ++i) {
        QSqlQuery q = m_store.db().exec(QStringLiteral("SELECT id FROM folders WHERE parent_id=? AND deleted=0"), {ids.at(i)});
        while (q.next())
            ids << q.value(0).toLongLong();
    }
    for (qint64 f : ids) {
        const int locked = m_store.db().value(QStringLiteral("SELECT COUNT(*) FROM locks l JOIN files f ON f.key=l.file_key WHERE f.folder_id=? AND f.deleted=0 AND l.user_id<>?"),
                                              {f, s.user.id}, 0).toInt();
        if (locked > 0)
            return code(19);
    }
    // Folder and content go to the recycle bin together.
    for (qint64 f : ids) {
        if (!m_store.db().run(QStringLiteral("UPDATE files SET deleted=1 WHERE folder_id=? AND deleted=0"), {f})
            || !m_store.db().run(QStringLiteral("UPDATE folders SET deleted=1 WHERE id=?"), {f}))
            return code(53);
    }
    if (!t.commit())
        return code(53);
    m_store.log(s.user.id, QStringLiteral("delete folder"), 0, QString::number(id));
    return code(1);
}

Reply RequestHandler::fileProperties(const QString &text)
{
    SessionInfo s;
    if (const int rc = auth(text, s))
        return Reply{quint8(rc), ResultCodeTextFor(rc, s.lang), 0};
    // With a file key: that file's property text; without: the names of the properties.
    const qint64 key = tagInt64(text, QStringLiteral("FileKey"));
    if (key == 0)
        return Reply{kOk, propertyDefsText(propertyDefs(m_store)), 0};
    if (const int rc = downloadCheck(m_store, s, key))
        return Reply{quint8(rc), ResultCodeTextFor(rc, s.lang), 0};
    return Reply{kOk, m_store.db().value(QStringLiteral("SELECT props FROM files WHERE key=?"), {key}).toString(), 0};
}

Reply RequestHandler::deleteFile(const QString &text)
{
    SessionInfo s;
    if (const int rc = auth(text, s))
        return code(rc);
    const qint64 key = tagInt64(text, QStringLiteral("FileKey"));
    if (const int rc = downloadCheck(m_store, s, key))
        return code(rc);
    Transaction t(m_store.db());
    const auto held = m_store.lock(key);
    if (held && held->userId != s.user.id)
        return code(14);
    if (!m_store.releaseLock(key) || !m_store.db().run(QStringLiteral("UPDATE files SET deleted=1 WHERE key=?"), {key}) || !t.commit())
        return code(53);
    m_store.log(s.user.id, QStringLiteral("delete"), key);
    return code(1);
}

Reply RequestHandler::messages(const QString &text)
{
    SessionInfo s;
    if (auth(text, s) != 0)
        return Reply{kNoUnread, {}, 0};
    const int unread = m_store.db().value(QStringLiteral("SELECT COUNT(*) FROM messages WHERE user_id=? AND read_at IS NULL"), {s.user.id}, 0).toInt();
    return Reply{unread > 0 ? kOk : kNoUnread, {}, 0};
}

Reply RequestHandler::createFolder(const QString &text)
{
    SessionInfo s;
    if (const int rc = auth(text, s))
        return Reply{quint8(rc), ResultCodeTextFor(rc, s.lang), 0};
    const int owner = StrToIntDef(GetTagValue(text, QStringLiteral("Ownerid")), 0);
    if (!m_store.canAccess(s.user, owner))
        return Reply{37, ResultCodeTextFor(37, s.lang), 0};
    qint64 id = 0;
    Transaction t(m_store.db());
    const int rc = m_store.createFolder(owner, tagInt64(text, QStringLiteral("FatherFolderId")), GetTagValue(text, QStringLiteral("FolderName")), &id);
    if (rc != 0 || !t.commit())
        return Reply{quint8(rc ? rc : 53), ResultCodeTextFor(rc ? rc : 53, s.lang), 0};
    return Reply{kOk, QString::number(id), 0};
}
