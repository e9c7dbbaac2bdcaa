// Version control: the record files, work-path resolution, check-out and check-in,
// comparison and newest versions, against the reference server where it matters.
#include "core/folders.h"
#include "core/textfile.h"
#include "testenv.h"
#include "versions/inifile.h"
#include "versions/workpaths.h"

#include <QFile>
#include <QTemporaryDir>
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
        QVERIFY(record.write(8612, QStringLiteral("/home/ann/work/Contracts/a b.docx")));
        QVERIFY(record.write(-5, QStringLiteral("/w/neg.txt")));
        // The file keeps the client's layout: decimal section, one key, backslashes verbatim.
        const QString text = ReadTextFile(folder + QLatin1String(kCheckoutRecordFile));
        QVERIFY2(text.contains(QLatin1String("[8612]\r\nCheckoutPath=\\home\\ann\\work\\Contracts\\a b.docx\r\n")), qPrintable(text));
        QVERIFY(text.contains(QLatin1String("[-5]\r\nCheckoutPath=\\w\\neg.txt")));
        QCOMPARE(record.read(8612), QStringLiteral("/home/ann/work/Contracts/a b.docx"));
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
        QVERIFY(record.write(205, QStringLiteral("/data/work/A/")));
        QVERIFY(!record.write(0, QStringLiteral("/data/root/")));
        QVERIFY(ReadTextFile(record.fileName()).contains(QLatin1String("[205]\r\nWorkPath=\\data\\work\\A\\\r\n")));
        QCOMPARE(record.read(205), QStringLiteral("/data/work/A/"));
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
        const QString root = dir.path() + QStringLiteral("/root/");
        const QString both = pathReply(QStringLiteral("Demo User/Designs/Parts/"), QStringLiteral("1003/1004/"));
        const QString noIds = QStringLiteral("[PathStr]Demo User/Designs/[/PathStr]");
        const QString none;
        QCOMPARE(CheckoutFolderFor(both, folder, QStringLiteral("/last/"), root), QStringLiteral("/last/"));
        QCOMPARE(CheckoutFolderFor(both, folder, QString(), root), root);
        QCOMPARE(CompareFolderFor(both, folder, root), root + QStringLiteral("Demo User/Designs/Parts/"));
        QCOMPARE(CompareFolderFor(noIds, folder, root), root + QStringLiteral("Demo User/Designs/"));
        QCOMPARE(CompareFolderFor(none, folder, root), root);
        // A server path that climbs out of the work root is never used.
        QCOMPARE(CompareFolderFor(pathReply(QStringLiteral("../../etc"), QStringLiteral("5/6")), folder, root), root);
        QCOMPARE(WorkPathDialogFolderFor(both, folder, root), root + QStringLiteral("Demo User/Designs/Parts/"));
        QCOMPARE(WorkPathDialogFolderFor(noIds, folder, root), QString());
        int step = -1;
        QCOMPARE(NewestFolderFor(both, folder, root, &step), root);
        QCOMPARE(step, 2);
        QCOMPARE(NewestFolderFor(noIds, folder, root, &step), root + QStringLiteral("Demo User/Designs/"));
        QCOMPARE(NewestFolderFor(none, folder, root, &step), root);
        QVERIFY(WorkPathRecord(folder).write(1003, QStringLiteral("/bound/")));
        QCOMPARE(NewestFolderFor(both, folder, root, &step), QStringLiteral("/bound/Parts/"));
        QCOMPARE(step, 2);
        QCOMPARE(CheckoutFolderFor(both, folder, QStringLiteral("/last/"), root), QStringLiteral("/bound/Parts/"));
    }
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
    return status;
}

#include "tst_versions.moc"
