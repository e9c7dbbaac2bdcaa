// Requests about folders: listings, trees, paths, making and deleting folders,
// and the list a bulk download works from.
#include "requesthandler.h"
#include "requestparts.h"

#include "core/wiredate.h"

#include <QStringTokenizer>
#include <QSet>
#include <QXmlStreamWriter>
#include <functional>

using namespace requestparts;

Reply RequestHandler::subFolders(const FramedRequest &request)
{
    Access a = Access::ofRequest(m_store, request.text);
    if (!a)
        return refusedText(a);
    const int owner = request.head.FreeInt;
    const qint64 parent = request.head.FreeInt2 <= 1 ? 0 : request.head.FreeInt2;
    if (!a.owner(owner))
        return Reply{13, serverText(a.lang(), "No privilege", "没有权限"), 0};
    if (!a.folderOrRoot(owner, parent))
        return Reply{18, serverText(a.lang(), "The folder doesn't exist.", "文件夹不存在。"), 0};
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
    Access a = Access::ofRequest(m_store, request.text);
    if (!a)
        return refusedText(a);
    const int owner = request.head.FreeInt;
    if (!a.owner(owner))
        return Reply{13, serverText(a.lang(), "No privilege", "没有权限"), 0};
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
    Access a = Access::ofRequest(m_store, text);
    if (!a)
        return refusedText(a);
    const qint64 folderId = tagInt64(text, QStringLiteral("FolderId"));
    const auto folder = m_store.folder(folderId);
    if (!folder)
        return Reply{18, serverText(a.lang(), "The folder doesn't exist.", "文件夹不存在。"), 0};
    if (!a.owner(folder->ownerId))
        return Reply{13, serverText(a.lang(), "No privilege", "没有权限"), 0};
    const QString path = u'/' + relativeFolderPath(m_store.folderChain(folderId));
    QString out;
    QXmlStreamWriter w(&out);
    w.writeStartElement(QStringLiteral("Files"));
    for (const FileInfo &f : m_store.filesIn(folderId)) {
        // Above the user's classification: not even the name, as in every other listing.
        if (f.sc > a.user().clearance)
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
    Access a = Access::ofRequest(m_store, text);
    if (!a)
        return Reply{kOk, noPower, 0};
    const int owner = StrToIntDef(GetTagValue(text, QStringLiteral("OwnerId")), 0);
    qint64 folderId = tagInt64(text, QStringLiteral("FolderId"));
    if (folderId == 1)
        folderId = 0;
    if (!a.owner(owner).folderOrRoot(owner, folderId))
        return Reply{kOk, noPower, 0};
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
            if (f.sc > a.user().clearance)
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
    Access a = Access::ofRequest(m_store, text);
    if (!a)
        return Reply{kOk, {}, 0};
    const int owner = StrToIntDef(GetTagValue(text, QStringLiteral("OwnerId")), 0);
    qint64 folderId = tagInt64(text, QStringLiteral("FolderId"));
    if (folderId == 1)
        folderId = 0;
    // The folder must be the owner's too, or any owner's rights would open every folder.
    if (!a.owner(owner).folderOrRoot(owner, folderId))
        return Reply{13, {}, 0};
    const bool sub = tagBool(text, QStringLiteral("IsIncludeSub"));
    QString out;
    std::function<void(qint64, int)> walk = [&](qint64 id, int depth) {
        if (id != 0) {
            const QString path = relativeFolderPath(m_store.folderChain(id));
            for (const FileInfo &f : m_store.filesIn(id)) {
                const auto v = m_store.version(f.key);
                if (v && f.sc <= a.user().clearance)
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
    Access a = Access::ofRequest(m_store, text);
    if (!a)
        return Reply{7, {}, 0};
    const int owner = StrToIntDef(GetTagValue(text, QStringLiteral("OwnerId")), 0);
    const qint64 base = tagInt64(text, QStringLiteral("FolderId"));
    if (!a.owner(owner, 37).folderOrRoot(owner, base))
        return Reply{quint8(a.refusal()), {}, 0};
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
    Access a = Access::ofRequest(m_store, text);
    if (!a)
        return Reply{kOk, empty.arg(ResultCodeTextFor(a.refusal(), a.lang())), 0};
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
    if (!a.owner(owner))
        return Reply{kOk, empty.arg(serverText(a.lang(), "No privilege", "没有权限")), 0};

    QStringList fileLines;
    QStringList folderLines;
    qint64 total = 0;
    auto addFile = [&](const FileInfo &f, const QString &path) {
        const auto v = m_store.version(f.key);
        if (!v || f.sc > a.user().clearance)
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
        if (a.file(source))
            addFile(a.file(), QString());
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
                return Reply{kOk, empty.arg(serverText(a.lang(), "The folder doesn't exist.", "文件夹不存在。")), 0};
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
    Access a = Access::ofRequest(m_store, text);
    if (!a)
        return Reply{kOk, empty, 0};
    const qint64 key = tagInt64(text, QStringLiteral("FileKey"));
    qint64 folderId = key;
    if (!tagBool(text, QStringLiteral("IsFolder"))) {
        if (!a.file(key))
            return Reply{kOk, empty, 0};
        folderId = a.file().folderId;
    }
    const QList<FolderInfo> chain = m_store.folderChain(folderId);
    if (chain.isEmpty() || !a.owner(chain.first().ownerId))
        return Reply{kOk, empty, 0};
    QString names = pathSafeName(m_store.ownerName(chain.first().ownerId)) + u'/';
    QString ids;
    for (const FolderInfo &f : chain) {
        names += f.name + u'/';
        ids += QString::number(f.id) + u'/';
    }
    return Reply{kOk, QStringLiteral("[PathStr]%1[/PathStr][PathIdStr]%2[/PathIdStr]").arg(names, ids), 0};
}

Reply RequestHandler::deleteFolder(const QString &text)
{
    Access a = Access::ofRequest(m_store, text);
    if (!a)
        return code(a.refusal());
    const int owner = StrToIntDef(GetTagValue(text, QStringLiteral("OwnerId")), 0);
    const qint64 id = tagInt64(text, QStringLiteral("FolderId"));
    if (!a.folder(owner, id).owner(owner))
        return code(a.refusal());
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
                                              {f, a.user().id}, 0).toInt();
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
    m_store.log(a.user().id, QStringLiteral("delete folder"), 0, QString::number(id));
    return code(1);
}

Reply RequestHandler::createFolder(const QString &text)
{
    Access a = Access::ofRequest(m_store, text);
    if (!a)
        return refusedText(a);
    const int owner = StrToIntDef(GetTagValue(text, QStringLiteral("Ownerid")), 0);
    if (!a.owner(owner, 37))
        return refusedText(a);
    qint64 id = 0;
    Transaction t(m_store.db());
    const int rc = m_store.createFolder(owner, tagInt64(text, QStringLiteral("FatherFolderId")), GetTagValue(text, QStringLiteral("FolderName")), &id);
    if (rc != 0 || !t.commit())
        return Reply{quint8(rc ? rc : 53), ResultCodeTextFor(rc ? rc : 53, a.lang()), 0};
    return Reply{kOk, QString::number(id), 0};
}
