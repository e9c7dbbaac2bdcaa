// Version control: the record files, work-path resolution, check-out and check-in,
// comparison and newest versions, against the reference server where it matters.
#include "core/folders.h"
#include "core/textfile.h"
#include "core/wiredate.h"
#include "fakeserver.h"
#include "net/robottcpclient.h"
#include "refserver.h"
#include "testenv.h"
#include "testlogin.h"
#include "versions/inifile.h"
#include "versions/newestversions.h"
#include "versions/setcheckoutpathfrm.h"
#include "versions/showdiff.h"
#include "versions/showdifffrm.h"
#include "versions/versioncontrol.h"
#include "versions/workpaths.h"

#include "platform/prompter.h"

#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QPushButton>
#include <QLabel>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QProcess>
#include <QtTest>

namespace {

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QString pathReply(const QString &pathStr, const QString &pathIdStr)
{
    return QStringLiteral("[PathStr]%1[/PathStr][PathIdStr]%2[/PathIdStr]").arg(pathStr, pathIdStr);
}

// What the version tests read back from the reference server's database.
class VersionServer : public RefServer
{
public:
    qint64 fileKey(const QString &name) const { return keyOf(name); }
    qint64 folderId(const QString &name) const { return sql(QStringLiteral("SELECT id FROM folders WHERE name=?"), {name}).toLongLong(); }
    qint32 ownerOfFolder(qint64 folder) const { return sql(QStringLiteral("SELECT owner_id FROM folders WHERE id=?"), {folder}).toInt(); }
    int versions(qint64 key) const { return sql(QStringLiteral("SELECT COUNT(*) FROM versions WHERE file_key=?"), {key}).toInt(); }
    TServerConn login(const QString &name, const QString &password) const { return logIn(port(), name, password).conn; }
};

// Collects what a batch reports and answers its questions from a script.
struct Recorder {
    QList<QPair<QString, QString>> lines;
    QStringList questions;
    QList<bool> answers;
    QStringList opened;
    TVersionHooks hooks()
    {
        TVersionHooks h;
        h.report = [this](const QString &name, const QString &text) { lines.append({name, text}); };
        h.ask = [this](const QString &q) {
            questions << q;
            return answers.isEmpty() ? false : answers.takeFirst();
        };
        h.open = [this](const QString &path, QString *) {
            opened << path;
            return true;
        };
        return h;
    }
    QString text(int i = 0) const { return i < lines.size() ? lines[i].second : QString(); }
};

void setWriteTime(const QString &path, const QDateTime &time)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadWrite));
    QVERIFY(f.setFileTime(time, QFileDevice::FileModificationTime));
}

QByteArray serverBytes(const TServerConn &conn, qint64 key, const QString &scratch)
{
    auto client = conn.MakeClient();
    const QString target = scratch + QStringLiteral("/fetched-%1").arg(key);
    QFile::remove(target);
    if (client->DownloadFile(target, QStringLiteral("[IsReplace]True[/IsReplace]"), key) != 10)
        return "download failed: " + client->GetLastError().toUtf8();
    QFile f(target);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

}  // namespace

class TestRecordFiles : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { QVERIFY(m_dir.isValid()); }

    void checkoutRecordLayout()
    {
        const QString folder = m_dir.path() + QStringLiteral("/layout/");
        QVERIFY(QDir().mkpath(folder));
        CheckoutRecord record(folder);
        QVERIFY(record.write(8612, QStringLiteral("/home/ann/Documents/Contracts/a b.docx")));
        QVERIFY(record.write(-5, QStringLiteral("/w/neg.txt")));
        // The file keeps the client's layout: decimal section, one key, backslashes verbatim.
        const QString text = ReadTextFile(folder + QLatin1String(kCheckoutRecordFile));
        QVERIFY2(text.contains(QLatin1String("[8612]\r\nCheckoutPath=\\home\\ann\\Documents\\Contracts\\a b.docx\r\n")), qPrintable(text));
        QVERIFY(text.contains(QLatin1String("[-5]\r\nCheckoutPath=\\w\\neg.txt")));
        QCOMPARE(record.read(8612), QStringLiteral("/home/ann/Documents/Contracts/a b.docx"));
        QVERIFY(record.write(8612, QStringLiteral("/w/other.docx")));
        QCOMPARE(record.read(8612), QStringLiteral("/w/other.docx"));
        QCOMPARE(IniFile(record.fileName()).sections(), QStringList({QStringLiteral("8612"), QStringLiteral("-5")}));
        QVERIFY(record.erase(8612));
        QCOMPARE(record.read(8612), QString());
        QCOMPARE(record.read(-5), QStringLiteral("/w/neg.txt"));
        QVERIFY(!ReadTextFile(record.fileName()).contains(QLatin1String("8612")));
        QVERIFY(record.erase(-5));
        // Erasing the last section leaves an empty file that still reads as empty.
        QCOMPARE(IniFile(record.fileName()).sections(), QStringList());
        QVERIFY(record.write(7, QStringLiteral("/w/seven")));
        QCOMPARE(IniFile(record.fileName()).sections(), QStringList{QStringLiteral("7")});
    }

    // Files written by the old client or by hand: other encodings, spacing, case, comments.
    void readsForeignFiles_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("expected");
        QTest::addRow("ansi gbk") << QByteArray("[8612]\r\nCheckoutPath=D:\\\xB9\xA4\xD7\xF7\\a.txt\r\n") << "8612" << QStringLiteral("D:/工作/a.txt");
        QByteArray utf16("\xFF\xFE", 2);
        for (QChar c : QStringLiteral("[1]\r\nCheckoutPath=C:\\w\\b.txt\r\n"))
            utf16 += char(c.unicode() & 0xFF), utf16 += char(c.unicode() >> 8);
        QTest::addRow("utf-16 with mark") << utf16 << "1" << QStringLiteral("C:/w/b.txt");
        QTest::addRow("spaces and case") << QByteArray("  [ 42 ]  \n checkoutpath = x\\y \n") << "42" << QStringLiteral("x/y");
        QTest::addRow("quoted value") << QByteArray("[3]\nCheckoutPath=\"q\\r.txt\"\n") << "3" << QStringLiteral("q/r.txt");
        QTest::addRow("comment line") << QByteArray("[4]\n;CheckoutPath=no\nCheckoutPath=yes\n") << "4" << QStringLiteral("yes");
        QTest::addRow("other key only") << QByteArray("[5]\nOther=1\n") << "5" << QString();
        QTest::addRow("key before any section") << QByteArray("CheckoutPath=stray\n[6]\n") << "6" << QString();
        QTest::addRow("missing section") << QByteArray("[7]\nCheckoutPath=a\n") << "8" << QString();
        QTest::addRow("unclosed header") << QByteArray("[9\nCheckoutPath=a\n") << "9" << QString();
        QTest::addRow("empty file") << QByteArray() << "1" << QString();
    }
    void readsForeignFiles()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, section);
        QFETCH(QString, expected);
        const QString folder = m_dir.path() + u'/' + QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'_') + u'/';
        QVERIFY(QDir().mkpath(folder));
        writeBytes(folder + QLatin1String(kCheckoutRecordFile), bytes);
        QCOMPARE(CheckoutRecord(folder).read(section.toLongLong()), expected);
    }

    // A local path is kept as given: blanks at its ends and enclosing quotes are part of the name.
    void pathsReadBackAsWritten_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addRow("folder ending in a blank") << QStringLiteral("/home/ann/Work /a.doc");
        QTest::addRow("file ending in a blank") << QStringLiteral("/home/ann/a.doc ");
        QTest::addRow("starting with a blank") << QStringLiteral(" rel/a.doc");
        QTest::addRow("enclosed in quotes") << QStringLiteral("\"/home/ann/q\"");
        QTest::addRow("quote at one end only") << QStringLiteral("/home/ann/q\"");
    }
    void pathsReadBackAsWritten()
    {
        QFETCH(QString, path);
        const QString folder = m_dir.path() + QStringLiteral("/verbatim/");
        QVERIFY(QDir().mkpath(folder));
        CheckoutRecord record(folder);
        QVERIFY(record.write(31, path));
        QCOMPARE(record.read(31), path);
        WorkPathRecord work(folder);
        QVERIFY(work.write(32, path));
        QCOMPARE(work.read(32), path);
    }

    void editKeysAreKeysTheRecordsAnswerTo()
    {
        // "[060017]" parses as 60017, but no read, erase or rewrite of 60017 reaches it.
        const QString folder = m_dir.path() + QStringLiteral("/editkeys/");
        QVERIFY(QDir().mkpath(folder));
        writeBytes(folder + QLatin1String(kCheckoutRecordFile),
                   "[060017]\r\nCheckoutPath=\\w\\a.txt\r\nEditSession=5\r\n[17]\r\nCheckoutPath=\\w\\b.txt\r\nEditSession=6\r\n");
        const CheckoutRecord record(folder);
        QCOMPARE(record.editKeys(), QList<qint64>{17});
        for (const qint64 key : record.editKeys())
            QVERIFY(record.isEdit(key));
    }

    void writesKeepWhatItDoesNotKnow()
    {
        const QString file = m_dir.path() + QStringLiteral("/keep.ini");
        writeBytes(file, "; notes\r\n[100]\r\nWorkPath=C:\\a\\\r\nExtra=1\r\n[200]\r\nWorkPath=C:\\b\\\r\n");
        IniFile ini(file);
        QVERIFY(ini.writeString(QStringLiteral("100"), QStringLiteral("Third"), QStringLiteral("3")));
        QVERIFY(ini.writeString(QStringLiteral("100"), QStringLiteral("workpath"), QStringLiteral("D:\\n\\")));
        QCOMPARE(ini.readString(QStringLiteral("100"), QStringLiteral("WorkPath")), QStringLiteral("D:\\n\\"));
        QCOMPARE(ini.readString(QStringLiteral("100"), QStringLiteral("Extra")), QStringLiteral("1"));
        QCOMPARE(ini.readString(QStringLiteral("100"), QStringLiteral("Third")), QStringLiteral("3"));
        QCOMPARE(ini.readString(QStringLiteral("200"), QStringLiteral("WorkPath")), QStringLiteral("C:\\b\\"));
        QVERIFY(ReadTextFile(file).startsWith(QLatin1String("; notes")));
        // A value cannot break the layout of the file.
        QVERIFY(!ini.writeString(QStringLiteral("300"), QStringLiteral("WorkPath"), QStringLiteral("a\r\n[100]")));
        QVERIFY(!ini.writeString(QStringLiteral("3]0"), QStringLiteral("WorkPath"), QStringLiteral("a")));
        QCOMPARE(ini.sections(), QStringList({QStringLiteral("100"), QStringLiteral("200")}));
    }

    void missingFolderIsAnErrorNotACrash()
    {
        CheckoutRecord record(m_dir.path() + QStringLiteral("/no/such/folder/"));
        QString error;
        QVERIFY(!record.write(1, QStringLiteral("/x"), &error));
        QVERIFY(error.contains(QLatin1String(kCheckoutRecordFile)));
        QCOMPARE(record.read(1), QString());
        QVERIFY(record.erase(1));
    }

    void workPathRecordLayout()
    {
        const QString folder = m_dir.path() + QStringLiteral("/wp/");
        QVERIFY(QDir().mkpath(folder));
        WorkPathRecord record(folder);
        QVERIFY(record.write(205, QStringLiteral("/data/projects/A/")));
        QVERIFY(!record.write(0, QStringLiteral("/data/top/")));
        QVERIFY(ReadTextFile(record.fileName()).contains(QLatin1String("[205]\r\nWorkPath=\\data\\projects\\A\\\r\n")));
        QCOMPARE(record.read(205), QStringLiteral("/data/projects/A/"));
        QCOMPARE(record.read(0), QString());
    }

private:
    QTemporaryDir m_dir;
};

class TestResolveWorkPath : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void resolve_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QStringList>("bindings");  // "id=folder"
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("nameCount");
        const QString abc = pathReply(QStringLiteral("Root/A/B/C"), QStringLiteral("101/205/318"));
        QTest::addRow("bound middle folder, names below follow") << abc << QStringList{"205=/w/A/"} << "/w/A/C/" << 4;
        QTest::addRow("deepest folder bound") << abc << QStringList{"318=/w/B/"} << "/w/B/" << 4;
        QTest::addRow("deepest binding wins") << abc << QStringList{"205=/w/A/", "318=/w/B/"} << "/w/B/" << 4;
        QTest::addRow("top folder bound") << abc << QStringList{"101=/w/T/"} << "/w/T/B/C/" << 4;
        QTest::addRow("nothing bound") << abc << QStringList{"999=/w/X/"} << "" << 4;
        QTest::addRow("trailing separators change nothing")
            << pathReply(QStringLiteral("Root/A/B/C/"), QStringLiteral("101/205/318/")) << QStringList{"205=/w/A/"} << "/w/A/C/" << 4;
        QTest::addRow("backslash separators")
            << pathReply(QStringLiteral("Root\\A\\B\\C"), QStringLiteral("101\\205\\318")) << QStringList{"205=/w/A/"} << "/w/A/C/" << 4;
        // A doubled separator adds an id 0 but no name: the alignment shifts by one.
        QTest::addRow("doubled separator")
            << pathReply(QStringLiteral("Root//A/B/C"), QStringLiteral("101//205/318")) << QStringList{"205=/w/A/"} << "/w/A/" << 4;
        QTest::addRow("leading separator gives id 0")
            << pathReply(QStringLiteral("Root/A/B/C"), QStringLiteral("/205/318")) << QStringList{"205=/w/A/"} << "/w/A/C/" << 4;
        QTest::addRow("non-number id is 0") << pathReply(QStringLiteral("Root/A/B/C"), QStringLiteral("x/205/318"))
                                            << QStringList{"205=/w/A/"} << "/w/A/C/" << 4;
        QTest::addRow("names list too short") << pathReply(QStringLiteral("Root"), QStringLiteral("101/205/318"))
                                              << QStringList{"101=/w/T/"} << "/w/T/" << 1;
        QTest::addRow("work path without separator") << abc << QStringList{"205=/w/A"} << "/w/A/C/" << 4;
        QTest::addRow("missing PathStr") << QStringLiteral("[PathIdStr]101/205[/PathIdStr]") << QStringList{"205=/w/A/"} << "" << 0;
        QTest::addRow("missing PathIdStr") << QStringLiteral("[PathStr]Root/A[/PathStr]") << QStringList{"205=/w/A/"} << "" << 0;
        QTest::addRow("dot-dot name below binding")
            << pathReply(QStringLiteral("Root/A/B/.."), QStringLiteral("101/205/318")) << QStringList{"205=/w/A/"} << "" << 4;
    }
    void resolve()
    {
        QFETCH(QString, reply);
        QFETCH(QStringList, bindings);
        QFETCH(QString, expected);
        QFETCH(int, nameCount);
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        for (const QString &b : bindings)
            QVERIFY(WorkPathRecord(folder).write(b.section(u'=', 0, 0).toInt(), b.section(u'=', 1)));
        const TWorkPathResolution r = ResolveWorkPathEx(reply, folder);
        QCOMPARE(r.path, expected);
        QCOMPARE(r.nameCount, nameCount);
    }

    void fallbacks()
    {
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        const QString root = dir.path() + QStringLiteral("/wroot/");
        const QString both = pathReply(QStringLiteral("Demo User/Designs/Parts/"), QStringLiteral("1003/1004/"));
        const QString noIds = QStringLiteral("[PathStr]Demo User/Designs/[/PathStr]");
        const QString none;
        // Nothing bound: check-out, comparison and newest versions meet in one home below the work root.
        const QString home = root + QStringLiteral("Designs/Parts/");
        QCOMPARE(CheckoutFolderFor(both, folder, QStringLiteral("/last/"), root), home);
        QCOMPARE(CheckoutFolderFor(both, folder, QString(), root), home);
        QCOMPARE(CheckoutFolderFor(none, folder, QStringLiteral("/last/"), root), QStringLiteral("/last/"));
        QCOMPARE(CompareFolderFor(both, folder, root), home);
        QCOMPARE(CompareFolderFor(noIds, folder, root), root + QStringLiteral("Designs/"));
        QCOMPARE(CompareFolderFor(none, folder, root), root);
        // A server path that climbs out of the work root is never used, nor is the bare root put in its place.
        QCOMPARE(CompareFolderFor(pathReply(QStringLiteral("../../etc"), QStringLiteral("5/6")), folder, root), QString());
        QCOMPARE(WorkPathDialogFolderFor(pathReply(QStringLiteral("../../etc"), QStringLiteral("5/6")), folder, root), QString());
#ifndef Q_OS_WIN
        QCOMPARE(CompareFolderFor(pathReply(QStringLiteral("Demo User/Minutes 10:30/"), QStringLiteral("1003/1009/")), folder, root),
                 root + QStringLiteral("Minutes 10:30/"));
#endif
        QCOMPARE(WorkPathDialogFolderFor(both, folder, root), home);
        QCOMPARE(WorkPathDialogFolderFor(noIds, folder, root), QString());
        int step = -1;
        QCOMPARE(NewestFolderFor(both, folder, root, &step), home);
        QCOMPARE(step, 2);
        QCOMPARE(NewestFolderFor(noIds, folder, root, &step), root + QStringLiteral("Demo User/Designs/"));
        QCOMPARE(NewestFolderFor(none, folder, root, &step), root);
        QVERIFY(WorkPathRecord(folder).write(1003, QStringLiteral("/bound/")));
        QCOMPARE(NewestFolderFor(both, folder, root, &step), QStringLiteral("/bound/Parts/"));
        QCOMPARE(step, 2);
        QCOMPARE(CheckoutFolderFor(both, folder, QStringLiteral("/last/"), root), QStringLiteral("/bound/Parts/"));
    }
};

class TestCheckOutAndIn : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        m_server = std::make_unique<VersionServer>();
        m_alice = m_server->login(QStringLiteral("demo"), QStringLiteral("demo"));
        m_bob = m_server->login(QStringLiteral("bob"), QStringLiteral("bob123"));
    }
    void cleanupTestCase() { m_server.reset(); }

    void init()
    {
        m_work = std::make_unique<QTemporaryDir>();
        m_config = std::make_unique<QTemporaryDir>();
    }

    // Two users on one server: the lock is seen and enforced, check-in makes a
    // version and ends the check-out, cancel gives the lock back and keeps the copy.
    void twoUsersOneFile()
    {
        const qint64 key = m_server->fileKey(QStringLiteral("Offer 2024-018.docx"));
        const qint64 o2024 = m_server->sql(QStringLiteral("SELECT folder_id FROM files WHERE key=?"), {key}).toLongLong();
        const int before = m_server->versions(key);
        const QString name = QStringLiteral("Offer 2024-018.docx");
        Recorder alice;
        TVersionControl vc(m_alice, configFolder(), alice.hooks());
        QVERIFY(vc.CheckOut({QString::number(key)}, {name}, m_work->path() + u'/', false, true));
        const QString local = m_work->path() + u'/' + name;
        QCOMPARE(alice.lines.size(), 1);
        QCOMPARE(alice.lines[0].first, local);
        QCOMPARE(alice.text(), QStringLiteral("Successfully checked out"));
        QCOMPARE(alice.opened, QStringList{local});
        QCOMPARE(CheckoutRecord(configFolder()).read(key), local);
        QCOMPARE(QFileInfo(local).size(), qint64(serverBytes(m_alice, key, m_work->path()).size()));

        // Bob's list names the holder; his new version is refused with the server's reason.
        QString list;
        QCOMPARE(m_bob.MakeClient()->GetFileList(m_server->ownerOfFolder(o2024), o2024, list), st::Ok);
        QVERIFY2(list.contains(name + QStringLiteral("*Demo User*")), qPrintable(list));
        const QString bobCopy = m_work->path() + QStringLiteral("/bob.docx");
        QVERIFY(QFile::copy(local, bobCopy));
        auto bob = m_bob.MakeClient();
        QCOMPARE(int(bob->UploadFile2(bobCopy, QString(), key)), 14);
        QVERIFY2(bob->GetLastError().contains(QLatin1String("locked")), qPrintable(bob->GetLastError()));

        // Alice edits and checks in: a new version, lock and record gone.
        {
            QFile f(local);
            QVERIFY(f.open(QIODevice::Append));
            f.write("alice was here");
        }
        setWriteTime(local, QDateTime::currentDateTime().addSecs(60));
        Recorder checkin;
        QVERIFY(TVersionControl(m_alice, configFolder(), checkin.hooks()).BathCheckin({QString::number(key)}, {name}));
        QCOMPARE(checkin.text(), QStringLiteral("Successfully checked in"));
        QCOMPARE(m_server->versions(key), before + 1);
        QCOMPARE(m_server->lockHolder(key), QString());
        QVERIFY(!CheckoutRecord(configFolder()).contains(key));
        QVERIFY(serverBytes(m_bob, key, m_work->path()).endsWith("alice was here"));

        // Out again and cancelled: the lock is gone, the local copy stays.
        QVERIFY(TVersionControl(m_alice, configFolder(), Recorder().hooks()).CheckOut({QString::number(key)}, {name}, m_work->path(), false, false));
        QCOMPARE(m_server->lockHolder(key), QStringLiteral("Demo User"));
        Recorder cancel;
        QVERIFY(TVersionControl(m_alice, configFolder(), cancel.hooks()).CancelCheckout({QString::number(key)}, {name}));
        // The row names the copy the user has, not only the server's file name.
        QCOMPARE(cancel.lines, (QList<QPair<QString, QString>>{{local, QStringLiteral("Checkout cancelled")}}));
        QCOMPARE(m_server->lockHolder(key), QString());
        QVERIFY(QFileInfo::exists(local));
        QVERIFY(!CheckoutRecord(configFolder()).contains(key));
    }

    void lockedByAnotherIsLeftAlone()
    {
        const qint64 key = m_server->fileKey(QStringLiteral("Customer list.xlsx"));
        QCOMPARE(m_bob.MakeClient()->LockFile(key), 1);
        Recorder r;
        QVERIFY(!TVersionControl(m_alice, configFolder(), r.hooks()).CheckOut({QString::number(key)}, {QStringLiteral("Customer list.xlsx")}, m_work->path(), false, false));
        QCOMPARE(r.lines.size(), 1);
        QCOMPARE(r.text(), QStringLiteral("The file has been locked."));
        QCOMPARE(r.lines[0].first, m_work->path() + QStringLiteral("/Customer list.xlsx"));
        // A refusal for "locked" must not release the other user's lock.
        QCOMPARE(m_server->lockHolder(key), QStringLiteral("Bob"));
        QVERIFY(!QFileInfo::exists(m_work->path() + QStringLiteral("/Customer list.xlsx")));
        QCOMPARE(m_bob.MakeClient()->UnLockFile(true, key), 1);
    }

    // Checking out again a file the user already holds, into a folder that cannot
    // take it: the failure must not give back the lock the first check-out holds.
    void failedSecondCheckOutKeepsTheFirst()
    {
        const QString name = QStringLiteral("Customer list.xlsx");
        const qint64 key = m_server->fileKey(name);
        QVERIFY(TVersionControl(m_alice, configFolder(), Recorder().hooks()).CheckOut({QString::number(key)}, {name}, m_work->path(), false, false));
        const QString local = m_work->path() + u'/' + name;
        QCOMPARE(CheckoutRecord(configFolder()).read(key), local);
        // A file where the second target folder would have to be.
        writeBytes(m_work->path() + QStringLiteral("/blocked"), "not a folder");
        Recorder r;
        QVERIFY(!TVersionControl(m_alice, configFolder(), r.hooks()).CheckOut({QString::number(key)}, {name}, m_work->path() + QStringLiteral("/blocked/inner"), false, false));
        QCOMPARE(r.lines.size(), 1);
        QCOMPARE(m_server->lockHolder(key), QStringLiteral("Demo User"));
        QCOMPARE(CheckoutRecord(configFolder()).read(key), local);
        QVERIFY(QFileInfo::exists(local));
        QCOMPARE(m_alice.MakeClient()->UnLockFile(true, key), 1);
    }

    // Opening after a check-out follows the client's one rule: a program, whatever
    // its name, is checked out but never started.
    void checkedOutProgramIsNotOpened()
    {
        const QString name = QStringLiteral("Figures.zip");
        const qint64 key = m_server->fileKey(name);
        const QString program = m_work->path() + QStringLiteral("/program.bin");
        writeBytes(program, QByteArray("\x7F" "ELF\x02\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x3E\0", 20));
        QCOMPARE(int(m_bob.MakeClient()->UploadFile2(program, QString(), key)), 3);
        Recorder r;
        QVERIFY(TVersionControl(m_alice, configFolder(), r.hooks()).CheckOut({QString::number(key)}, {name}, m_work->path(), false, true));
        const QString local = m_work->path() + u'/' + name;
        QVERIFY(QFileInfo::exists(local));
        QVERIFY(r.opened.isEmpty());
        QCOMPARE(r.lines.size(), 2);
        QVERIFY2(r.text(1).startsWith(QLatin1String("Failed to open file")), qPrintable(r.text(1)));
        QCOMPARE(m_alice.MakeClient()->UnLockFile(true, key), 1);
    }

    // A copy still open in a program is checked in only when the user agrees.
    void checkInOfAnOpenCopyAsks_data()
    {
        QTest::addColumn<bool>("answer");
        QTest::addRow("No: still checked out") << false;
        QTest::addRow("Yes: checked in") << true;
    }
    void checkInOfAnOpenCopyAsks()
    {
        QFETCH(bool, answer);
        const QString name = QStringLiteral("Meeting notes.txt");
        const qint64 key = m_server->fileKey(name);
        const int before = m_server->versions(key);
        QVERIFY(TVersionControl(m_alice, configFolder(), Recorder().hooks()).CheckOut({QString::number(key)}, {name}, m_work->path(), false, false));
        const QString local = m_work->path() + u'/' + name;
        writeBytes(local, answer ? "checked in while open" : "still being written");
        setWriteTime(local, QDateTime::currentDateTime().addSecs(60));
        // A program holding the copy open, as an editor would.
        QProcess holder;
        holder.setStandardInputFile(local);
        holder.start(QStringLiteral("sleep"), {QStringLiteral("60")});
        QVERIFY(holder.waitForStarted(5000));
        Recorder r;
        r.answers = {answer};
        const bool ok = TVersionControl(m_alice, configFolder(), r.hooks()).BathCheckin({QString::number(key)}, {name});
        holder.kill();
        holder.waitForFinished(5000);
        QCOMPARE(ok, answer);
        QCOMPARE(r.questions.size(), 1);
        QVERIFY(r.questions.first().contains(QDir::toNativeSeparators(local)));
        QCOMPARE(m_server->versions(key), before + (answer ? 1 : 0));
        QCOMPARE(CheckoutRecord(configFolder()).contains(key), !answer);
        if (!answer)
            QCOMPARE(m_alice.MakeClient()->UnLockFile(true, key), 1);
    }

    // Local copy newer than the server's by the given seconds, overwrite style.
    void newerLocalCopy_data()
    {
        QTest::addColumn<int>("newerBy");
        QTest::addColumn<bool>("answer");
        QTest::addColumn<bool>("asked");
        QTest::addColumn<bool>("overwritten");
        QTest::addRow("4 s newer: overwritten unasked") << 4 << false << false << true;
        QTest::addRow("6 s newer, No: kept") << 6 << false << true << false;
        QTest::addRow("6 s newer, Yes: overwritten") << 6 << true << true << true;
        QTest::addRow("older: overwritten unasked") << -100 << false << false << true;
    }
    void newerLocalCopy()
    {
        QFETCH(int, newerBy);
        QFETCH(bool, answer);
        QFETCH(bool, asked);
        QFETCH(bool, overwritten);
        const QString name = QStringLiteral("Quarterly report.pptx");
        const qint64 key = m_server->fileKey(name);
        const QDateTime serverTime = m_alice.MakeClient()->GetLastModifyTime(key);
        const QString local = m_work->path() + u'/' + name;
        writeBytes(local, "local edits");
        setWriteTime(local, serverTime.addSecs(newerBy));
        Recorder r;
        r.answers = {answer};
        QVERIFY(TVersionControl(m_alice, configFolder(), r.hooks()).CheckOut({QString::number(key)}, {name}, m_work->path(), false, false));
        QCOMPARE(r.questions.size(), asked ? 1 : 0);
        QFile f(local);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll() != "local edits", overwritten);
        // Checked out either way, the record pointing at the copy.
        QCOMPARE(CheckoutRecord(configFolder()).read(key), local);
        QCOMPARE(m_server->lockHolder(key), QStringLiteral("Demo User"));
        QCOMPARE(m_alice.MakeClient()->UnLockFile(true, key), 1);
    }

    void keepLocalChangesDownloadsNothing()
    {
        const QString name = QStringLiteral("Figures.zip");
        const qint64 key = m_server->fileKey(name);
        const QString local = m_work->path() + u'/' + name;
        writeBytes(local, "mine");
        Recorder r;
        QVERIFY(TVersionControl(m_alice, configFolder(), r.hooks()).CheckOut({QString::number(key)}, {name}, m_work->path(), true, false));
        QVERIFY(r.questions.isEmpty());
        QFile f(local);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("mine"));
        QCOMPARE(CheckoutRecord(configFolder()).read(key), local);
        QCOMPARE(m_alice.MakeClient()->UnLockFile(true, key), 1);
    }

    // 16: nothing changed, the check-out ends. 15: the server has a newer version:
    // nothing of the user's is thrown away, and the line says so.
    void checkInRefusals()
    {
        const QString name = QStringLiteral("Offer 2024-017.pdf");
        const qint64 key = m_server->fileKey(name);
        const QString local = m_work->path() + u'/' + name;
        QVERIFY(TVersionControl(m_alice, configFolder(), Recorder().hooks()).CheckOut({QString::number(key)}, {name}, m_work->path(), false, false));
        Recorder unchanged;
        QVERIFY(!TVersionControl(m_alice, configFolder(), unchanged.hooks()).BathCheckin({QString::number(key)}, {name}));
        QCOMPARE(unchanged.lines.size(), 1);
        QVERIFY2(!unchanged.text().isEmpty() && unchanged.text() != QLatin1String("Successfully checked in"), qPrintable(unchanged.text()));
        QVERIFY(!CheckoutRecord(configFolder()).contains(key));
        QCOMPARE(m_server->lockHolder(key), QString());

        QVERIFY(TVersionControl(m_alice, configFolder(), Recorder().hooks()).CheckOut({QString::number(key)}, {name}, m_work->path(), false, false));
        writeBytes(local, "changed but stamped long ago");
        setWriteTime(local, QDateTime::currentDateTime().addYears(-3));
        Recorder old;
        QVERIFY(!TVersionControl(m_alice, configFolder(), old.hooks()).BathCheckin({QString::number(key)}, {name}));
        QVERIFY2(old.text().contains(QLatin1String("remains checked out")), qPrintable(old.text()));
        QCOMPARE(CheckoutRecord(configFolder()).read(key), local);
        QCOMPARE(m_server->lockHolder(key), QStringLiteral("Demo User"));
        QVERIFY(QFileInfo::exists(local));
        QCOMPARE(m_alice.MakeClient()->UnLockFile(true, key), 1);
    }

    void checkInWithoutRecord()
    {
        const qint64 key = m_server->fileKey(QStringLiteral("Todo.txt"));
        Recorder r;
        QVERIFY(!TVersionControl(m_alice, configFolder(), r.hooks()).BathCheckin({QString::number(key)}, {QStringLiteral("Todo.txt")}));
        QCOMPARE(r.lines, (QList<QPair<QString, QString>>{{QStringLiteral("Todo.txt"), QStringLiteral("Failed to check in due to a missing local file")}}));
    }

    void unsafeNameTakesNoLock()
    {
        const qint64 key = m_server->fileKey(QStringLiteral("Meeting notes.txt"));
        Recorder r;
        QVERIFY(!TVersionControl(m_alice, configFolder(), r.hooks()).CheckOut({QString::number(key)}, {QStringLiteral("../escape.txt")}, m_work->path(), false, false));
        QCOMPARE(r.lines.size(), 1);
        QCOMPARE(m_server->lockHolder(key), QString());
    }

    void twoFilesOpenTheFolderOnce()
    {
        const QStringList names{QStringLiteral("Whiteboard.png"), QStringLiteral("Meeting notes.txt")};
        const QStringList keys{QString::number(m_server->fileKey(names[0])), QString::number(m_server->fileKey(names[1]))};
        Recorder r;
        QVERIFY(TVersionControl(m_alice, configFolder(), r.hooks()).CheckOut(keys, names, m_work->path() + u'/', false, true));
        QCOMPARE(r.opened, QStringList{m_work->path() + u'/'});
        QVERIFY(TVersionControl(m_alice, configFolder(), Recorder().hooks()).CancelCheckout(keys, names));
    }

    // A time answer that is not a number after the lock was granted: the lock goes back.
    void badModifyTimeReleasesTheLock()
    {
        FakeServer srv;
        srv.addScript([](FakeConn &c) { c.readFrame(); c.writeFrame(80, QStringLiteral("1")); });
        srv.addScript([](FakeConn &c) { c.readFrame(); c.writeFrame(80, QStringLiteral("soon")); });
        srv.addScript([](FakeConn &c) { c.readFrame(); c.writeFrame(80, QStringLiteral("1")); });
        QVERIFY(srv.ok());
        TServerConn conn;
        conn.Host = QStringLiteral("127.0.0.1");
        conn.Port = srv.port();
        conn.EncryptId = QStringLiteral("T");
        conn.Language = HSL_ENG;
        Recorder r;
        QVERIFY(!TVersionControl(conn, configFolder(), r.hooks()).CheckOut({QStringLiteral("77")}, {QStringLiteral("a.txt")}, m_work->path(), false, false));
        QCOMPARE(r.lines.size(), 1);
        QVERIFY2(r.text().contains(QLatin1String("soon")), qPrintable(r.text()));
        QVERIFY(srv.waitForHandled(3));
        // The third exchange is the release: request 75 for the same key.
        QCOMPARE(quint8(srv.received(2).at(16 + 4 + 2)), quint8(75));
        QVERIFY(srv.received(2).contains(utf16(QStringLiteral("[FileKey]77[/FileKey][IsCancel]True[/IsCancel]"))));
        QVERIFY(!CheckoutRecord(configFolder()).contains(77));
    }

    void numberedCopy_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected");
        QTest::addRow("highest number wins, as a number") << QStringList{"x.asm", "x.asm.3", "x.asm.12", "x.asm.9"} << "x.asm" << "x.asm.12";
        QTest::addRow("no numbered sibling: the file itself") << QStringList{"x.asm"} << "x.asm" << "x.asm";
        QTest::addRow("extension case") << QStringList{"P.ASM", "P.ASM.2"} << "P.ASM" << "P.ASM.2";
        QTest::addRow("non-numbers ignored") << QStringList{"x.asm", "x.asm.bak"} << "x.asm" << "x.asm";
        QTest::addRow("other types unchanged") << QStringList{"x.prt", "x.prt.4"} << "x.prt" << "x.prt";
    }
    void numberedCopy()
    {
        QFETCH(QStringList, files);
        QFETCH(QString, path);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        for (const QString &f : files)
            writeBytes(dir.path() + u'/' + f, "x");
        QDir(dir.path()).mkdir(path + QStringLiteral(".99"));
        QCOMPARE(TVersionControl::NumberedCopy(dir.path() + u'/' + path), dir.path() + u'/' + expected);
    }

private:
    QString configFolder() const { return m_config->path() + u'/'; }
    static QByteArray utf16(const QString &s) { return QByteArray(reinterpret_cast<const char *>(s.utf16()), s.size() * 2); }
    std::unique_ptr<VersionServer> m_server;
    TServerConn m_alice, m_bob;
    std::unique_ptr<QTemporaryDir> m_work, m_config;
};

class TestCompare : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // Seconds the server's time is ahead of the local one, and the state of the pair.
    void colourAtEachEdge_data()
    {
        QTest::addColumn<double>("serverAhead");
        QTest::addColumn<int>("state");
        QTest::addRow("same") << 0.0 << int(DS_Same);
        QTest::addRow("server 1.9 s newer") << 1.9 << int(DS_Same);
        QTest::addRow("server 2.1 s newer") << 2.1 << int(DS_ServerNewer);
        QTest::addRow("local 1.9 s newer") << -1.9 << int(DS_Same);
        QTest::addRow("local 2.1 s newer") << -2.1 << int(DS_LocalNewer);
        QTest::addRow("server a day newer") << 86400.0 << int(DS_ServerNewer);
    }
    void colourAtEachEdge()
    {
        QFETCH(double, serverAhead);
        QFETCH(int, state);
        const TDateTime local = 45322.5;
        TFileItem s{5, QStringLiteral("a.TXT"), QString(), local + serverAhead / 86400.0, false};
        TFileItem l{0, QStringLiteral("A.txt"), QString(), local, false};
        const QList<TDiffRow> rows = MergeFileItems({s}, {l});
        QCOMPARE(rows.size(), 1);   // names compare without case: one pair
        QCOMPARE(rows[0].State, state);
    }

    // The local side lists the user's files, not the temporary files of the client and the editors.
    void workingFilesAreHidden_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("shown");
        QTest::addRow("document") << "Report.docx" << true;
        QTest::addRow("download in progress") << "Report.docx.tmp" << false;
        QTest::addRow("backup of a download") << "Report.docx.bak" << false;
        QTest::addRow("LibreOffice lock") << ".~lock.Report.docx#" << false;
        QTest::addRow("other suite's owner file") << "~$Report.docx" << false;
        QTest::addRow("vim swap") << ".Report.docx.swp" << false;
        QTest::addRow("emacs lock") << ".#Report.docx" << false;
        QTest::addRow("a name that only contains tmp") << "tmp notes.txt" << true;
    }
    void workingFilesAreHidden()
    {
        QFETCH(QString, name);
        QFETCH(bool, shown);
        QTemporaryDir dir;
        writeBytes(dir.filePath(name), "x");
        const QList<TFileItem> items = ListLocalFolder(dir.path());
        QCOMPARE(items.size(), shown ? 1 : 0);
    }

    void mergeAlignsBothSides()
    {
        QList<TFileItem> server = ParseServerFolderList(QStringLiteral(
            "11*45322336909722*b.doc*Alice*False\r\n12*45322336909722*Sub*  *1\r\n13*45322336909722*c.txt**\r\n14*45322336909722*z.pdf*\r\n"));
        QCOMPARE(server.size(), 4);
        QVERIFY(server[1].IsFolder);           // a single-character last field is kept
        QCOMPARE(server[0].CheckOutUser, QStringLiteral("Alice"));
        QCOMPARE(server[3].Name, QStringLiteral("z.pdf"));
        QVERIFY(!server[3].IsFolder);
        QList<TFileItem> local{{0, QStringLiteral("a.txt"), {}, 1, false}, {0, QStringLiteral("C.TXT"), {}, server[2].ModifyTime, false},
                               {0, QStringLiteral("Sub"), {}, 1, true}, {0, QStringLiteral("Other"), {}, 1, true}};
        SortFileItems(server);
        SortFileItems(local);
        int lastFolder = -2;
        const QList<TDiffRow> rows = MergeFileItems(server, local, &lastFolder);
        QStringList shape;
        for (const TDiffRow &r : rows)
            shape << QStringLiteral("%1|%2|%3").arg(r.Server ? r.Server->Name : QString(), r.Local ? r.Local->Name : QString()).arg(r.State);
        QCOMPARE(shape, QStringList({"|Other|2", "Sub|Sub|3", "|a.txt|2", "b.doc||1", "c.txt|C.TXT|0", "z.pdf||1"}));
        QCOMPARE(lastFolder, 1);
        QStringList diff;
        for (const TDiffRow &r : DifferencesOnly(rows))
            diff << (r.Server ? r.Server->Name : r.Local->Name);
        QCOMPARE(diff, QStringList({"Other", "Sub", "a.txt", "b.doc", "z.pdf"}));
        QVERIFY(ParseServerFolderList(QStringLiteral("no power")).isEmpty());
    }
};

class TestNewestVersions : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void parse()
    {
        const QList<TFileInFo> e = ParseNewVerReply(QStringLiteral("5*1004*45322336909722*Bracket.dwg*Designs/Parts/\r\n6*7*8*odd*name*with/star/\r\n9*3\r\n"));
        QCOMPARE(e.size(), 3);
        QCOMPARE(e[0].Key, 5);
        QCOMPARE(e[0].FolderId, 1004);
        QCOMPARE(e[0].Path, QStringLiteral("Designs\\Parts\\"));
        QCOMPARE(FormatWireDateTime(e[0].Date), QStringLiteral("2024-01-31 08:05:09"));
        QCOMPARE(e[1].Name, QStringLiteral("odd"));
        QCOMPARE(e[1].Path, QStringLiteral("name*with\\star\\"));
        QCOMPARE(e[2].FolderId, 3);
        QCOMPARE(e[2].Name, QString());
    }

    void localFolder_data()
    {
        QTest::addColumn<int>("step");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected");   // relative to the target, "-" = no place
        QTest::addRow("mirrored under the root") << 0 << "A\\B\\" << "A/B/";
        QTest::addRow("top level file at step 0") << 0 << "" << "";
        QTest::addRow("bound folder itself") << 2 << "Designs\\Parts\\" << "";
        QTest::addRow("deeper sub-folder keeps its relative path") << 2 << "Designs\\Parts\\Sub\\Deep\\" << "Sub/Deep/";
        QTest::addRow("too few levels: skipped") << 3 << "Designs\\Parts\\" << "-";
        QTest::addRow("climbing out: skipped") << 1 << "Designs\\..\\..\\" << "-";
    }
    void localFolder()
    {
        QFETCH(int, step);
        QFETCH(QString, path);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const QString target = dir.path() + u'/';
        TNewestVersions fetch(TServerConn{}, {});
        fetch.SetTarget(target, step);
        TFileInFo e;
        e.FolderId = 9;
        e.Path = path;
        QCOMPARE(fetch.LocalFolderOf(e), expected == QLatin1String("-") ? QString() : target + expected);
    }

    // A tree with a changed, an unchanged and a newer-locally file, fetched into a bound folder.
    void fetchTree()
    {
        VersionServer server;
        const TServerConn conn = server.login(QStringLiteral("demo"), QStringLiteral("demo"));
        const qint64 designs = server.folderId(QStringLiteral("Designs"));
        const qint32 owner = server.ownerOfFolder(designs);
        QTemporaryDir work;
        const QString target = work.path() + QStringLiteral("/bound/");
        const QString overview = target + QStringLiteral("Product overview.pptx");
        const QString bracket = target + QStringLiteral("Parts/Bracket.dwg");
        const QString housing = target + QStringLiteral("Parts/Housing.dwg");
        QVERIFY(QDir().mkpath(target + QStringLiteral("Parts")));
        auto client = conn.MakeClient();
        // Unchanged: the server's bytes and time. Changed: older local copy. Newer locally: asked.
        QCOMPARE(int(client->DownloadFile(bracket, QStringLiteral("[IsReplace]True[/IsReplace]"), server.fileKey(QStringLiteral("Bracket.dwg")))), 10);
        writeBytes(bracket, "untouched?");   // same time as the server: skipped, so this stays
        setWriteTime(bracket, client->GetLastModifyTime(server.fileKey(QStringLiteral("Bracket.dwg"))).addMSecs(500));
        writeBytes(overview, "old");
        setWriteTime(overview, QDateTime::currentDateTime().addYears(-10));
        writeBytes(housing, "newer local");
        setWriteTime(housing, QDateTime::currentDateTime().addSecs(3600));
        writeBytes(housing + QStringLiteral(".1"), "leftover");

        const QString reply = client->GetServerPath(designs, true);
        QVERIFY(WorkPathRecord(work.path() + u'/').write(qint32(designs), target));
        int step = -1;
        QCOMPARE(NewestFolderFor(reply, work.path() + u'/', work.path() + QStringLiteral("/wroot/"), &step), target);

        for (const TReplaceAnswer answer : {TReplaceAnswer::Cancel, TReplaceAnswer::Ok}) {
            QList<QPair<QString, QString>> lines;
            QStringList asked;
            TNewestHooks hooks;
            hooks.report = [&](const QString &f, const QString &t) { lines.append({f, t}); };
            hooks.askReplace = [&](const QString &f) {
                asked << f;
                return answer;
            };
            TNewestVersions fetch(conn, hooks);
            fetch.SetTarget(target, step);
            QVERIFY(fetch.Run(owner, designs, true));
            QCOMPARE(asked, QStringList{housing});
            QFile b(bracket);
            QVERIFY(b.open(QIODevice::ReadOnly));
            QCOMPARE(b.readAll(), QByteArray("untouched?"));
            QFile o(overview);
            QVERIFY(o.open(QIODevice::ReadOnly));
            QVERIFY(o.readAll() != "old");
            QFile h(housing);
            QVERIFY(h.open(QIODevice::ReadOnly));
            if (answer == TReplaceAnswer::Cancel) {
                QCOMPARE(h.readAll(), QByteArray("newer local"));
                QVERIFY(QFileInfo::exists(housing + QStringLiteral(".1")));
                QVERIFY(lines.contains({overview, QStringLiteral("Successfully obtained")}));
            } else {
                QVERIFY(h.readAll() != "newer local");
                QVERIFY(!QFileInfo::exists(housing + QStringLiteral(".1")));
                // The replaced newer copy is kept as a backup, and the line names it.
                bool named = false;
                for (const auto &l : lines)
                    named |= l.first == housing && l.second.contains(QLatin1String("kept as"));
                QVERIFY2(named, qPrintable(lines.isEmpty() ? QString() : lines.last().second));
            }
            // Files of other folders of the tree that have no local copy are fetched too.
            setWriteTime(overview, QDateTime::currentDateTime().addYears(-10));
        }
    }
};

struct ScriptedPrompter : TPrompter {
    QStringList shown;
    QStringList questions;
    QList<bool> answers;
    void Info(QWidget *, const QString &, const QString &text) override { shown << text; }
    void Error(QWidget *, const QString &, const QString &text) override { shown << text; }
    bool Ask(QWidget *, const QString &, const QString &text) override
    {
        questions << text;
        return answers.isEmpty() ? false : answers.takeFirst();
    }
};

class TestVersionWindows : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        TPrompter::SetInstance(&m_prompter);
        m_server = std::make_unique<VersionServer>();
        m_session.Conn = m_server->login(QStringLiteral("demo"), QStringLiteral("demo"));
        m_session.WorkRoot = m_dir.path() + QStringLiteral("/wroot/");
        m_session.ConfigFolder = m_dir.path() + u'/';
        m_session.SaveWorkRoot = [this](const QString &folder) {
            m_savedRoot = folder;
            return true;
        };
    }
    void cleanupTestCase()
    {
        TPrompter::SetInstance(nullptr);
        m_server.reset();
    }
    void init() { m_prompter = ScriptedPrompter(); }

    // The comparison fits a small screen when it starts comparing, can be closed by a button,
    // and its legend names the colours the rows are drawn in.
    void comparisonFitsAndItsLegendTellsTheColours()
    {
        const qint64 contracts = m_server->folderId(QStringLiteral("Contracts"));
        TShowDiffFrm frm(m_session, nullptr);
        QSignalSpy resolved(&frm, &TShowDiffFrm::pathResolved);
        frm.Init(m_server->ownerOfFolder(contracts), contracts);
        QVERIFY(resolved.wait(5000));
        frm.show();
        frm.Confirm();
        QTRY_VERIFY(frm.width() <= 1000);
        QVERIFY(frm.minimumSizeHint().width() <= 1000);
        const QColor orange = TShowDiffFrm::StateColour(DS_LocalNewer);
        QVERIFY2(orange.hue() >= 20 && orange.hue() <= 45, qPrintable(orange.name()));   // "Orange: local is newer"
        auto *legend = frm.findChild<QLabel *>(QStringLiteral("legend"));
        QVERIFY(legend);
        QVERIFY(legend->text().contains(orange.name() + QStringLiteral("\">Orange")));
        auto *close = frm.findChild<QPushButton *>(QStringLiteral("closeCompare"));
        QVERIFY(close && close->isVisible());
        QTest::mouseClick(close, Qt::LeftButton);
        QVERIFY(!frm.isVisible());
    }

    void comparisonWalksAndActs()
    {
        const qint64 contracts = m_server->folderId(QStringLiteral("Contracts"));
        const qint64 c2024 = m_server->folderId(QStringLiteral("2024"));
        const qint32 owner = m_server->ownerOfFolder(contracts);
        TShowDiffFrm frm(m_session, nullptr);
        QSignalSpy resolved(&frm, &TShowDiffFrm::pathResolved);
        QSignalSpy refreshed(&frm, &TShowDiffFrm::refreshed);
        frm.Init(owner, contracts);
        QVERIFY(resolved.wait(5000));
        QCOMPARE(frm.ServerPath(), QStringLiteral("R&D\\Contracts\\"));
        QCOMPARE(frm.LocalPath(), m_session.WorkRoot + QStringLiteral("Contracts/"));   // the home newest versions and check-out use
        const QString local = frm.LocalPath();
        QVERIFY(QDir().mkpath(local + QStringLiteral("2024")));
        writeBytes(local + QStringLiteral("Contract template.docx"), "mine");
        writeBytes(local + QStringLiteral("notes.txt"), "only here");
        frm.Confirm();
        QVERIFY(refreshed.wait(5000));
        QStringList shape;
        for (const TDiffRow &r : frm.Rows())
            shape << QStringLiteral("%1|%2").arg(r.Server ? r.Server->Name : QString(), r.Local ? r.Local->Name : QString());
        QCOMPARE(shape, QStringList({"2023|", "2024|2024", "Drafts|", "Contract template.docx|Contract template.docx", "|notes.txt"}));
        QCOMPARE(frm.FLastFolderIndex, 2);

        // Folder rows never take part.
        frm.lvServer->topLevelItem(1)->setSelected(true);
        frm.Upload();
        QCOMPARE(m_prompter.shown, QStringList{QStringLiteral("You did not select any file")});

        // A file checked out on the server is not uploaded over: the user is sent to check-in.
        const qint64 key = m_server->fileKey(QStringLiteral("Contract template.docx"));
        QCOMPARE(m_session.Conn.MakeClient()->LockFile(key), 1);
        frm.Refresh();
        QVERIFY(refreshed.wait(5000));
        QCOMPARE(frm.Rows()[3].Server->CheckOutUser, QStringLiteral("Demo User"));
        const int versions = m_server->versions(key);
        frm.lvServer->clearSelection();
        frm.lvServer->topLevelItem(3)->setSelected(true);
        frm.Upload();
        QVERIFY2(frm.MemoHint->toPlainText().endsWith(QLatin1String("Please use the \"Check in\" operation to check in this file")),
                 qPrintable(frm.MemoHint->toPlainText()));
        QVERIFY(m_prompter.questions.isEmpty());
        QCOMPARE(m_server->versions(key), versions);
        QCOMPARE(m_session.Conn.MakeClient()->UnLockFile(true, key), 1);

        // A local-only file goes up as a new server file; afterwards both sides agree.
        QSignalSpy batch(&frm, &TShowDiffFrm::batchEnded);
        frm.lvServer->clearSelection();
        frm.lvLocal->topLevelItem(4)->setSelected(true);
        frm.Upload();
        QVERIFY(batch.wait(10000));
        QVERIFY(refreshed.wait(5000));
        QVERIFY2(frm.MemoHint->toPlainText().endsWith(QLatin1String("notes.txt: Upload successful")), qPrintable(frm.MemoHint->toPlainText()));
        QVERIFY(m_server->fileKey(QStringLiteral("notes.txt")) > 0);
        const TDiffRow notes = frm.Rows().last();
        QVERIFY(notes.Server && notes.Local);
        QCOMPARE(notes.State, int(DS_Same));

        // The newest version over a newer local copy: asked first; "No" keeps the copy.
        const QString template_ = local + QStringLiteral("Contract template.docx");
        auto content = [&] {
            QFile f(template_);
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        };
        for (const bool yes : {false, true}) {
            m_prompter.answers = {yes};
            frm.lvLocal->clearSelection();
            frm.lvServer->clearSelection();
            frm.lvServer->topLevelItem(3)->setSelected(true);
            frm.GetNewest();
            QVERIFY(batch.wait(10000));
            QVERIFY(refreshed.wait(5000));
            QCOMPARE(m_prompter.questions.last(), QStringLiteral("An newer file exists locally. Will you replace it?"));
            QCOMPARE(content() == "mine", !yes);
        }
        QVERIFY(frm.MemoHint->toPlainText().contains(QLatin1String("Contract template.docx: Get successful")));
        QCOMPARE(frm.Rows()[3].State, int(DS_Same));
        m_prompter.questions.clear();

        // The replaced copy was newer than the server's: it stays beside it as a backup,
        // named in the memo; as the client's own file it is not listed among the user's.
        QCOMPARE(frm.Rows().size(), 5);
        QVERIFY(frm.MemoHint->toPlainText().contains(QLatin1String("it was kept as")));

        // Differences only, then all again from what was loaded.
        frm.ShowDifference();
        QVERIFY(!frm.N7->isEnabled() && frm.N8->isEnabled());
        for (const TDiffRow &r : frm.Rows())
            QVERIFY(r.State != DS_Same);
        frm.ShowAll();
        QCOMPARE(frm.Rows().size(), 5);
        QCOMPARE(frm.Rows()[2].Server->Name, QStringLiteral("Drafts"));

        // Into 2024 and back up through "..": the stack is the folder opened with.
        frm.OpenRow(1);
        QVERIFY(refreshed.wait(5000));
        QCOMPARE(frm.FFolderIdList, (QStringList{QString::number(c2024), QString::number(contracts)}));
        QCOMPARE(frm.LocalPath(), local + QStringLiteral("2024/"));
        QCOMPARE(frm.Rows().first().Server->Name, QStringLiteral(".."));
        QCOMPARE(frm.Rows().first().Local->Name, QStringLiteral(".."));
        frm.OpenRow(0);
        QVERIFY(refreshed.wait(5000));
        QCOMPARE(frm.FFolderIdList, QStringList{QString::number(contracts)});
        for (const TDiffRow &r : frm.Rows())
            QVERIFY(!r.Server || r.Server->Name != QLatin1String(".."));
    }

    // The actions work on the folder the rows came from, not on whatever the path
    // box says after them.
    void comparisonActsOnTheFolderShown()
    {
        const qint64 contracts = m_server->folderId(QStringLiteral("Contracts"));
        TShowDiffFrm frm(m_session, nullptr);
        QSignalSpy resolved(&frm, &TShowDiffFrm::pathResolved);
        QSignalSpy refreshed(&frm, &TShowDiffFrm::refreshed);
        QSignalSpy batch(&frm, &TShowDiffFrm::batchEnded);
        frm.Init(m_server->ownerOfFolder(contracts), contracts);
        QVERIFY(resolved.wait(5000));
        const QString local = frm.LocalPath();
        writeBytes(local + QStringLiteral("shown only.txt"), "from the folder shown");
        frm.Confirm();
        QVERIFY(refreshed.wait(5000));
        qsizetype row = -1;
        for (qsizetype i = 0; i < frm.Rows().size(); ++i)
            if (frm.Rows()[i].Local && frm.Rows()[i].Local->Name == QLatin1String("shown only.txt"))
                row = i;
        QVERIFY(row >= 0);
        frm.edLocalPath->setText(m_dir.path() + QStringLiteral("/typed meanwhile/"));
        frm.lvServer->clearSelection();
        frm.lvLocal->topLevelItem(int(row))->setSelected(true);
        frm.Upload();
        QVERIFY(batch.wait(10000));
        QVERIFY2(frm.MemoHint->toPlainText().contains(QDir::toNativeSeparators(local + QStringLiteral("shown only.txt")) + QStringLiteral(": Upload successful")),
                 qPrintable(frm.MemoHint->toPlainText()));
        QVERIFY(m_server->fileKey(QStringLiteral("shown only.txt")) > 0);
    }

    // A server list that cannot be read must not show every local file as "local only".
    void comparisonSaysWhyTheServerListFailed()
    {
        FakeServer srv;
        srv.addScript([](FakeConn &c) {
            c.readFrame();
            c.writeFrame(80, pathReply(QStringLiteral("Tree/Box"), QStringLiteral("5/9")));
        });
        srv.addScript([](FakeConn &c) {
            c.readFrame();
            c.abort();
        });
        const qint64 ticks = DateTimeToTicks(QDateTimeToDateTime(QDateTime::currentDateTime().addDays(-1)));
        srv.addScript([ticks](FakeConn &c) {
            c.readFrame();
            c.writeFrame(80, QStringLiteral("12*%1*mine.txt**False\r\n").arg(ticks));
        });
        QVERIFY(srv.ok());
        TVersionSession session = m_session;
        session.Conn.Host = QStringLiteral("127.0.0.1");
        session.Conn.Port = srv.port();
        session.Conn.Language = HSL_CN;
        TShowDiffFrm frm(session, nullptr);
        QSignalSpy resolved(&frm, &TShowDiffFrm::pathResolved);
        QSignalSpy refreshed(&frm, &TShowDiffFrm::refreshed);
        frm.Init(9, 9);
        QVERIFY(resolved.wait(5000));
        QVERIFY(QDir().mkpath(frm.LocalPath()));
        writeBytes(frm.LocalPath() + QStringLiteral("mine.txt"), "local");
        frm.Confirm();
        QVERIFY(refreshed.wait(5000));

        QVERIFY(!frm.Listed());
        QVERIFY(frm.Rows().isEmpty());
        for (QAction *a : {frm.N1, frm.N2, frm.N3, frm.N4, frm.N5, frm.N7, frm.N8})
            QVERIFY2(!a->isEnabled(), qPrintable(a->text()));
        QCOMPARE(m_prompter.shown.size(), 1);
        QVERIFY2(m_prompter.shown.first().startsWith(QStringLiteral("无法读取服务器上此文件夹的文件列表：")),
                 qPrintable(m_prompter.shown.first()));
        QVERIFY(m_prompter.shown.first().size() > QStringLiteral("无法读取服务器上此文件夹的文件列表：\n").size() + 20);
        QVERIFY(frm.MemoHint->toPlainText().contains(m_prompter.shown.first()));
        // Nothing acts while the server's side is unknown.
        frm.lvLocal->selectAll();
        frm.Upload();
        QCOMPARE(srv.connectionCount(), 2);

        // Trying again once the server answers brings the comparison back.
        frm.Refresh();
        QVERIFY(refreshed.wait(5000));
        QVERIFY(frm.Listed());
        QVERIFY(frm.N1->isEnabled() && frm.N2->isEnabled() && frm.N7->isEnabled());
        QCOMPARE(frm.Rows().size(), 1);
        QVERIFY(frm.Rows().first().Server && frm.Rows().first().Local);
        QCOMPARE(frm.Rows().first().State, int(DS_LocalNewer));
    }

    void workPathDialog()
    {
        const qint64 parts = m_server->folderId(QStringLiteral("Parts"));
        {
            TSetCheckOutPathFrm dlg(m_session);
            QSignalSpy resolved(&dlg, &TSetCheckOutPathFrm::pathResolved);
            dlg.Init(parts);
            QVERIFY(resolved.wait(5000));
            QCOMPARE(dlg.edPath->text(), m_session.WorkRoot + QStringLiteral("Designs/Parts/"));
            const QString chosen = m_dir.path() + QStringLiteral("/bound parts/");
            dlg.edPath->setText(chosen);
            m_prompter.answers = {false};
            QVERIFY(!dlg.Confirm());   // "No" to creating it keeps the dialog open
            QVERIFY(!QFileInfo::exists(chosen));
            m_prompter.answers = {true};
            QVERIFY(dlg.Confirm());
            QVERIFY(QFileInfo(chosen).isDir());
            QCOMPARE(WorkPathRecord(m_session.ConfigFolder).read(parts), chosen);
        }
        {
            // Folder id 0 is the work root: the setting changes, the record does not.
            TSetCheckOutPathFrm dlg(m_session);
            dlg.Init(0);
            QCOMPARE(dlg.edPath->text(), m_session.WorkRoot);
            dlg.edPath->setText(m_dir.path() + QStringLiteral("/new root/"));
            m_prompter.answers = {true};
            QVERIFY(dlg.Confirm());
            QCOMPARE(m_savedRoot, m_dir.path() + QStringLiteral("/new root/"));
            QVERIFY(m_prompter.shown.last().startsWith(QLatin1String("Successfully saved.")));
            QCOMPARE(IniFile(WorkPathRecord(m_session.ConfigFolder).fileName()).sections(), QStringList{QString::number(parts)});
        }
        {
            // Writes that fail are failures: said so, and the dialog stays for another try.
            TVersionSession broken = m_session;
            writeBytes(m_dir.path() + QStringLiteral("/not a folder"), "x");
            broken.ConfigFolder = m_dir.path() + QStringLiteral("/not a folder/");
            broken.SaveWorkRoot = [](const QString &) { return false; };
            const QString target = m_dir.path() + QStringLiteral("/bound parts/");
            TSetCheckOutPathFrm bind(broken);
            QSignalSpy resolved(&bind, &TSetCheckOutPathFrm::pathResolved);
            bind.Init(parts);
            QVERIFY(resolved.wait(5000));
            bind.edPath->setText(target);
            const qsizetype shownBefore = m_prompter.shown.size();
            QVERIFY(!bind.Confirm());
            QCOMPARE(m_prompter.shown.size(), shownBefore + 1);
            TSetCheckOutPathFrm root(broken);
            root.Init(0);
            root.edPath->setText(target);
            QVERIFY(!root.Confirm());
            QVERIFY2(m_prompter.shown.last().contains(QLatin1String("not saved")), qPrintable(m_prompter.shown.last()));
        }
    }

private:
    ScriptedPrompter m_prompter;
    QTemporaryDir m_dir;
    std::unique_ptr<VersionServer> m_server;
    TVersionSession m_session;
    QString m_savedRoot;
};

int main(int argc, char **argv)
{
    TestHome home;
    QApplication app(argc, argv);
    int status = 0;
    {
        TestRecordFiles t;
        status |= QTest::qExec(&t, argc, argv);
    }
    {
        TestResolveWorkPath t;
        status |= QTest::qExec(&t, argc, argv);
    }
    {
        TestCheckOutAndIn t;
        status |= QTest::qExec(&t, argc, argv);
    }
    {
        TestCompare t;
        status |= QTest::qExec(&t, argc, argv);
    }
    {
        TestNewestVersions t;
        status |= QTest::qExec(&t, argc, argv);
    }
    {
        TestVersionWindows t;
        status |= QTest::qExec(&t, argc, argv);
    }
    return status;
}

#include "tst_versions.moc"
