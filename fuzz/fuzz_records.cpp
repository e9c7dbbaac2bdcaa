// The version-control records (checkout_record.ini, workpath_record.ini) as a
// hand edit or an older client may leave them, the server's path reply that is
// resolved through them, and the newest-version list whose server paths are
// mapped onto a local folder. A record written reads back as written and leaves
// every other record as it was; every local folder made from server text stays
// inside the folder it was meant for.
#include "core/folders.h"
#include "core/helpers.h"
#include "core/safepath.h"
#include "core/tagtext.h"
#include "versions/inifile.h"
#include "versions/newestversions.h"
#include "versions/workpaths.h"
#include "fuzzinput.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

using fuzzinput::Reader;
using fuzzinput::writeFile;

struct Snapshot {
    QStringList sections;
    QStringList values;
};

const QStringList kKeys{QStringLiteral("CheckoutPath"), QStringLiteral("EditSession"), QStringLiteral("WorkPath")};

Snapshot snapshot(const QString &file)
{
    const IniFile ini(file);
    Snapshot s;
    s.sections = ini.sections();
    for (const QString &section : s.sections)
        for (const QString &key : kKeys)
            s.values << ini.readString(section, key);
    return s;
}

// Every section but the one written keeps its values.
void othersKept(const QString &file, const Snapshot &before, const QString &written)
{
    const IniFile ini(file);
    qsizetype v = 0;
    for (const QString &section : before.sections) {
        for (const QString &key : kKeys) {
            const QString old = before.values.at(v++);
            if (section.trimmed().compare(written, Qt::CaseInsensitive) != 0 && ini.readString(section, key) != old)
                std::abort();
        }
    }
}

bool storable(const QString &value)
{
    return !value.contains(u'\r') && !value.contains(u'\n') && !value.contains(QChar(0));
}

bool inside(const QString &path, const QString &folder)
{
    const QString p = QDir::cleanPath(path);
    const QString f = QDir::cleanPath(folder);
    return p == f || p.startsWith(f + u'/');
}

void records(const QString &dir, Reader &in)
{
    writeFile(dir + QStringLiteral("/checkout_record.ini"), in.piece());
    writeFile(dir + QStringLiteral("/workpath_record.ini"), in.piece());
    const qint64 key = qint64(in.byte()) - 8;
    const QString value = QString::fromUtf8(in.rest());
    const QString local = ToLocalSeparators(ToStoredPath(value));

    CheckoutRecord checkout(dir);
    for (const qint64 k : checkout.editKeys())
        if (!checkout.isEdit(k))
            std::abort();
    Snapshot before = snapshot(checkout.fileName());
    const bool ok = checkout.write(key, value);
    if (ok != storable(value))
        std::abort();
    if (ok && (checkout.read(key) != local || checkout.isEdit(key)))
        std::abort();  // a check-out reads back as the path it was given, and is no edit
    othersKept(checkout.fileName(), before, QString::number(key));

    before = snapshot(checkout.fileName());
    const QDateTime stamp = QDateTime::fromMSecsSinceEpoch(1700000000000 + key);
    if (checkout.writeEdit(key, value, stamp) != ok)
        std::abort();
    if (ok && (checkout.read(key) != local || !checkout.isEdit(key) || checkout.editStamp(key) != stamp
               || !checkout.editKeys().contains(key)))
        std::abort();
    othersKept(checkout.fileName(), before, QString::number(key));

    before = snapshot(checkout.fileName());
    if (!checkout.erase(key) || checkout.contains(key) || checkout.isEdit(key))
        std::abort();
    othersKept(checkout.fileName(), before, QString::number(key));

    WorkPathRecord work(dir);
    before = snapshot(work.fileName());
    const bool bound = work.write(qint32(key), value);
    if (bound != (key > 0 && storable(value)))
        std::abort();
    if (bound && work.read(key) != local)
        std::abort();
    othersKept(work.fileName(), before, QString::number(key));
}

// The folders made from the server's path reply: a bound work path and safe
// names below it, else somewhere inside the work root.
void pathReply(const QString &dir, Reader &in)
{
    writeFile(dir + QStringLiteral("/workpath_record.ini"), in.piece());
    const QString reply = QString::fromUtf8(in.rest());
    const QString root = dir + QStringLiteral("/root");

    const TWorkPathResolution r = ResolveWorkPathEx(reply, dir);
    if (!r.path.isEmpty()) {
        const WorkPathRecord work(dir);
        QString ids = GetTagValue(reply, QStringLiteral("PathIdStr"));
        ids.replace(u'/', u'\\');
        bool found = false;
        for (const QString &id : ids.split(u'\\')) {
            const QString boundPath = work.read(StrToInt64Def(id.trimmed(), 0));
            if (boundPath.isEmpty() || !r.path.startsWith(boundPath))
                continue;
            bool safe = true;
            for (const QString &name : r.path.mid(boundPath.size()).split(u'/', Qt::SkipEmptyParts))
                safe = safe && IsSafeFileName(name);
            found = found || safe;
        }
        if (!found)
            std::abort();
    }
    int step = -1;
    const QString newest = NewestFolderFor(reply, dir, root, &step);
    if (step < 0 || (r.path.isEmpty() && !newest.isEmpty() && !inside(newest, root)))
        std::abort();
    for (const QString &folder : {CompareFolderFor(reply, dir, root), WorkPathDialogFolderFor(reply, dir, root),
                                  CheckoutFolderFor(reply, dir, QString(), root)})
        if (r.path.isEmpty() && !folder.isEmpty() && !inside(folder, root))
            std::abort();
    const QString pathStr = GetTagValue(reply, QStringLiteral("PathStr"));
    for (const QString &folder : {DefaultWorkFolder(root, pathStr), RootPlusServerPath(root, pathStr)})
        if (!folder.isEmpty() && !inside(folder, root))
            std::abort();
}

// Newest versions: each entry's server path lands inside the target or nowhere.
void newestList(const QString &dir, Reader &in)
{
    const int step = in.byte() % 4;
    const QString target = dir + QStringLiteral("/newest/");
    TNewestVersions newest(TServerConn{}, TNewestHooks{});
    newest.SetTarget(target, step);
    for (const TFileInFo &e : ParseNewVerReply(QString::fromUtf8(in.rest()))) {
        if (e.Path.size() > 1024 || e.Path.contains(u'/'))
            std::abort();
        const QString folder = newest.LocalFolderOf(e);
        if (!folder.isEmpty() && (!folder.endsWith(u'/') || !inside(folder, target)))
            std::abort();
        if (!folder.isEmpty() && IsSafeFileName(e.Name) && !inside(folder + e.Name, target))
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char arg0[] = "fuzz_records";
    static char *argv[] = {arg0, nullptr};
    static QCoreApplication app(argc, argv);
    static QTemporaryDir root;
    const QString dir = root.path() + QStringLiteral("/run/");
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);

    Reader in(data, size);
    switch (in.byte() % 3) {
    case 0:
        records(dir, in);
        break;
    case 1:
        pathReply(dir, in);
        break;
    default:
        newestList(dir, in);
        break;
    }
    return 0;
}
