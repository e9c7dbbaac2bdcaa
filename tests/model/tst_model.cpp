#include "core/fileext.h"
#include "core/helpers.h"
#include "model/fileoperator.h"
#include "testenv.h"

#include <QDateTime>
#include <QFileInfo>

namespace {
void touch(const QString &path, const QByteArray &content = "x")
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
}
} // namespace

class FileOperatorTest : public QObject
{
    Q_OBJECT
    TestHome home;
    QString root;
    TFileOperator op;

private Q_SLOTS:
    void init()
    {
        root = home.path() + QLatin1String("/fo/") + QString::fromLatin1(QTest::currentTestFunction());
        QDir(root).removeRecursively();
        QVERIFY(QDir().mkpath(root));
    }

    void sizesAndTimes()
    {
        const QString f = root + QLatin1String("/a.txt");
        touch(f, "12345");
        const QDateTime t(QDate(2023, 6, 7), QTime(8, 9, 10));
        QVERIFY(SetFileWriteTime(f, t));
        qint64 size = -1;
        TDateTime m = -1, last = -1, created = -1;
        op.GetFileSizeAndModifyTime(f, size, m);
        QCOMPARE(size, qint64(5));
        QCOMPARE(DateTimeToQDateTime(m), t);
        QCOMPARE(op.GetFileModifyTime(f), m);
        QCOMPARE(op.GetFileSize(f), qint64(5));
        QCOMPARE(GetFileSizeEx(f), qint64(5));
        op.GetFileSizeAndLastTime(f, size, m, last);
        QVERIFY(last >= m);  // the later of creation (just now) and last write (2023)
        QVERIFY(last > QDateTimeToDateTime(QDateTime::currentDateTime().addSecs(-600)));
        op.GetFileSizeAndCreateTime(f, size, created);
        QVERIFY(created > m);
        TFileAttributeData a;
        QVERIFY(op.GetAttributes(f, a));
        QCOMPARE(a.Size, qint64(5));
        QVERIFY(!a.IsDir);
    }

    void missingFileGivesZeros()
    {
        const QString f = root + QLatin1String("/none");
        qint64 size = 9;
        TDateTime m = 9, last = 9;
        op.GetFileSizeAndModifyTime(f, size, m);
        QCOMPARE(size, qint64(0));
        QCOMPARE(m, 0.0);
        m = 7;
        op.GetFileSizeAndLastTime(f, size, m, last);
        QCOMPARE(last, 0.0);
        QCOMPARE(m, 7.0);  // unchanged
        QCOMPARE(op.GetFileModifyTime(f), 0.0);
        QCOMPARE(op.GetFileSize(f), qint64(0));
        TFileAttributeData a;
        QVERIFY(!op.GetAttributes(f, a));
    }

    void unsetStamp1980UsesCreationTime()
    {
        const QString f = root + QLatin1String("/old.bin");
        touch(f);
        QVERIFY(SetFileWriteTime(f, QDateTime(QDate(1980, 1, 1), QTime(0, 0))));
        qint64 size = 0;
        TDateTime m = 0;
        op.GetFileSizeAndModifyTime(f, size, m);
        QVERIFY(DateTimeToQDateTime(m).date().year() > 2000);
        QCOMPARE(DateTimeToQDateTime(op.GetFileModifyTime(f)).date().year(), 1980);  // no 1980 rule there
    }

    void postfixAndTypes()
    {
        QCOMPARE(op.GetFilePostfix(QStringLiteral("/x/a.b/readme")), QStringLiteral("b/readme"));
        QCOMPARE(op.GetFilePostfix(QStringLiteral("/x/y/readme")), QString());
        QCOMPARE(op.GetFilePostfix(QStringLiteral("a.DOCX")), QStringLiteral("DOCX"));
        QCOMPARE(op.GetFileExtType2(QStringLiteral("a.DOCX")), 0x646F6378u);
        QCOMPARE(op.FileTypeToExtStr(ExtCode(QStringLiteral("sldprt"))), QStringLiteral("sldprt"));
        QStringList files{QStringLiteral("a.txt"), QStringLiteral("b.doc"), QStringLiteral("c.TXT"), QStringLiteral("d")};
        op.FiltrateFile({7633012u}, files);
        QCOMPARE(files, (QStringList{QStringLiteral("a.txt"), QStringLiteral("c.TXT")}));
        QCOMPARE(op.GetSearchPath(QStringLiteral("/a"), QStringLiteral("txt")), QStringLiteral("/a/*.txt"));
        QCOMPARE(op.GetSearchPath(QStringLiteral("/a/"), QString()), QStringLiteral("/a/*.*"));
        QCOMPARE(op.GetSearchPath(QString(), QStringLiteral("txt")), QString());
    }

    void allFilesListsSubfoldersInPlace()
    {
        touch(root + QLatin1String("/1.txt"));
        touch(root + QLatin1String("/sub/2.txt"));
        touch(root + QLatin1String("/sub/deeper/3.doc"));
        touch(root + QLatin1String("/4.doc"));
        QStringList all;
        op.GetAllFiles(root, true, QString(), all);
        QCOMPARE(all.size(), 4);
        // Wherever "sub" occurs in the enumeration, its files follow one another right there.
        const qsizetype i2 = all.indexOf(root + QLatin1String("/sub/2.txt"));
        const qsizetype i3 = all.indexOf(root + QLatin1String("/sub/deeper/3.doc"));
        QVERIFY(i2 >= 0 && i3 >= 0);
        QCOMPARE(qAbs(i2 - i3), 1);
        QStringList top;
        op.GetAllFiles(root + u'/', false, QString(), top);
        top.sort();
        QCOMPARE(top, (QStringList{root + QLatin1String("/1.txt"), root + QLatin1String("/4.doc")}));
        QCOMPARE(ListAllFiles(root, false, QStringLiteral("TXT")), QStringList{root + QLatin1String("/1.txt")});
        QStringList none;
        op.GetAllFiles(root + QLatin1String("/missing"), true, QString(), none);
        QVERIFY(none.isEmpty());
    }

    void directoryLists()
    {
        QDir().mkpath(root + QLatin1String("/a/b/c"));
        QDir().mkpath(root + QLatin1String("/d"));
        QStringList flat;
        op.SaveDirectoryToList(root, flat);
        QCOMPARE(flat.size(), 4);
        QVERIFY(flat.contains(root + QLatin1String("/a/b/c/")));
        QVERIFY(flat.indexOf(root + QLatin1String("/a/")) < flat.indexOf(root + QLatin1String("/a/b/")));

        TDirectoryTree top;
        top.Path = root;
        QList<TDirectoryTree *> list;
        op.SaveDirectoryToList(&top, list, 2);
        QCOMPARE(list.size(), 3);  // a, a/b, d (c is level 3)
        for (int i = 0; i < list.size(); ++i)
            QCOMPARE(list.at(i)->Id, i + 1);
        TDirectoryTree *b = nullptr;
        for (TDirectoryTree *t : list)
            if (t->Path == root + QLatin1String("/a/b"))
                b = t;
        QVERIFY(b);
        QCOMPARE(int(b->Level), 2);
        QCOMPARE(b->Father->Path, root + QLatin1String("/a"));
        op.FreeDirectoryTree(&top);
        QVERIFY(top.Childs.empty());

        TDirectoryTree all;
        all.Path = root + u'/';
        QList<TDirectoryTree *> list2;
        op.SaveDirectoryToList(&all, list2, 0);
        QCOMPARE(list2.size(), 4);
        QVERIFY(!list2.first()->Path.contains(QLatin1String("//")));
    }

    void picturesAndVolumes()
    {
        touch(root + QLatin1String("/p.jpg"));
        touch(root + QLatin1String("/q.PNG"));
        touch(root + QLatin1String("/n.txt"));
        touch(root + QLatin1String("/s/r.tiff"));
        int n = 1;
        op.GetPicFileNum(root, false, n);
        QCOMPARE(n, 3);
        n = 0;
        op.GetPicFileNum(root, true, n);
        QCOMPARE(n, 3);  // p.jpg, q.PNG, s/r.tiff
        QVERIFY(op.GetVolumeInformation(QStringLiteral("/")));
        QVERIFY(op.GetDrives().contains(QStringLiteral("/")));
    }
};

int runDirectoryTests(int argc, char **argv);
int runShowFolderTests(int argc, char **argv);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int fileOperator = runTests<FileOperatorTest>(argc, argv);
    const int directory = runDirectoryTests(argc, argv);
    return runShowFolderTests(argc, argv) | directory | fileOperator;
}

#include "tst_model.moc"
