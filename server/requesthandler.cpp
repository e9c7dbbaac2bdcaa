#include "requesthandler.h"
#include "requestparts.h"

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

using namespace requestparts;

QString serverText(int lang, const char *english, const char *chinese)
{
    return lang == 1 ? QString::fromUtf8(english) : QString::fromUtf8(chinese);
}

Reply RequestHandler::refusedText(const Access &access)
{
    return Reply{quint8(access.refusal()), ResultCodeTextFor(access.refusal(), access.lang()), 0};
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
        const Access a = Access::ofRequest(m_store, text);
        return batchDownloadList(m_store, a.session(), a.refusal(), text);
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
        Access a = Access::ofRequest(m_store, text);
        if (!a)
            return code(a.refusal());
        return code(a.file(tagInt64(text, QStringLiteral("fileKey"))).refusal() ?: 10);
    }
    case 52: {
        const qint64 key = tagInt64(text, QStringLiteral("fileKey"));
        if (!Access::ofRequest(m_store, text).file(key))
            return Reply{kOk, {}, 0};
        const auto v = m_store.version(key);
        if (!v)
            return Reply{kOk, {}, 0};
        return Reply{kOk, QStringLiteral("[Dt]%1[/Dt][Size]%2[/Size]").arg(FormatWireDateTime(TicksToDateTime(v->ticks))).arg(v->size), 0};
    }
    case 77: {
        // The client raises on a non-number: always a number, 0 when unknown.
        const qint64 key = tagInt64(text, QStringLiteral("FileKey"));
        if (!Access::ofRequest(m_store, text).file(key))
            return Reply{kOk, QStringLiteral("0"), 0};
        const auto v = m_store.version(key);
        return Reply{kOk, QString::number(v ? v->ticks : 0), 0};
    }
    case 46:
        return Reply{kOk, QStringLiteral("0"), 0};
    case 53: {
        const qint64 key = tagInt64(text, QStringLiteral("Filekey"));
        // Only files the user may open: the records must not tell of prints that could not happen.
        if (Access a = Access::ofRequest(m_store, text); a.file(key)) {
            const int opr = StrToIntDef(GetTagValue(text, QStringLiteral("Opr")), 0);
            m_store.log(a.user().id, opr == 62 ? QStringLiteral("print") : QStringLiteral("print preview"), key);
        }
        return Reply{kOk, {}, 0};
    }
    case 54: {
        Access a = Access::ofRequest(m_store, text);
        if (!a)
            return code(7);
        const QString keyText = GetTagValue(text, QStringLiteral("Key"));
        qint64 key = StrToInt64Def(keyText, 0);
        if (key == 0)
            key = StrToInt64Def(DecryptWithAppKey(keyText, AKS_256), 0);
        const QString ext = GetTagValue(text, QStringLiteral("ExtInfo"));
        if (!a.file(key) || GetTagValue(ext, QStringLiteral("Opr")) != QLatin1String("Remark"))
            return code(8);
        if (!m_store.db().run(QStringLiteral("UPDATE versions SET remark=? WHERE file_key=? AND ver=(SELECT MAX(ver) FROM versions WHERE file_key=?)"),
                              {GetTagValue(ext, QStringLiteral("Remark")), key, key}))
            return code(53);
        return code(1);
    }
    case 74: {
        if (Access a = Access::ofRequest(m_store, text)) {
            const int owner = StrToIntDef(GetTagValue(text, QStringLiteral("OwnerId")), 0);
            if (m_store.isGroup(owner) && a.owner(owner)) {
                const UserInfo &user = a.user();
                m_store.db().run(QStringLiteral("INSERT INTO messages(user_id, text, created) SELECT user_id, ?, ? FROM memberships WHERE group_id=? AND user_id<>?"),
                                 {QStringLiteral("%1 uploaded new files to %2").arg(user.name, m_store.ownerName(owner)), NowDateTime(), owner, user.id});
            }
        }
        return Reply{kOk, {}, 0};
    }
    case 33: {
        const Access a = Access::ofRequest(m_store, text);
        if (!a)
            return code(a.refusal(), 7);
        QStringList ids;
        for (int g : m_store.groupsOf(a.user().id))
            ids << QString::number(g);
        return Reply{kOk, ids.join(u','), 0};
    }
    case 92: {
        const Access a = Access::ofRequest(m_store, text);
        if (!a)
            return code(a.refusal(), 7);
        QString lines;
        for (int g : m_store.groupsOf(a.user().id))
            lines += QStringLiteral("%1*%2\r\n").arg(g).arg(m_store.ownerName(g));
        return Reply{kOk, lines, 0};
    }
    case 48: {
        if (const Access a = Access::ofRequest(m_store, text); !a)
            return code(a.refusal(), 7);
        QString lines;
        QSqlQuery q = m_store.db().exec(QStringLiteral("SELECT id, name, email, core_id FROM owners WHERE kind='U' ORDER BY id"));
        while (q.next())
            lines += QStringLiteral("%1*%2*%3*%4\r\n").arg(q.value(0).toString(), q.value(1).toString(), q.value(2).toString(), q.value(3).toString());
        return Reply{kOk, lines, 0};
    }
    case 37: {
        const qint64 key = tagInt64(text, QStringLiteral("Key"));
        Access a = Access::ofRequest(m_store, text);
        if (!a.file(key))
            return Reply{kOk, {}, 0};
        const FileInfo &f = a.file();
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
        const int owner = StrToIntDef(GetTagValue(text, QStringLiteral("OwnerId")), 0);
        Access a = Access::ofRequest(m_store, text);
        if (!a.owner(owner))
            return Reply{13, serverText(a.lang(), "No privilege", "没有权限"), 0};
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
    Access a = Access::ofRequest(m_store, text);
    if (!a)
        return refusedText(a);
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

Reply RequestHandler::messages(const QString &text)
{
    Access a = Access::ofRequest(m_store, text);
    if (!a)
        return Reply{kNoUnread, {}, 0};
    const int unread = m_store.db().value(QStringLiteral("SELECT COUNT(*) FROM messages WHERE user_id=? AND read_at IS NULL"), {a.user().id}, 0).toInt();
    return Reply{unread > 0 ? kOk : kNoUnread, {}, 0};
}
