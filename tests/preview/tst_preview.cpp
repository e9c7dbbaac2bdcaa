// The preview module: LibreOffice conversion, viewer choice, option markers and
// the viewer windows, without a server.
#include "preview/emlmessage.h"
#include "preview/officeconverter.h"
#include "preview/pdfpreviewfrm.h"
#include "preview/previewcommand.h"
#include "preview/printerprobe.h"
#include "preview/simplepreviewfrms.h"
#include "preview/viewerchoice.h"
#include "core/fileext.h"
#include "core/textfile.h"
#include "core/workpools.h"
#include "testenv.h"
#include "web/previewhint.h"

#include <QBuffer>
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPdfDocument>
#include <QPdfPageNavigator>
#include <QPushButton>
#include <QPdfView>
#include <QSlider>
#include <QPainter>
#include <QPdfWriter>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStringEncoder>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextBrowser>
#include <QClipboard>
#include <QPrinter>
#include <QStyle>
#include <QToolBar>

#include <QApplication>
#include <QElapsedTimer>

#include <cstdlib>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <QTimer>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>

#include <ctime>

namespace {

// A stand-in office program: a shell script that acts out one behaviour.
// A process still runs when its command line can be read (a zombie's is empty;
// /proc files report no size, so they must be read).
bool processRuns(const QString &pid)
{
    QFile f(QLatin1String("/proc/") + pid + QLatin1String("/cmdline"));
    return f.open(QIODevice::ReadOnly) && !f.readAll().isEmpty();
}

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

// Installed software as a test wants it.
struct FakeProbe : TSoftwareProbe {
    QString office = QStringLiteral("VNotExists");
    int pdfKind = 1;
    bool autoVue = false;
    QString autoVueVersion;
    bool eDrawings = false;
    bool caxa = false;
    bool convert = true;
    QString help;
    QString OfficeVersion(int) const override { return office; }
    int PdfControlKind() const override { return pdfKind; }
    bool AutoVue(QString *v) const override
    {
        *v = autoVueVersion;
        return autoVue;
    }
    bool EDrawings() const override { return eDrawings; }
    bool Caxa() const override { return caxa; }
    bool CanConvert() const override { return convert; }
    QString HelpViewer() const override { return help; }
};

QString command(const QString &name, const QString &options = QStringLiteral("Readonly=True,CanPrint=False"), qint64 key = 42)
{
    return QStringLiteral("[filekey]%1[/filekey][filever]-1[/filever][filename]").arg(key) + name
           + QStringLiteral("[/filename][ctparams]") + options + QStringLiteral("[/ctparams]");
}

// A PDF of the given pages, each saying "Page N of the sample".
QString writePdf(const QString &path, int pages)
{
    QPdfWriter w(path);
    QPainter p(&w);
    QFont f = p.font();
    f.setPointSize(28);
    p.setFont(f);
    for (int i = 1; i <= pages; ++i) {
        if (i > 1)
            w.newPage();
        p.drawText(QPointF(400, 800), QStringLiteral("Page %1 of the sample").arg(i));
    }
    p.end();
    return path;
}

quint32 crc32(const QByteArray &data)
{
    quint32 crc = 0xFFFFFFFFu;
    for (char ch : data) {
        crc ^= quint8(ch);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// A zip archive of stored (uncompressed) entries, in the given order: enough for an OpenDocument file.
QByteArray storedZip(const QList<std::pair<QByteArray, QByteArray>> &entries)
{
    QByteArray out, central;
    auto le16 = [](QByteArray &b, quint16 v) { b.append(char(v & 0xFF)).append(char(v >> 8)); };
    auto le32 = [&](QByteArray &b, quint32 v) { le16(b, quint16(v & 0xFFFF)); le16(b, quint16(v >> 16)); };
    for (const auto &[name, data] : entries) {
        const quint32 offset = quint32(out.size());
        const quint32 crc = crc32(data);
        auto header = [&](QByteArray &b, bool centralEntry) {
            le32(b, centralEntry ? 0x02014b50 : 0x04034b50);
            if (centralEntry)
                le16(b, 20);
            le16(b, 20); le16(b, 0); le16(b, 0); le16(b, 0); le16(b, 0);
            le32(b, crc); le32(b, quint32(data.size())); le32(b, quint32(data.size()));
            le16(b, quint16(name.size())); le16(b, 0);
            if (centralEntry) {
                le16(b, 0); le16(b, 0); le16(b, 0); le32(b, 0); le32(b, offset);
            }
            b.append(name);
        };
        header(out, false);
        out.append(data);
        header(central, true);
    }
    const quint32 centralAt = quint32(out.size());
    out.append(central);
    le32(out, 0x06054b50); le16(out, 0); le16(out, 0);
    le16(out, quint16(entries.size())); le16(out, quint16(entries.size()));
    le32(out, quint32(central.size())); le32(out, centralAt); le16(out, 0);
    return out;
}

// An OpenDocument text with the given body, and a document Basic module when given.
QByteArray odt(const QByteArray &scripts, const QByteArray &body, const QByteArray &basic = {})
{
    const QByteArray content =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<office:document-content xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
        "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" "
        "xmlns:draw=\"urn:oasis:names:tc:opendocument:xmlns:drawing:1.0\" "
        "xmlns:svg=\"urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0\" "
        "xmlns:script=\"urn:oasis:names:tc:opendocument:xmlns:script:1.0\" "
        "xmlns:xlink=\"http://www.w3.org/1999/xlink\" office:version=\"1.2\">"
        + scripts + "<office:body><office:text>" + body + "</office:text></office:body></office:document-content>\n";
    QByteArray manifest =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<manifest:manifest xmlns:manifest=\"urn:oasis:names:tc:opendocument:xmlns:manifest:1.0\" manifest:version=\"1.2\">"
        "<manifest:file-entry manifest:full-path=\"/\" manifest:media-type=\"application/vnd.oasis.opendocument.text\"/>"
        "<manifest:file-entry manifest:full-path=\"content.xml\" manifest:media-type=\"text/xml\"/>";
    QList<std::pair<QByteArray, QByteArray>> entries{{"mimetype", "application/vnd.oasis.opendocument.text"},
                                                     {"content.xml", content}};
    if (!basic.isEmpty()) {
        entries.append(std::pair<QByteArray, QByteArray>{"Basic/script-lc.xml",
                        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                        "<library:libraries xmlns:library=\"http://openoffice.org/2000/library\" "
                        "xmlns:xlink=\"http://www.w3.org/1999/xlink\">"
                        "<library:library library:name=\"Standard\" library:link=\"false\"/></library:libraries>\n"});
        entries.append(std::pair<QByteArray, QByteArray>{"Basic/Standard/script-lb.xml",
                        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                        "<library:library xmlns:library=\"http://openoffice.org/2000/library\" library:name=\"Standard\" "
                        "library:readonly=\"false\" library:passwordprotected=\"false\">"
                        "<library:element library:name=\"Module1\"/></library:library>\n"});
        entries.append(std::pair<QByteArray, QByteArray>{"Basic/Standard/Module1.xml",
                        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                        "<script:module xmlns:script=\"http://openoffice.org/2000/script\" script:name=\"Module1\" "
                        "script:language=\"StarBasic\">" + basic + "</script:module>\n"});
        for (const char *path : {"Basic/script-lc.xml", "Basic/Standard/script-lb.xml", "Basic/Standard/Module1.xml"})
            manifest += QByteArray("<manifest:file-entry manifest:full-path=\"") + path + "\" manifest:media-type=\"text/xml\"/>";
    }
    manifest += "</manifest:manifest>\n";
    entries.append(std::pair<QByteArray, QByteArray>{"META-INF/manifest.xml", manifest});
    return storedZip(entries);
}

quint16 closedPort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

TServerConn offlineConn()
{
    TServerConn c;
    c.Host = QStringLiteral("127.0.0.1");
    c.Port = closedPort();
    c.EncryptId = QStringLiteral("ABCDEF");
    c.Language = HSL_ENG;
    return c;
}

} // namespace

class ChoiceTest : public QObject
{
    Q_OBJECT
    TestHome home;

private Q_SLOTS:
    void viewerChoice_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("office");
        QTest::addColumn<QString>("autoVue");   // "" not installed, else its file version ("-" installed without one)
        QTest::addColumn<bool>("eDrawings");
        QTest::addColumn<bool>("caxa");
        QTest::addColumn<int>("choice");
        QTest::addRow("docx, Office 2003, no drawing viewers") << "a.docx" << "V11" << "" << false << false << 2;
        QTest::addRow("docx, Office 2003, AutoVue 19") << "a.docx" << "V11" << "19.0.0.1" << false << false << 2;
        QTest::addRow("docx, Office 2003, AutoVue 20") << "a.docx" << "V11" << "20.1.0.0" << false << false << 1;
        QTest::addRow("docx, no Office") << "a.docx" << "VNotExists" << "" << false << false << 2;
        QTest::addRow("doc, Office 2000") << "a.doc" << "V09" << "20.1.0.0" << false << false << 2;
        QTest::addRow("docx, no version text, AutoVue without version") << "a.docx" << "" << "-" << false << false << 2;
        QTest::addRow("numbered part with eDrawings") << "part.prt.3" << "" << "" << true << false << 3;
        QTest::addRow("numbered assembly with eDrawings") << "gear.asm.12" << "" << "" << true << false << 3;
        QTest::addRow("numbered part, nothing installed") << "part.prt.3" << "" << "" << false << false << 0;
        QTest::addRow("dwg with CAXA only") << "plan.dwg" << "" << "" << false << true << 4;
        QTest::addRow("pdf") << "a.pdf" << "" << "" << false << false << 2;
        QTest::addRow("picture") << "photo.JPG" << "" << "" << false << false << 2;
        QTest::addRow("mail") << "note.eml" << "" << "" << false << false << 2;
        QTest::addRow("CorelDRAW") << "logo.cdr" << "" << "" << false << false << 2;
        QTest::addRow("vsdx") << "flow.vsdx" << "" << "" << false << false << 2;
        QTest::addRow("archive") << "all.zip" << "" << "" << false << false << 0;
        QTest::addRow("dot only in a folder name") << "v1.0/readme" << "" << "" << false << false << 0;
    }
    void viewerChoice()
    {
        QFETCH(QString, name);
        QFETCH(QString, office);
        QFETCH(QString, autoVue);
        QFETCH(bool, eDrawings);
        QFETCH(bool, caxa);
        QFETCH(int, choice);
        FakeProbe probe;
        probe.office = office;
        probe.autoVue = !autoVue.isEmpty();
        probe.autoVueVersion = autoVue == QLatin1String("-") ? QString() : autoVue;
        probe.eDrawings = eDrawings;
        probe.caxa = caxa;
        bool asked = false;
        const TPreviewRequest r = TPreviewRequest::Parse(command(name));
        QCOMPARE(ChooseViewer(r, probe, home.configFolder() + QLatin1String("FileTypeRelation.txt"),
                              [&](const QList<int> &, bool *) { asked = true; return 0; }),
                 choice);
        QVERIFY(!asked);
    }

    void rememberedChoiceIsWrittenAndUsed()
    {
        FakeProbe probe;
        probe.autoVue = true;
        probe.autoVueVersion = QStringLiteral("21.0.0.0");
        probe.eDrawings = true;
        const QString file = home.configFolder() + QLatin1String("FileTypeRelation.txt");
        QFile::remove(file);
        const TPreviewRequest r = TPreviewRequest::Parse(command(QStringLiteral("Bracket.dwg")));
        QList<int> offered;
        QCOMPARE(ChooseViewer(r, probe, file, [&](const QList<int> &usable, bool *always) {
                     offered = usable;
                     *always = true;
                     return 3;
                 }),
                 3);
        QCOMPARE(offered, (QList<int>{1, 3}));
        QCOMPARE(ReadTextFile(file), QStringLiteral("[dwg]3[/dwg]\r\n"));
        QFile raw(file);
        QVERIFY(raw.open(QIODevice::ReadOnly));
        QVERIFY(raw.read(2) == "\xFF\xFE");
        raw.close();
        // Later previews take it without asking.
        QCOMPARE(ChooseViewer(r, probe, file, [](const QList<int> &, bool *) { return -1; }), 3);
        // A broken entry asks again; closing the dialog means AutoVue.
        WriteUnicodeTextFile(file, QStringLiteral("[dwg]7[/dwg]\r\n"));
        bool asked = false;
        QCOMPARE(ChooseViewer(r, probe, file, [&](const QList<int> &, bool *) { asked = true; return 0; }), 1);
        QVERIFY(asked);
    }

    void optionMarkers_data()
    {
        QTest::addColumn<QString>("options");
        QTest::addColumn<QString>("hashPs");
        QTest::addColumn<bool>("readonly");
        QTest::addColumn<bool>("canPrint");
        QTest::addColumn<bool>("checkVirtual");
        QTest::addColumn<bool>("selectPrinter");
        QTest::addColumn<bool>("copy");
        QTest::addRow("nothing") << "" << "" << true << false << true << false << false;
        QTest::addRow("token without a comma") << "HashPs=abc" << "" << true << false << true << false << false;
        QTest::addRow("token") << "HashPs=abc,Readonly=False" << "abc" << false << false << true << true << false;
        QTest::addRow("read-only may choose a printer") << "Readonly=True,SelectPrinter=True" << "" << true << false
                                                        << true << true << false;
        QTest::addRow("everything allowed") << "Readonly=False,CanPrint=True,CheckVirtualPrint=False,CtrlC=True" << ""
                                            << false << true << false << true << true;
        QTest::addRow("token carrying tags") << "HashPs=t[/HashPs][IsPreView]False[/IsPreView],Readonly=False" << ""
                                             << false << false << true << true << false;
        QTest::addRow("markers are case-sensitive") << "readonly=false,canprint=true,ctrlc=true" << "" << true << false
                                                    << true << false << false;
    }
    void optionMarkers()
    {
        QFETCH(QString, options);
        const TPreviewOptions o = TPreviewOptions::Parse(options);
        QTEST(o.FHashPs, "hashPs");
        QTEST(o.FDocReadonly, "readonly");
        QTEST(o.FCanPrint, "canPrint");
        QTEST(o.FIsCheckVirtualPrint, "checkVirtual");
        QTEST(o.FSelectPrinter, "selectPrinter");
        QTEST(o.FCanCopy, "copy");
    }

    void nameNeverChangesPermissions_data()
    {
        QTest::addColumn<QString>("cmd");
        QTest::addRow("closing tag in the name")
            << command(QStringLiteral("a.pdf[/filename][ctparams]Readonly=False,CanPrint=True,CtrlC=True[/ctparams]"));
        QTest::addRow("markers in the name") << command(QStringLiteral("Readonly=False,CanPrint=True,CtrlC=True.pdf"));
        QTest::addRow("upper-case tags in the name")
            << command(QStringLiteral("a.pdf[/FILENAME][CTPARAMS]CanPrint=True,CtrlC=True[/CTPARAMS]"));
    }
    void nameNeverChangesPermissions()
    {
        QFETCH(QString, cmd);
        const TPreviewOptions o = TPreviewOptions::Parse(TPreviewRequest::Parse(cmd).Options);
        QVERIFY(o.FDocReadonly);
        QVERIFY(!o.FCanPrint);
        QVERIFY(!o.FCanCopy);
    }

    void requestFields()
    {
        const TPreviewRequest r = TPreviewRequest::Parse(QStringLiteral("[filekey] 77 [/filekey][filever]3[/filever][filename]my.dir/Report.PDF[/filename]"));
        QCOMPARE(r.Key, 77);
        QCOMPARE(r.Version, 3);
        QCOMPARE(r.Ext, QStringLiteral("pdf"));
        QCOMPARE(r.Code, ExtCode(QStringLiteral("pdf")));
        QCOMPARE(TPreviewRequest::Parse(QStringLiteral("[filekey]1[/filekey]")).Version, -1);
    }

    void routeOnThisMachine_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("convert");
        QTest::addColumn<QString>("window");   // class of the window, or "web" for the server's page
        QTest::addRow("pdf") << "a.pdf" << true << "TPdfPreviewFrm";
        QTest::addRow("ai") << "a.ai" << true << "TPdfPreviewFrm";
        QTest::addRow("docx") << "a.docx" << true << "TOfficeFilePreviewFrm";
        QTest::addRow("docx without LibreOffice") << "a.docx" << false << "web";
        QTest::addRow("Kingsoft") << "a.wps" << true << "TOfficeFilePreviewFrm";
        QTest::addRow("rtf") << "a.rtf" << true << "TOfficeFilePreviewFrm";
        QTest::addRow("vsd") << "a.vsd" << true << "TOfficeFilePreviewFrm";
        QTest::addRow("cdr") << "a.cdr" << true << "TOfficeFilePreviewFrm";
        QTest::addRow("png") << "a.png" << true << "TImagePreviewFrm";
        QTest::addRow("txt") << "a.txt" << true << "TTextPreviewFrm";
        QTest::addRow("eml") << "a.eml" << true << "TEmlPreviewFrm";
        QTest::addRow("mht") << "a.mht" << true << "TMhtPreviewFrm";
        QTest::addRow("Project") << "a.mpp" << true << "web";
        QTest::addRow("CEB") << "a.ceb" << true << "web";
        QTest::addRow("chm without a help viewer") << "a.chm" << true << "web";
        QTest::addRow("unknown type") << "a.zip" << true << "web";
        QTest::addRow("drawing") << "a.dwg" << true << "web";
    }
    void routeOnThisMachine()
    {
        QFETCH(QString, name);
        QFETCH(bool, convert);
        QFETCH(QString, window);
        TPreViewHint hint(HSL_ENG);
        TPreviewWindows windows(QRect(100, 100, 800, 680));
        TPreviewCommand c(offlineConn(), home.configFolder() + QLatin1String("Temp/"), &hint, &windows);
        auto probe = std::make_shared<FakeProbe>();
        probe->convert = convert;
        c.FProbe = probe;
        // The file manager's question must agree with where the command really goes.
        QCOMPARE(ShowsInClient(name, *probe), window != QLatin1String("web"));
        QList<QUrl> urls;
        c.FOpenUrl = [&](const QUrl &u) { urls << u; return true; };
        QString opened;
        connect(&c, &TPreviewCommand::opened, this, [&](TPreviewBaseFrm *w) { opened = w->objectName(); });
        QString error;
        QVERIFY2(c.Run(command(name), &error), qPrintable(error));
        if (window == QLatin1String("web")) {
            QCOMPARE(urls.size(), 1);
            QVERIFY(urls.first().toString().contains(QLatin1String("/previewopen?st=c&extopr=core&filekey=42&uid=")));
            QVERIFY(urls.first().toString().endsWith(QLatin1String("&c=2")));
            QVERIFY(opened.isEmpty());
            QVERIFY(hint.isVisible());
            QVERIFY(hint.Text().contains(QLatin1String("browser")));
            if (!convert)
                QVERIFY(hint.Text().contains(QLatin1String("LibreOffice")));
        } else {
            QVERIFY(urls.isEmpty());
            QCOMPARE(opened, window);
            QCOMPARE(windows.Windows().size(), 1);
            QCOMPARE(windows.Windows().first()->windowTitle(), name);
            // No server here: the download fails and says so in the hint window.
            QSignalSpy shown(qobject_cast<TPreviewBaseFrm *>(windows.Windows().first()), &TPreviewBaseFrm::shown);
            QVERIFY(shown.wait(10000));
            QCOMPARE(shown.first().first().toBool(), false);
            QVERIFY(!hint.Text().isEmpty());
        }
    }

    void restrictedHelpFileStaysWithTheServer_data()
    {
        QTest::addColumn<QString>("options");
        QTest::addColumn<bool>("web");
        QTest::addRow("read-only") << "Readonly=True,CanPrint=True,CtrlC=True" << true;
        QTest::addRow("no print") << "Readonly=False,CtrlC=True" << true;
        QTest::addRow("no copy") << "Readonly=False,CanPrint=True" << true;
        QTest::addRow("nothing restricted") << "Readonly=False,CanPrint=True,CtrlC=True" << false;
    }
    void restrictedHelpFileStaysWithTheServer()
    {
        QFETCH(QString, options);
        QFETCH(bool, web);
        TPreViewHint hint(HSL_ENG);
        TPreviewCommand c(offlineConn(), home.configFolder() + QLatin1String("Temp/"), &hint, nullptr);
        auto probe = std::make_shared<FakeProbe>();
        probe->help = QStringLiteral("/usr/bin/xchm");
        c.FProbe = probe;
        QList<QUrl> urls;
        c.FOpenUrl = [&](const QUrl &u) { urls << u; return true; };
        int started = 0;
        c.FStartHelpViewer = [&](const QString &, const QString &) { ++started; return true; };
        QString error;
        QVERIFY2(c.Run(command(QStringLiteral("manual.chm"), options), &error), qPrintable(error));
        QCOMPARE(urls.size(), web ? 1 : 0);
        if (!web) {
            // No server here: the fetch fails and the help viewer is never started.
            QTRY_VERIFY(hint.Text().contains(QLatin1String("127.0.0.1")) || !hint.Text().contains(QLatin1String("Downloading")));
        }
        QCOMPARE(started, 0);
    }

    void missingKeyIsAParameterError()
    {
        TPreviewCommand c(offlineConn(), home.configFolder(), nullptr, nullptr);
        QString error;
        QVERIFY(!c.Run(QStringLiteral("[filekey]0[/filekey][filename]a.pdf[/filename]"), &error));
        QCOMPARE(error, QStringLiteral("File parameter error!"));
    }
};

class GuardTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void keys_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<bool>("ctrlC");
        QTest::addColumn<bool>("swallowed");
        QTest::addRow("Ctrl+C allowed") << int(Qt::Key_C) << int(Qt::ControlModifier) << true << false;
        QTest::addRow("Ctrl+C not allowed") << int(Qt::Key_C) << int(Qt::ControlModifier) << false << true;
        QTest::addRow("Ctrl+P") << int(Qt::Key_P) << int(Qt::ControlModifier) << true << true;
        QTest::addRow("Ctrl+S") << int(Qt::Key_S) << int(Qt::ControlModifier) << true << true;
        QTest::addRow("Ctrl+Shift+C") << int(Qt::Key_C) << int(Qt::ControlModifier | Qt::ShiftModifier) << true << true;
        QTest::addRow("F5") << int(Qt::Key_F5) << 0 << true << true;
        QTest::addRow("F12") << int(Qt::Key_F12) << 0 << false << true;
        QTest::addRow("Alt+F4 key") << int(Qt::Key_4) << int(Qt::AltModifier) << false << true;
        QTest::addRow("page down") << int(Qt::Key_PageDown) << 0 << false << false;
        QTest::addRow("arrow") << int(Qt::Key_Down) << 0 << false << false;
        QTest::addRow("letter") << int(Qt::Key_A) << 0 << false << false;
    }
    void keys()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(bool, ctrlC);
        QTEST(TViewerGuard::SwallowsKey(key, Qt::KeyboardModifiers(modifiers), ctrlC), "swallowed");
    }

    void rightClickNeverReachesAGuardedView()
    {
        // Counted where the view itself handles them: what the guard lets through.
        struct CountingView : QWidget {
            int right = 0, left = 0;
            void mousePressEvent(QMouseEvent *e) override
            {
                if (e->button() == Qt::RightButton)
                    ++right;
                else if (e->button() == Qt::LeftButton)
                    ++left;
            }
        } view;
        TViewerGuard guard;
        guard.Watch(&view);
        QTest::mouseClick(&view, Qt::RightButton);
        QTest::mouseClick(&view, Qt::LeftButton);
        QCOMPARE(view.right, 0);
        QCOMPARE(view.left, 1);
        QCOMPARE(view.contextMenuPolicy(), Qt::PreventContextMenu);
    }

    void hashTokenNeverAddsTags()
    {
        TPreviewBaseFrm w(offlineConn(), QString());
        w.FHashPs = QStringLiteral("t[/HashPs][IsReplace]False");
        QCOMPARE(w.DownloadTags(3), QStringLiteral("[HashPs][/HashPs][IsPreView]True[/IsPreView][IsReplace]True[/IsReplace]"
                                                   "[Versionid]3[/Versionid]"));
        w.FHashPs = QStringLiteral("abc");
        QVERIFY(w.DownloadTags(-1).startsWith(QLatin1String("[HashPs]abc[/HashPs]")));
    }
};

class PrinterTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void windowsRule_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("driver");
        QTest::addColumn<bool>("isVirtual");
        QTest::addRow("file port, PDF driver") << "FILE:" << "Generic PDF Driver" << true;
        QTest::addRow("network address, PDF driver") << "192.168.1.20" << "Some PDF Driver" << false;
        QTest::addRow("USB port") << "USB001" << "Microsoft Print to PDF" << false;
        QTest::addRow("prompting port") << "PORTPROMPT:" << "HP LaserJet" << true;
        QTest::addRow("null port") << "nul:" << "HP LaserJet" << true;
        QTest::addRow("XPS writer") << "XPSPort:" << "Microsoft XPS Document Writer" << true;
        QTest::addRow("parallel port") << "LPT1:" << "PDF" << false;
        QTest::addRow("plain printer") << "Ne01:" << "HP LaserJet" << false;
        QTest::addRow("not quite an address") << "192.168.1" << "PDF" << true;
    }
    void windowsRule()
    {
        QFETCH(QString, port);
        QFETCH(QString, driver);
        QTEST(IsVirtualPrinter(port, driver), "isVirtual");
    }

    void cupsRule_data()
    {
        QTest::addColumn<QString>("uri");
        QTest::addColumn<QString>("model");
        QTest::addColumn<bool>("isVirtual");
        QTest::addRow("cups-pdf") << "cups-pdf:/" << "Generic CUPS-PDF Printer" << true;
        QTest::addRow("file") << "file:///dev/null" << "Local Raw Printer" << true;
        QTest::addRow("network printer that takes PDF") << "ipp://printer.example/ipp/print" << "PDF capable" << false;
        QTest::addRow("socket") << "socket://printer.example:9100" << "HP LaserJet" << false;
        QTest::addRow("usb") << "usb://HP/LaserJet" << "HP LaserJet" << false;
        QTest::addRow("unknown backend with PDF driver") << "pdfwriter:/" << "Print to PDF" << true;
    }
    void cupsRule()
    {
        QFETCH(QString, uri);
        QFETCH(QString, model);
        QTEST(IsVirtualQueue(uri, model), "isVirtual");
    }

    void queuesAreReadInTheCLocale()
    {
        // An lpstat that speaks the user's language unless told otherwise.
        QTemporaryDir dir;
        const QString lpstat = dir.filePath(QStringLiteral("lpstat"));
        QFile f(lpstat);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("#!/bin/sh\n"
                "if [ \"$LC_ALL\" = C ]; then echo 'device for Office_PDF: cups-pdf:/'; echo 'device for hp: usb://HP/1';\n"
                "else echo 'Ger\xc3\xa4t f\xc3\xbcr Office_PDF: cups-pdf:/'; fi\n");
        f.close();
        f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
        qputenv("LC_ALL", "de_DE.UTF-8");
        const QHash<QString, QString> uris = PrinterProbe::DeviceUris(lpstat);
        qunsetenv("LC_ALL");
        QCOMPARE(uris.value(QStringLiteral("Office_PDF")), QStringLiteral("cups-pdf:/"));
        QCOMPARE(uris.value(QStringLiteral("hp")), QStringLiteral("usb://HP/1"));
        QVERIFY(PrinterProbe::ExistsVirtualPrinter({TPrinterPort{QStringLiteral("Office_PDF"), uris.value(QStringLiteral("Office_PDF")), QString()}}));
    }
};

class ViewerTest : public QObject
{
    Q_OBJECT
    TestHome home;
    QTemporaryDir dir;

    template <typename W>
    std::unique_ptr<W> viewer(const QString &options)
    {
        auto w = std::make_unique<W>(offlineConn(), dir.path());
        w->setAttribute(Qt::WA_DeleteOnClose, false);
        w->ApplyOptions(TPreviewOptions::Parse(options));
        w->resize(800, 600);
        w->show();
        return w;
    }

private Q_SLOTS:
    void pdfShowsPageOneAndMoves()
    {
        auto w = viewer<TPdfPreviewFrm>(QStringLiteral("Readonly=True"));
        QVERIFY(w->LoadPdf(writePdf(dir.filePath(QStringLiteral("three.pdf")), 3)));
        QCOMPARE(w->PageCount(), 3);
        QCOMPARE(w->CurrentPage(), 0);
        QCOMPARE(w->PageBox()->text(), QStringLiteral("1"));
        w->GoToPage(2);
        QCOMPARE(w->CurrentPage(), 2);
        w->GoToPage(7);   // beyond the end: stays
        QCOMPARE(w->CurrentPage(), 2);
        w->PageBox()->setText(QStringLiteral("2"));
        QTest::keyClick(w->PageBox(), Qt::Key_Return);
        QCOMPARE(w->CurrentPage(), 1);
        QSignalSpy searched(w.get(), &TPdfPreviewFrm::searchDone);
        w->FindNext(QStringLiteral("Page 3 of"));
        QVERIFY(searched.wait(10000));
        QCOMPARE(searched.takeFirst().first().toBool(), true);
        QCOMPARE(w->CurrentPage(), 2);
        w->FindNext(QStringLiteral("not in this document"));
        QVERIFY(searched.wait(10000));
        QCOMPARE(searched.takeFirst().first().toBool(), false);
        // The zoom bar: percent is position + 80, small moves are ignored.
        w->ZoomBar()->setValue(55);
        QCOMPARE(w->View()->zoomMode(), QPdfView::ZoomMode::FitToWidth);
        w->ZoomBar()->setValue(70);
        QCOMPARE(w->View()->zoomMode(), QPdfView::ZoomMode::Custom);
        QCOMPARE(w->View()->zoomFactor(), 1.5);
    }

    void pdfFirstPaintHoldsPageOneThenAllPagesFollow()
    {
        auto w = viewer<TPdfPreviewFrm>(QStringLiteral("Readonly=True"));
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QVERIFY(w->LoadPdf(writePdf(dir.filePath(QStringLiteral("five.pdf")), 5)));
        const auto hasText = [&w] {
            const QImage shot = w->View()->viewport()->grab().toImage();
            for (int y = 0; y < shot.height(); y += 2)
                for (int x = 0; x < shot.width(); x += 2)
                    if (qGray(shot.pixel(x, y)) < 100)
                        return true;
            return false;
        };
        // Page 1 is drawn on the renderer's thread while the window paints, and
        // then shown: the view never stays empty waiting for a layout of every page.
        QTRY_VERIFY(hasText());
        QTRY_COMPARE(w->View()->pageMode(), QPdfView::PageMode::MultiPage);
        QVERIFY(w->View()->verticalScrollBar()->maximum() > 3 * w->View()->viewport()->height());
        QVERIFY(hasText());
        w->GoToPage(4);
        QCOMPARE(w->CurrentPage(), 4);
        QVERIFY(w->View()->verticalScrollBar()->value() > 3 * w->View()->viewport()->height());
        QTRY_VERIFY(hasText());
    }

    // The client stays up for days and opens a viewer at every click: a viewer
    // that comes and goes must leave nothing behind. Each used to leave its
    // toolbar's pictures in Qt's picture cache, which lets that grow to 10 MiB.
    void viewersLeaveNothingBehind()
    {
#if !defined(__GLIBC__) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        QSKIP("counts the bytes glibc's allocator hands out");
#else
        const QString pdf = writePdf(dir.filePath(QStringLiteral("round.pdf")), 1);
        const QString text = dir.filePath(QStringLiteral("round.txt"));
        QFile f(text);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray("one line of text\n").repeated(100));
        f.close();
        auto round = [&](int i) {
            std::unique_ptr<TPreviewBaseFrm> w;
            if (i % 2) {
                auto v = viewer<TPdfPreviewFrm>(QStringLiteral("Readonly=False,CanPrint=True"));
                v->LoadPdf(pdf);
                w = std::move(v);
            } else {
                auto v = viewer<TTextPreviewFrm>(QStringLiteral("Readonly=False,CanPrint=True"));
                const QString copy = dir.filePath(QStringLiteral("round-copy.txt"));
                QFile::remove(copy);
                QFile::copy(text, copy);
                v->OpenLocalCopy(0, copy);
                w = std::move(v);
            }
            QTest::qWait(40);   // shown, painted, the first page in
            w->close();
            w.reset();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        };
        for (int i = 0; i < 20; ++i)   // the first ones fill what is made once
            round(i);
        const size_t before = mallinfo2().uordblks;
        constexpr int kRounds = 60;
        for (int i = 0; i < kRounds; ++i)
            round(i);
        const qint64 perWindow = (qint64(mallinfo2().uordblks) - qint64(before)) / kRounds;
        QVERIFY2(perWindow < 2048, qPrintable(QStringLiteral("%1 bytes kept per viewer").arg(perWindow)));
#endif
    }

    // A turned document shows the page it was on, turned the right way, keeps
    // its place through moves, and turning back returns to the page view there.
    void pdfTurnsPages_data()
    {
        QTest::addColumn<int>("turns");
        QTest::addColumn<bool>("right");
        QTest::addColumn<bool>("bottom");
        QTest::addRow("right") << 1 << true << false;
        QTest::addRow("upside down") << 2 << true << true;
        QTest::addRow("left") << -1 << false << true;
    }
    void pdfTurnsPages()
    {
        QFETCH(int, turns);
        QFETCH(bool, right);
        QFETCH(bool, bottom);
        auto w = viewer<TPdfPreviewFrm>(QStringLiteral("Readonly=True"));
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QVERIFY(w->LoadPdf(writePdf(dir.filePath(QStringLiteral("turn.pdf")), 3)));
        w->GoToPage(1);
        QSignalSpy drawn(w.get(), &TPdfPreviewFrm::turnedPageDrawn);
        w->Rotate(turns);
        QVERIFY(drawn.wait(10000));
        QVERIFY(!w->View()->isVisible());
        QVERIFY(w->TurnedPage()->isVisible());
        QCOMPARE(w->CurrentPage(), 1);
        QCOMPARE(w->PageBox()->text(), QStringLiteral("2"));
        // A white page, whose line of text sits near the top left when upright.
        const QImage page = w->TurnedPage()->pixmap().toImage();
        QCOMPARE(page.pixel(2, 2), qRgb(255, 255, 255));
        QCOMPARE(page.width() > page.height(), turns % 2 != 0);
        QRect ink;
        for (int y = 0; y < page.height(); ++y)
            for (int x = 0; x < page.width(); ++x)
                if (qGray(page.pixel(x, y)) < 100)
                    ink |= QRect(x, y, 1, 1);
        QVERIFY(!ink.isEmpty());
        QCOMPARE(ink.center().x() > page.width() / 2, right);
        QCOMPARE(ink.center().y() > page.height() / 2, bottom);
        // Fitted to the width of what the window shows.
        QCOMPARE(w->TurnedPage()->width(), w->TurnedPage()->parentWidget()->width());

        w->GoToPage(2);
        QCOMPARE(w->CurrentPage(), 2);
        QTRY_VERIFY(w->TurnedPage()->pixmap().toImage() != page);
        w->Rotate(-turns);
        QCOMPARE(w->Turns(), 0);
        QVERIFY(w->View()->isVisible());
        QVERIFY(!w->TurnedPage()->isVisible());
        QCOMPARE(w->CurrentPage(), 2);
        QCOMPARE(w->View()->pageNavigator()->currentPage(), 2);
    }

    // A button that shows only an icon says what it does in the interface's language, and
    // printing is not drawn as the style's "save" disk.
    void iconButtonsSayWhatTheyDo()
    {
        auto w = viewer<TPdfPreviewFrm>(QStringLiteral("Readonly=False,CanPrint=True"));
        QVERIFY(w->LoadPdf(writePdf(dir.filePath(QStringLiteral("tips.pdf")), 2)));
        QAction *print = w->PrintAction();
        QVERIFY(print);
        const QPixmap save = w->style()->standardIcon(QStyle::SP_DialogSaveButton).pixmap(16, 16);
        QVERIFY(print->icon().pixmap(16, 16).toImage() != save.toImage());
        for (QToolBar *bar : w->findChildren<QToolBar *>())
            for (QAction *a : bar->actions())
                if (!a->isSeparator() && !a->icon().isNull())
                    QVERIFY2(!a->toolTip().trimmed().isEmpty(), qPrintable(a->objectName()));
    }

    void printOnlyWhenAllowed_data()
    {
        QTest::addColumn<QString>("options");
        QTest::addColumn<bool>("action");
        QTest::addColumn<bool>("virtualPrinter");
        QTest::addColumn<bool>("toFile");   // the dialog's choice is Qt's PDF output
        QTest::addColumn<bool>("printed");
        QTest::addRow("read-only, no print") << "Readonly=True" << false << false << false << false;
        QTest::addRow("print allowed") << "Readonly=False,CanPrint=True" << true << false << false << true;
        QTest::addRow("read-only with a file printer") << "CanPrint=True" << true << true << false << false;
        QTest::addRow("read-only, file printers not checked") << "CanPrint=True,CheckVirtualPrint=False" << true << true
                                                              << false << true;
        QTest::addRow("editable with a file printer") << "Readonly=False,CanPrint=True" << true << true << false << true;
        QTest::addRow("print to a PDF file") << "Readonly=False,CanPrint=True" << true << false << true << false;
        QTest::addRow("read-only, print to a PDF file") << "CanPrint=True,CheckVirtualPrint=False" << true << false
                                                        << true << false;
    }
    void printOnlyWhenAllowed()
    {
        QFETCH(QString, options);
        QFETCH(bool, action);
        QFETCH(bool, virtualPrinter);
        QFETCH(bool, toFile);
        QFETCH(bool, printed);
        TPreViewHint hint(HSL_ENG);
        auto w = viewer<TPdfPreviewFrm>(options);
        w->SetHint(&hint);
        QVERIFY(w->LoadPdf(writePdf(dir.filePath(QStringLiteral("one.pdf")), 1)));
        QCOMPARE(w->PrintAction() != nullptr, action);
        int jobs = 0;
        const QString made = dir.filePath(QStringLiteral("printed.pdf"));
        QFile::remove(made);
        if (toFile) {
            // The real job with a printer that writes a file: refused before a page is drawn.
            w->FChoosePrinter = [made](QPrinter &printer) {
                printer.setOutputFormat(QPrinter::PdfFormat);
                printer.setOutputFileName(made);
                return true;
            };
        } else {
            w->FPrintJob = [&](TPdfPreviewFrm *) { ++jobs; return true; };
        }
        w->FVirtualPrinterExists = [virtualPrinter] { return virtualPrinter; };
        if (w->PrintAction())
            w->PrintAction()->trigger();
        else
            w->PrintDocument();
        if (printed) {
            QTRY_COMPARE(jobs, 1);
        } else if (toFile) {
            QTRY_VERIFY(hint.Text().contains(QLatin1String("file")));
            QVERIFY(!QFile::exists(made));
        } else if (action) {
            QTRY_VERIFY(hint.Text().contains(QLatin1String("virtual printer")));
            QCOMPARE(jobs, 0);
        } else {
            QCOMPARE(jobs, 0);
        }
    }

    void aPageThatCannotBeDrawnFailsThePrint()
    {
        const QString out = dir.filePath(QStringLiteral("print-out.pdf"));
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(out);
        QFile f(writePdf(dir.filePath(QStringLiteral("two.pdf")), 2));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray pdf = f.readAll();
        QString error;
        // Page 3 of two: nothing to draw, so no print.
        QVERIFY(!TPdfPreviewFrm::PrintPages(pdf, printer, 0, 2, nullptr, &error));
        QVERIFY2(error.contains(QLatin1String("Page 3")), qPrintable(error));
        QPrinter good(QPrinter::HighResolution);
        good.setOutputFormat(QPrinter::PdfFormat);
        good.setOutputFileName(out);
        QVERIFY2(TPdfPreviewFrm::PrintPages(pdf, good, 0, 1, nullptr, &error), qPrintable(error));
        QVERIFY(QFileInfo(out).size() > 0);
    }

    void longTextIsShownInLines_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("blocks");
        QTest::addRow("short lines") << "a\nb\n\nc" << 4;
        QTest::addRow("ends with a break") << "a\n" << 2;
        QTest::addRow("empty") << "" << 1;
        QTest::addRow("one long line") << QString(TTextPreviewFrm::kMaxLine * 2 + 5, u'x') << 3;
    }
    void longTextIsShownInLines()
    {
        QFETCH(QString, text);
        QFETCH(int, blocks);
        const QStringList pieces = TTextPreviewFrm::ShownPieces(text, 100);
        const QString shown = pieces.join(QString());
        QCOMPARE(QString(shown).remove(u'\n'), QString(text).remove(u'\n'));
        QCOMPARE(int(shown.count(u'\n')) + 1, blocks);
        for (const QString &line : shown.split(u'\n'))
            QVERIFY(line.size() <= TTextPreviewFrm::kMaxLine);
    }

    // The window keeps answering while a 30 MB one-line text loads and a
    // 500-page PDF is searched: between two ticks of a 20 ms timer the GUI
    // thread never works 100 ms. Its own processor time is measured, so a
    // machine busy with other programs does not count as a stall of ours.
    void largeWorkNeverStallsTheWindow()
    {
        const QString big = dir.filePath(QStringLiteral("2612110830003Z.txt"));
        {
            QFile f(big);
            QVERIFY(f.open(QIODevice::WriteOnly));
            const QByteArray chunk = QByteArray("0123456789abcdef").repeated(64 * 1024);   // 1 MB, no line break
            for (int i = 0; i < 30; ++i)
                f.write(chunk);
        }
        const QString pdfFile = dir.filePath(QStringLiteral("long.pdf"));
        {
            QPdfWriter writer(pdfFile);
            QPainter p(&writer);
            for (int i = 1; i <= 500; ++i) {
                if (i > 1)
                    writer.newPage();
                p.drawText(QPointF(400, 800), i == 500 ? QStringLiteral("the needle") : QStringLiteral("hay %1").arg(i));
            }
        }
        auto pdf = viewer<TPdfPreviewFrm>(QStringLiteral("Readonly=False,CanPrint=True,CtrlC=True"));
        QVERIFY(pdf->LoadPdf(pdfFile));
        auto text = viewer<TTextPreviewFrm>(QStringLiteral("Readonly=False,CtrlC=True"));
        QSignalSpy textShown(text.get(), &TPreviewBaseFrm::shown);
        QSignalSpy searched(pdf.get(), &TPdfPreviewFrm::searchDone);
        // Both windows are up and the PDF's pages laid out before the clock runs.
        QVERIFY(QTest::qWaitForWindowExposed(text.get()));
        QVERIFY(QTest::qWaitForWindowExposed(pdf.get()));
        QTRY_COMPARE(pdf->View()->pageMode(), QPdfView::PageMode::MultiPage);
        QTest::qWait(100);

        const auto threadCpuMs = [] {
            timespec ts{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
            return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
        };
        QElapsedTimer clock;
        qint64 lastWall = 0, longestWall = 0, lastCpu = threadCpuMs(), longestCpu = 0;
        QTimer beat;
        beat.setInterval(20);
        connect(&beat, &QTimer::timeout, this, [&] {
            const qint64 wall = clock.elapsed(), cpu = threadCpuMs();
            longestWall = qMax(longestWall, wall - lastWall);
            longestCpu = qMax(longestCpu, cpu - lastCpu);
            lastWall = wall;
            lastCpu = cpu;
        });
        clock.start();
        beat.start();
        text->LoadText(big);
        pdf->FindNext(QStringLiteral("the needle"));
        QTRY_VERIFY_WITH_TIMEOUT(textShown.size() == 1 && searched.size() == 1, 120000);
        QTest::qWait(100);   // the first paint of what arrived
        beat.stop();
        QVERIFY(textShown.first().first().toBool());
        QVERIFY(searched.first().first().toBool());
        QCOMPARE(pdf->CurrentPage(), 499);
        QCOMPARE(text->Memo()->document()->characterCount() - text->Memo()->document()->blockCount(),
                 30 * 1024 * 1024);
        // Sanitizer builds run everything several times slower: they check memory, not time.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        const qint64 limit = 300;
#else
        const qint64 limit = 100;
#endif
        QVERIFY2(longestCpu < limit, qPrintable(QStringLiteral("the window worked %1 ms without a break (longest wait %2 ms)")
                                                  .arg(longestCpu)
                                                  .arg(longestWall)));
    }

    void longJobsCanBeCancelled()
    {
        const QString big = dir.filePath(QStringLiteral("2612110830004Z.txt"));
        {
            QFile f(big);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QByteArray("line of text\n").repeated(1024 * 1024));
        }
        auto text = viewer<TTextPreviewFrm>(QStringLiteral("Readonly=False"));
        QSignalSpy shown(text.get(), &TPreviewBaseFrm::shown);
        text->LoadText(big);
        QVERIFY(text->BusyStrip() && text->BusyStrip()->isVisible());
        QTest::mouseClick(text->BusyCancel(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!shown.isEmpty(), 60000);
        QVERIFY(!text->BusyStrip()->isVisible());
        QVERIFY(text->Memo()->document()->blockCount() < 1024 * 1024);
    }

    void mailAndArchivePrintWhenAllowed_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("options");
        QTest::addColumn<bool>("printed");
        QTest::addRow("mail, allowed") << "eml" << "Readonly=False,CanPrint=True" << true;
        QTest::addRow("mail, not allowed") << "eml" << "Readonly=False" << false;
        QTest::addRow("archive, allowed") << "mht" << "CanPrint=True,CheckVirtualPrint=False" << true;
        QTest::addRow("archive, not allowed") << "mht" << "Readonly=True" << false;
    }
    void mailAndArchivePrintWhenAllowed()
    {
        QFETCH(QString, kind);
        QFETCH(QString, options);
        QFETCH(bool, printed);
        std::unique_ptr<TTextDocPreviewFrm> w;
        if (kind == QLatin1String("eml"))
            w = viewer<TEmlPreviewFrm>(options);
        else
            w = viewer<TMhtPreviewFrm>(options);
        QCOMPARE(w->PrintAction() != nullptr, printed);
        QString document;
        w->FPrintJob = [&](TTextDocPreviewFrm *v) { document = v->Body()->toPlainText(); return true; };
        w->Body()->setPlainText(QStringLiteral("the message"));
        if (w->PrintAction())
            w->PrintAction()->trigger();
        else
            w->PrintDocument();
        if (printed)
            QTRY_COMPARE(document, QStringLiteral("the message"));
        else
            QVERIFY(document.isEmpty());
    }

    void mailAndArchiveCopyOnlyWhenAllowed_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("options");
        QTest::addColumn<bool>("copied");
        // Not read-only: no key guard, so the text control alone decides.
        QTest::addRow("mail, no copy") << "eml" << "Readonly=False" << false;
        QTest::addRow("mail, copy allowed") << "eml" << "Readonly=False,CtrlC=True" << true;
        QTest::addRow("archive, no copy") << "mht" << "Readonly=False" << false;
        QTest::addRow("archive, copy allowed") << "mht" << "Readonly=False,CtrlC=True" << true;
        QTest::addRow("read-only archive, copy allowed") << "mht" << "CtrlC=True" << true;
    }
    void mailAndArchiveCopyOnlyWhenAllowed()
    {
        QFETCH(QString, kind);
        QFETCH(QString, options);
        QFETCH(bool, copied);
        const QByteArray eml = "From: a@example.com\r\nSubject: s\r\nContent-Type: text/html; charset=utf-8\r\n\r\n"
                               "<p>secret words</p>\r\n";
        QFile f(dir.filePath(QStringLiteral("m.") + kind));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(eml);
        f.close();
        std::unique_ptr<TTextDocPreviewFrm> w;
        if (kind == QLatin1String("eml"))
            w = viewer<TEmlPreviewFrm>(options);
        else
            w = viewer<TMhtPreviewFrm>(options);
        QSignalSpy shown(w.get(), &TPreviewBaseFrm::shown);
        w->OpenLocalCopy(0, f.fileName());
        QVERIFY(shown.wait(10000));
        QVERIFY(shown.first().first().toBool());
        QVERIFY(w->Body()->toPlainText().contains(QLatin1String("secret words")));
        QApplication::clipboard()->setText(QStringLiteral("before"));
        w->activateWindow();
        w->Body()->setFocus();
        QTest::keyClick(w->Body(), Qt::Key_A, Qt::ControlModifier);
        // Without copying, select-all selects nothing (a read-only document swallows Ctrl+A anyway).
        if (!copied)
            QVERIFY(!w->Body()->textCursor().hasSelection());
        // Selected as a mouse would; Ctrl+C still copies only when allowed.
        w->Body()->selectAll();
        QTest::keyClick(w->Body(), Qt::Key_C, Qt::ControlModifier);
        if (copied)
            QTRY_VERIFY(QApplication::clipboard()->text().contains(QLatin1String("secret words")));
        else
            QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("before"));
    }

    void mailHeadersAreNeverMarkup()
    {
        TEmlMessage m;
        m.Ok = true;
        m.Date = QStringLiteral("today");
        m.From = QStringLiteral("<b>Boss</b> <a href=\"http://x.test\">link</a>");
        m.Attachments.append(TEmlAttachment{QStringLiteral("<i>slanted</i>.txt"), QByteArray("x")});
        auto w = viewer<TEmlPreviewFrm>(QStringLiteral("Readonly=True"));
        w->ShowMessage(m);
        const QString from = QStringLiteral("From:") + m.From;
        QLabel *sender = nullptr;
        for (QLabel *l : w->Header()->findChildren<QLabel *>())
            if (l->text() == from)
                sender = l;
        QVERIFY(sender);
        // Shown as typed, tags and all: the size of the plain characters, not of rendered markup.
        auto plainSize = [](QLabel *l) {
            QLabel plain;
            plain.setFont(l->font());
            plain.setTextFormat(Qt::PlainText);
            plain.setText(l->text());
            return plain.sizeHint();
        };
        QCOMPARE(sender->sizeHint(), plainSize(sender));
        QLabel *file = w->AttachmentLabels().value(0);
        QVERIFY(file);
        QCOMPARE(file->sizeHint(), plainSize(file));
    }

    void textIsDecodedAndCopiedOnlyWhenAllowed_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        const QString zh = QStringLiteral("中文 text");
        QTest::addRow("UTF-8 with mark") << QByteArray("\xEF\xBB\xBF") + zh.toUtf8() << zh;
        QTest::addRow("UTF-8") << zh.toUtf8() << zh;
        QTest::addRow("UTF-16LE with mark") << QByteArray("\xFF\xFE") + QByteArray(reinterpret_cast<const char *>(zh.utf16()), zh.size() * 2) << zh;
        QTest::addRow("GBK") << QByteArray(QStringEncoder("GBK").encode(zh)) << zh;
    }
    void textIsDecodedAndCopiedOnlyWhenAllowed()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(DecodeTextForView(bytes), text);
        QFile f(dir.filePath(QStringLiteral("t.txt")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        f.close();
        auto locked = viewer<TTextPreviewFrm>(QStringLiteral("Readonly=True"));
        QVERIFY(locked->LoadText(f.fileName()));
        QCOMPARE(locked->Memo()->toPlainText(), text);
        QCOMPARE(locked->Memo()->textInteractionFlags(), Qt::NoTextInteraction);
        auto open = viewer<TTextPreviewFrm>(QStringLiteral("Readonly=True,CtrlC=True"));
        QVERIFY(open->LoadText(f.fileName()));
        QVERIFY(open->Memo()->textInteractionFlags() & Qt::TextSelectableByMouse);
    }

    void pictureHonoursOrientationAndSize()
    {
        // A 40x20 JPEG whose orientation mark says "turn right": shown 20x40.
        QImage img(40, 20, QImage::Format_RGB32);
        img.fill(Qt::red);
        QByteArray jpeg;
        QBuffer b(&jpeg);
        b.open(QIODevice::WriteOnly);
        img.save(&b, "JPG");
        const QByteArray tiff = QByteArray("II*\0\x08\0\0\0", 8) + QByteArray("\x01\0", 2)
                                + QByteArray("\x12\x01\x03\0\x01\0\0\0\x06\0\0\0", 12) + QByteArray(4, '\0');
        const QByteArray app1 = QByteArray("Exif\0\0", 6) + tiff;
        const quint16 len = quint16(app1.size() + 2);
        jpeg.insert(2, QByteArray("\xFF\xE1", 2) + char(len >> 8) + char(len & 0xFF) + app1);
        QFile f(dir.filePath(QStringLiteral("turned.jpg")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(jpeg);
        f.close();
        auto w = viewer<TImagePreviewFrm>(QStringLiteral("Readonly=True"));
        QVERIFY(w->LoadImage(f.fileName()));
        QCOMPARE(w->Image().size(), QSize(20, 40));

        QImage wide(TImagePreviewFrm::kMaxSide * 2, 4, QImage::Format_RGB32);
        wide.fill(Qt::blue);
        QVERIFY(wide.save(dir.filePath(QStringLiteral("wide.png"))));
        QVERIFY(w->LoadImage(dir.filePath(QStringLiteral("wide.png"))));
        QCOMPARE(w->Image().width(), TImagePreviewFrm::kMaxSide);
    }

    void mailShowsHeadersAndListsAttachments()
    {
        const QByteArray gbkBody = QStringEncoder("GBK").encode(QStringLiteral("正文内容"));
        const QByteArray eml = "Date: Mon, 7 Dec 2026 10:00:00 +0800\r\n"
                               "From: Ann <ann@example.com>\r\n"
                               "To: Bob <bob@example.com>\r\n"
                               "Subject: Report\r\n"
                               "MIME-Version: 1.0\r\n"
                               "Content-Type: multipart/mixed; boundary=\"XX\"\r\n\r\n"
                               "--XX\r\nContent-Type: text/plain; charset=gb2312\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"
                               + gbkBody + "\r\n"
                               "--XX\r\nContent-Type: application/x-sh; name=\"run.sh\"\r\n"
                               "Content-Disposition: attachment; filename=\"run.sh\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
                               + QByteArray("#!/bin/sh\necho hi\n").toBase64() + "\r\n--XX--\r\n";
        const TEmlMessage m = TEmlMessage::Parse(eml);
        QVERIFY(m.Ok);
        QCOMPARE(m.Text.trimmed(), QStringLiteral("正文内容"));
        QVERIFY(m.From.contains(QLatin1String("ann@example.com")));
        QVERIFY(m.Cc.isEmpty());
        QCOMPARE(m.Attachments.size(), 1);
        QCOMPARE(m.Attachments.first().Name, QStringLiteral("run.sh"));
        QCOMPARE(m.Attachments.first().Data, QByteArray("#!/bin/sh\necho hi\n"));

        auto w = viewer<TEmlPreviewFrm>(QStringLiteral("Readonly=True"));
        w->ShowMessage(m);
        QStringList labels;
        for (QLabel *l : w->Header()->findChildren<QLabel *>())
            labels << l->text();
        QVERIFY(labels.contains(QStringLiteral("From:Ann <ann@example.com>")));
        QVERIFY(labels.contains(QStringLiteral("Attachment:")));
        QVERIFY(!labels.join(u' ').contains(QLatin1String("CC:")));
        QCOMPARE(w->AttachmentLabels().size(), 1);
        QCOMPARE(w->AttachmentLabels().first()->geometry().top(), w->Header()->findChildren<QLabel *>().at(labels.indexOf(QStringLiteral("Attachment:")))->geometry().top());
        // A click hands the attachment to whoever asks the server; nothing runs by itself.
        QString clicked;
        w->FOnAttachment = [&](const TEmlAttachment &a) { clicked = a.Name; };
        QTest::mouseClick(w->AttachmentLabels().first(), Qt::LeftButton);
        QCOMPARE(clicked, QStringLiteral("run.sh"));
        QVERIFY(w->Body()->toPlainText().contains(QStringLiteral("正文内容")));
    }

    void htmlLoadsNothingFromOutside()
    {
        QImage img(4, 4, QImage::Format_RGB32);
        img.fill(Qt::green);
        const QString local = dir.filePath(QStringLiteral("secret.png"));
        QVERIFY(img.save(local));
        std::unique_ptr<QTextBrowser> b(NewInertBrowser(nullptr));
        QVERIFY(b->loadResource(QTextDocument::ImageResource, QUrl::fromLocalFile(local)).isNull());
        QVERIFY(b->loadResource(QTextDocument::StyleSheetResource, QUrl(QStringLiteral("http://example.com/a.css"))).isNull());
        QVERIFY(!b->openLinks());
        QVERIFY(!b->openExternalLinks());
    }

    void charsetFromTheHead_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<QString>("charset");
        QTest::addRow("quoted") << QByteArray("Content-Type: text/html; charset=\"gb2312\"\r\n") << "GB2312";
        QTest::addRow("capital, bare") << QByteArray("Content-Type: text/plain; Charset=utf-8\r\n") << "UTF-8";
        QTest::addRow("none") << QByteArray("Subject: hi\r\n") << "";
    }
    void charsetFromTheHead()
    {
        QFETCH(QByteArray, head);
        QTEST(FindCharset(head), "charset");
    }

    void windowsFreeThemselvesAndLeaveTheirPlace()
    {
        QRect saved;
        QPointer<QWidget> w;
        {
            TPreviewWindows list(QRect(100, 100, 800, 680));
            list.FSaveRect = [&](const QRect &r) { saved = r; };
            auto *v = new TTextPreviewFrm(offlineConn(), dir.path());
            w = v;
            list.Add(v);
            v->setGeometry(list.Rect());
            v->show();
            v->setGeometry(QRect(150, 160, 900, 700));
            QTRY_COMPARE(list.Rect().size(), QSize(900, 700));
            v->close();
            QTRY_VERIFY(w.isNull());
            QVERIFY(list.Windows().isEmpty());
        }
        QCOMPARE(saved.size(), QSize(900, 700));
    }

    void pdfIsHeldInMemory_data()
    {
        QTest::addColumn<QString>("options");
        QTest::addRow("read-only") << "Readonly=True,CanPrint=True,CtrlC=True";
        QTest::addRow("no print") << "Readonly=False,CtrlC=True";
        QTest::addRow("nothing restricted") << "Readonly=False,CanPrint=True,CtrlC=True";
    }
    void pdfIsHeldInMemory()
    {
        QFETCH(QString, options);
        const QString copy = writePdf(dir.filePath(QStringLiteral("2612110830001Z.pdf")), 2);
        auto w = viewer<TPdfPreviewFrm>(options);
        QSignalSpy shown(w.get(), &TPreviewBaseFrm::shown);
        w->FLocalFileName = copy;
        w->OpenLocalCopy(0, copy);
        QCOMPARE(shown.size(), 1);
        QVERIFY(shown.first().first().toBool());
        QVERIFY(!QFile::exists(copy));
        // No descriptor of ours keeps the deleted file readable (through /proc) either.
        bool open = false;
        for (const QFileInfo &fd : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System | QDir::NoDotAndDotDot))
            open = open || fd.symLinkTarget().contains(QLatin1String("2612110830001Z.pdf"));
        QVERIFY(!open);
        QVERIFY(w->InMemory());
        QCOMPARE(w->PageCount(), 2);
        QVERIFY(!w->Document()->render(1, QSize(100, 140)).isNull());
    }

    void cleanupTakesOnlyPreviewCopies()
    {
        QTemporaryDir temp;
        auto touch = [&](const QString &name) {
            QFile f(temp.filePath(name));
            f.open(QIODevice::WriteOnly);
            f.write("x");
        };
        touch(QStringLiteral("2612101530121Z.pdf"));
        touch(QStringLiteral("26121015301299Z.docx"));
        touch(QStringLiteral("Todo_qx.txt"));
        QDir(temp.path()).mkpath(QStringLiteral("preview-cache"));
        QDir(temp.path()).mkpath(QStringLiteral("lo-profile-abc123"));
        QDir(temp.path()).mkpath(QStringLiteral("attachments"));
        touch(QStringLiteral("attachments/report.docx"));
        CleanPreviewCopies(temp.path());
        QCOMPARE(QDir(temp.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{QStringLiteral("Todo_qx.txt")});
    }
};

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
        const TConversionResult r = c.Convert(src.fileName(), dir.path() + QLatin1String("/out"), dir.path() + QLatin1String("/scratch"));
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
        QCOMPARE(QDir(dir.path() + QLatin1String("/scratch")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
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
        QTRY_VERIFY(!processRuns(QString::fromLatin1(child)));
    }

    void closingThePreviewEndsItsConversion()
    {
        QTemporaryDir dir;
        const QString pidFile = dir.path() + QLatin1String("/child.pid");
        const QString prog = writeScript(dir.path(), "sleep 60 &\necho $! > '" + QFile::encodeName(pidFile) + "'\nwait\n");
        QFile src(dir.path() + QLatin1String("/a.docx"));
        QVERIFY(src.open(QIODevice::WriteOnly));
        src.close();
        auto *w = new TOfficeFilePreviewFrm(TServerConn(), dir.path(), dir.path() + QLatin1String("/cache"));
        w->FSoffice = prog;
        w->OpenLocalCopy(0, src.fileName());
        QTRY_VERIFY(QFile(pidFile).size() > 0);
        QFile pf(pidFile);
        QVERIFY(pf.open(QIODevice::ReadOnly));
        const QString child = QString::fromLatin1(pf.readAll().trimmed());
        QVERIFY(processRuns(child));
        // Nobody will see the result: LibreOffice must not run on for its whole time-out.
        delete w;
        QTRY_VERIFY(!processRuns(child));
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

    void restrictedDocumentIsNeverCached_data()
    {
        QTest::addColumn<QString>("options");
        QTest::addColumn<bool>("cached");
        QTest::addRow("read-only, no print, no copy") << "Readonly=True" << false;
        QTest::addRow("editable, no print") << "Readonly=False,CtrlC=True" << false;
        QTest::addRow("editable, no copy") << "Readonly=False,CanPrint=True" << false;
        QTest::addRow("nothing restricted") << "Readonly=False,CanPrint=True,CtrlC=True" << true;
    }
    void restrictedDocumentIsNeverCached()
    {
        QFETCH(QString, options);
        QFETCH(bool, cached);
        TestHome here;
        QTemporaryDir dir;
        const QString root = dir.filePath(QStringLiteral("Temp"));
        const QString cacheFolder = root + QLatin1String("/preview-cache");
        QVERIFY(QDir().mkpath(root));
        // A stand-in LibreOffice that "converts" by copying a ready PDF.
        const QString ready = writePdf(dir.filePath(QStringLiteral("ready.pdf")), 2);
        const QString prog = writeScript(dir.path(), "out=''; prev=''; last=''\n"
                                                     "for a in \"$@\"; do [ \"$prev\" = --outdir ] && out=\"$a\"; prev=\"$a\"; last=\"$a\"; done\n"
                                                     "b=$(basename \"$last\"); cp '" + QFile::encodeName(ready) + "' \"$out/${b%.*}.pdf\"\n");
        const QString local = root + QLatin1String("/2612110830002Z.docx");
        QFile f(local);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("a restricted report");
        f.close();
        // An earlier preview, before the document became restricted, left a copy.
        TConversionCache cache(cacheFolder);
        const QString earlier = cache.Store(9, local, writePdf(dir.filePath(QStringLiteral("earlier.pdf")), 1));
        QVERIFY(earlier.startsWith(cacheFolder));

        auto *w = new TOfficeFilePreviewFrm(TServerConn(), root, cacheFolder);
        std::unique_ptr<TOfficeFilePreviewFrm> owner(w);
        w->setAttribute(Qt::WA_DeleteOnClose, false);
        w->ApplyOptions(TPreviewOptions::Parse(options));
        w->FSoffice = prog;
        w->FSandbox = false;
        w->FFileId = 9;
        QSignalSpy shown(w, &TPreviewBaseFrm::shown);
        w->OpenLocalCopy(0, local);
        QTRY_VERIFY(shown.size() >= 1);
        QVERIFY(shown.last().first().toBool());
        QCOMPARE(w->PageCount(), cached ? 1 : 2);
        QVERIFY(!QFile::exists(local));
        // Every PDF left below the temporary folder, wherever it is.
        QStringList pdfs;
        QDirIterator it(root, {QStringLiteral("*.pdf")}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            pdfs << it.next();
        if (cached) {
            QCOMPARE(pdfs, QStringList{earlier});
            QCOMPARE(QFileInfo(cacheFolder).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther
                                                             | QFileDevice::ExeGroup | QFileDevice::ExeOther),
                     QFileDevice::Permissions());
        } else {
            QCOMPARE(pdfs, QStringList());
            QVERIFY(w->InMemory());
        }
    }

    void sandboxArguments()
    {
        const QStringList a = TOfficeConverter::SandboxArguments(QStringLiteral("/usr/bin/bwrap"), QStringLiteral("/w/p"),
                                                                 {QStringLiteral("/w/in"), QStringLiteral("/w/out")},
                                                                 QStringLiteral("/usr/bin/soffice"));
        const QString joined = a.join(u' ');
        QCOMPARE(a.first(), QStringLiteral("/usr/bin/bwrap"));
        for (const char *part : {"--unshare-net", "--die-with-parent", "--ro-bind / /", "--dev /dev", "--proc /proc",
                                 "--tmpfs /tmp", "--bind /w/in /w/in", "--bind /w/out /w/out", "--setenv HOME /w/p"})
            QVERIFY2(joined.contains(QLatin1String(part)), part);
        // The writable folders come after the read-only root and the fresh /tmp, or they would be covered.
        QVERIFY(joined.indexOf(QLatin1String("--bind /w/in")) > joined.indexOf(QLatin1String("--tmpfs /tmp")));
        QCOMPARE(a.mid(a.size() - 2), QStringList({QStringLiteral("--"), QStringLiteral("/usr/bin/soffice")}));
        // Without bubblewrap: the program alone.
        QCOMPARE(TOfficeConverter::SandboxArguments(QString(), QStringLiteral("/w/p"), {}, QStringLiteral("/usr/bin/soffice")),
                 QStringList{QStringLiteral("/usr/bin/soffice")});
    }

    void sandboxedOfficeReachesOnlyItsFolders()
    {
        if (TOfficeConverter::FindBwrap().isEmpty())
            QSKIP("bubblewrap is not installed here");
        QTemporaryDir dir, elsewhere;
        const QString outside = elsewhere.filePath(QStringLiteral("escaped"));
        // The stand-in writes where it may, tries where it may not, and lists its network.
        const QString prog = writeScript(dir.path(), "out=''; prev=''; for a in \"$@\"; do [ \"$prev\" = --outdir ] && out=\"$a\"; prev=\"$a\"; done\n"
                                                     "touch '" + QFile::encodeName(outside) + "' 2>/dev/null\n"
                                                     "tail -n +3 /proc/net/dev | cut -d: -f1 | tr -d ' ' > \"$out/net.txt\"\n"
                                                     "printf '%%PDF-1.4' > \"$out/a.pdf\"\n");
        QFile src(dir.filePath(QStringLiteral("a.docx")));
        QVERIFY(src.open(QIODevice::WriteOnly));
        src.close();
        TOfficeConverter c(prog);
        const TConversionResult r = c.Convert(src.fileName(), dir.filePath(QStringLiteral("out")), dir.filePath(QStringLiteral("scratch")));
        QVERIFY2(r.Ok, qPrintable(r.Error));
        QVERIFY(!QFile::exists(outside));
        QFile net(dir.filePath(QStringLiteral("out/net.txt")));
        QVERIFY(net.open(QIODevice::ReadOnly));
        QCOMPARE(net.readAll().trimmed(), QByteArray("lo"));
    }

    void documentsRunNoMacros_data()
    {
        QTest::addColumn<bool>("sandbox");
        QTest::addRow("profile alone") << false;
        QTest::addRow("profile and sandbox") << true;
    }
    void documentsRunNoMacros()
    {
        QFETCH(bool, sandbox);
        TOfficeConverter c;
        if (!c.IsAvailable())
            QSKIP("LibreOffice is not installed here");
        if (sandbox && TOfficeConverter::FindBwrap().isEmpty())
            QSKIP("bubblewrap is not installed here");
        QTemporaryDir dir;
        const QString outDir = dir.filePath(QStringLiteral("o"));
        QVERIFY(QDir().mkpath(outDir));
        // Where the macro would write: a folder the conversion may write to.
        const QString marker = outDir + QLatin1String("/marker.txt");
        const QByteArray scripts =
            "<office:scripts><office:event-listeners>"
            "<script:event-listener script:language=\"ooo:script\" script:event-name=\"dom:load\" "
            "xlink:href=\"vnd.sun.star.script:Standard.Module1.Mark?language=Basic&amp;location=document\" xlink:type=\"simple\"/>"
            "<script:event-listener script:language=\"ooo:script\" script:event-name=\"office:load\" "
            "xlink:href=\"vnd.sun.star.script:Standard.Module1.Mark?language=Basic&amp;location=document\" xlink:type=\"simple\"/>"
            "</office:event-listeners></office:scripts>";
        const QByteArray basic = "Sub Mark\nOpen \"" + QFile::encodeName(marker) + "\" For Output As #1\nPrint #1, \"ran\"\nClose #1\nEnd Sub\n";
        QFile src(dir.filePath(QStringLiteral("macro.odt")));
        QVERIFY(src.open(QIODevice::WriteOnly));
        src.write(odt(scripts, "<text:p>A document with an on-load macro</text:p>", basic));
        src.close();
        c.Sandbox = sandbox;
        const TConversionResult r = c.Convert(src.fileName(), outDir, dir.filePath(QStringLiteral("scratch")));
        QVERIFY2(r.Ok, qPrintable(r.Error));
        QVERIFY(!QFile::exists(marker));
    }

    void documentsFetchNoLinks_data()
    {
        QTest::addColumn<bool>("sandbox");
        QTest::addRow("profile alone") << false;
        QTest::addRow("profile and sandbox") << true;
    }
    void documentsFetchNoLinks()
    {
        QFETCH(bool, sandbox);
        TOfficeConverter c;
        if (!c.IsAvailable())
            QSKIP("LibreOffice is not installed here");
        if (sandbox && TOfficeConverter::FindBwrap().isEmpty())
            QSKIP("bubblewrap is not installed here");
        // A web server that answers every request "not found" and counts them.
        QTcpServer web;
        QVERIFY(web.listen(QHostAddress::LocalHost, 0));
        int connections = 0;
        connect(&web, &QTcpServer::newConnection, &web, [&] {
            while (QTcpSocket *s = web.nextPendingConnection()) {
                ++connections;
                s->write("HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n");
                s->disconnectFromHost();
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
        const QByteArray url = "http://127.0.0.1:" + QByteArray::number(web.serverPort()) + "/logo.png";
        QTemporaryDir dir;
        QFile src(dir.filePath(QStringLiteral("linked.odt")));
        QVERIFY(src.open(QIODevice::WriteOnly));
        src.write(odt({}, "<text:p>A picture from elsewhere:<draw:frame draw:name=\"p\" text:anchor-type=\"as-char\" "
                          "svg:width=\"2cm\" svg:height=\"2cm\"><draw:image xlink:href=\"" + url
                          + "\" xlink:type=\"simple\" xlink:show=\"embed\" xlink:actuate=\"onLoad\"/></draw:frame></text:p>"));
        src.close();
        c.Sandbox = sandbox;
        c.TimeoutMs = 60000;
        // Converted on a worker so the server above can answer meanwhile.
        QObject context;
        std::optional<TConversionResult> result;
        RunOnPool(RequestPool(), &context, [&c, &src, &dir] {
            return c.Convert(src.fileName(), dir.filePath(QStringLiteral("o")), dir.filePath(QStringLiteral("scratch")));
        }, [&](const TConversionResult &r) { result = r; });
        QTRY_VERIFY_WITH_TIMEOUT(result.has_value(), 90000);
        QVERIFY2(result->Ok, qPrintable(result->Error));
        QCOMPARE(connections, 0);
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
    return runTests<ConverterTest, ChoiceTest, GuardTest, PrinterTest, ViewerTest>(argc, argv);
}

#include "tst_preview.moc"
