// The preview module: LibreOffice conversion, viewer choice, option markers and
// the viewer windows, without a server.
#include "preview/officeconverter.h"
#include "testenv.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A stand-in office program: a shell script that acts out one behaviour.
QString writeScript(const QString &folder, const QByteArray &body)
{
    const QString path = folder + QLatin1String("/soffice");
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return {};
    f.write("#!/bin/sh\n" + body);
    f.close();
    f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
    return path;
}

} // namespace

class ConverterTest : public QObject
{
    Q_OBJECT
    TestHome home;

private Q_SLOTS:
    void argumentsKeepTheFileAndProfileApart()
    {
        // The fake records its arguments and writes the PDF where it was told to.
        QTemporaryDir dir;
        const QString args = dir.path() + QLatin1String("/args.txt");
        const QString prog = writeScript(dir.path(), "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '"
                                                         + QFile::encodeName(args) + "'\n"
                                                         "out=''; prev=''; for a in \"$@\"; do [ \"$prev\" = --outdir ] && out=\"$a\"; prev=\"$a\"; done\n"
                                                         "printf '%%PDF-1.4' > \"$out/-rf ;x.pdf\"\n");
        QFile src(dir.path() + QLatin1String("/-rf ;x.docx"));
        QVERIFY(src.open(QIODevice::WriteOnly));
        src.write("doc");
        src.close();
        TOfficeConverter c(prog);
        const TConversionResult r = c.Convert(src.fileName(), dir.path() + QLatin1String("/out"), dir.path() + QLatin1String("/work"));
        QVERIFY2(r.Ok, qPrintable(r.Error));
        QCOMPARE(QFileInfo(r.OutputPath).fileName(), QStringLiteral("-rf ;x.pdf"));
        QFile a(args);
        QVERIFY(a.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(a.readAll()).split(u'\n', Qt::SkipEmptyParts);
        QVERIFY(lines.first().startsWith(QLatin1String("-env:UserInstallation=file://")));
        QVERIFY(lines.contains(QStringLiteral("--headless")));
        // The document comes last and absolute, so its name never reads as an option.
        QCOMPARE(lines.last(), QFileInfo(src.fileName()).absoluteFilePath());
        // The private profile is gone afterwards.
        QCOMPARE(QDir(dir.path() + QLatin1String("/work")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    }

    void hangingOfficeIsEndedWithItsChildren()
    {
        QTemporaryDir dir;
        const QString pidFile = dir.path() + QLatin1String("/child.pid");
        const QString prog = writeScript(dir.path(), "sleep 60 &\necho $! > '" + QFile::encodeName(pidFile) + "'\nwait\n");
        QFile src(dir.path() + QLatin1String("/a.docx"));
        QVERIFY(src.open(QIODevice::WriteOnly));
        src.close();
        TOfficeConverter c(prog);
        c.TimeoutMs = 1000;
        QElapsedTimer t;
        t.start();
        const TConversionResult r = c.Convert(src.fileName(), dir.path(), dir.path());
        QVERIFY(!r.Ok);
        QVERIFY(r.TimedOut);
        QVERIFY(t.elapsed() < 8000);
        QFile pf(pidFile);
        QVERIFY(pf.open(QIODevice::ReadOnly));
        const QByteArray child = pf.readAll().trimmed();
        QVERIFY(!child.isEmpty());
        // The grandchild went with the group, not only the launcher.
        QTRY_VERIFY(!QFileInfo::exists(QLatin1String("/proc/") + QString::fromLatin1(child) + QLatin1String("/cmdline"))
                    || QFile(QLatin1String("/proc/") + QString::fromLatin1(child) + QLatin1String("/cmdline")).size() == 0);
    }

    void failedConversionSaysSo_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addRow("no output") << QByteArray("exit 0\n");
        QTest::addRow("crash") << QByteArray("kill -SEGV $$\n");
    }
    void failedConversionSaysSo()
    {
        QFETCH(QByteArray, script);
        QTemporaryDir dir;
        QFile src(dir.path() + QLatin1String("/a.docx"));
        QVERIFY(src.open(QIODevice::WriteOnly));
        src.close();
        TOfficeConverter c(writeScript(dir.path(), script));
        const TConversionResult r = c.Convert(src.fileName(), dir.path() + QLatin1String("/o"), dir.path());
        QVERIFY(!r.Ok);
        QVERIFY(!r.Error.isEmpty());
    }

    void realLibreOfficeMakesAPdf()
    {
        TOfficeConverter c;
        if (!c.IsAvailable())
            QSKIP("LibreOffice is not installed here");
        QTemporaryDir dir;
        QFile src(dir.path() + QLatin1String("/note.rtf"));
        QVERIFY(src.open(QIODevice::WriteOnly));
        src.write("{\\rtf1\\ansi Hello preview\\par}");
        src.close();
        const TConversionResult r = c.Convert(src.fileName(), dir.path() + QLatin1String("/o"), dir.path());
        QVERIFY2(r.Ok, qPrintable(r.Error));
        QFile pdf(r.OutputPath);
        QVERIFY(pdf.open(QIODevice::ReadOnly));
        QVERIFY(pdf.read(5) == "%PDF-");
    }

    void cacheKeysOnFileAndContent()
    {
        QTemporaryDir dir;
        TConversionCache cache(dir.path() + QLatin1String("/cache"));
        auto write = [&](const QString &name, const QByteArray &data) {
            QFile f(dir.path() + u'/' + name);
            f.open(QIODevice::WriteOnly);
            f.write(data);
            return f.fileName();
        };
        const QString v1 = write(QStringLiteral("v1.docx"), "one");
        const QString v2 = write(QStringLiteral("v2.docx"), "two");
        QVERIFY(cache.Lookup(7, v1).isEmpty());
        const QString kept = cache.Store(7, v1, write(QStringLiteral("c.pdf"), "%PDF-1"));
        QCOMPARE(cache.Lookup(7, v1), kept);
        QVERIFY(cache.Lookup(7, v2).isEmpty());   // another version
        QVERIFY(cache.Lookup(8, v1).isEmpty());   // another file
        cache.Clear();
        QVERIFY(cache.Lookup(7, v1).isEmpty());
    }
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    return runTests<ConverterTest>(argc, argv);
}

#include "tst_preview.moc"
