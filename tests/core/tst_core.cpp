#include "core/adapters.h"
#include "core/aes.h"
#include "core/ansicodec.h"
#include "core/clientconfigx.h"
#include "core/fileext.h"
#include "core/folders.h"
#include "core/helpers.h"
#include "core/memberpowers.h"
#include "core/resultcodes.h"
#include "core/safepath.h"
#include "core/tagtext.h"
#include "core/textfile.h"
#include "core/webcmd.h"
#include "core/wiredate.h"
#include "testenv.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <cmath>
#include <ctime>
#include <sys/resource.h>
#include <unistd.h>
#include <limits>

namespace {
QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
void writeBytes(const QString &path, const QByteArray &b)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(b);
}
} // namespace

class TagTextTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void getTagValue_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("tag");
        QTest::addColumn<bool>("trim");
        QTest::addColumn<QString>("expected");
        QTest::addRow("first match, any case") << "[a]1[/a][A]2[/A]" << "A" << true << "1";
        QTest::addRow("trimmed") << "[x] v [/x]" << "x" << true << "v";
        QTest::addRow("untrimmed") << "[x] v [/x]" << "x" << false << " v ";
        QTest::addRow("control chars trimmed") << "[x]\t\r\nv\n[/x]" << "x" << true << "v";
        QTest::addRow("close before open") << "[/x]1[x]2" << "x" << true << "";
        QTest::addRow("no close") << "[x]1" << "x" << true << "";
        QTest::addRow("missing") << "[y]1[/y]" << "x" << true << "";
        QTest::addRow("no nesting by name") << "[x]a[x]b[/x]c[/x]" << "x" << true << "a[x]b";
        QTest::addRow("value keeps case") << "[Cmd][FileKey]Ab[/FileKey][/CMD]" << "cmd" << true << "[FileKey]Ab[/FileKey]";
        QTest::addRow("only ASCII folded") << "[é]1[/é][É]2[/É]" << "É" << true << "2";
        QTest::addRow("empty value") << "[x][/x]" << "x" << true << "";
        QTest::addRow("empty text") << "" << "x" << true << "";
        QTest::addRow("bracket runs") << "[[[x]]1[[/x]]" << "x" << true << "]1[";
        QTest::addRow("cut closing tag") << "[x]1[/x" << "x" << true << "";
        QTest::addRow("name is a prefix of another") << "[xy]1[/xy][x]2[/x]" << "X" << true << "2";
        QTest::addRow("closing of another name first") << "[x]1[/xy]2[/x]" << "x" << true << "1[/xy]2";
        QTest::addRow("slash name") << "[/x]1[//x][x]2[/x]" << "/X" << true << "1";
        QTest::addRow("kelvin sign is not k") << "[\u212A]1[/\u212A][k]2[/k]" << "K" << true << "2";
    }
    void getTagValue()
    {
        QFETCH(QString, text);
        QFETCH(QString, tag);
        QFETCH(bool, trim);
        QFETCH(QString, expected);
        QCOMPARE(GetTagValue(text, tag, trim), expected);
        QCOMPARE(TTagIndex(text).Value(tag, trim), expected);   // the one-pass reader answers alike
    }

    // A list of 65 536 entries read from a reply of several megabytes: each lookup
    // must not scan (or copy) the whole text again.
    void tagIndexReadsLongListsInOnePass()
    {
        QString text = QString(1 << 20, u'[');
        for (int i = 0; i < 65536; ++i)
            text += QStringLiteral("[Ty%1]%1[/Ty%1]").arg(i);
        QElapsedTimer clock;
        clock.start();
        const TTagIndex index(text, u"ty");
        for (int i = 0; i < 65536; i += 4099)
            QCOMPARE(index.Value(QString(QLatin1String("TY") + QString::number(i))), QString::number(i));
        QCOMPARE(index.Value(u"Ty65536"), QString());
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    }

    void setTagValue_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("tag");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("expected");
        QTest::addRow("append with CRLF") << "[a]1[/a]\r\n" << "B" << "2" << "[a]1[/a]\r\n[B]2[/B]\r\n";
        QTest::addRow("replace first only") << "[k]1[/k]\r\n[k]2[/k]\r\n" << "K" << "x" << "[K]x[/K]\r\n[k]2[/k]\r\n";
        QTest::addRow("keeps around") << "pre[a]old[/a]post" << "a" << "new" << "pre[a]new[/a]post";
        QTest::addRow("empty text") << "" << "a" << "" << "[a][/a]\r\n";
        QTest::addRow("stray opening tag replaced") << "[a]1\r\n[b]2[/b]\r\n" << "A" << "3"
                                                    << "[A]3[/A]1\r\n[b]2[/b]\r\n";
        QTest::addRow("closing before opening") << "[/a]x[a]y" << "a" << "z" << "[/a]x[a]z[/a]y";
    }
    void setTagValue()
    {
        QFETCH(QString, text);
        QFETCH(QString, tag);
        QFETCH(QString, value);
        QFETCH(QString, expected);
        SetTagValue(tag, value, text);
        QCOMPARE(text, expected);
        QCOMPARE(GetTagValue(text, tag), value);
    }

    void ownClosingTagCorruptsOnlyThatEntry()
    {
        QString t;
        SetTagValue(QStringLiteral("a"), QStringLiteral("x[/a]y"), t);
        SetTagValue(QStringLiteral("b"), QStringLiteral("2"), t);
        QCOMPARE(GetTagValue(t, QStringLiteral("a")), QStringLiteral("x"));
        QCOMPARE(GetTagValue(t, QStringLiteral("b")), QStringLiteral("2"));
    }

    void tagValueFits_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("fits");
        QTest::addRow("plain") << "Signed on [date] by [/name]" << true;
        QTest::addRow("opening tag only") << "see [desc] above" << true;
        QTest::addRow("closing tag") << "first[/desc]second" << false;
        QTest::addRow("closing tag other case") << "first[/DeSc]second" << false;
        QTest::addRow("at the very end") << "text[/desc]" << false;
        QTest::addRow("unfinished closing tag") << "text[/desc" << true;
    }
    void tagValueFits()
    {
        QFETCH(QString, value);
        QFETCH(bool, fits);
        QCOMPARE(TagValueFits(value, QStringLiteral("desc")), fits);
        // What fits is read back whole from the entry it is sent in.
        const QString sent = QLatin1String("[desc]") + value + QLatin1String("[/desc]");
        QCOMPARE(GetTagValue(sent, QStringLiteral("desc"), false) == value, fits);
    }

    void splits()
    {
        QCOMPARE(SplitByText(QStringLiteral("a,,b,"), QStringLiteral(",")), (QStringList{"a", "", "b"}));
        QCOMPARE(SplitByText(QStringLiteral(",a"), QStringLiteral(",")), (QStringList{"", "a"}));
        QCOMPARE(SplitByText(QString(), QStringLiteral(",")), QStringList());
        QCOMPARE(SplitByText(QStringLiteral("a b"), QString()), QStringList{"a b"});
        QCOMPARE(SplitByText(QStringLiteral("a  b "), QStringLiteral(" ")), (QStringList{"a", "", "b"}));
        QCOMPARE(SplitByChar(QStringLiteral("a,,b,"), u','), (QStringList{"a", "b"}));
        QCOMPARE(SplitByChar(QStringLiteral(" a , b ,, "), u','), (QStringList{"a", "b"}));
        QCOMPARE(SplitIntegers(QStringLiteral("1,x,,3"), u','), (QList<qint32>{1, 0, 0, 3}));
        QCOMPARE(SplitIntegers(QStringLiteral("1, 2,-3,"), u','), (QList<qint32>{1, 0, -3}));
        QCOMPARE(SplitIntegers(QStringLiteral("99999999999"), u','), QList<qint32>{0});
        QCOMPARE(SplitInt64s(QStringLiteral("99999999999,-9223372036854775808"), u','),
                 (QList<qint64>{99999999999LL, std::numeric_limits<qint64>::min()}));
    }

    void strictIntegers_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("expected");
        QTest::addRow("plain") << "42" << 42;
        QTest::addRow("signed") << "-7" << -7;
        QTest::addRow("plus") << "+7" << 7;
        QTest::addRow("space") << " 7" << -1;
        QTest::addRow("empty") << "" << -1;
        QTest::addRow("sign only") << "-" << -1;
        QTest::addRow("max") << "2147483647" << 2147483647;
        QTest::addRow("min") << "-2147483648" << int(std::numeric_limits<int>::min());
        QTest::addRow("overflow") << "2147483648" << -1;
        QTest::addRow("hex") << "0x10" << -1;
    }
    void strictIntegers()
    {
        QFETCH(QString, text);
        QFETCH(int, expected);
        QCOMPARE(StrToIntDef(text, -1), expected);
    }
};

class TextFileTest : public QObject
{
    Q_OBJECT
    TestHome home;
private Q_SLOTS:
    void readTextFile_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");
        QTest::addRow("3 bytes ansi") << QByteArray("abc") << "abc";
        QTest::addRow("mark and one utf16 char") << QByteArray("\xFF\xFE\x2D\x4E", 4) << QStringLiteral("中");
        QTest::addRow("3 bytes FFFE is ansi") << QByteArray("\xFF\xFE\x41", 3) << AnsiToText(QByteArray("\xFF\xFE\x41", 3));
        QTest::addRow("4 bytes utf8 mark is ansi") << QByteArray("\xEF\xBB\xBF\x41", 4)
                                                   << AnsiToText(QByteArray("\xEF\xBB\xBF\x41", 4));
        QTest::addRow("utf16le") << QByteArray("\xFF\xFE\x41\x00\x42\x00", 6) << "AB";
        QTest::addRow("utf16le odd byte") << QByteArray("\xFF\xFE\x41\x00\x42\x00\x43", 7) << "AB";
        QTest::addRow("utf8 bom") << QByteArray("\xEF\xBB\xBF\xE4\xB8\xAD\x31", 7) << QStringLiteral("中1");
        QTest::addRow("gbk") << QByteArray("\xD6\xD0\xCE\xC4!", 5) << QStringLiteral("中文!");
        QTest::addRow("empty") << QByteArray() << "";
    }
    void readTextFile()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        const QString p = home.path() + QLatin1String("/t.txt");
        writeBytes(p, bytes);
        QCOMPARE(ReadTextFile(p), expected);
    }

    void readCapsAt64MiB()
    {
        const QString p = home.path() + QLatin1String("/big.txt");
        {
            QFile f(p);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QVERIFY(f.resize(kMaxTextFileBytes + 1000));
        }
        QCOMPARE(ReadTextFile(p).size(), kMaxTextFileBytes);
        QFile::remove(p);
        QCOMPARE(ReadTextFile(home.path() + QLatin1String("/missing")), QString());
    }

    // Reading a small file must not reserve the 64 MiB cap: with 32 MiB of address
    // space to spare, a thousand reads still work.
    void smallReadNeedsNoCapSizedBuffer()
    {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        QSKIP("sanitizers reserve address space of their own");
#else
        const QString p = home.path() + QLatin1String("/small.txt");
        QVERIFY(WriteUnicodeTextFile(p, QStringLiteral("[A]1[/A]")));
        QFile statm(QStringLiteral("/proc/self/statm"));
        QVERIFY(statm.open(QIODevice::ReadOnly));
        const qint64 pages = statm.readAll().split(' ').value(0).toLongLong();
        QVERIFY(pages > 0);
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_AS, &old), 0);
        rlimit tight = old;
        tight.rlim_cur = rlim_t(pages * sysconf(_SC_PAGESIZE) + (32 << 20));
        QCOMPARE(setrlimit(RLIMIT_AS, &tight), 0);
        int ok = 0;
        try {
            for (int i = 0; i < 1000; ++i)
                ok += ReadTextFile(p) == QLatin1String("[A]1[/A]");
        } catch (const std::bad_alloc &) {
        }
        setrlimit(RLIMIT_AS, &old);
        QCOMPARE(ok, 1000);
#endif
    }

    void unicodeWriteRoundTripAndEmptyKeepsFile()
    {
        const QString p = home.path() + QLatin1String("/u.txt");
        QVERIFY(WriteUnicodeTextFile(p, QStringLiteral("[A]中[/A]\r\n")));
        QVERIFY(readAll(p).startsWith("\xFF\xFE"));
        QCOMPARE(ReadTextFile(p), QStringLiteral("[A]中[/A]\r\n"));
        QVERIFY(WriteUnicodeTextFile(p, QString()));
        QCOMPARE(ReadTextFile(p), QStringLiteral("[A]中[/A]\r\n"));
        QVERIFY(WriteAnsiTextFile(p, QByteArray()));
        QCOMPARE(ReadTextFile(p), QStringLiteral("[A]中[/A]\r\n"));
        QVERIFY(WriteUnicodeTextFile(p, QStringLiteral("中")));
        QCOMPARE(ReadTextFile(p), QStringLiteral("中"));
        QVERIFY(WriteAnsiTextFile(p, "xyz12"));
        QCOMPARE(readAll(p), QByteArray("xyz12"));
    }

    void writeFailureIsReported()
    {
        QString error;
        QVERIFY(!WriteUnicodeTextFile(QStringLiteral("/dev/null/x/y.txt"), QStringLiteral("a"), &error));
        QVERIFY2(error.contains(QLatin1String("/dev/null/x/y.txt")), qPrintable(error));
    }

    void isValidUtf8_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("valid");
        QTest::addRow("ascii") << QByteArray("abc") << true;
        QTest::addRow("two byte") << QByteArray("\xC3\xA9") << true;
        QTest::addRow("three byte") << QByteArray("\xE4\xB8\xAD") << true;
        QTest::addRow("cut at end") << QByteArray("a\xE4\xB8") << true;
        QTest::addRow("bad follower") << QByteArray("\xE4\x41\xAD") << false;
        QTest::addRow("lone continuation") << QByteArray("\x80") << false;
        QTest::addRow("four byte character") << QByteArray("\xF0\x9F\x98\x80") << true;
        QTest::addRow("four byte lead with a bad follower") << QByteArray("\xF0\x9F\x41\x80") << false;
        QTest::addRow("lead above the last plane") << QByteArray("\xF5\x80\x80\x80") << false;
        QTest::addRow("gbk") << QByteArray("\xD6\xD0\xCE\xC4") << false;
    }
    void isValidUtf8()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, valid);
        QCOMPARE(IsValidUtf8(bytes), valid);
    }
};

class CodecTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void gbk_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addRow("zhong") << QStringLiteral("中") << QByteArray("\xD6\xD0");
        QTest::addRow("euro") << QStringLiteral("€") << QByteArray("\x80");
        QTest::addRow("ascii") << QStringLiteral("abc") << QByteArray("abc");
        QTest::addRow("mixed") << QStringLiteral("a中b") << QByteArray("a\xD6\xD0" "b");
    }
    void gbk()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        QCOMPARE(AnsiFromText(text), bytes);
        QCOMPARE(AnsiToText(bytes), text);
    }
    void unmappableBecomesQuestionMark()
    {
        QCOMPARE(AnsiFromText(QStringLiteral("a😀b")), QByteArray("a?b"));
        QCOMPARE(AnsiFromText(QStringLiteral("x\u20A9")).size(), 2);  // won sign is not in GBK
    }
    void cutLeadByteIsNotSwallowed()
    {
        const QString t = AnsiToText(QByteArray("a\xD6"));
        QCOMPARE(t.size(), 2);
        QCOMPARE(t.at(0), QChar(u'a'));
    }
};

class DateTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // Wire date-times are calendar values: the machine's zone must not change them,
    // not even for a time the local clock skips or repeats.
    void wireDatesIgnoreZone_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<int>("januaryOffset");
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        QTest::addColumn<qint64>("ticks");
        QTest::addRow("Berlin, skipped hour") << QByteArray("Europe/Berlin") << 3600 << "2026-03-29 02:30:00"
                                              << 46110.104166666664 << qint64(46110104166667LL);
        QTest::addRow("Berlin, repeated hour") << QByteArray("Europe/Berlin") << 3600 << "2026-10-25 02:30:00"
                                               << 46320.104166666664 << qint64(46320104166667LL);
        QTest::addRow("Adelaide, skipped hour") << QByteArray("Australia/Adelaide") << 37800 << "2026-10-04 02:30:00"
                                                << 46299.104166666664 << qint64(46299104166667LL);
        QTest::addRow("Kolkata") << QByteArray("Asia/Kolkata") << 19800 << "2024-01-31 08:05:09"
                                 << 45322.336909722224 << qint64(45322336909722LL);
        QTest::addRow("Kolkata, leap day end") << QByteArray("Asia/Kolkata") << 19800 << "2024-02-29 23:59:59"
                                               << 45351.99998842592 << qint64(45351999988426LL);
    }
    void wireDatesIgnoreZone()
    {
        QFETCH(QByteArray, zone);
        QFETCH(int, januaryOffset);
        QFETCH(QString, text);
        QFETCH(double, value);
        QFETCH(qint64, ticks);
        const ZoneScope scope(zone);
        QCOMPARE(QDateTime(QDate(2024, 1, 15), QTime(12, 0)).offsetFromUtc(), januaryOffset);  // the zone is in force
        const std::optional<TDateTime> parsed = ParseWireDateTime(text);
        QVERIFY(parsed);
        QCOMPARE(*parsed, value);
        QCOMPARE(FormatWireDateTime(value), text);
        QCOMPARE(DateTimeToTicks(value), ticks);
        QCOMPARE(FormatWireDateTime(TicksToDateTime(ticks)), text);
    }

    // A server time the local clock skipped still stamps the file: with the offset
    // before the jump, as the clock would have read without it.
    void skippedLocalTimeStampsFile()
    {
        const ZoneScope scope("Europe/Berlin");
        TestHome home;
        const QDateTime local = DateTimeToQDateTime(46110.104166666664);   // 2026-03-29 02:30:00
        QVERIFY(local.isValid());
        QCOMPARE(local.toUTC(), QDateTime(QDate(2026, 3, 29), QTime(1, 30), Qt::UTC));
        const QString p = home.path() + QLatin1String("/stamped.txt");
        writeBytes(p, "x");
        QVERIFY(SetFileWriteTime(p, local));
        QCOMPARE(QFileInfo(p).lastModified().toUTC(), QDateTime(QDate(2026, 3, 29), QTime(1, 30), Qt::UTC));
        // An ordinary time keeps its wall-clock reading.
        QCOMPARE(DateTimeToQDateTime(45322.336909722224).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                 QStringLiteral("2024-01-31 08:05:09"));
    }

    void formatAndParse()
    {
        const TDateTime dt = QDateTimeToDateTime(QDateTime(QDate(2024, 1, 31), QTime(8, 5, 9)));
        QCOMPARE(FormatWireDateTime(dt), QStringLiteral("2024-01-31 08:05:09"));
        const auto back = ParseWireDateTime(QStringLiteral("2024-01-31 08:05:09"));
        QVERIFY(back);
        QCOMPARE(FormatWireDateTime(*back), QStringLiteral("2024-01-31 08:05:09"));
        QCOMPARE(ParseWireDateTime(QStringLiteral("2024-01-31")).value_or(-1),
                 QDateTimeToDateTime(QDateTime(QDate(2024, 1, 31), QTime(0, 0))));
        QCOMPARE(FormatWireDateTime(ParseWireDateTime(QStringLiteral(" 2024-1-2  3:4 ")).value_or(-1)),
                 QStringLiteral("2024-01-02 03:04:00"));
        QCOMPARE(QDateTimeToDateTime(QDateTime(QDate(1899, 12, 30), QTime(12, 0))), 0.5);
        QCOMPARE(DateTimeToQDateTime(-1.25), QDateTime(QDate(1899, 12, 29), QTime(6, 0)));
    }
    void badDates_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addRow("slashes") << "2024/01/31";
        QTest::addRow("month 13") << "2024-13-01";
        QTest::addRow("hour 25") << "2024-01-01 25:00:00";
        QTest::addRow("words") << "yesterday";
        QTest::addRow("T separator") << "2024-01-02T03:04:05";
        QTest::addRow("trailing text") << "2024-01-02 03:04:05x";
        QTest::addRow("five-digit year") << "20245-01-02";
        QTest::addRow("hour without minutes") << "2024-01-02 03";
        QTest::addRow("empty") << "";
    }
    void badDates()
    {
        QFETCH(QString, text);
        QString error;
        QVERIFY(!ParseWireDateTime(text, &error));
        QCOMPARE(error, QLatin1String("Wrong date format") + text);
        QCOMPARE(ParseWireDateTimeDef(text, 7.0), 7.0);
    }
    void ticks_data()
    {
        QTest::addColumn<double>("dt");
        QTest::addColumn<qint64>("ticks");
        QTest::addRow("whole") << 45000.0 << qint64(45000000000000LL);
        QTest::addRow("half tick down to even") << 2.5e-9 << qint64(2);
        QTest::addRow("half tick up to even") << 3.5e-9 << qint64(4);
        QTest::addRow("negative") << -1.5 << qint64(-1500000000LL);
        QTest::addRow("nan") << std::nan("") << qint64(0);
        QTest::addRow("inf") << std::numeric_limits<double>::infinity() << qint64(0);
        QTest::addRow("overflow") << 1e12 << qint64(0);
    }
    void ticks()
    {
        QFETCH(double, dt);
        QFETCH(qint64, ticks);
        QCOMPARE(DateTimeToTicks(dt), ticks);
    }
    void ticksRoundTrip()
    {
        const TDateTime dt = QDateTimeToDateTime(QDateTime(QDate(2023, 6, 1), QTime(13, 14, 15)));
        QCOMPARE(FormatWireDateTime(TicksToDateTime(DateTimeToTicks(dt))), QStringLiteral("2023-06-01 13:14:15"));
        QCOMPARE(FormatWireDateTime(std::nan("")), QString());
    }
};

class FoldersTest : public QObject
{
    Q_OBJECT
    TestHome home;
private Q_SLOTS:
    void configFolderIsPrivateAndUnderDataHome()
    {
        const QString cfg = GetConfigFolder();
        QCOMPARE(cfg, home.configFolder());
        QVERIFY(QFileInfo(cfg).isDir());
        QCOMPARE(QFileInfo(cfg).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), QFileDevice::Permissions());
        QCOMPARE(GetTempFolder(), cfg + QLatin1String("Temp/"));
        QVERIFY(QFileInfo(GetTempFolder()).isDir());
    }
    void specialFolders()
    {
        QCOMPARE(GetSpecialFolder(16), home.dataHome() + QLatin1Char('/'));
        QVERIFY(GetSpecialFolder(4).endsWith(u'/'));
        QCOMPARE(GetSpecialFolder(18), QString());
        QCOMPARE(GetSpecialFolder(99), QString());
        QCOMPARE(GetServerToolsFolder(), QString());
        QVERIFY(GetExeFolder().endsWith(u'/'));
    }
    void forceFileFolder_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("made");
        QTest::addColumn<QString>("notMade");
        QTest::addRow("file path") << "a/b/file.txt" << "a/b" << "a/b/file.txt";
        QTest::addRow("backslashes") << "c\\d\\e\\" << "c/d/e" << "";
        QTest::addRow("dotted last element is a file") << "v/1.2" << "v" << "v/1.2";
        QTest::addRow("trailing slash") << "w/1.2/" << "w/1.2" << "";
    }
    void forceFileFolder()
    {
        QFETCH(QString, path);
        QFETCH(QString, made);
        QFETCH(QString, notMade);
        const QString base = home.path() + QLatin1Char('/');
        QVERIFY(ForceFileFolder(base + path));
        QVERIFY(QFileInfo(base + made).isDir());
        if (!notMade.isEmpty())
            QVERIFY(!QFileInfo::exists(base + notMade));
        QVERIFY(!ForceFileFolder(QString()));
    }
};

class FileTypeTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void names_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("ext");
        QTest::addColumn<QString>("stem");
        QTest::addRow("plain") << "a.docx" << "docx" << "a";
        QTest::addRow("path") << "x\\y/report.v2.pdf" << "pdf" << "report.v2";
        QTest::addRow("no ext") << "dir/README" << "" << "README";
        QTest::addRow("dot end") << "a." << "." << "a";
        QTest::addRow("dot in folder only") << "v1.0/file" << "" << "v1";
    }
    void names()
    {
        QFETCH(QString, name);
        QFETCH(QString, ext);
        QFETCH(QString, stem);
        QCOMPARE(ExtWithoutDot(name), ext);
        QCOMPARE(FileNameWithoutExt(name), stem);
    }
    void extCodes()
    {
        QCOMPARE(ExtCode(QStringLiteral("docx")), 0x646F6378u);
        QCOMPARE(ExtCode(QStringLiteral("pdf")), 0x706466u);
        QCOMPARE(ExtCode(QStringLiteral("DOCX")), ExtCode(QStringLiteral("docx")));
        QCOMPARE(ExtCode(QStringLiteral("sldprt")), ExtCode(QStringLiteral("sldp")));
        QCOMPARE(FileExtCode(QStringLiteral(" PDF ")), 0x706466u);
        QCOMPARE(FileExtCode(QString()), 0u);
        QCOMPARE(ExtCodeText(ExtCode(QStringLiteral("sldprt"))), QStringLiteral("sldprt"));
        QCOMPARE(ExtCodeText(ExtCode(QStringLiteral("shtml"))), QStringLiteral("shtml"));
        QCOMPARE(ExtCodeText(ExtCode(QStringLiteral("docx"))), QStringLiteral("docx"));
        QVERIFY(IsImageExt(ExtCode(QStringLiteral("JPEG"))));
        QVERIFY(IsImageExt(ExtCode(QStringLiteral("tiff"))));
        QVERIFY(!IsImageExt(ExtCode(QStringLiteral("pdf"))));
        QVERIFY(IsDrawingExt(ExtCode(QStringLiteral("sldasm"))));
        QVERIFY(IsDrawingExt(ExtCode(QStringLiteral("dwg"))));
        QVERIFY(!IsDrawingExt(ExtCode(QStringLiteral("doc"))));
    }
    void hashes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<quint32>("h32");
        QTest::addColumn<quint64>("h64");
        QTest::addRow("short") << "abc" << 26793u << quint64(26793);
        QTest::addRow("capitals lowered") << "ABC" << 26793u << quint64(26793);
        QTest::addRow("fold bits") << "Report_2024_Final.DOCX" << 84859568u << quint64(15100507271938965ULL);
        QTest::addRow("long path") << "/a/b/c/d/e/f/g/h/i/j/k/l/m/n/o/p/q/r/s" << 185287598u << quint64(1983877378833343ULL);
        // Beyond ASCII the bytes of the ANSI code page count, capitals still lowered.
        QTest::addRow("Chinese path") << "/home/Ann/项目/图纸 A.DWG" << 42960630u << quint64(49529597346982152ULL);
    }
    void hashes()
    {
        QFETCH(QString, text);
        QFETCH(quint32, h32);
        QFETCH(quint64, h64);
        QCOMPARE(NameHash32(text), h32);
        QCOMPARE(PathHash64(text), h64);
    }
};

class ChecksTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void ipToInteger_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<quint32>("value");
        QTest::addRow("ok") << "10.0.0.1" << 167772161u;
        QTest::addRow("trimmed") << " 192.168.1.2 " << 3232235778u;
        QTest::addRow("three parts") << "10.0.1" << 0u;
        QTest::addRow("above 255") << "10.0.0.256" << 0u;
        QTest::addRow("word part") << "10.x.0.1" << 167772161u;
        QTest::addRow("five parts") << "1.2.3.4.5" << 0u;
    }
    void ipToInteger()
    {
        QFETCH(QString, text);
        QFETCH(quint32, value);
        QCOMPARE(IpToInteger(text), value);
    }
    void email_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addRow("plain") << "ann@example.cn" << true;
        QTest::addRow("plus and dots") << "a.b+c@mail.example.com" << true;
        QTest::addRow("double dot local") << "a..b@example.cn" << false;
        QTest::addRow("double dot domain") << "a@example..cn" << false;
        QTest::addRow("leading dot") << ".a@example.cn" << false;
        QTest::addRow("no dot domain") << "a@localhost" << false;
        QTest::addRow("dash label") << "a@-x.example.cn" << false;
        QTest::addRow("space") << "a b@example.cn" << false;
        QTest::addRow("two ats") << "a@b@example.cn" << false;
        QTest::addRow("empty") << "" << false;
        QTest::addRow("nothing after dot") << "a@example." << false;
    }
    void email()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QCOMPARE(IsValidEmail(text), valid);
    }
    void hexUtf8()
    {
        QCOMPARE(EncodeHexUtf8(QStringLiteral("中a")), QStringLiteral("%_E4B8AD61_%"));
        QCOMPARE(DecodeHexUtf8(QStringLiteral("%_E4B8AD61_%")).value_or(QString()), QStringLiteral("中a"));
        QCOMPARE(DecodeHexUtf8(QStringLiteral("plain")).value_or(QString()), QStringLiteral("plain"));
        QVERIFY(!DecodeHexUtf8(QStringLiteral("%_ZZ_%")));
    }
    void memberPowers()
    {
        SetDisabledPowers({QStringLiteral("5")});
        const THS_MemberPowers p = ParseMemberPowers(QStringLiteral("[3]Y[/3][5]Y[/5][7]N[/7][63]Y[/63]"));
        QVERIFY(p.has(3));
        QVERIFY(!p.has(5));  // forbidden locally
        QVERIFY(!p.has(7));
        QVERIFY(p.has(63));
        QString v3 = QStringLiteral("v3") + QString(18, u'0') + QStringLiteral("1") + QString(90, u'1');
        const THS_MemberPowers q = ParseMemberPowers(v3);
        QVERIFY(!q.has(20));
        QVERIFY(q.has(21));
        QVERIFY(q.has(108));
        QVERIFY(!q.has(109));
        SetDisabledPowers({});
    }
    // Without server tools beside the program, "cof_custom.sys" is read from the
    // working folder: an administrator's restriction placed there must hold.
    void disabledPowersFromWorkingFolder()
    {
        QVERIFY(GetServerToolsFolder().isEmpty());
        TestHome home;
        QVERIFY(WriteUnicodeTextFile(home.path() + QLatin1String("/cof_custom.sys"),
                                     QStringLiteral("[ForbidPower]5, 9,[/ForbidPower]\r\n")));
        const QString oldCwd = QDir::currentPath();
        QVERIFY(QDir::setCurrent(home.path()));
        LoadDisabledPowers();
        QDir::setCurrent(oldCwd);
        const THS_MemberPowers p = ParseMemberPowers(QStringLiteral("[5]Y[/5][6]Y[/6][9]Y[/9]"));
        SetDisabledPowers({});
        QVERIFY(!p.has(5));
        QVERIFY(p.has(6));
        QVERIFY(!p.has(9));
    }
    void resultCodes_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("language");
        QTest::addColumn<QString>("text");
        QTest::addRow("unknown en") << 0 << int(HSL_ENG) << "Unknown error";
        QTest::addRow("unknown none") << 0 << int(HSL_NONE) << "keep";
        QTest::addRow("cn") << 14 << int(HSL_CN) << "文件已锁定";
        QTest::addRow("101 trailing space") << 101 << int(HSL_ENG) << "Server data error or network error ";
        QTest::addRow("gap 1") << 1 << int(HSL_ENG) << "keep";
        QTest::addRow("gap 26") << 26 << int(HSL_CN) << "keep";
        QTest::addRow("gap 100") << 100 << int(HSL_ENG) << "keep";
        QTest::addRow("131") << 131 << int(HSL_ENG) << "keep";
    }
    void resultCodes()
    {
        QFETCH(int, code);
        QFETCH(int, language);
        QFETCH(QString, text);
        QString t = QStringLiteral("keep");
        ResultCodeText(code, language, t);
        QCOMPARE(t, text);
    }
};

class AesTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void fips197_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("cipher");
        QTest::addRow("128") << QByteArray::fromHex("000102030405060708090a0b0c0d0e0f")
                             << QByteArray::fromHex("69c4e0d86a7b0430d8cdb78070b4c55a");
        QTest::addRow("192") << QByteArray::fromHex("000102030405060708090a0b0c0d0e0f1011121314151617")
                             << QByteArray::fromHex("dda97ca4864cdfe06eaf70a0ec0d7191");
        QTest::addRow("256") << QByteArray::fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f")
                             << QByteArray::fromHex("8ea2b7ca516745bfeafc49904b496089");
    }
    void fips197()
    {
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, cipher);
        const QByteArray plain = QByteArray::fromHex("00112233445566778899aabbccddeeff");
        QCOMPARE(TAES::EncryptBlocks(key, plain), cipher);
        QCOMPARE(TAES::DecryptBlocks(key, cipher), plain);
        // ECB: two equal blocks give two equal cipher blocks.
        QCOMPARE(TAES::EncryptBlocks(key, plain + plain), cipher + cipher);
    }
    void lengths_data()
    {
        QTest::addColumn<QString>("plain");
        QTest::addColumn<int>("hexLen");
        QTest::addRow("empty") << "" << 0;
        QTest::addRow("1") << "a" << 32;
        QTest::addRow("16") << "0123456789abcdef" << 32;
        QTest::addRow("17") << "0123456789abcdefg" << 64;
        QTest::addRow("gbk 8 chars = 16 bytes") << "中文中文中文中文" << 32;
    }
    void lengths()
    {
        QFETCH(QString, plain);
        QFETCH(int, hexLen);
        for (int ks : {AKS_128, AKS_192, AKS_256}) {
            const QString c = EncryptWithAppKey(plain, ks);
            QCOMPARE(c.size(), hexLen);
            QCOMPARE(c, c.toUpper());
            QCOMPARE(DecryptWithAppKey(c, ks), plain);
            QCOMPARE(DecryptWithAppKey(c.toLower(), ks), plain);
        }
    }
    void keyPreparation()
    {
        QCOMPARE(TAES::KeyBytes(kAppPassphrase, AKS_128), QByteArray("qx7731_mnbz\0\0\0\0\0", 16));
        QCOMPARE(TAES::KeyBytes(QStringLiteral("0123456789abcdefXYZ"), AKS_128), QByteArray("0123456789abcdef"));
        QCOMPARE(EncryptText(QStringLiteral("x"), QStringLiteral("0123456789abcdefXYZ"), AKS_128),
                 EncryptText(QStringLiteral("x"), QStringLiteral("0123456789abcdefQQQ"), AKS_128));
        const QByteArray block = QByteArray("abc").leftJustified(16, '\0');
        QCOMPARE(EncryptWithAppKey(QStringLiteral("abc"), AKS_128),
                 QString::fromLatin1(TAES::EncryptBlocks(TAES::KeyBytes(kAppPassphrase, AKS_128), block).toHex().toUpper()));
        const QByteArray gbk = QByteArray("\xD6\xD0\xCE\xC4").leftJustified(16, '\0');
        QCOMPARE(EncryptWithAppKey(QStringLiteral("中文"), AKS_256),
                 QString::fromLatin1(TAES::EncryptBlocks(TAES::KeyBytes(kAppPassphrase, AKS_256), gbk).toHex().toUpper()));
    }
    void decryptEdges()
    {
        const QString c = EncryptWithAppKey(QStringLiteral("hello"), AKS_256);
        QCOMPARE(DecryptWithAppKey(QString(), AKS_256), QString());
        QCOMPARE(DecryptWithAppKey(c + QLatin1Char('A'), AKS_256), QStringLiteral("hello"));  // odd char ignored
        QCOMPARE(DecryptWithAppKey(c + QLatin1String("ABCD"), AKS_256), QStringLiteral("hello"));  // partial block dropped
        QCOMPARE(DecryptWithAppKey(QStringLiteral("ZZ") + c.mid(2), AKS_256), QString());  // not hex
        QVERIFY(DecryptText(c, QStringLiteral("other"), AKS_256) != QStringLiteral("hello"));
        // Trailing zero bytes of the plain text are indistinguishable from padding.
        QCOMPARE(DecryptWithAppKey(EncryptWithAppKey(QString::fromLatin1("ab\0\0", 4), AKS_128), AKS_128), QStringLiteral("ab"));
    }
};

class ConfigStoreTest : public QObject
{
    Q_OBJECT
    TestHome home;
    QList<TAdapterInfo> adapters{{QByteArray::fromHex("001122334455"), {QStringLiteral("10.0.0.5")}}};
    QString file() const { return home.configFolder() + QLatin1String("rvc.sys"); }
private Q_SLOTS:
    void init()
    {
        QFile::remove(file());
        QFile::remove(home.configFolder() + QLatin1String("rvc.dsc"));
        SetAdapterSource([this] { return std::optional(adapters); });
    }
    void cleanupTestCase() { SetAdapterSource({}); }

    void emptyStoreDefaults()
    {
        TClientConfigX c;
        QCOMPARE(c.ConfigFileName(), file());
        QCOMPARE(c.ServerHost(), QString());
        QCOMPARE(c.ServerPort(), 8088);
        QVERIFY(!c.IsSSL());
        QCOMPARE(c.Language(), GetSystemLanguageName().contains(QStringLiteral("中文")) ? HSL_CN : HSL_ENG);
        QCOMPARE(c.ServerBaseUrl(), QStringLiteral("http://:8088"));
        QCOMPARE(c.OwnerId2(), 0);
        QCOMPARE(c.StartStyle(), SS_NONE);
        QVERIFY(std::fabs(c.LastTimeOfViewMsg() - (NowDateTime() - 365)) < 0.01);
        QCOMPARE(c.WorkRoot(), GetDocumentsFolder() + QLatin1String("KV/" "work/"));
        QVERIFY(QFileInfo(c.WorkRoot()).isDir());
        QCOMPARE(c.DownloadRoot(), GetDocumentsFolder());
    }

    void typedValues_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("language");
        QTest::addRow("port 0") << "[ServerPort]0[/ServerPort][Language]1[/Language]" << 8088 << int(HSL_ENG);
        QTest::addRow("port text") << "[ServerPort]x[/ServerPort][Language]2[/Language]" << 8088 << int(HSL_CN);
        QTest::addRow("port 443, lang 5") << "[ServerPort]443[/ServerPort][Language]5[/Language]" << 443 << int(HSL_CN);
    }
    void typedValues()
    {
        QFETCH(QString, stored);
        QFETCH(int, port);
        QFETCH(int, language);
        QVERIFY(WriteUnicodeTextFile(file(), stored));
        TClientConfigX c;
        QCOMPARE(c.ServerPort(), port);
        QCOMPARE(int(c.Language()), language);
        c.SetLanguage(1);
        QCOMPARE(int(c.Language()), language);  // takes effect at the next start
    }

    void saveKeepsOtherKeysAndOrder()
    {
        QString text;
        for (int i = 0; i < 9; ++i)
            text += QStringLiteral("[Key%1]v%1[/Key%1]\r\n").arg(i);
        text.insert(0, QStringLiteral("[ServerHost]old[/ServerHost]\r\n"));
        QVERIFY(WriteUnicodeTextFile(file(), text));
        TClientConfigX c;
        c.SetServerHost(QStringLiteral("new.example"));
        QVERIFY(c.Save());
        const QByteArray raw = readAll(file());
        QVERIFY(raw.startsWith("\xFF\xFE"));
        QCOMPARE(ReadTextFile(file()), QString(text).replace(QLatin1String("old"), QLatin1String("new.example")));
        QCOMPARE(QFileInfo(file()).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), QFileDevice::Permissions());
    }

    // Set-then-get through a saved file, over texts with unmatched and foreign tags.
    // Steps and checks are "key=value"; the value ends the text at the first "=".
    void setThenGet_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QStringList>("sets");
        QTest::addColumn<QStringList>("gets");
        QTest::addRow("stray opening tag of the key")
            << "[ServerPort]8080\r\n[ServerHost]h[/ServerHost]\r\n" << QStringList{"ServerPort=9000", "ServerPort=9001"}
            << QStringList{"ServerPort=9001", "ServerHost=h"};
        QTest::addRow("stray opening tag before another key")
            << "[LoginName]\r\n[OwnerName]Ann[/OwnerName]\r\n" << QStringList{"LoginName=ann"}
            << QStringList{"LoginName=ann", "OwnerName=Ann"};
        QTest::addRow("value holds a later key's opening tag")
            << "" << QStringList{"OwnerName=Ann [LoginName] team", "LoginName=ann"}
            << QStringList{"OwnerName=Ann \uFF3BLoginName\uFF3D team", "LoginName=ann"};
        QTest::addRow("value holds its own closing tag")
            << "" << QStringList{"OwnerName=a[/ownername]b", "ServerHost=h"}
            << QStringList{"OwnerName=a\uFF3B/ownername\uFF3Db", "ServerHost=h"};
        QTest::addRow("value holds a foreign key's tags")
            << "[OwnerName]old[/OwnerName]\r\n[Foo]1[/Foo]\r\n" << QStringList{"OwnerName=x [foo] y [/FOO]"}
            << QStringList{"Foo=1", "OwnerName=x \uFF3Bfoo\uFF3D y \uFF3B/FOO\uFF3D"};
        QTest::addRow("brackets naming no key are kept")
            << "" << QStringList{"LastCheckoutPath=/home/ann/[docs]/", "ServerHost=h"}
            << QStringList{"LastCheckoutPath=/home/ann/[docs]/", "ServerHost=h"};
        QTest::addRow("tag text inside a value is rewritten whole")
            << "[FileExtInfo][VersionRemark]0[/VersionRemark][/FileExtInfo]\r\n"
            << QStringList{"FileExtInfo=[VersionRemark]1[/VersionRemark]"}
            << QStringList{"FileExtInfo=[VersionRemark]1[/VersionRemark]"};
    }
    void setThenGet()
    {
        QFETCH(QString, stored);
        QFETCH(QStringList, sets);
        QFETCH(QStringList, gets);
        if (!stored.isEmpty())
            QVERIFY(WriteUnicodeTextFile(file(), stored));
        {
            TClientConfigX c;
            for (const QString &step : sets)
                c.SetValueEx(step.section(u'=', 0, 0), step.section(u'=', 1));
            QVERIFY(c.Save());
        }
        const TClientConfigX reloaded;
        for (const QString &check : gets)
            QCOMPARE(reloaded.GetValueEx(check.section(u'=', 0, 0)), check.section(u'=', 1));
    }

    void saveFailureIsSwallowed()
    {
        TClientConfigX c(QStringLiteral("/dev/null/none/rvc.sys"));
        c.SetServerHost(QStringLiteral("h"));
        QVERIFY(!c.Save());
        QVERIFY(!c.LastSaveError().isEmpty());
        QCOMPARE(c.ServerHost(), QStringLiteral("h"));
    }

    void encryptIdBoundToAdapters()
    {
        {
            TClientConfigX c;
            c.SetEncryptId(QStringLiteral("SESSION-123"));
            QVERIFY(c.GetValueEx(QStringLiteral("EncryptId")) != QStringLiteral("SESSION-123"));
            QVERIFY(c.Save());
        }
        QCOMPARE(TClientConfigX().EncryptId(), QStringLiteral("SESSION-123"));
        adapters << TAdapterInfo{QByteArray::fromHex("66778899AABB"), {QStringLiteral("192.168.0.9")}};
        QVERIFY(TClientConfigX().EncryptId() != QStringLiteral("SESSION-123"));
        adapters.removeLast();
        TClientConfigX c;
        c.Clear();
        QCOMPARE(c.GetValueEx(QStringLiteral("EncryptId")), QString());
        QCOMPARE(TClientConfigX().EncryptId(), QString());
    }

    void passwordIsProtected()
    {
        TClientConfigX c;
        c.SetLoginPassword(QStringLiteral("s3cret"));
        QCOMPARE(c.GetValueEx(QStringLiteral("LoginPassword")).size(), 32);
        QCOMPARE(c.LoginPassword(), QStringLiteral("s3cret"));
        c.SetValueEx(QStringLiteral("LoginPassword"), QStringLiteral("nothex"));
        QCOMPARE(c.LoginPassword(), QString());
    }

    void previewRect_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QList<int>>("rect");
        QTest::addRow("two parts") << "10,20" << QList<int>{10, 20, 800, 680};
        QTest::addRow("negative") << "-5,-5,900,700" << QList<int>{100, 100, 900, 700};
        QTest::addRow("small") << "1,2,300,300" << QList<int>{1, 2, 800, 680};
        QTest::addRow("garbage") << "a,b" << QList<int>{0, 0, 800, 680};
    }
    void previewRect()
    {
        QFETCH(QString, stored);
        QFETCH(QList<int>, rect);
        TClientConfigX c;
        c.SetValueEx(QStringLiteral("PreviewRect"), stored);
        const TPreviewRect r = c.PreviewRect();
        QCOMPARE((QList<int>{r.Left, r.Top, r.Width, r.Height}), rect);
    }

    void dscFile()
    {
        TClientConfigX c;
        QVERIFY(c.IsIncludeRoot());
        QVERIFY(!c.NotShowEditGuide());
        c.SetLastUploadPath(QStringLiteral("/home/ann/up"));
        QCOMPARE(TClientConfigX().LastUploadPath(), QStringLiteral("/home/ann/up"));
        c.SetIsIncludeRoot(false);
        QVERIFY(!c.IsIncludeRoot());
        QString text = ReadTextFile(home.configFolder() + QLatin1String("rvc.dsc"));
        SetTagValue(QStringLiteral("IsIncludeRoot"), QStringLiteral("false"), text);
        QVERIFY(WriteUnicodeTextFile(home.configFolder() + QLatin1String("rvc.dsc"), text));
        QVERIFY(c.IsIncludeRoot());
        QCOMPARE(c.LastUploadPath(), QStringLiteral("/home/ann/up"));
        QVERIFY(c.OpenAfterCheckout());
        c.SetOpenAfterCheckout(false);
        QVERIFY(!TClientConfigX().OpenAfterCheckout());
        QVERIFY(!QFileInfo::exists(file()));  // rvc.dsc writes never touch rvc.sys
    }

    void folderKeys()
    {
        TClientConfigX c;
        const QString root = home.path() + QLatin1String("/roots");
        c.SetValueEx(QStringLiteral("WorkRoot"), QString(root).replace(u'/', u'\\') + QLatin1String("\\w"));
        QCOMPARE(c.WorkRoot(), root + QLatin1String("/w/"));
        QVERIFY(QFileInfo(root + QLatin1String("/w")).isDir());
        c.SetDownloadRoot(root + QLatin1String("/dl"));
        QCOMPARE(c.DownloadRoot(), root + QLatin1String("/dl/"));
        c.SetValueEx(QStringLiteral("DownloadRoot"), root + QLatin1String("/missing"));
        QCOMPARE(c.DownloadRoot(), GetDocumentsFolder());
    }

    void scInfos()
    {
        const QList<TScInfo> s = TClientConfigX::ParseScInfos(QStringLiteral("1,公开,Public;2,,Empty;x,秘密,Secret;3,a;"));
        QCOMPARE(s.size(), 2);
        QCOMPARE(int(s.at(0).SC), 1);
        QCOMPARE(s.at(0).CnName, QStringLiteral("公开"));
        QCOMPARE(int(s.at(1).SC), 0);
        QCOMPARE(s.at(1).EngName, QStringLiteral("Secret"));
    }

    void adapterLists()
    {
        const QList<TAdapterInfo> list{{QByteArray::fromHex("0a1b2c3d4e5f"), {QStringLiteral("10.1.1.1"), QStringLiteral("10.2.2.2")}},
                                       {QByteArray::fromHex("001122334455"), {QStringLiteral("0.0.0.0")}}};
        QCOMPARE(FormatMacList(list), QStringLiteral("0A-1B-2C-3D-4E-5F;0A-1B-2C-3D-4E-5F;"));
        QCOMPARE(FormatIpMacList(list), QStringLiteral("10.1.1.1  0A-1B-2C-3D-4E-5F;10.2.2.2  0A-1B-2C-3D-4E-5F;"));
        SetAdapterSource([] { return std::optional<QList<TAdapterInfo>>(); });
        QCOMPARE(MacList(), QString());
    }

    void webCmdFile()
    {
        const QString p = home.configFolder() + kWebCmdFileName;
        QVERIFY(WriteWebCmdFile(p, TWebCmd{13, QStringLiteral("[filekey]42[/filekey][name]文件😀[/name]")}));
        QVERIFY(readAll(p).startsWith("\xEF\xBB\xBF[Code]13[/Code][Cmd]"));
        QCOMPARE(ReadTextFile(p), QStringLiteral("[Code]13[/Code][Cmd][filekey]42[/filekey][name]文件😀[/name][/Cmd]"));
    }
};

class SafePathTest : public QObject
{
    Q_OBJECT
    TestHome home;

private Q_SLOTS:
    void accepted_data()
    {
        QTest::addColumn<QString>("rel");
        QTest::addColumn<QString>("tail");
        QTest::newRow("plain") << QStringLiteral("a.txt") << QStringLiteral("a.txt");
        QTest::newRow("backslashes") << QStringLiteral("sub\\dir\\a.txt") << QStringLiteral("sub/dir/a.txt");
        QTest::newRow("slashes") << QStringLiteral("sub/dir/a.txt") << QStringLiteral("sub/dir/a.txt");
        QTest::newRow("double separator") << QStringLiteral("sub//a.txt") << QStringLiteral("sub/a.txt");
        QTest::newRow("dots inside names") << QStringLiteral("v1.2/a..b.txt") << QStringLiteral("v1.2/a..b.txt");
        QTest::newRow("chinese") << QStringLiteral("文档\\报告.docx") << QStringLiteral("文档/报告.docx");
        QTest::newRow("leading dot name") << QStringLiteral(".hidden") << QStringLiteral(".hidden");
#ifndef Q_OS_WIN
        QTest::newRow("colon inside names") << QStringLiteral("2026:12/Minutes 10:30.txt") << QStringLiteral("2026:12/Minutes 10:30.txt");
#endif
    }
    void accepted()
    {
        QFETCH(QString, rel);
        QFETCH(QString, tail);
        const QString folder = home.path() + QLatin1String("/dl");
        QString err;
        const auto p = SafeJoin(folder, rel, &err);
        QVERIFY2(p.has_value(), qPrintable(err));
        QCOMPARE(*p, QDir::cleanPath(folder) + u'/' + tail);
    }

    void refused_data()
    {
        QTest::addColumn<QString>("rel");
        QTest::addColumn<QString>("why");
        QTest::newRow("empty") << QString() << QStringLiteral("empty");
        QTest::newRow("parent") << QStringLiteral("..") << QStringLiteral("\"..\"");
        QTest::newRow("parent inside") << QStringLiteral("a/../../b") << QStringLiteral("\"..\"");
        QTest::newRow("parent backslash") << QStringLiteral("a\\..\\..\\b") << QStringLiteral("\"..\"");
        QTest::newRow("dot") << QStringLiteral("./a") << QStringLiteral("\".\"");
        QTest::newRow("dots and blanks") << QStringLiteral("... /a") << QStringLiteral("\"... \"");
        QTest::newRow("absolute") << QStringLiteral("/etc/passwd") << QStringLiteral("absolute");
        QTest::newRow("rooted") << QStringLiteral("\\Windows\\x") << QStringLiteral("absolute");
        QTest::newRow("unc") << QStringLiteral("\\\\server\\share\\x") << QStringLiteral("absolute");
        QTest::newRow("drive") << QStringLiteral("C:\\x.txt") << QStringLiteral("drive");
        QTest::newRow("drive relative") << QStringLiteral("C:x.txt") << QStringLiteral("drive");
#ifdef Q_OS_WIN
        QTest::newRow("stream") << QStringLiteral("a.txt:secret") << QStringLiteral("drive");
#endif
        QTest::newRow("newline") << QStringLiteral("a\nb.txt") << QStringLiteral("control");
        QTest::newRow("nul") << QStringLiteral("a") + QChar(0) + QStringLiteral("b") << QStringLiteral("control");
        QTest::newRow("del") << QStringLiteral("a\x7f") << QStringLiteral("control");
        QTest::newRow("device") << QStringLiteral("sub/CON.txt") << QStringLiteral("device");
        QTest::newRow("device com") << QStringLiteral("com1") << QStringLiteral("device");
        QTest::newRow("only separators") << QStringLiteral("//") << QStringLiteral("absolute");
    }
    void refused()
    {
        QFETCH(QString, rel);
        QFETCH(QString, why);
        QString err;
        QVERIFY(!SafeJoin(home.path() + QLatin1String("/dl"), rel, &err).has_value());
        QVERIFY2(err.contains(why), qPrintable(err));
        QVERIFY(!SafeJoin(home.path(), rel).has_value());  // no error pointer is fine too
    }

    void noFolder()
    {
        QString err;
        QVERIFY(!SafeJoin(QString(), QStringLiteral("a.txt"), &err));
        QVERIFY(err.contains(QLatin1String("No local folder")));
    }

    void linkOutsideRefused()
    {
        const QString folder = home.path() + QLatin1String("/dl2");
        const QString outside = home.path() + QLatin1String("/outside");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QDir().mkpath(outside));
        QVERIFY(QFile::link(outside, folder + QLatin1String("/escape")));
        QString err;
        QVERIFY(!SafeJoin(folder, QStringLiteral("escape/x.txt"), &err));
        QVERIFY2(err.contains(QLatin1String("link")), qPrintable(err));
        // A folder reached through a link of its own is fine: only leaving it counts.
        QVERIFY(QFile::link(folder, home.path() + QLatin1String("/dl2link")));
        QVERIFY(SafeJoin(home.path() + QLatin1String("/dl2link"), QStringLiteral("a/b.txt")).has_value());
    }

    void safeFileName()
    {
        QVERIFY(IsSafeFileName(QStringLiteral("a.txt")));
        QVERIFY(!IsSafeFileName(QStringLiteral("a/b")));
        QVERIFY(!IsSafeFileName(QStringLiteral("..")));
        QVERIFY(!IsSafeFileName(QStringLiteral("nul.txt")));
        QVERIFY(!IsSafeFileName(QString()));
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    return runTests<TagTextTest, TextFileTest, CodecTest, DateTest, FoldersTest, FileTypeTest, ChecksTest, AesTest,
                    ConfigStoreTest, SafePathTest>(argc, argv);
}

#include "tst_core.moc"
