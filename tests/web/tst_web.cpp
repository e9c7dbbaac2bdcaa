#include "app/clipboardaccess.h"
#include "core/webcmd.h"
#include "testenv.h"
#include "web/previewhint.h"
#include "web/webmodule.h"

#include <QApplication>
#include <QClipboard>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct FakeTarget : TWebCommandTarget {
    QStringList calls;
    QString clipboard;
    QString opened;
    QString downloadError;
    QSemaphore *gate = nullptr;  // holds a download until released

    void SetClipboardText(const QString &text) override { clipboard = text; }
    bool OpenWithDesktop(const QString &path, QString *) override
    {
        opened = path;
        return true;
    }
    bool DownloadForOpen(qint64 key, qint64 version, const QString &localPath, QString *error) override
    {
        if (gate)
            gate->acquire();
        if (!downloadError.isEmpty()) {
            *error = downloadError;
            return false;
        }
        QFile f(localPath);
        if (!f.open(QIODevice::WriteOnly))
            return false;
        f.write(QByteArray::number(key) + ' ' + QByteArray::number(version));
        return true;
    }
    bool EditOffice(qint64 key, const QString &name, QString *) override
    {
        calls << QStringLiteral("office %1 %2").arg(key).arg(name);
        return true;
    }
    bool EditText(qint64 key, const QString &name, QString *) override
    {
        calls << QStringLiteral("text %1 %2").arg(key).arg(name);
        return true;
    }
    bool VersionControl(int code, const QList<qint64> &keys, const QStringList &names, QString *) override
    {
        QStringList k;
        for (qint64 v : keys)
            k << QString::number(v);
        calls << QStringLiteral("vc %1 %2 %3").arg(code).arg(k.join(u','), names.join(u','));
        return true;
    }
    bool BulkDownload(const QList<qint64> &keys, const QStringList &names, QString *) override
    {
        QStringList k;
        for (qint64 v : keys)
            k << QString::number(v);
        calls << QStringLiteral("bulk %1 %2").arg(k.join(u','), names.join(u'|'));
        return true;
    }
};

bool setImmutable(const QString &path, bool on)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
}

} // namespace

class DispatcherTest : public QObject
{
    Q_OBJECT
    TestHome home;
    QString clientPath() const { return home.configFolder(); }
    QString temp() const { return home.configFolder() + QLatin1String("Temp/"); }

    void runOne(TWebModule &m, const TWebCmd &cmd)
    {
        QSignalSpy done(&m, &TWebModule::commandFinished);
        m.Queue().Add(cmd);
        m.DoWebMessage();
        if (done.isEmpty())
            QVERIFY(done.wait(5000));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QDir().mkpath(temp());
    }
    void cleanup()
    {
        // A hand-off file a failed test left must not feed the next one.
        QFile::remove(clientPath() + kWebCmdFileName);
    }

    void commands_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("cmd");
        QTest::addColumn<QString>("call");
        QTest::addColumn<QString>("clipboard");
        QTest::addColumn<QString>("hint");
        QTest::addRow("11 clipboard") << 11 << "[TranStyle]1[/TranStyle]" << "" << "[TranStyle]1[/TranStyle]" << "";
        QTest::addRow("26 edit outside") << 26 << "[filekey]5[/filekey][filename]a.dwg[/filename]" << ""
                                         << "[Key]5[/Key][FileName]a.dwg[/FileName]" << "";
        QTest::addRow("26 key 0") << 26 << "[filekey]0[/filekey][filename]a.dwg[/filename]" << "" << ""
                                  << "File parameter error!";
        QTest::addRow("15 DOCX office") << 15 << "[filekey]7[/filekey][filename]R.DOCX[/filename]" << "office 7 R.DOCX"
                                        << "" << "";
        QTest::addRow("15 txt") << 15 << "[filekey]7[/filekey][filename]n.txt[/filename]" << "text 7 n.txt" << "" << "";
        QTest::addRow("15 dwg to clipboard") << 15 << "[filekey]7[/filekey][filename]d.dwg[/filename]" << ""
                                             << "[Key]7[/Key][FileName]d.dwg[/FileName]" << "";
        QTest::addRow("15 no key") << 15 << "[filename]d.dwg[/filename]" << "" << "" << "File parameter error!";
        QTest::addRow("18 check out") << 18 << "[fileKeys]1,2,[/fileKeys][fileName]a.doc,b.doc[/fileName]"
                                      << "vc 18 1,2 a.doc,b.doc" << "" << "";
        QTest::addRow("20 fewer names") << 20 << "[fileKeys]1,2[/fileKeys][fileName]a.doc[/fileName]" << "" << ""
                                        << "Parameter error!";
        QTest::addRow("19 no keys") << 19 << "[fileKeys][/fileKeys][fileName]a.doc[/fileName]" << "" << ""
                                    << "Parameter error!";
        QTest::addRow("25 bulk nbsp") << 25 << "[keys]3|4[/keys][names]a&nbsp;b.pdf|c.txt[/names]"
                                      << "bulk 3,4 a b.pdf|c.txt" << "" << "";
        QTest::addRow("16 not yet") << 16 << "[folderId]9[/folderId]" << "" << ""
                                    << "This function is not available yet.";
        QTest::addRow("24 nothing") << 24 << "[x]1[/x]" << "" << "" << "";
        QTest::addRow("unknown nothing") << 99 << "[x]1[/x]" << "" << "" << "";
        QTest::addRow("empty cmd") << 14 << "" << "" << "" << "Parameter error!";
    }
    void commands()
    {
        QFETCH(int, code);
        QFETCH(QString, cmd);
        QFETCH(QString, call);
        QFETCH(QString, clipboard);
        QFETCH(QString, hint);
        FakeTarget t;
        TWebModule m(t, HSL_ENG, clientPath(), temp());
        QSignalSpy hints(&m, &TWebModule::hintText);
        runOne(m, TWebCmd{unsigned(code), cmd});
        QCOMPARE(t.calls.join(u';'), call);
        QCOMPARE(t.clipboard, clipboard);
        QCOMPARE(hints.isEmpty() ? QString() : hints.last().at(0).toString(), hint);
    }

    void openVersionDownloadsIntoTempAndOpens()
    {
        FakeTarget t;
        TWebModule m(t, HSL_ENG, clientPath(), temp());
        QFile stale(temp() + QLatin1String("old_qx.pdf"));
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.close();
        runOne(m, TWebCmd{14, QStringLiteral("[filekey]42[/filekey][filever]3[/filever][filename]dir/报告.docx[/filename]")});
        QCOMPARE(t.opened, temp() + QStringLiteral("报告_qx.docx"));
        QFile f(t.opened);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("42 3"));
        QVERIFY(!stale.exists());
    }

    void openNames_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("local");
        QTest::addRow("plain") << "a.txt" << "a_qx.txt";
        QTest::addRow("traversal") << "../../../.bashrc" << "file_qx.bashrc";
        QTest::addRow("windows path") << "..\\..\\x.doc" << "x_qx.doc";
        QTest::addRow("no extension") << "README" << "README_qx";
        QTest::addRow("empty") << "" << "file_qx";
        QTest::addRow("control chars") << "a\nb.pdf" << "a_b_qx.pdf";
        QTest::addRow("delete char") << "a\x7f" "b.pdf" << "a_b_qx.pdf";
        QTest::addRow("trailing blank") << "x.desktop " << "x_qx.desktop";
        QTest::addRow("trailing dots and blanks") << "x.exe. . " << "x_qx.exe";
        QTest::addRow("trailing wide blank") << "a.pdf\u3000" << "a_qx.pdf";
        QTest::addRow("only dots") << "..." << "file_qx";
    }
    void openNames()
    {
        QFETCH(QString, server);
        QFETCH(QString, local);
        QCOMPARE(TWebModule::OpenCopyName(server), local);
    }

    void runnableDownloadIsNotOpened_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("local");
        QTest::addRow("launcher") << "../tool.desktop" << "tool_qx.desktop";
        QTest::addRow("launcher, trailing dot") << "tool.desktop." << "tool_qx.desktop";
        QTest::addRow("html application") << "x.hta" << "x_qx.hta";
    }
    void runnableDownloadIsNotOpened()
    {
        QFETCH(QString, server);
        QFETCH(QString, local);
        FakeTarget t;
        TWebModule m(t, HSL_CN, clientPath(), temp());
        QSignalSpy hints(&m, &TWebModule::hintText);
        runOne(m, TWebCmd{14, QStringLiteral("[filekey]1[/filekey][filename]%1[/filename]").arg(server)});
        QCOMPARE(t.opened, QString());
        QCOMPARE(hints.last().at(0).toString(), QStringLiteral("打开文件失败"));
        QVERIFY(QFileInfo::exists(temp() + local));
    }

    // What a downloaded copy holds counts as much as its name: the desktop picks
    // the program by type. A "#!" text under a harmless name is refused because
    // the type database calls it a script by its content.
    void safeToOpen_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("executable");
        QTest::addColumn<bool>("safe");
        const QByteArray text("just some notes\n");
        QByteArray elf("\x7f" "ELF\x02\x01\x01", 7);
        elf += QByteArray(9, '\0');
        elf += QByteArray("\x02\x00\x3e\x00\x01\x00\x00\x00", 8);  // executable, x86-64
        elf += QByteArray(48, '\0');
        QByteArray pe("MZ\x90\x00\x03\x00\x00\x00", 8);
        pe += QByteArray(120, '\0');
        QTest::addRow("pdf") << "a.pdf" << QByteArray("%PDF-1.4\n%\xe2\xe3\xcf\xd3\n") << false << true;
        QTest::addRow("text") << "n.txt" << text << false << true;
        QTest::addRow("office zip") << "报告.docx" << QByteArray("PK\x03\x04\x14\x00\x06\x00", 8) << false << true;
        QTest::addRow("execute bit") << "a.pdf" << QByteArray("%PDF-1.4\n") << true << false;
        QTest::addRow("desktop, trailing blank") << "x.desktop " << text << false << false;
        QTest::addRow("desktop, trailing dot") << "x.desktop." << text << false << false;
        for (const char *ext : {"pif", "cpl", "hta", "reg", "msc", "inf", "vbe", "wsh", "psm1", "ksh", "php", "jnlp",
                                "pyw", "EXE", "sh"})
            QTest::addRow("suffix %s", ext) << QStringLiteral("x.") + QLatin1String(ext) << text << false << false;
        QTest::addRow("ELF as pdf") << "report.pdf" << elf << false << false;
        QTest::addRow("ELF, no suffix") << "report" << elf << false << false;
        QTest::addRow("Windows program as doc") << "a.doc" << pe << false << false;
        QTest::addRow("shebang as txt") << "notes.txt" << QByteArray("#!/bin/sh\nrm -rf ~\n") << false << false;
        QTest::addRow("launcher as txt") << "a.txt" << QByteArray("[Desktop Entry]\nType=Application\nExec=sh\n")
                                         << false << false;
        QTest::addRow("script type by name") << "tool.lua " << text << false << false;
        QTest::addRow("android package by name") << "app.apk" << text << false << false;
    }
    void safeToOpen()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(bool, executable);
        QFETCH(bool, safe);
        QTemporaryDir dir;
        const QString path = dir.filePath(name);
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
        f.close();
        if (executable)
            QVERIFY(f.setPermissions(f.permissions() | QFileDevice::ExeOwner));
        QCOMPARE(TWebModule::IsSafeToOpen(path), safe);
    }

    void downloadFailureShowsServerText()
    {
        FakeTarget t;
        t.downloadError = QStringLiteral("The file doesn't exist.");
        TWebModule m(t, HSL_ENG, clientPath(), temp());
        QSignalSpy hints(&m, &TWebModule::hintText);
        runOne(m, TWebCmd{14, QStringLiteral("[filekey]8[/filekey][filename]x.pdf[/filename]")});
        QCOMPARE(hints.last().at(0).toString(), QStringLiteral("The file doesn't exist."));
        QCOMPARE(t.opened, QString());
    }

    void commandsWaitWhileATransferRuns()
    {
        FakeTarget t;
        QSemaphore gate;
        t.gate = &gate;
        TWebModule m(t, HSL_ENG, clientPath(), temp());
        QSignalSpy done(&m, &TWebModule::commandFinished);
        m.Queue().Add(TWebCmd{14, QStringLiteral("[filekey]8[/filekey][filename]x.pdf[/filename]")});
        m.Queue().Add(TWebCmd{11, QStringLiteral("later")});
        m.DoWebMessage();
        QVERIFY(m.IsBusy());
        m.DoWebMessage();  // a tick during the transfer runs nothing
        QCOMPARE(t.clipboard, QString());
        gate.release();
        QTRY_VERIFY(!m.IsBusy());
        m.DoWebMessage();
        QCOMPARE(t.clipboard, QStringLiteral("later"));
        QCOMPARE(done.count(), 2);
    }

    void handOffFileIsConsumed()
    {
        FakeTarget t;
        TWebModule m(t, HSL_ENG, clientPath(), temp());
        const QString file = clientPath() + kWebCmdFileName;
        QVERIFY(WriteWebCmdFile(file, TWebCmd{12, QStringLiteral("[Key]1[/Key]")}));
        m.DoWebMessage();  // too fresh: the writer may not be done
        QVERIFY(QFileInfo::exists(file));
        QTRY_VERIFY_WITH_TIMEOUT((m.DoWebMessage(), !QFileInfo::exists(file)), 2000);
        QCOMPARE(t.clipboard, QStringLiteral("[Key]1[/Key]"));
    }

    void handOffWithoutCmdTag()
    {
        FakeTarget t;
        TWebModule m(t, HSL_ENG, clientPath(), temp());
        QSignalSpy hints(&m, &TWebModule::hintText);
        const QString file = clientPath() + kWebCmdFileName;
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[Code]14[/Code]");
        f.flush();
        QVERIFY(f.setFileTime(QDateTime::currentDateTime().addSecs(-5), QFileDevice::FileModificationTime));
        f.close();
        m.DoWebMessage();
        QCOMPARE(hints.size(), 1);
        QCOMPARE(hints.last().at(0).toString(), QStringLiteral("Parameter error!"));
    }

    // Writes a hand-off file old enough to be read at the next tick.
    static void writeSettled(const QString &file, const TWebCmd &cmd, qint64 ageSecs = 5)
    {
        QVERIFY(WriteWebCmdFile(file, cmd));
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.setFileTime(QDateTime::currentDateTime().addSecs(-ageSecs), QFileDevice::FileModificationTime));
    }

    void commandWrittenWhileReadingIsKept()
    {
        FakeTarget t;
        TWebModule m(t, HSL_ENG, clientPath(), temp());
        const QString file = clientPath() + kWebCmdFileName;
        writeSettled(file, TWebCmd{11, QStringLiteral("first")});
        // The next launch writes its command the moment the first one was taken.
        connect(&m, &TWebModule::handOffClaimed, this, [file] { QVERIFY(WriteWebCmdFile(file, TWebCmd{12, QStringLiteral("second")})); },
                Qt::DirectConnection);
        m.DoWebMessage();
        QCOMPARE(t.clipboard, QStringLiteral("first"));
        QVERIFY(QFileInfo::exists(file));
        disconnect(&m, &TWebModule::handOffClaimed, this, nullptr);
        QTRY_VERIFY_WITH_TIMEOUT((m.DoWebMessage(), !QFileInfo::exists(file)), 2000);
        QCOMPARE(t.clipboard, QStringLiteral("second"));
        QCOMPARE(QDir(clientPath()).entryList({QStringLiteral("WebCmd*")}, QDir::AllEntries | QDir::Hidden), QStringList());
    }

    void futureTimeDoesNotBlock()
    {
        FakeTarget t;
        TWebModule m(t, HSL_ENG, clientPath(), temp());
        const QString file = clientPath() + kWebCmdFileName;
        writeSettled(file, TWebCmd{11, QStringLiteral("from the future")}, -3600);
        m.DoWebMessage();
        QCOMPARE(t.clipboard, QStringLiteral("from the future"));
        QVERIFY(!QFileInfo::exists(file));
    }

    void folderOfThatNameIsLeftAlone()
    {
        FakeTarget t;
        TWebModule m(t, HSL_ENG, clientPath(), temp());
        QSignalSpy hints(&m, &TWebModule::hintText);
        QSignalSpy done(&m, &TWebModule::commandFinished);
        const QString file = clientPath() + kWebCmdFileName;
        QVERIFY(QDir().mkpath(file));
        const auto cleanup = qScopeGuard([file] { QDir(file).removeRecursively(); });
        const timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 5, 0}};  // settled
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(file).constData(), times, 0), 0);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("not a file")));
        QTest::failOnWarning(QRegularExpression(QStringLiteral("not a file")));  // said once, not every tick
        for (int tick = 0; tick < 3; ++tick)
            m.DoWebMessage();
        QCOMPARE(done.count(), 0);
        QCOMPARE(hints.count(), 0);
        QVERIFY(QFileInfo(file).isDir());
    }

    void fileThatCannotBeTakenRunsOnce()
    {
        FakeTarget t;
        TWebModule m(t, HSL_ENG, clientPath(), temp());
        QSignalSpy done(&m, &TWebModule::commandFinished);
        const QString file = clientPath() + kWebCmdFileName;
        writeSettled(file, TWebCmd{11, QStringLiteral("once")});
        // Neither renamed nor removed: immutable where we may set that (root ignores
        // folder permissions), else a folder without write permission.
        const bool immutable = setImmutable(file, true);
        const QFileDevice::Permissions folderMode = QFile::permissions(clientPath());
        if (!immutable) {
            if (::geteuid() == 0)
                QSKIP("cannot make a file unremovable here");
            QVERIFY(QFile::setPermissions(clientPath(), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        }
        const auto cleanup = qScopeGuard([&] {
            if (immutable)
                setImmutable(file, false);
            QFile::setPermissions(clientPath(), folderMode);
            QFile::remove(file);
        });
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Cannot remove")));
        QTest::failOnWarning(QRegularExpression(QStringLiteral("Cannot remove")));
        for (int tick = 0; tick < 3; ++tick)
            m.DoWebMessage();
        QCOMPARE(done.count(), 1);
        QCOMPARE(t.clipboard, QStringLiteral("once"));
    }

    void hintWindowShowsText()
    {
        TPreViewHint w(HSL_CN);
        w.ShowText(QStringLiteral("Parameter error!"));
        QVERIFY(w.isVisible());
        QCOMPARE(w.windowTitle(), QStringLiteral("提示"));
        QCOMPARE(w.Text(), QStringLiteral("Parameter error!"));
    }
};

// Commands 11 and 12 leave their text in the client's own copy of the clipboard.
class ClipboardTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void newerTextOfOtherProgramsShows()
    {
        QClipboard *system = QGuiApplication::clipboard();
        QSignalSpy changed(system, &QClipboard::dataChanged);
        TSystemClipboard clip;
        clip.SetText(QStringLiteral("[TranStyle]1[/TranStyle]"));
        QCOMPARE(clip.Text(), QStringLiteral("[TranStyle]1[/TranStyle]"));  // our own change keeps the copy
        system->setText(QStringLiteral("copied in another program"));
        QVERIFY(changed.count() >= 2);  // the offscreen clipboard reports changes as a desktop one does
        QCOMPARE(clip.Text(), QStringLiteral("copied in another program"));
        clip.SetText(QStringLiteral("[Key]5[/Key]"));
        QCOMPARE(clip.Text(), QStringLiteral("[Key]5[/Key]"));
    }
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    return runTests<DispatcherTest, ClipboardTest>(argc, argv);
}

#include "tst_web.moc"
