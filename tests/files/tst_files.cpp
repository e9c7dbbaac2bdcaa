// The file manager and its transfer dialogs: their logic as tables, and the
// windows driven against the reference server on 127.0.0.1.
#include "core/clientconfigx.h"
#include "core/fileext.h"
#include "files/filedelfrm.h"
#include "files/filedownloadfrm.h"
#include "files/filelistmodel.h"
#include "files/filemaglogic.h"
#include "files/filemagfrm.h"
#include "model/folderchanges.h"
#include "platform/prompter.h"
#include "files/fileuploadfrm.h"
#include "files/filepropertypage.h"
#include "files/fileviewfrm.h"
#include "files/getpathfrm.h"
#include "files/pickerlogic.h"
#include "files/selectfolderfrm.h"
#include "files/selectownerfrm.h"
#include "files/setfoldrnamefrm.h"
#include "files/setfiletypefrm.h"
#include "files/transfer.h"
#include "files/tsetfilepropertyfrm.h"
#include "platform/embeddedbrowser.h"
#include "core/workpools.h"
#include "net/robottcpclient.h"
#include "refserver.h"
#include "testenv.h"

#include <QApplication>
#include <QCheckBox>
#include <QCryptographicHash>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QScrollBar>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QSemaphore>
#include <QTcpServer>
#include <QTcpSocket>
#include <QAbstractButton>
#include <QTimer>
#include <QDialogButtonBox>
#include <QThreadPool>
#include <QTreeView>
#include <QTreeWidget>

#include <numeric>

namespace {
// Answers every box and records what it was shown.
class TRecordingPrompter : public TPrompter
{
public:
    QStringList infos, errors, questions;
    QList<bool> answers;         // Ask answers in order; Yes when none is left
    QString text;                // AskText's answer
    void Info(QWidget *, const QString &, const QString &t) override { infos << t; }
    void Error(QWidget *, const QString &, const QString &t) override { errors << t; }
    bool Ask(QWidget *, const QString &, const QString &t) override
    {
        questions << t;
        return answers.isEmpty() ? true : answers.takeFirst();
    }
    bool AskText(QWidget *, const QString &, const QString &, QString &t) override
    {
        t = text;
        return !text.isEmpty();
    }
    void reset() { *this = TRecordingPrompter(); }
};

TFileRow fileRow(const QString &caption, qint64 sizeKB, qint64 key, bool folder = false)
{
    TFileRow r;
    r.Caption = caption;
    r.IsFolder = folder;
    r.SizeText = folder ? QString() : QString::number(sizeKB);
    r.Key = key;
    return r;
}

QStringList captions(const TFileListModel &m)
{
    QStringList out;
    for (int i = 0; i < m.rowCount(); ++i)
        out << m.Row(i).Caption;
    return out;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), qint64(bytes.size()));
}

// With ZUDIVUVO_SCREENSHOTS set to a folder, windows are saved there as pictures.
void snapshot(QWidget *w, const QString &name)
{
    const QString dir = qEnvironmentVariable("ZUDIVUVO_SCREENSHOTS");
    if (!dir.isEmpty() && QDir().mkpath(dir))
        w->grab().save(dir + u'/' + name);
}

QByteArray bigBody(int bytes)
{
    QByteArray b;
    b.reserve(bytes);
    for (int i = 0; b.size() < bytes; ++i)
        b += QByteArray::number(i) + ' ';
    b.truncate(bytes);
    return b;
}

// A session of the demo user on the server at port, as the file windows get it.
TServerConn demoConn(quint16 port, THS_Language lang = HSL_ENG, qint32 *userId = nullptr)
{
    TRobotTcpClient client;
    client.Host = QStringLiteral("127.0.0.1");
    client.Port = port;
    TLoginReply reply;
    if (client.Login("demo", "demo", LoginMacValue(), "127.0.0.1", QString::number(port), &reply) != st::LoginOk)
        qFatal("demo login failed");
    TServerConn conn;
    conn.Host = QStringLiteral("127.0.0.1");
    conn.Port = port;
    conn.EncryptId = reply.UserId;
    conn.Language = lang;
    if (userId)
        *userId = reply.UserId2;
    return conn;
}
// Passes connections on to a server while open; while shut it drops them at
// once, as a server that went away would.
class Relay : public QObject
{
public:
    explicit Relay(quint16 target)
    {
        if (!m_listen.listen(QHostAddress::LocalHost))
            qFatal("relay listen failed");
        connect(&m_listen, &QTcpServer::newConnection, this, [this, target] {
            while (QTcpSocket *in = m_listen.nextPendingConnection()) {
                if (!open) {
                    in->abort();
                    in->deleteLater();
                    continue;
                }
                auto *out = new QTcpSocket(in);
                connect(in, &QTcpSocket::readyRead, out, [in, out] { out->write(in->readAll()); });
                connect(out, &QTcpSocket::readyRead, in, [in, out] { in->write(out->readAll()); });
                connect(out, &QTcpSocket::disconnected, in, &QTcpSocket::disconnectFromHost);
                connect(in, &QTcpSocket::disconnected, in, &QObject::deleteLater);
                out->connectToHost(QHostAddress::LocalHost, target);
            }
        });
    }
    quint16 port() const { return m_listen.serverPort(); }
    bool open = true;

private:
    QTcpServer m_listen;
};

} // namespace

class FileListModelTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void headerClicksSort_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<QStringList>("first");
        QTest::addColumn<QStringList>("second");
        QTest::addColumn<QStringList>("third");
        const QStringList byName{"A", "B", "a", "b10"};
        const QStringList bySize{"B", "a", "b10", "A"};
        QTest::addRow("caption, ordinal") << 0 << byName << QStringList{"b10", "a", "B", "A"} << byName;
        QTest::addRow("size, numeric not text") << 2 << bySize << QStringList{"A", "b10", "a", "B"} << bySize;
    }
    void headerClicksSort()
    {
        QFETCH(int, column);
        QFETCH(QStringList, first);
        QFETCH(QStringList, second);
        QFETCH(QStringList, third);
        TFileListModel m;
        m.SetRows({fileRow("b10", 9, 1), fileRow("a", 3, 2), fileRow("A", 10, 3), fileRow("B", 2, 4)});
        m.SetChecked(0, true);  // the check follows its row
        QCOMPARE(m.SortByHeaderClick(column), Qt::AscendingOrder);
        QCOMPARE(captions(m), first);
        QVERIFY(m.IsChecked(int(captions(m).indexOf("b10"))));
        QCOMPARE(m.SortByHeaderClick(column), Qt::DescendingOrder);
        QCOMPARE(captions(m), second);
        QCOMPARE(m.SortByHeaderClick(column), Qt::AscendingOrder);
        QCOMPARE(captions(m), third);
    }

    // Sorting compares a head of each name after the prefix all share; the order
    // must still be exactly the ordinal one, ties keeping their list order.
    void textSortIsOrdinal_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addRow("shared prefix longer than the head") << QStringList{"Report 2024 Q10.pdf", "Report 2024 Q1.pdf", "Report 2024 Q2.pdf", "Report 2024 Q1.pdf"};
        QTest::addRow("prefix of another") << QStringList{"abcdefghij", "ab", "abcdefghi", "a", "abc", "abcdefghi"};
        QTest::addRow("Chinese and beyond the BMP") << QStringList{"文件2", "文件10", "文件", "\U00020000a", "a", "Z"};
        QTest::addRow("all equal") << QStringList{"same", "same", "same"};
        QTest::addRow("empty names") << QStringList{"", "b", "", "a"};
    }
    void textSortIsOrdinal()
    {
        QFETCH(QStringList, names);
        std::vector<TFileRow> rows;
        for (int i = 0; i < names.size(); ++i)
            rows.push_back(fileRow(names[i], 1, i + 1));
        TFileListModel m;
        m.SetRows(rows);
        QList<int> order(names.size());
        std::iota(order.begin(), order.end(), 0);
        auto keysOf = [&m] {
            QList<int> k;
            for (int i = 0; i < m.rowCount(); ++i)
                k << int(m.Row(i).Key - 1);
            return k;
        };
        QList<int> up = order;
        std::stable_sort(up.begin(), up.end(), [&](int a, int b) { return QString::compare(names[a], names[b]) < 0; });
        QCOMPARE(m.SortByHeaderClick(TFileListModel::ColCaption), Qt::AscendingOrder);
        QCOMPARE(keysOf(), up);
        QCOMPARE(m.SortByHeaderClick(TFileListModel::ColCaption), Qt::DescendingOrder);
        // Ties keep the order they had in the list being sorted.
        QList<int> downFromUp = up;
        std::stable_sort(downFromUp.begin(), downFromUp.end(), [&](int a, int b) { return QString::compare(names[a], names[b]) > 0; });
        QCOMPARE(keysOf(), downFromUp);
    }

    void choose_data()
    {
        QTest::addColumn<QList<int>>("checked");
        QTest::addColumn<bool>("filesOnly");
        QTest::addColumn<bool>("exactlyOne");
        QTest::addColumn<int>("result");
        QTest::addColumn<QStringList>("names");
        QTest::addRow("two files where one is needed") << QList<int>{1, 2} << true << true << int(TChooseResult::SelOne) << QStringList{"a.txt", "b.mpp"};
        QTest::addRow("a folder only, files wanted") << QList<int>{0} << true << true << int(TChooseResult::SelOne2) << QStringList{};
        QTest::addRow("nothing checked") << QList<int>{} << false << false << int(TChooseResult::SelOne2) << QStringList{};
        QTest::addRow("files and folders in list order") << QList<int>{2, 0} << false << false << int(TChooseResult::Ok) << QStringList{"Docs", "b.mpp"};
    }
    void choose()
    {
        QFETCH(QList<int>, checked);
        QFETCH(bool, filesOnly);
        QFETCH(bool, exactlyOne);
        QFETCH(int, result);
        QFETCH(QStringList, names);
        TFileListModel m;
        m.SetRows({fileRow("Docs", 0, 5, true), fileRow("a.txt", 1, 6), fileRow("b.mpp", 1, 7)});
        for (int i : checked)
            m.SetChecked(i, true);
        TSelectedInfos out;
        QCOMPARE(int(m.Choose(filesOnly, exactlyOne, out)), result);
        QStringList got;
        for (const TSelectedInfo &s : out)
            got << s.FileName;
        QCOMPARE(got, names);
    }

    void searchChecksMatchingNames()
    {
        TFileListModel m;
        m.SetRows({fileRow("Report 2024.docx", 1, 1), fileRow("合同 草稿.txt", 1, 2), fileRow("other.pdf", 1, 3)});
        m.SetChecked(2, true);
        m.SearchNames(QStringLiteral("  REPORT "));
        QVERIFY(m.IsChecked(0));
        QVERIFY(!m.IsChecked(2));  // the first search after a reset starts from nothing
        m.SetChecked(2, true);   // the user's own tick
        m.SearchNames(QStringLiteral("合同"));
        // A new search takes back what the last one ticked, never the user's ticks.
        QVERIFY(!m.IsChecked(0));
        QVERIFY(m.IsChecked(1) && m.IsChecked(2));
        QCOMPARE(m.CheckedCount(), 2);
        // Ticked rows are drawn apart, so a search's tick is seen.
        QVERIFY(m.data(m.index(1, TFileListModel::ColDate), Qt::BackgroundRole).isValid());
        QVERIFY(!m.data(m.index(0, TFileListModel::ColDate), Qt::BackgroundRole).isValid());
        m.SetAllChecked(false);
        m.SetAllChecked(true);
        QVERIFY(m.IsChecked(0) && m.IsChecked(1) && m.IsChecked(2));
    }
};

class FileMagLogicTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void previewRoute_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("shownInClient");
        QTest::addColumn<bool>("handOff");
        QTest::addRow("listed type") << QStringLiteral("plan.mpp") << false << true;
        QTest::addRow("listed type in upper case") << QStringLiteral("plan.MPP") << false << false;
        QTest::addRow("other type") << QStringLiteral("a.pdf") << false << false;
        QTest::addRow("type a viewer of ours shows") << QStringLiteral("a.pdf") << true << true;
        QTest::addRow("name that would inject rights")
            << QStringLiteral("x[/filename][ctparams]Readonly=False,CanPrint=True[/ctparams].mpp") << false << false;
        QTest::addRow("injecting name of a type ours shows")
            << QStringLiteral("x[/filename][ctparams]Readonly=False,CanPrint=True[/ctparams].pdf") << true << false;
        QTest::addRow("lone bracket") << QStringLiteral("a]b.rtf") << false << false;
    }
    void previewRoute()
    {
        QFETCH(QString, name);
        QFETCH(bool, shownInClient);
        QFETCH(bool, handOff);
        const TPreviewRoute r = PreviewRoute(42, name, QStringLiteral("http://h:1"), QStringLiteral("ENC"), shownInClient);
        QCOMPARE(r.HandOff, handOff);
        if (handOff) {
            QCOMPARE(r.Cmd.Code, 13u);
            QCOMPARE(r.Cmd.Cmd, QStringLiteral("[filekey]42[/filekey][filever]-1[/filever][filename]%1[/filename]"
                                               "[ctparams]Readonly=True,CanPrint=False[/ctparams]").arg(name));
        } else {
            QVERIFY(r.Url.startsWith(QStringLiteral("http://h:1/previewopen?")));
            QVERIFY(r.Url.contains(QStringLiteral("filekey=42")));
            QVERIFY(r.Url.endsWith(QStringLiteral("&c=2")));
        }
    }

    void dropQuestionShowsTenPaths()
    {
        QStringList paths;
        for (int i = 1; i <= 12; ++i)
            paths << QStringLiteral("/d/f%1.txt").arg(i);
        const QString q = DropQuestion(TFileMagTexts(HSL_ENG), paths);
        const QStringList lines = q.split(QStringLiteral("\r\n"));
        QCOMPARE(lines.size(), 12);
        QCOMPARE(lines.first(), QStringLiteral("Upload the following files or folders: "));
        QCOMPARE(lines.at(10), QStringLiteral("  /d/f10.txt"));
        QCOMPARE(lines.last(), QStringLiteral("  ......"));
    }

    void droppedFoldersComeFirstAndExpand()
    {
        TestHome home;
        const QString root = home.path() + QStringLiteral("/drop");
        writeFile(root + QStringLiteral("/one.txt"), "1");
        writeFile(root + QStringLiteral("/D/x.txt"), "x");
        writeFile(root + QStringLiteral("/D/B/y.txt"), "y");
        writeFile(root + QStringLiteral("/E/z.txt"), "z");
        const QStringList ordered = OrderDroppedPaths({root + "/one.txt", root + "/D", root + "/E/"});
        QCOMPARE(ordered, (QStringList{root + "/E/", root + "/D", root + "/one.txt"}));
        QCOMPARE(DropSourceFolder(ordered), root + u'/');
        QStringList files = ExpandDroppedFolders(ordered);
        QCOMPARE(files.size(), 4);
        QCOMPARE(files.first(), root + "/E/z.txt");
        QCOMPARE(files.last(), root + "/one.txt");
        QVERIFY(files.contains(root + "/D/B/y.txt"));
    }

    void uploadNames_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("subFolder");
        QTest::addColumn<QString>("display");
        QTest::addRow("one level") << "/A/B/x.txt" << "/A/" << "B\\" << "../B/x.txt";
        QTest::addRow("backslashes") << "C:\\A\\B\\x.txt" << "C:\\A\\" << "B\\" << "../B/x.txt";
        QTest::addRow("two levels, other case") << "/a/B/C/x.txt" << "/A/" << "B\\C\\" << "../B/C/x.txt";
        QTest::addRow("directly in the source") << "/A/x.txt" << "/A/" << "" << "../x.txt";
        QTest::addRow("outside the source") << "/Z/x.txt" << "/A/" << "" << "/Z/x.txt";
    }
    void uploadNames()
    {
        QFETCH(QString, file);
        QFETCH(QString, source);
        QFETCH(QString, subFolder);
        QFETCH(QString, display);
        QCOMPARE(UploadSubFolderName(file, source), subFolder);
        QCOMPARE(UploadDisplayName(file, source), display);
    }

    void uploadChecks_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("ext");
        QTest::addColumn<QList<quint32>>("types");
        QTest::addColumn<QString>("refusal");
        const TUploadTexts t(HSL_ENG);
        const qint64 mb = 1048576;
        QTest::addRow("11 MB over a 10 MB limit") << 11 * mb << "txt" << QList<quint32>{} << t.WLS_ErrSize + "(10 M)!";
        QTest::addRow("exactly the limit") << 10 * mb << "txt" << QList<quint32>{} << QString();
        QTest::addRow("type not allowed") << qint64(5) << "exe" << QList<quint32>{ExtCode("txt")} << t.WLS_ErrKind;
        QTest::addRow("type allowed") << qint64(5) << "txt" << QList<quint32>{ExtCode("txt")} << QString();
    }
    void uploadChecks()
    {
        QFETCH(qint64, size);
        QFETCH(QString, ext);
        QFETCH(QList<quint32>, types);
        QFETCH(QString, refusal);
        TTidyFile f;
        f.Size = size;
        f.Kind = ExtCode(ext);
        QCOMPARE(CheckUploadFile(f, 10 * 1048576, types, TUploadTexts(HSL_ENG)), refusal);
    }

    void downloadFolderAndProgress()
    {
        QCOMPARE(NormaliseDownloadFolder(QStringLiteral(" /d/docs//a ")), QStringLiteral("/d/docs/a/"));
        QCOMPARE(NormaliseDownloadFolder(QStringLiteral("D:\\docs\\\\a")), QStringLiteral("D:/docs/a/"));
        TProgressView v = ProgressStep(0, 100 * 1024, 32768);
        QCOMPARE(v.Maximum, 102);
        QCOMPARE(v.Position, 33);
        QCOMPARE(v.Label, QStringLiteral("33/101K"));
        v = ProgressStep(v.Maximum, 100 * 1024, 100 * 1024);
        QCOMPARE(v.Maximum, 102);
        QCOMPARE(v.Position, 101);
    }
};


class FileViewTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void sortAndSelect()
    {
        TSelectFileView view(HSL_ENG);
        auto add = [&view](const QString &path, qint64 size, quint8 dealed, qint64 hash) {
            TTidyFile f;
            f.Path = path;
            f.Size = size;
            f.Dealed = dealed;
            f.PathHash = hash;
            view.AddFiles(f);
        };
        add(QStringLiteral("/src/b.txt"), 5000, 0, 1);
        add(QStringLiteral("C:\\src\\A.doc"), 100, 'c', 2);
        add(QStringLiteral("/src/sub/c.pdf"), 20000, 'd', 3);
        TFileViewModel &m = view.Model();
        QCOMPARE(m.Row(1).Name, QStringLiteral("A.doc"));
        QCOMPARE(m.Row(1).SourcePath, QStringLiteral("C:\\src\\"));
        QCOMPARE(m.Row(1).Status, QStringLiteral("Deleted"));
        QVERIFY(!m.Row(1).Checked && m.Row(0).Checked && m.Row(2).Checked);
        QCOMPARE(view.lblCount->text(), QStringLiteral("Total files:3"));
        QCOMPARE(view.GetUnSelectedKeys(), QList<qint64>{2});

        auto names = [&m] {
            QStringList out;
            for (int i = 0; i < m.rowCount(); ++i)
                out << m.Row(i).Name;
            return out;
        };
        m.SortByHeaderClick(TFileViewModel::ColName);
        QCOMPARE(names(), (QStringList{"A.doc", "b.txt", "c.pdf"}));   // case-insensitive
        m.SortByHeaderClick(TFileViewModel::ColName);
        QCOMPARE(names(), (QStringList{"c.pdf", "b.txt", "A.doc"}));
        m.SortByHeaderClick(TFileViewModel::ColSize);
        QCOMPARE(names(), (QStringList{"A.doc", "b.txt", "c.pdf"}));

        m.SearchNames(QStringLiteral("B."));
        QCOMPARE(view.GetUnSelectedKeys(), (QList<qint64>{2, 3}));
        view.Confirm();
        QVERIFY(view.FSelectKey);
    }

    // The selection speaks the window's language, "All" says whether every row is ticked,
    // and paths and times are whole.
    void selectionReadsRight_data()
    {
        QTest::addColumn<int>("language");
        QTest::addColumn<QString>("source");
        QTest::addRow("English") << int(HSL_ENG) << QStringLiteral("Source path");
        QTest::addRow("Chinese") << int(HSL_CN) << QStringLiteral("源路径");
    }
    void selectionReadsRight()
    {
        QFETCH(int, language);
        QFETCH(QString, source);
        TSelectFileView view{THS_Language(language)};
        TFileViewModel &m = view.Model();
        QCOMPARE(m.headerData(TFileViewModel::ColSource, Qt::Horizontal, Qt::DisplayRole).toString(), source);
        const QString folder = QStringLiteral("/home/ann/Documents/Quarterly reports/2026/");
        for (int i = 0; i < 3; ++i) {
            TTidyFile f;
            f.Path = folder + QStringLiteral("report-%1.pdf").arg(i);
            f.Size = 1000;
            f.ModifyDT = 46000.5;
            f.PathHash = i + 1;
            view.AddFiles(f);
        }
        QVERIFY(view.chbAll->isChecked());   // every row starts ticked
        m.SetChecked(1, false);
        QVERIFY(!view.chbAll->isChecked());
        m.SetChecked(1, true);
        QVERIFY(view.chbAll->isChecked());
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        const QFontMetrics fm(view.lvFiles->font());
        QHeaderView *h = view.lvFiles->header();
        QVERIFY(h->sectionSize(TFileViewModel::ColSource) > fm.horizontalAdvance(folder));
        QVERIFY(h->sectionSize(TFileViewModel::ColDate) > fm.horizontalAdvance(QStringLiteral("2025-12-09 12:00:00")));
    }
};

// The windows against the reference server with its demo organisation.
class FileManagerE2ETest : public QObject
{
    Q_OBJECT
    TestHome home;
    std::unique_ptr<RefServer> server;
    TRecordingPrompter prompter;
    TFileMagSession session;
    std::unique_ptr<TFileMagFrm> frm;

    QTreeWidgetItem *find(QTreeWidget *tree, const QString &caption)
    {
        const QList<QTreeWidgetItem *> items = tree->findItems(caption, Qt::MatchExactly | Qt::MatchRecursive);
        return items.isEmpty() ? nullptr : items.first();
    }
    int rowOf(const QString &caption)
    {
        return int(captions(frm->Model()).indexOf(caption));
    }
    // Answers still on their way when the test looks: let every one of them land.
    void settle()
    {
        QTRY_VERIFY(RequestPool()->activeThreadCount() == 0);
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }

    // Opens an owner and then each folder of the path, waiting for each list.
    bool openFolder(const QString &owner, const QStringList &path)
    {
        QSignalSpy folders(frm.get(), &TFileMagFrm::foldersLoaded);
        Q_EMIT frm->tvOrg->itemClicked(find(frm->tvOrg, owner), 0);
        if (!folders.wait(10000))
            return false;
        for (const QString &name : path) {
            QTreeWidgetItem *node = find(frm->tvFolder, name);
            if (!node)
                return false;
            const bool loads = TFileMagFrm::NodeImage(node) != 1;
            QSignalSpy subs(frm.get(), &TFileMagFrm::foldersLoaded);
            QSignalSpy list(frm.get(), &TFileMagFrm::listLoaded);
            frm->tvFolder->setCurrentItem(node);
            if (!list.wait(10000))
                return false;
            if (loads && subs.isEmpty() && !subs.wait(10000))
                return false;
        }
        return true;
    }

private Q_SLOTS:
    void initTestCase()
    {
        qRegisterMetaType<QTreeWidgetItem *>();
        TPrompter::SetInstance(&prompter);
        server = std::make_unique<RefServer>();
        TRobotTcpClient client;
        client.Host = QStringLiteral("127.0.0.1");
        client.Port = server->port();
        TLoginReply reply;
        QCOMPARE(client.Login("demo", "demo", LoginMacValue(), "127.0.0.1", QString::number(server->port()), &reply), st::LoginOk);
        session.Conn.Host = QStringLiteral("127.0.0.1");
        session.Conn.Port = server->port();
        session.Conn.EncryptId = reply.UserId;
        session.Conn.Language = HSL_ENG;
        session.UserId = reply.UserId2;
        session.UserName = reply.UserName;
        session.WorkRoot = home.path() + QStringLiteral("/workroot/");
        session.ConfigFolder = home.configFolder();
        QDir().mkpath(session.ConfigFolder);
    }
    void init()
    {
        prompter.reset();
        frm = std::make_unique<TFileMagFrm>();
        frm->SetSession(session);
        frm->FAskFolderName = [this](QString &name) { return prompter.AskText(nullptr, {}, {}, name); };
        frm->resize(900, 600);
        frm->show();
        QSignalSpy org(frm.get(), &TFileMagFrm::orgLoaded);
        frm->Init();
        QVERIFY(org.wait(10000));
    }
    void cleanup()
    {
        if (QTest::currentTestFailed())
            qWarning() << "errors" << prompter.errors << "infos" << prompter.infos << "questions" << prompter.questions;
        frm.reset();
        // Windows closed by the test go with deleteLater: let them go before the next test.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    void cleanupTestCase()
    {
        TPrompter::SetInstance(nullptr);
    }

    void browseOrganisationFoldersAndFiles()
    {
        // Groups below the root in depth-first order, then the user himself.
        QStringList top;
        for (int i = 0; i < frm->tvOrg->topLevelItemCount(); ++i)
            top << frm->tvOrg->topLevelItem(i)->text(0);
        QCOMPARE(top, (QStringList{"R&D", "Sales", "Demo User"}));
        QCOMPARE(frm->tvOrg->topLevelItem(0)->child(0)->text(0), QStringLiteral("Drawing Office"));
        QCOMPARE(TFileMagFrm::NodeImage(frm->tvOrg->topLevelItem(2)), 3);

        QVERIFY(openFolder("R&D", {}));
        QCOMPARE(frm->tvFolder->topLevelItem(0)->text(0), QStringLiteral("Select the working group!"));
        QTreeWidgetItem *contracts = find(frm->tvFolder, "Contracts");
        QVERIFY(contracts);
        QCOMPARE(TFileMagFrm::NodeImage(contracts), 6);
        QCOMPARE(TFileMagFrm::NodeImage(find(frm->tvFolder, "Designs")), 6);

        QSignalSpy subs(frm.get(), &TFileMagFrm::foldersLoaded);
        QSignalSpy list(frm.get(), &TFileMagFrm::listLoaded);
        frm->tvFolder->setCurrentItem(contracts);
        QVERIFY(list.wait(10000));
        QTRY_COMPARE(subs.size(), 1);
        QCOMPARE(TFileMagFrm::NodeImage(contracts), 1);
        QCOMPARE(contracts->childCount(), 3);
        // Folder rows on top, then the files.
        const QStringList rows = captions(frm->Model());
        QCOMPARE(rows.size(), 4);
        QVERIFY(frm->Model().Row(0).IsFolder && frm->Model().Row(2).IsFolder);
        QCOMPARE(rows.last(), QStringLiteral("Contract template.docx"));

        // Opening a folder row selects its tree node and lists it; the node loads only once.
        frm->tvFolder->setCurrentItem(frm->tvFolder->topLevelItem(1));
        frm->tvFolder->setCurrentItem(contracts);
        QVERIFY(list.wait(10000));
        QCOMPARE(contracts->childCount(), 3);
        const int r2024 = rowOf("2024");
        QVERIFY(r2024 >= 0);
        Q_EMIT frm->lvFiles->clicked(frm->Model().index(r2024, 0));
        QVERIFY(list.wait(10000));
        QCOMPARE(frm->tvFolder->currentItem()->text(0), QStringLiteral("2024"));
        QStringList files = captions(frm->Model());
        files.sort();
        QCOMPARE(files, (QStringList{"Price list.xlsx", "Signed contract.pdf", "Supply agreement.docx"}));
        snapshot(frm.get(), QStringLiteral("file-manager.png"));
        QVERIFY(prompter.errors.isEmpty());

        // Choosing actions without the right rows says why.
        frm->Model().SetChecked(0, true);
        frm->Model().SetChecked(1, true);
        frm->Preview();
        frm->Model().SetAllChecked(false);
        frm->Download();
        frm->Model().SetChecked(0, true);
        frm->Model().SetChecked(2, true);
        frm->Summary();   // exactly one row, so two are refused
        frm->Model().SetAllChecked(false);
        QCOMPARE(prompter.errors, (QStringList{"You can only select a file!", "Please select at least one file!",
                                               "You can only select a file!"}));
        frm->NotAvailableYet("Delete");
        QCOMPARE(prompter.infos.last(), QStringLiteral("Delete: This function is not available yet."));
    }

    void twoLoadsShowEveryoneOnce()
    {
        QSignalSpy org(frm.get(), &TFileMagFrm::orgLoaded);
        frm->Refresh();
        frm->UMSelectedOwner2();   // message 1139 right after: a second load
        QVERIFY(org.wait(10000));
        settle();
        QStringList top;
        for (int i = 0; i < frm->tvOrg->topLevelItemCount(); ++i)
            top << frm->tvOrg->topLevelItem(i)->text(0);
        QCOMPARE(top, (QStringList{"R&D", "Sales", "Demo User"}));
    }

    void listOfTheOwnerLeftBehindIsDropped()
    {
        QVERIFY(openFolder("R&D", {}));
        QSignalSpy list(frm.get(), &TFileMagFrm::listLoaded);
        frm->tvFolder->setCurrentItem(find(frm->tvFolder, "Contracts"));   // its list is on its way
        QSignalSpy folders(frm.get(), &TFileMagFrm::foldersLoaded);
        Q_EMIT frm->tvOrg->itemClicked(find(frm->tvOrg, "Sales"), 0);
        QVERIFY(folders.wait(10000));
        settle();
        QCOMPARE(list.size(), 0);
        QCOMPARE(frm->Model().rowCount(), 0);
        QCOMPARE(frm->FFolderId, 0);
    }

    // A folder row whose node is not in the tree (sub-folders still on their
    // way, or made by someone else since) must select a node for that folder.
    void folderRowWithoutItsNodeGetsOne()
    {
        QVERIFY(openFolder("R&D", {"Contracts"}));
        QTreeWidgetItem *contracts = frm->tvFolder->currentItem();
        QCOMPARE(contracts->text(0), QStringLiteral("Contracts"));
        QTreeWidgetItem *node2024 = find(frm->tvFolder, "2024");
        QVERIFY(node2024);
        delete node2024;
        const int row = rowOf("2024");
        QVERIFY(row >= 0);
        const qint64 id = frm->Model().Row(row).Key;
        QSignalSpy list(frm.get(), &TFileMagFrm::listLoaded);
        Q_EMIT frm->lvFiles->clicked(frm->Model().index(row, 0));
        QVERIFY(list.wait(10000));
        QTreeWidgetItem *current = frm->tvFolder->currentItem();
        QCOMPARE(current->text(0), QStringLiteral("2024"));
        QCOMPARE(current->parent(), contracts);
        QCOMPARE(qint64(TFileMagFrm::NodeData(current)), id);
        QCOMPARE(frm->FFolderId, id);
        settle();
        // The sub-folder answer of the new node adds nothing twice.
        QCOMPARE(int(find(frm->tvFolder, "Contracts")->childCount()), 3);
    }

    // Transfers hold their thread for their whole run; the folder tree must not wait for them.
    void foldersArriveWhileTransfersHoldTheirThreads()
    {
        QVERIFY(openFolder("Demo User", {"Personal"}));
        const qint64 key = frm->Model().Row(rowOf("Todo.txt")).Key;
        const int globalThreads = QThreadPool::globalInstance()->maxThreadCount();
        QThreadPool::globalInstance()->setMaxThreadCount(1);
        auto release = std::make_shared<QSemaphore>();
        auto holding = std::make_shared<std::atomic<bool>>(false);
        TDownloadController c(session.Conn);
        c.Init({TSelectedInfo{key, QStringLiteral("Todo.txt"), 0, false}}, session.WorkRoot);
        // The worker stops after its first block until the test lets it go.
        connect(&c, &TTransferBase::progress, &c, [release, holding](qint64, qint64) {
            *holding = true;
            release->tryAcquire(1, 30000);
            *holding = false;
        }, Qt::DirectConnection);
        QSignalSpy done(&c, &TDownloadController::allDone);
        const QString target = home.path() + QStringLiteral("/held/");
        QDir().mkpath(target);
        QVERIFY(c.Start(target));
        QTRY_VERIFY(holding->load());
        QSignalSpy folders(frm.get(), &TFileMagFrm::foldersLoaded);
        Q_EMIT frm->tvOrg->itemClicked(find(frm->tvOrg, "Sales"), 0);
        const bool arrived = folders.wait(3000);
        const bool stillHeld = holding->load();
        release->release();
        QVERIFY(done.wait(10000));
        QThreadPool::globalInstance()->setMaxThreadCount(globalThreads);
        QVERIFY2(arrived, "the folder tree waited for a transfer");
        QVERIFY(stillHeld);
    }

    void uploadOneFileAddsOneRow()
    {
        QVERIFY(openFolder("Demo User", {"Personal"}));
        const QString local = home.path() + QStringLiteral("/up/new [1] 文件.txt");
        writeFile(local, "hello upload");
        frm->Upload();
        QPointer<TFileUploadFrm> up = frm->LastUploadFrm();
        QVERIFY(up);
        // Nothing sent yet: an empty bar, not a full busy one.
        QCOMPARE(up->pbProgress->value(), 0);
        QVERIFY(up->pbProgress->maximum() > 0);
        // Over the window that opened it, not in a corner of the screen.
        QVERIFY((up->geometry().center() - frm->geometry().center()).manhattanLength() < 60);
        const int before = frm->Model().rowCount();
        for (int round = 0; round < 2; ++round) {
            QSignalSpy done(&up->Controller(), &TUploadController::singleFinished);
            up->edPath->setText(local);
            QTest::mouseClick(up->btnUpload, Qt::LeftButton);
            QVERIFY(!up->btnUpload->isEnabled());
            QVERIFY(done.wait(10000));
            QVERIFY(up->btnUpload->isEnabled());
        }
        QCOMPARE(frm->Model().rowCount(), before + 1);
        const int row = rowOf("new [1] 文件.txt");
        QVERIFY(row >= 0);
        QCOMPARE(frm->Model().Row(row).SizeText, QStringLiteral("1"));
        QVERIFY(frm->Model().Row(row).Key > 0);
        QCOMPARE(prompter.infos.first(), QStringLiteral("Upload successful!"));

        // A missing path is refused and the window stays usable.
        up->edPath->setText(home.path() + QStringLiteral("/up/missing.txt"));
        QTest::mouseClick(up->btnUpload, Qt::LeftButton);
        QCOMPARE(prompter.errors.last(), QStringLiteral("Please check the file path"));
        QVERIFY(up->btnUpload->isEnabled());
        QTest::keyClick(up->edPath, Qt::Key_Escape);   // nothing runs: Escape closes
        QTRY_VERIFY(!up);
    }

    // Stored through another way of this client (a bulk task, a scan): the open list shows it,
    // and the user's ticks stay.
    void fileStoredElsewhereShowsInTheOpenList()
    {
        QVERIFY(openFolder("R&D", {"Contracts", "2024"}));
        const int ticked = rowOf("Signed contract.pdf");
        QVERIFY(ticked >= 0);
        frm->Model().SetChecked(ticked, true);
        const QString local = home.path() + QStringLiteral("/elsewhere/Minutes.txt");
        writeFile(local, "minutes");
        TUploadController up(session.Conn);
        up.Init(frm->FGroupId, frm->FFolderId, nullptr);
        QSignalSpy list(frm.get(), &TFileMagFrm::listLoaded);
        QSignalSpy stored(&up, &TUploadController::singleFinished);
        QVERIFY(up.UploadSingle(local));
        QVERIFY(stored.wait(10000));
        QVERIFY(stored.first().first().toBool());
        QVERIFY(list.wait(10000));
        QVERIFY2(rowOf("Minutes.txt") >= 0, qPrintable(captions(frm->Model()).join(u',')));
        QVERIFY(frm->Model().IsChecked(rowOf("Signed contract.pdf")));
        QCOMPARE(frm->Model().CheckedCount(), 1);
    }

    // Refresh fetches again what is shown: the open folder stays open and lists what the server has now.
    void refreshReloadsTheOpenFolder()
    {
        QVERIFY(openFolder("R&D", {"Contracts", "2024"}));
        const QString local = home.path() + QStringLiteral("/other/Offer.txt");
        writeFile(local, "offer");
        {
            // Stored as by another user: this window hears nothing of it.
            const QSignalBlocker quiet(&TFolderChanges::Instance());
            TUploadController up(session.Conn);
            up.Init(frm->FGroupId, frm->FFolderId, nullptr);
            QSignalSpy stored(&up, &TUploadController::singleFinished);
            QVERIFY(up.UploadSingle(local));
            QVERIFY(stored.wait(10000));
        }
        settle();
        QVERIFY(rowOf("Offer.txt") < 0);
        QSignalSpy list(frm.get(), &TFileMagFrm::listLoaded);
        frm->Refresh();
        QVERIFY(list.wait(10000));
        QCOMPARE(frm->m_left->currentWidget(), frm->tvFolder);
        QCOMPARE(frm->tvFolder->currentItem()->text(0), QStringLiteral("2024"));
        QVERIFY2(rowOf("Offer.txt") >= 0, qPrintable(captions(frm->Model()).join(u',')));
        QVERIFY(rowOf("Price list.xlsx") >= 0);
    }

    // A folder opened by its arrow gets its sub-folders without being selected.
    void expandingByTheArrowLoadsSubFolders()
    {
        QVERIFY(openFolder("R&D", {}));
        QTreeWidgetItem *designs = find(frm->tvFolder, "Designs");
        QVERIFY(designs);
        QCOMPARE(designs->childCount(), 0);
        QTreeWidgetItem *current = frm->tvFolder->currentItem();
        QSignalSpy folders(frm.get(), &TFileMagFrm::foldersLoaded);
        designs->setExpanded(true);
        QVERIFY(folders.wait(10000));
        QVERIFY(designs->childCount() > 0);
        QCOMPARE(frm->tvFolder->currentItem(), current);
    }

    // Names are readable at the start; a width the user gives is kept, ours follows the window.
    void nameColumnShowsNamesAndKeepsTheUsersWidth()
    {
        QVERIFY(openFolder("R&D", {"Contracts", "2024"}));
        QHeaderView *h = frm->lvFiles->header();
        const QFontMetrics fm(frm->lvFiles->font());
        QVERIFY(h->sectionSize(TFileListModel::ColCaption) >= fm.horizontalAdvance(QStringLiteral("Supply agreement.docx")) + 32);
        QVERIFY(frm->ColumnState().isEmpty());
        // The columns fill the list exactly: no scroll bar for hidden key columns.
        frm->resize(1200, 600);
        QTRY_VERIFY(h->sectionSize(TFileListModel::ColCaption) > frm->NameColumnMinimum());
        QTRY_COMPARE(h->length(), frm->lvFiles->viewport()->width());
        QCOMPARE(frm->lvFiles->horizontalScrollBar()->maximum(), 0);
        h->resizeSection(TFileListModel::ColCaption, 321);
        const QByteArray state = frm->ColumnState();
        QVERIFY(!state.isEmpty());
        TFileMagFrm again;
        again.SetSession(session);
        again.RestoreColumnState(state);
        again.resize(700, 500);
        again.show();
        QVERIFY(QTest::qWaitForWindowExposed(&again));
        QCOMPARE(again.lvFiles->header()->sectionSize(TFileListModel::ColCaption), 321);
        QCOMPARE(again.lvFiles->header()->sectionResizeMode(TFileListModel::ColCaption), QHeaderView::Interactive);
    }

    void uploadDroppedFolder()
    {
        QVERIFY(openFolder("Sales", {"Reports"}));
        const QString root = home.path() + QStringLiteral("/dropped");
        writeFile(root + QStringLiteral("/Batch/x.txt"), "x");
        writeFile(root + QStringLiteral("/Batch/Deep/y.txt"), "yy");
        QSignalSpy finished(frm.get(), &TFileMagFrm::dropUploadFinished);
        QSignalSpy list(frm.get(), &TFileMagFrm::listLoaded);
        frm->DropPaths({root + QStringLiteral("/Batch")});
        QCOMPARE(prompter.questions.size(), 1);
        QVERIFY(prompter.questions.first().endsWith(QStringLiteral("\r\n  ") + root + QStringLiteral("/Batch")));
        QVERIFY(finished.wait(20000));
        QCOMPARE(prompter.infos, QStringList{"Upload successful!"});
        QVERIFY(list.wait(10000));
        const int batch = rowOf("Batch");
        QVERIFY(batch >= 0 && frm->Model().Row(batch).IsFolder);
        Q_EMIT frm->lvFiles->clicked(frm->Model().index(batch, 0));
        QVERIFY(list.wait(10000));
        QCOMPARE(captions(frm->Model()), (QStringList{"Deep", "x.txt"}));
    }

    // The summary of a dropped folder names the files that did not arrive, a
    // bounded number of them, and counts the rest.
    void droppedFilesThatFailedAreNamed()
    {
        QVERIFY(openFolder("Sales", {"Reports"}));
        const QString root = home.path() + QStringLiteral("/refused");
        QStringList expected;
        for (int i = 1; i <= 12; ++i) {
            const QString name = QStringLiteral("Many/f%1.txt").arg(i, 2, 10, QLatin1Char('0'));
            writeFile(root + u'/' + name, "x");
            expected << QStringLiteral("../") + name;
        }
        QSignalSpy finished(frm.get(), &TFileMagFrm::dropUploadFinished);
        frm->DropPaths({root + QStringLiteral("/Many")});
        QPointer<TFileUploadFrm> up = frm->LastUploadFrm();
        QVERIFY(up);
        up->Controller().FFolderId = 987654;   // a folder that does not exist: the server refuses each file
        QVERIFY(finished.wait(30000));
        QCOMPARE(prompter.questions.size(), 1 + 12);   // the drop, then "continue?" after each refusal
        QStringList lines = prompter.infos.last().split(u'\n');
        QCOMPARE(lines.size(), 12);
        QCOMPARE(lines.takeFirst(), QStringLiteral("0 file(s) uploaded; these 12 file(s) were not uploaded:"));
        QCOMPARE(lines.takeLast(), QStringLiteral("... and 2 more"));
        for (const QString &line : std::as_const(lines))
            QVERIFY2(expected.contains(line), qPrintable(line));
        QCOMPARE(QSet<QString>(lines.cbegin(), lines.cend()).size(), 10);
        settle();
    }

    void stoppedListReEnablesInputs()
    {
        QVERIFY(openFolder("Sales", {"Reports"}));
        const QString root = home.path() + QStringLiteral("/stop");
        writeFile(root + QStringLiteral("/a.txt"), "a");
        writeFile(root + QStringLiteral("/b.txt"), "b");
        frm->Upload();
        QPointer<TFileUploadFrm> up = frm->LastUploadFrm();
        up->Controller().FFolderId = 987654;   // a folder that does not exist: the server refuses
        prompter.answers = {false};
        QSignalSpy finished(&up->Controller(), &TUploadController::listFinished);
        up->UploadList(root + u'/', {root + "/a.txt", root + "/b.txt"});
        QVERIFY(finished.wait(10000));
        QCOMPARE(finished.first().first().toBool(), false);
        QCOMPARE(prompter.questions.size(), 1);   // stopped after the first refusal
        QVERIFY(prompter.questions.first().endsWith(QStringLiteral("Continue or not?")));
        QVERIFY(!prompter.infos.contains(QStringLiteral("Upload successful!")));
        // The file never tried counts as not uploaded too; both are named.
        QCOMPARE(prompter.infos.last(),
                 QStringLiteral("0 file(s) uploaded; these 2 file(s) were not uploaded:\n../a.txt\n../b.txt"));
        QVERIFY(up->btnUpload->isEnabled() && up->edPath->isEnabled());
        up->close();
    }

    void downloadThreeFilesOneRefused()
    {
        QVERIFY(openFolder("R&D", {"Contracts", "2024"}));
        frm->Model().SetChecked(rowOf("Supply agreement.docx"), true);
        frm->Model().SetChecked(rowOf("Signed contract.pdf"), true);
        frm->Download();
        QPointer<TFileDownloadFrm> down = frm->LastDownloadFrm();
        QVERIFY(down);
        TSelectedInfos files = down->Controller().FSelectedInfo;
        QCOMPARE(files.size(), 2);
        // A key the server does not know, inserted between the two.
        files.insert(1, TSelectedInfo{99999999, QStringLiteral("ghost.txt"), 1, false});
        down->Controller().FSelectedInfo = files;
        QTRY_VERIFY(down->edPath->text().startsWith(session.WorkRoot));
        QVERIFY(down->edPath->text().endsWith(QStringLiteral("/2024/")));

        const QString target = home.path() + QStringLiteral("/dl/v1.2");   // a folder name with a dot
        down->edPath->setText(target);
        prompter.answers = {false};
        QTest::mouseClick(down->btnDownload, Qt::LeftButton);
        QVERIFY(!down->InProgressView());   // declined to create the folder
        QVERIFY(!QFileInfo::exists(target));

        QSignalSpy done(&down->Controller(), &TDownloadController::allDone);
        QSignalSpy overall(&down->Controller(), &TDownloadController::overallProgress);
        QTest::mouseClick(down->btnDownload, Qt::LeftButton);
        QVERIFY(QFileInfo(target).isDir());
        QVERIFY(down->InProgressView());
        QVERIFY(done.wait(20000));
        QCOMPARE(done.first().first().toInt(), 1);
        const QStringList log = down->mmLog->toPlainText().split(u'\n');
        QCOMPARE(log.size(), 4);
        QCOMPARE(log.at(0), target + u'/' + files.at(0).FileName + QStringLiteral(": Download success!"));
        QVERIFY(log.at(1).startsWith(target + QStringLiteral("/ghost.txt: ")));
        QVERIFY(!log.at(1).endsWith(QStringLiteral("Download success!")));
        QCOMPARE(log.at(2), target + u'/' + files.at(2).FileName + QStringLiteral(": Download success!"));
        // A failure is no completion: the last line counts what failed.
        QCOMPARE(log.at(3), QStringLiteral("1 of 3 file(s) were not downloaded."));
        QVERIFY(QFileInfo(target + QStringLiteral("/Supply agreement.docx")).size() > 0);
        QVERIFY(!QFileInfo::exists(target + QStringLiteral("/ghost.txt")));
        // The run's bytes: what arrived of both files, against a total the list's sizes gave.
        QVERIFY(!overall.isEmpty());
        const qint64 arrived = QFileInfo(target + u'/' + files.at(0).FileName).size()
                               + QFileInfo(target + u'/' + files.at(2).FileName).size();
        QCOMPARE(overall.last().at(0).toLongLong(), arrived);
        QVERIFY(overall.last().at(1).toLongLong() >= arrived);
        QVERIFY(down->lblTotal->isVisible());
        QVERIFY(down->isVisible());   // stays open so the log can be read
        snapshot(down, QStringLiteral("download-failed.png"));
        // Trying again fetches only the failed file.
        QVERIFY(down->btnRetry->isVisible());
        done.clear();
        QTest::mouseClick(down->btnRetry, Qt::LeftButton);
        QVERIFY(done.wait(20000));
        QCOMPARE(done.first().first().toInt(), 1);
        const QStringList again = down->mmLog->toPlainText().split(u'\n').mid(4);
        QCOMPARE(again.size(), 2);
        QVERIFY(again.at(0).startsWith(target + QStringLiteral("/ghost.txt: ")));
        QCOMPARE(again.at(1), QStringLiteral("1 of 1 file(s) were not downloaded."));
        down->close();
        QTRY_VERIFY(!down);
    }

    void serverNamesCannotLeaveTheTarget()
    {
        QVERIFY(openFolder("Demo User", {"Personal"}));
        const qint64 key = frm->Model().Row(rowOf("Todo.txt")).Key;
        const QString target = home.path() + QStringLiteral("/safe/inner");
        QDir().mkpath(target);
        TDownloadController c(session.Conn);
        c.Init({TSelectedInfo{key, QStringLiteral("../escaped.txt"), 0, false}, TSelectedInfo{key, QStringLiteral("Todo.txt"), 1, false}},
               session.WorkRoot);
        QSignalSpy done(&c, &TDownloadController::allDone);
        QVERIFY(c.Start(target));
        QVERIFY(done.wait(10000));
        QCOMPARE(c.Failures(), 1);
        QVERIFY(!QFileInfo::exists(home.path() + QStringLiteral("/safe/escaped.txt")));
        QVERIFY(QFileInfo::exists(target + QStringLiteral("/Todo.txt")));
    }

    void cancelLargeTransfersAndResume()
    {
        QVERIFY(openFolder("Demo User", {"Personal"}));
        const QByteArray body = bigBody(6 * 1024 * 1024);
        const QString local = home.path() + QStringLiteral("/big/large.bin");
        writeFile(local, body);

        // Upload: cancelled after its first block, then sent again.
        TUploadController up(session.Conn);
        up.Init(frm->FGroupId, frm->FFolderId, &frm->Model());
        // Direct: the cancel flag is set from the worker, during the first block.
        connect(&up, &TTransferBase::progress, &up, [&up](qint64, qint64) { up.Cancel(); }, Qt::DirectConnection);
        QSignalSpy upDone(&up, &TUploadController::singleFinished);
        QVERIFY(up.UploadSingle(local));
        QVERIFY(upDone.wait(20000));
        QCOMPARE(upDone.takeFirst().first().toBool(), false);
        QVERIFY(rowOf("large.bin") < 0);
        // Sent again through the window; the server resumes the partial upload.
        frm->Upload();
        QPointer<TFileUploadFrm> window = frm->LastUploadFrm();
        QSignalSpy windowDone(&window->Controller(), &TUploadController::singleFinished);
        bool shot = false;
        connect(&window->Controller(), &TTransferBase::progress, window, [&](qint64 all, qint64 done) {
            if (!shot && done < all) {
                shot = true;
                snapshot(window, QStringLiteral("upload-in-progress.png"));
            }
        });
        window->UploadPath(local);
        QVERIFY(windowDone.wait(30000));
        QCOMPARE(windowDone.first().first().toBool(), true);
        window->close();
        const int row = rowOf("large.bin");
        QVERIFY(row >= 0);
        QCOMPARE(frm->Model().Row(row).SizeText, QString::number(body.size() / 1024 + 1));

        // Closing the window mid-transfer stops it; the window goes once its worker is done.
        const QString other = home.path() + QStringLiteral("/big/closed.bin");
        writeFile(other, body);
        frm->Upload();
        QPointer<TFileUploadFrm> closing = frm->LastUploadFrm();
        closing->UploadPath(other);
        QVERIFY(closing->Controller().IsBusy());
        prompter.answers = {false};   // asked first: declining keeps it running
        closing->close();
        QVERIFY(closing && closing->Controller().IsBusy());
        QVERIFY(prompter.questions.last().contains(QStringLiteral("Stop")));
        closing->close();
        QTRY_VERIFY_WITH_TIMEOUT(!closing, 20000);
        QVERIFY(rowOf("closed.bin") < 0);
        QVERIFY(prompter.infos.size() == 1);   // only the resumed upload's success

        // Download: cancelled after its first block leaves nothing under the final name.
        const QString target = home.path() + QStringLiteral("/big/down/");
        QDir().mkpath(target);
        const TSelectedInfos files{TSelectedInfo{frm->Model().Row(row).Key, QStringLiteral("large.bin"), row, false}};
        {
            TDownloadController c(session.Conn);
            c.Init(files, session.WorkRoot);
            connect(&c, &TTransferBase::progress, &c, [&c](qint64, qint64) { c.RequestClose(); }, Qt::DirectConnection);
            QSignalSpy done(&c, &TDownloadController::allDone);
            QVERIFY(c.Start(target));
            QVERIFY(done.wait(20000));
            QCOMPARE(c.Failures(), 1);
            QVERIFY(!QFileInfo::exists(target + QStringLiteral("large.bin")));
            // What arrived stays as the resume point, and the controller knows it.
            QCOMPARE(c.Partials(), QStringList{target + QStringLiteral("large.bin.tmp")});
        }
        TDownloadController c(session.Conn);
        c.Init(files, session.WorkRoot);
        QSignalSpy done(&c, &TDownloadController::allDone);
        qint64 firstDone = -1;
        connect(&c, &TTransferBase::progress, &c, [&firstDone](qint64, qint64 d) {
            if (firstDone < 0)
                firstDone = d;
        });
        QVERIFY(c.Start(target));
        QVERIFY(done.wait(30000));
        QCOMPARE(c.Failures(), 0);
        // Resumed: the first block already counts the part kept from the cancelled run.
        QVERIFY2(firstDone > 32768, qPrintable(QString::number(firstDone)));
        QFile f(target + QStringLiteral("large.bin"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(f.readAll() == body);
        QVERIFY(!QFileInfo::exists(target + QStringLiteral("large.bin.tmp")));
    }

    void serverFolderFileView()
    {
        QVERIFY(openFolder("Demo User", {"Personal"}));
        TServerFolderFileView view(session.Conn);
        QSignalSpy loaded(&view, &TServerFolderFileView::loaded);
        view.LoadFile(frm->FGroupId, frm->FFolderId);
        QVERIFY(loaded.wait(10000));
        QVERIFY(view.Model().rowCount() >= 1);
        view.Confirm();   // nothing chosen: stays open
        QCOMPARE(prompter.errors, QStringList{"Select file!"});
        QCOMPARE(view.FFileId, qint64(-1));
        int todo = -1;
        for (int i = 0; i < view.Model().rowCount(); ++i)
            if (view.Model().Row(i).Name == QStringLiteral("Todo.txt"))
                todo = i;
        QVERIFY(todo >= 0);
        QCOMPARE(view.Model().Row(todo).Icon, 2);
        view.lvFiles->setCurrentIndex(view.Model().index(todo, 0));
        view.Confirm();
        QCOMPARE(view.FFileId, frm->Model().Row(rowOf("Todo.txt")).Key);
        QVERIFY(view.FFileName.endsWith(QStringLiteral("/Todo.txt")));
        QCOMPARE(view.result(), int(QDialog::Accepted));
    }

    // The second press of a double-click lands on the folder tree that has just
    // replaced the organisation; on the back node it used to bounce straight back.
    void doubleClickOnAGroupOpensIt()
    {
        QTreeWidgetItem *group = frm->tvOrg->topLevelItem(0);
        const QPoint at = frm->tvOrg->visualItemRect(group).center();
        QSignalSpy folders(frm.get(), &TFileMagFrm::foldersLoaded);
        QTest::mouseClick(frm->tvOrg->viewport(), Qt::LeftButton, {}, at);
        QCOMPARE(frm->m_left->currentWidget(), frm->tvFolder);
        QWidget *under = frm->tvFolder->viewport();
        QMouseEvent dbl(QEvent::MouseButtonDblClick, QPointF(at), under->mapToGlobal(QPointF(at)), Qt::LeftButton,
                        Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(under, &dbl);
        QTest::mouseRelease(under, Qt::LeftButton, {}, at);
        QVERIFY(folders.wait(10000));
        QCOMPARE(frm->m_left->currentWidget(), frm->tvFolder);
        QCOMPARE(frm->FGroupId, TFileMagFrm::NodeData(group));
        QVERIFY(find(frm->tvFolder, "Contracts"));
    }

    void keysTickAllAndCountTicks()
    {
        QVERIFY(openFolder("R&D", {"Contracts"}));
        frm->Model().SetChecked(rowOf("Contract template.docx"), true);
        QCOMPARE(frm->lblTicked->text(), QStringLiteral("1 ticked"));
        QVERIFY(!frm->chbAllFile->isChecked());
        frm->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(frm.get()));
        frm->lvFiles->setFocus();
        QTest::keyClick(frm->lvFiles, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(frm->Model().CheckedCount(), frm->Model().rowCount());
        QVERIFY(frm->chbAllFile->isChecked());
        QCOMPARE(frm->lblTicked->text(), QStringLiteral("%1 ticked").arg(frm->Model().rowCount()));
        // Delete asks the confirmation first.
        prompter.answers = {false};
        QTest::keyClick(frm->lvFiles, Qt::Key_Delete);
        QCOMPARE(prompter.questions, QStringList{"Confirm deleting the selected files?"});
    }

    void downloadSaysWhereTheFilesWent()
    {
        QVERIFY(openFolder("R&D", {"Contracts", "2024"}));
        frm->Model().SetChecked(rowOf("Supply agreement.docx"), true);
        frm->Model().SetChecked(rowOf("Signed contract.pdf"), true);
        frm->Download();
        QPointer<TFileDownloadFrm> down = frm->LastDownloadFrm();
        QVERIFY(down);
        QStringList opened;
        down->FOpenUrl = [&opened](const QUrl &u) {
            opened << u.toLocalFile();
            return true;
        };
        QTRY_VERIFY(!down->edPath->text().isEmpty());
        down->edPath->setText(home.path() + QStringLiteral("/done"));
        QStringList names;
        connect(&down->Controller(), &TDownloadController::filePosition, down, [&names, down](int, int) {
            names << down->lblFileName->text();
        });
        QSignalSpy done(&down->Controller(), &TDownloadController::allDone);
        QTest::keyClick(down->edPath, Qt::Key_Return);   // Enter starts the download
        QVERIFY(done.wait(20000));
        QCOMPARE(done.first().first().toInt(), 0);
        QCOMPARE(names.size(), 2);
        QVERIFY2(names.last().endsWith(QStringLiteral("(file 2 of 2)")), qPrintable(names.last()));
        // Small files too end with a full bar, not two thirds of one.
        QCOMPARE(down->pbProgress->value(), down->pbProgress->maximum());
        // It stays, says how many and where, and offers the folder.
        const QString folder = down->Controller().FPath;
        QVERIFY(down->isVisible());
        QCOMPARE(down->mmLog->toPlainText().split(u'\n').last(),
                 QStringLiteral("2 file(s) downloaded to ") + QDir::toNativeSeparators(folder));
        QVERIFY(down->btnOpenFolder->isVisible());
        QTest::mouseClick(down->btnOpenFolder, Qt::LeftButton);
        QCOMPARE(opened, QStringList{folder});
        snapshot(down, QStringLiteral("download-finished.png"));
        QTest::keyClick(down->mmLog, Qt::Key_Escape);
        QTRY_VERIFY(!down);
        // The next download proposes the folder chosen last, not the mirror of the server path.
        frm->Download();
        QPointer<TFileDownloadFrm> next = frm->LastDownloadFrm();
        settle();
        QCOMPARE(next->edPath->text(), folder);
        next->close();
    }

    void unreachableServerSaysWhatToDo()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        TFileMagSession gone = session;
        gone.Conn.Port = probe.serverPort();
        probe.close();   // nobody listens there now
        TFileMagFrm other;
        other.SetSession(gone);
        prompter.reset();
        other.Init();
        QTRY_VERIFY_WITH_TIMEOUT(!prompter.errors.isEmpty(), 20000);
        const QString shown = prompter.errors.first();
        QVERIFY2(!shown.contains(QStringLiteral("OrgStructure")), qPrintable(shown));
        QVERIFY2(shown.startsWith(QStringLiteral("The organisation could not be loaded: ")), qPrintable(shown));
        QVERIFY(shown.endsWith(QStringLiteral("press Refresh.")));
    }

    void newAndRenamedFolderNamesArriveWhole()
    {
        QVERIFY(openFolder("Demo User", {"Personal"}));
        QTreeWidgetItem *personal = frm->tvFolder->currentItem();
        prompter.text = QStringLiteral("R&D v1.2 #1");
        QSignalSpy added(frm.get(), &TFileMagFrm::folderAdded);
        frm->NewFolder();
        QVERIFY(added.wait(10000));
        QTreeWidgetItem *node = added.first().first().value<QTreeWidgetItem *>();
        QCOMPARE(node->parent(), personal);
        QCOMPARE(node->text(0), QStringLiteral("R&D v1.2 #1"));
        QCOMPARE(prompter.infos.last(), QStringLiteral("Creating folder is succeeded."));

        QSignalSpy list(frm.get(), &TFileMagFrm::listLoaded);
        frm->tvFolder->setCurrentItem(node);
        QVERIFY(list.wait(10000));
        prompter.text = QStringLiteral("A+B=C & more");
        QSignalSpy renamed(frm.get(), &TFileMagFrm::folderRenamed);
        frm->RenameFolder();
        QVERIFY(renamed.wait(10000));
        QCOMPARE(node->text(0), QStringLiteral("A+B=C & more"));

        // The server holds the names exactly as typed.
        frm->tvFolder->setCurrentItem(personal);
        QVERIFY(list.wait(10000));
        QVERIFY(captions(frm->Model()).contains(QStringLiteral("A+B=C & more")));
    }
    // An edited summary reaches the server; one the server does not store (its
    // file went meanwhile) is reported, never dropped in silence. A text the wire
    // would cut short is refused while the dialog, and the text, stay open.
    void summaryEditIsStoredOrReported_data()
    {
        QTest::addColumn<bool>("gone");
        QTest::addColumn<QString>("firstTyped");
        QTest::addRow("stored") << false << "Reviewed by Ann";
        QTest::addRow("file deleted while the summary is edited") << true << "Reviewed by Ann";
        QTest::addRow("closing tag typed first") << false << "Reviewed [/DESC] by Ann";
    }
    void summaryEditIsStoredOrReported()
    {
        QFETCH(bool, gone);
        QFETCH(QString, firstTyped);
        const QString good = QStringLiteral("Reviewed by Ann");
        QVERIFY(openFolder("Demo User", {"Personal"}));
        const QString name = QStringLiteral("summary %1.txt").arg(gone ? 2 : 1);
        writeFile(home.path() + QStringLiteral("/up/") + name, "text");
        frm->Upload();
        QPointer<TFileUploadFrm> up = frm->LastUploadFrm();
        QSignalSpy stored(&up->Controller(), &TUploadController::singleFinished);
        up->edPath->setText(home.path() + QStringLiteral("/up/") + name);
        QTest::mouseClick(up->btnUpload, Qt::LeftButton);
        QVERIFY(stored.wait(10000));
        up->close();
        const int row = rowOf(name);
        QVERIFY(row >= 0);
        const qint64 key = frm->Model().Row(row).Key;
        frm->Model().SetAllChecked(false);
        frm->Model().SetChecked(row, true);
        prompter.reset();

        bool edited = false;
        bool refusedAndKeptOpen = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
            if (!dialog || edited)
                return;
            QDialogButtonBox *box = dialog->findChild<QDialogButtonBox *>();
            QAbstractButton *modify = nullptr;
            for (QAbstractButton *b : box->buttons())
                if (box->buttonRole(b) == QDialogButtonBox::AcceptRole)
                    modify = b;
            QCOMPARE(modify->text(), QStringLiteral("Modify"));
            auto *memo = dialog->findChild<QPlainTextEdit *>();
            if (firstTyped != good && !refusedAndKeptOpen) {
                memo->setPlainText(firstTyped);
                modify->click();
                refusedAndKeptOpen = dialog->isVisible() && memo->toPlainText() == firstTyped
                                     && prompter.errors.size() == 1 && prompter.errors.first().contains(QStringLiteral("[/desc]"));
                prompter.reset();
                if (!refusedAndKeptOpen)
                    edited = true;   // ends the wait; the check below fails
                return;
            }
            edited = true;
            memo->setPlainText(good);
            if (gone) {
                auto client = session.Conn.MakeClient();
                client->Tcp_GetText(144, client->UserEncryptStr() + QStringLiteral("[OwnerId]%1[/OwnerId][FileKey]%2[/FileKey]")
                                             .arg(frm->FGroupId).arg(key));
            }
            modify->click();
        });
        poll.start(20);
        frm->Summary();
        QTRY_VERIFY_WITH_TIMEOUT(edited, 10000);
        settle();
        QCOMPARE(refusedAndKeptOpen, firstTyped != good);
        if (gone) {
            QCOMPARE(prompter.errors.size(), 1);
            QVERIFY2(prompter.errors.first().startsWith(QStringLiteral("The summary was not saved: ")), qPrintable(prompter.errors.first()));
            QVERIFY(prompter.errors.first().size() > QStringLiteral("The summary was not saved: ").size());
        } else {
            QVERIFY(prompter.errors.isEmpty());
            QString desc;
            QCOMPARE(session.Conn.MakeClient()->RetrieveFileDesc(desc, key), st::NameOk);
            QCOMPARE(desc, good);
        }
    }

    // A server that cannot be reached leaves no empty box: the user reads what
    // failed, with which name and why, and never the ticket of his session.
    void folderRequestsWithoutTheServerSayWhy_data()
    {
        QTest::addColumn<bool>("rename");
        QTest::addColumn<QString>("start");
        QTest::addRow("new folder") << false << "The folder \"Plans\" could not be created: ";
        QTest::addRow("rename") << true << "The folder could not be renamed to \"Plans\": ";
    }
    void folderRequestsWithoutTheServerSayWhy()
    {
        QFETCH(bool, rename);
        QFETCH(QString, start);
        QVERIFY(openFolder("Demo User", {"Personal"}));
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        TFileMagSession gone = session;
        gone.Conn.Port = probe.serverPort();
        probe.close();   // nobody listens there now
        frm->SetSession(gone);
        prompter.text = QStringLiteral("Plans");
        rename ? frm->RenameFolder() : frm->NewFolder();
        QTRY_VERIFY_WITH_TIMEOUT(!prompter.errors.isEmpty(), 20000);
        const QString shown = prompter.errors.first();
        QVERIFY2(shown.startsWith(start), qPrintable(shown));
        QVERIFY2(shown.size() > start.size(), qPrintable(shown));
        QVERIFY2(shown.contains(QStringLiteral("127.0.0.1:%1").arg(gone.Conn.Port)), qPrintable(shown));
        QVERIFY2(!shown.contains(QStringLiteral("uid=")), qPrintable(shown));
        QVERIFY(prompter.infos.isEmpty());
        QCOMPARE(frm->tvFolder->currentItem()->text(0), QStringLiteral("Personal"));
    }

    // Rows 2 and 5 of six go, the fifth first; a row the server refuses stays,
    // logged with the server's words.
    void deleteRowsFromTheLastToTheFirst()
    {
        QVERIFY(openFolder("Sales", {"Reports"}));
        const qint32 sales = frm->FGroupId;
        const qint64 reports = frm->FFolderId;
        {
            auto client = session.Conn.MakeClient();
            for (const char *name : {"R1", "R2", "R3", "R4"}) {
                qint64 id = 0;
                client->CreateFolder(sales, reports, id, QString::fromLatin1(name));
                QVERIFY(id > 0);
            }
        }
        frm->tvFolder->setCurrentItem(find(frm->tvFolder, "Sales"));
        QVERIFY(openFolder("Sales", {"Reports"}));
        QVERIFY(frm->Model().rowCount() >= 6);
        const int ghostRow = frm->Model().rowCount();
        TFileRow ghost;
        ghost.Caption = QStringLiteral("ghost.txt");
        ghost.Key = 987654321;
        frm->Model().AddRow(ghost);
        const QStringList before = captions(frm->Model());
        for (int row : {1, 4, ghostRow})
            frm->Model().SetChecked(row, true);
        QSignalSpy done(frm.get(), &TFileMagFrm::deleteFinished);
        frm->Delete();
        QCOMPARE(prompter.questions, QStringList{"Confirm deleting the selected files?"});
        QPointer<TFileDelFrm> log = frm->LastDeleteFrm();
        QVERIFY(log && log->isVisible());
        QCOMPARE(log->windowTitle(), QStringLiteral("Delete information"));
        QVERIFY(done.wait(10000));
        const QStringList lines = log->mmLog->toPlainText().split(u'\n');
        QCOMPARE(lines, (QStringList{"ghost.txt: " + ResultCodeText(8, HSL_ENG), before[4] + ": Deleted successfully",
                                     before[1] + ": Deleted successfully"}));
        // The folder is fetched again: the server no longer lists the two.
        QSignalSpy list(frm.get(), &TFileMagFrm::listLoaded);
        QVERIFY(list.wait(10000));
        QStringList expected = before;
        expected.removeAt(ghostRow);
        expected.removeAt(4);
        expected.removeAt(1);
        QCOMPARE(captions(frm->Model()), expected);
        log->close();
        QTRY_VERIFY(!log);
    }

    // Deleting the folder the user went into meanwhile leaves him on its parent
    // with the parent's list, not on a node of a folder that is gone.
    void deletedFolderUnderTheUserLeavesTheParent()
    {
        QVERIFY(openFolder("Sales", {"Offers"}));
        QTreeWidgetItem *offers = frm->tvFolder->currentItem();
        const int row = rowOf("2024");
        QVERIFY(row >= 0);
        frm->Model().SetChecked(row, true);
        QSignalSpy done(frm.get(), &TFileMagFrm::deleteFinished);
        frm->Delete();
        // Before the answer lands the user opens that folder.
        frm->tvFolder->setCurrentItem(find(frm->tvFolder, "2024"));
        QVERIFY(done.wait(10000));
        QCOMPARE(frm->tvFolder->currentItem(), offers);
        QCOMPARE(frm->FFolderId, qint64(TFileMagFrm::NodeData(offers)));
        QSignalSpy list(frm.get(), &TFileMagFrm::listLoaded);
        QVERIFY(list.wait(10000));
        QVERIFY(!find(frm->tvFolder, "2024") || find(frm->tvFolder, "2024")->parent() != offers);
        QCOMPARE(captions(frm->Model()), QStringList{"Customer list.xlsx"});
        settle();
    }

    // A new folder needs a folder to go in: without one the user is told to choose it.
    void newFolderWithoutAFolderAsksForOne_data()
    {
        QTest::addColumn<bool>("ownerOpened");
        QTest::addRow("the organisation is shown") << false;
        QTest::addRow("an owner is open, no folder chosen") << true;
    }
    void newFolderWithoutAFolderAsksForOne()
    {
        QFETCH(bool, ownerOpened);
        if (ownerOpened) {
            QVERIFY(openFolder("Sales", {}));
            frm->tvFolder->setCurrentItem(nullptr);
        }
        prompter.text = QStringLiteral("Nowhere");
        QSignalSpy added(frm.get(), &TFileMagFrm::folderAdded);
        frm->NewFolder();
        QCOMPARE(prompter.errors, QStringList{"Please select the working directory!"});
        settle();
        QVERIFY(added.isEmpty());
        QVERIFY(prompter.infos.isEmpty());
    }

    // The preview page's address carries the session's ticket: a browser that
    // would not start is reported with the file's name, never with the address.
    void previewPageThatDidNotOpenNamesTheFileNotTheAddress_data()
    {
        QTest::addColumn<int>("language");
        QTest::addColumn<QString>("shown");
        QTest::addRow("English") << int(HSL_ENG)
                                 << "The preview page of \"Signed contract.pdf\" could not be opened in the web browser.";
        QTest::addRow("Chinese") << int(HSL_CN) << "无法在浏览器中打开文件“Signed contract.pdf”的预览页面。";
    }
    void previewPageThatDidNotOpenNamesTheFileNotTheAddress()
    {
        QFETCH(int, language);
        QFETCH(QString, shown);
        TFileMagSession s = session;
        s.Conn.Language = THS_Language(language);
        frm->SetSession(s);
        QSignalSpy org(frm.get(), &TFileMagFrm::orgLoaded);
        frm->Init();
        QVERIFY(org.wait(10000));
        QVERIFY(openFolder("R&D", {"Contracts", "2024"}));
        QStringList tried;
        frm->FOpenUrl = [&tried](const QUrl &u) {
            tried << u.toString();
            return false;
        };
        frm->Model().SetChecked(rowOf("Signed contract.pdf"), true);
        frm->Preview();
        QCOMPARE(tried.size(), 1);
        QVERIFY(tried.first().contains(QStringLiteral("uid=")));
        QCOMPARE(prompter.errors, QStringList{shown});
    }

    // Closing the log while a row is on its way stops after that row, and the
    // list is still fetched again: it no longer shows what the server deleted.
    void closingTheDeleteLogStillRefreshesTheList()
    {
        QVERIFY(openFolder("Sales", {"Reports"}));
        {
            auto client = session.Conn.MakeClient();
            for (const char *name : {"Gone 1", "Gone 2"}) {
                qint64 id = 0;
                client->CreateFolder(frm->FGroupId, frm->FFolderId, id, QString::fromLatin1(name));
                QVERIFY(id > 0);
            }
        }
        frm->tvFolder->setCurrentItem(find(frm->tvFolder, "Sales"));
        QVERIFY(openFolder("Sales", {"Reports"}));
        const int first = rowOf("Gone 1");
        const int second = rowOf("Gone 2");
        QVERIFY(first >= 0 && second >= 0);
        frm->Model().SetChecked(first, true);
        frm->Model().SetChecked(second, true);
        // The rows go from the last to the first.
        const QString deleted = first > second ? QStringLiteral("Gone 1") : QStringLiteral("Gone 2");
        const QString kept = first > second ? QStringLiteral("Gone 2") : QStringLiteral("Gone 1");
        QSignalSpy done(frm.get(), &TFileMagFrm::deleteFinished);
        QSignalSpy list(frm.get(), &TFileMagFrm::listLoaded);
        frm->Delete();
        QPointer<TFileDelFrm> log = frm->LastDeleteFrm();
        QVERIFY(log);
        log->close();
        // As in the running client, where a closed window goes at once.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!log || !log->isVisible());
        QVERIFY(done.wait(10000));
        QVERIFY(list.wait(10000));
        QTRY_VERIFY(!log);
        const QStringList shown = captions(frm->Model());
        QVERIFY2(!shown.contains(deleted) && shown.contains(kept), qPrintable(shown.join(u',')));
        settle();
    }

    void folderNameDialog_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("ok");
        QTest::addRow("a name") << "Plans 2025" << true;
        QTest::addRow("only blanks are a name") << "   " << true;
        QTest::addRow("empty is refused") << "" << false;
    }
    void folderNameDialog()
    {
        QFETCH(QString, typed);
        QFETCH(bool, ok);
        TSetFoldrNameFrm dialog(HSL_ENG);
        dialog.show();
        dialog.edtFolderName->setText(typed);
        QTest::mouseClick(dialog.btnConfirm, Qt::LeftButton);
        QCOMPARE(dialog.IsResultOk, ok);
        QCOMPARE(dialog.isVisible(), !ok);
        QCOMPARE(prompter.infos, ok ? QStringList{} : QStringList{"Input Folder Name"});
        QTest::mouseClick(dialog.btnCancel, Qt::LeftButton);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.IsResultOk, ok);
    }
};

class PickerTest : public QObject
{
    Q_OBJECT
    static int rowOf(const TFileTypeChoice &c, const QString &ext)
    {
        for (int i = 0; i < c.Items().size(); ++i)
            if (c.Items()[i].Caption.endsWith(QStringLiteral("(*.") + ext + u')'))
                return i;
        return -1;
    }

private Q_SLOTS:
    void memberCaption_data()
    {
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("coreId");
        QTest::addColumn<QString>("caption");
        QTest::addRow("e-mail, no staff number") << "ann@example.com" << "" << "Ann - ann@example.com";
        QTest::addRow("staff number only") << "" << "E7" << "Ann - E7";
        QTest::addRow("both") << "ann@example.com" << "E7" << "Ann - ann@example.com - E7";
        QTest::addRow("neither") << "" << "" << "Ann";
    }
    void memberCaption()
    {
        QFETCH(QString, email);
        QFETCH(QString, coreId);
        QFETCH(QString, caption);
        QCOMPARE(OwnerPickMemberCaption(QStringLiteral("Ann"), email, coreId), caption);
    }

    void fileTypes_data()
    {
        QTest::addColumn<QList<quint32>>("given");
        QTest::addColumn<QStringList>("checkedExts");   // "*" for All files
        QTest::addColumn<QList<quint32>>("result");
        const quint32 pdf = ExtCode("pdf"), docx = ExtCode("docx"), odt = ExtCode("odt");
        QTest::addRow("every-type code alone") << QList<quint32>{42} << QStringList{"*"} << QList<quint32>{};
        QTest::addRow("every-type code first") << QList<quint32>{42, pdf} << QStringList{"*"} << QList<quint32>{};
        QTest::addRow("empty list") << QList<quint32>{} << QStringList{"*"} << QList<quint32>{};
        QTest::addRow("types come back in list order") << QList<quint32>{docx, pdf} << QStringList{"pdf", "docx"} << QList<quint32>{pdf, docx};
        QTest::addRow("unknown code is dropped") << QList<quint32>{odt, pdf} << QStringList{"pdf"} << QList<quint32>{pdf};
    }
    void fileTypes()
    {
        QFETCH(QList<quint32>, given);
        QFETCH(QStringList, checkedExts);
        QFETCH(QList<quint32>, result);
        TSetFileTypeFrm frm(nullptr, HSL_ENG);
        frm.SetFileTypes(given);
        QStringList shown;
        for (int i = 0; i < frm.lbTypes->count(); ++i) {
            if (frm.lbTypes->item(i)->checkState() != Qt::Checked)
                continue;
            const QString c = frm.lbTypes->item(i)->text();
            shown << (i == 0 ? QStringLiteral("*") : c.mid(c.lastIndexOf(QStringLiteral("(*.")) + 3).chopped(1));
        }
        QCOMPARE(shown, checkedExts);
        QCOMPARE(frm.GetFileTypes(), result);
    }

    void allFilesExcludesTheRest()
    {
        TSetFileTypeFrm frm(nullptr, HSL_ENG);
        QCOMPARE(frm.lbTypes->count(), 32);
        QCOMPARE(frm.lbTypes->item(0)->text(), QStringLiteral("All files (*.*)"));
        QCOMPARE(frm.lbTypes->item(7)->text(), QStringLiteral("Word(office2007) File (*.docx)"));
        const int pdf = rowOf(frm.Choice(), "pdf"), zip = rowOf(frm.Choice(), "zip");
        frm.SetFileTypes({42});
        // The user ticks PDF and ZIP: "All files" goes off.
        frm.lbTypes->item(pdf)->setCheckState(Qt::Checked);
        QCOMPARE(frm.lbTypes->item(0)->checkState(), Qt::Unchecked);
        frm.lbTypes->item(zip)->setCheckState(Qt::Checked);
        QCOMPARE(frm.GetFileTypes(), (QList<quint32>{ExtCode("pdf"), ExtCode("zip")}));
        // Then "All files": every other tick goes.
        frm.lbTypes->item(0)->setCheckState(Qt::Checked);
        QCOMPARE(frm.lbTypes->item(pdf)->checkState(), Qt::Unchecked);
        QCOMPARE(frm.lbTypes->item(zip)->checkState(), Qt::Unchecked);
        QVERIFY(frm.GetFileTypes().isEmpty());
    }

    void localFolderReadiness_data()
    {
        QTest::addColumn<QString>("sub");   // below a temporary folder
        QTest::addColumn<bool>("ready");
        QTest::addRow("existing folder") << "docs" << true;
        QTest::addRow("missing folder") << "gone" << false;
        QTest::addRow("a file, not a folder") << "file.txt" << false;
        QTest::addRow("no path") << "" << false;
    }
    void localFolderReadiness()
    {
        QFETCH(QString, sub);
        QFETCH(bool, ready);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath("docs"));
        writeFile(dir.filePath("file.txt"), "x");
        const QString path = sub.isEmpty() ? QString() : dir.filePath(sub);
        QCOMPARE(LocalFolderReady(path, true), ready);
        TGetPathFrm frm(nullptr, HSL_ENG);
        frm.SetSelectedPath(path);
        QCOMPARE(frm.btnOk->isEnabled(), ready);
        QCOMPARE(frm.edPath->text(), path);
        QCOMPARE(frm.FPath, ready ? path : QString());
    }

    void unlistableFolderIsRefused()
    {
        QTemporaryDir dir;
        const QString locked = dir.filePath("locked");
        QVERIFY(QDir().mkpath(locked));
        QVERIFY(QFile::setPermissions(locked, QFileDevice::WriteOwner));
        if (QFileInfo(locked).isReadable())
            QSKIP("running with rights that read every folder");
        QVERIFY(!LocalFolderReady(locked, true));
        QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    void localPickerFollowsTheTree()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath("a/b"));
        TGetPathFrm frm(nullptr, HSL_ENG);
        frm.SetSelectedPath(dir.filePath("a"));
        QCOMPARE(frm.FPath, dir.filePath("a"));
        // The tree starts on the given folder.
        auto *fs = qobject_cast<QFileSystemModel *>(frm.tvFolders->model());
        QVERIFY(fs);
        QCOMPARE(fs->filePath(frm.tvFolders->currentIndex()), dir.filePath("a"));
        // Moving in the tree puts the folder into the path box; OK takes the box.
        frm.tvFolders->setCurrentIndex(fs->index(dir.filePath("a/b")));
        QCOMPARE(frm.edPath->text(), dir.filePath("a/b"));
        QVERIFY(frm.btnOk->isEnabled());
        QTest::mouseClick(frm.btnOk, Qt::LeftButton);
        QCOMPARE(frm.result(), int(QDialog::Accepted));
        QCOMPARE(frm.FPath, dir.filePath("a/b"));

        // A typed path that names no folder is no choice; a typed folder is.
        frm.show();
        frm.edPath->selectAll();
        QTest::keyClicks(frm.edPath, dir.filePath("a/missing"));
        QVERIFY(!frm.btnOk->isEnabled());
        frm.edPath->selectAll();
        QTest::keyClicks(frm.edPath, dir.filePath("a"));
        QVERIFY(frm.btnOk->isEnabled());
        QTest::mouseClick(frm.btnOk, Qt::LeftButton);
        QCOMPARE(frm.FPath, dir.filePath("a"));

        TGetPathFrm cancelled(nullptr, HSL_CN);
        QCOMPARE(cancelled.btnOk->text(), QStringLiteral("确定"));
        cancelled.SetSelectedPath(dir.filePath("a"));
        QTest::mouseClick(cancelled.btnCancel, Qt::LeftButton);
        QVERIFY(cancelled.FPath.isEmpty());
    }
};

class PickersE2ETest : public QObject
{
    Q_OBJECT
    TestHome home;
    std::unique_ptr<RefServer> server;
    TRecordingPrompter prompter;
    TServerConn conn;

    static QTreeWidgetItem *find(QTreeWidget *tree, const QString &caption)
    {
        const QList<QTreeWidgetItem *> items = tree->findItems(caption, Qt::MatchExactly | Qt::MatchRecursive);
        return items.isEmpty() ? nullptr : items.first();
    }

private Q_SLOTS:
    void initTestCase()
    {
        qRegisterMetaType<QTreeWidgetItem *>();
        TPrompter::SetInstance(&prompter);
        server = std::make_unique<RefServer>();
        conn = demoConn(server->port());
    }
    void cleanupTestCase() { TPrompter::SetInstance(nullptr); }
    void init() { prompter.reset(); }

    void ownerPickerShowsGroupsAndMembers()
    {
        TSelectOwnerFrm frm(conn);
        QSignalSpy loaded(&frm, &TSelectOwnerFrm::orgLoaded);
        QSignalSpy chosen(&frm, &TSelectOwnerFrm::UMSelectedOwner);
        frm.GetOrgStructure(TS_Download);
        QVERIFY(loaded.wait(10000));
        QCOMPARE(loaded.first().first().toBool(), true);
        QTreeWidgetItem *root = frm.tvOwners->topLevelItem(0);
        QCOMPARE(frm.tvOwners->topLevelItemCount(), 1);
        QCOMPARE(root->text(0), QStringLiteral("Demo Co"));
        QVERIFY(root->isExpanded());
        QTreeWidgetItem *rnd = find(frm.tvOwners, "R&D");
        QVERIFY(rnd && rnd->parent() == root);
        // Sub-groups first, then the members' node with one node per member.
        QTreeWidgetItem *members = rnd->child(rnd->childCount() - 1);
        QCOMPARE(members->text(0), QStringLiteral("Members"));
        QCOMPARE(members->data(0, TSelectOwnerFrm::DataRole).toInt(), 0);
        QCOMPARE(rnd->child(0)->text(0), QStringLiteral("Drawing Office"));
        QStringList names;
        for (int i = 0; i < members->childCount(); ++i)
            names << members->child(i)->text(0);
        QVERIFY2(names.contains(QStringLiteral("Demo User - demo@example.com - E5")), qPrintable(names.join('|')));

        // The members' node is no choice; a member is.
        frm.tvOwners->setCurrentItem(members);
        QVERIFY(!frm.btnNext->isEnabled());
        QCOMPARE(frm.FOwnerId, -1);
        QTreeWidgetItem *alice = nullptr;
        for (int i = 0; i < members->childCount(); ++i)
            if (members->child(i)->text(0).startsWith(QStringLiteral("Alice")))
                alice = members->child(i);
        QVERIFY(alice);
        frm.tvOwners->setCurrentItem(alice);
        QVERIFY(frm.btnNext->isEnabled());
        QCOMPARE(frm.edName->text(), alice->text(0));
        QTest::mouseClick(frm.btnNext, Qt::LeftButton);
        QCOMPARE(frm.result(), int(QDialog::Accepted));
        QCOMPARE(frm.FOwnerId, alice->data(0, TSelectOwnerFrm::DataRole).toInt());
        QCOMPARE(chosen.size(), 1);
        QCOMPARE(chosen.first().first().toInt(), frm.FOwnerId);
        QVERIFY(prompter.errors.isEmpty());
    }

    void ownerPickerCancelChoosesNobody()
    {
        TSelectOwnerFrm frm(conn);
        QSignalSpy loaded(&frm, &TSelectOwnerFrm::orgLoaded);
        frm.GetOrgStructure(TS_Upload);
        QVERIFY(loaded.wait(10000));
        frm.tvOwners->setCurrentItem(find(frm.tvOwners, "Sales"));
        QVERIFY(frm.FOwnerId > 0);
        QTest::mouseClick(frm.btnCancel, Qt::LeftButton);
        QCOMPARE(frm.FOwnerId, -1);
    }

    void ownerPickerSaysWhyWithoutAServer()
    {
        TServerConn gone = conn;
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        gone.Port = closed.serverPort();
        closed.close();
        TSelectOwnerFrm frm(gone);
        QSignalSpy loaded(&frm, &TSelectOwnerFrm::orgLoaded);
        frm.GetOrgStructure(TS_Download);
        QVERIFY(loaded.wait(20000));
        QCOMPARE(loaded.first().first().toBool(), false);
        QCOMPARE(prompter.errors.size(), 1);
        QVERIFY(!prompter.errors.first().isEmpty());
        QCOMPARE(frm.tvOwners->topLevelItemCount(), 0);
    }

    // A sub-folder list that did not arrive is asked for again when the folder
    // is chosen next time; the user reads why it failed.
    void folderPickerAsksAgainForSubFoldersThatFailed()
    {
        TSelectOwnerFrm owners(conn);
        QSignalSpy org(&owners, &TSelectOwnerFrm::orgLoaded);
        owners.GetOrgStructure(TS_Default);
        QVERIFY(org.wait(10000));
        const qint32 rnd = find(owners.tvOwners, "R&D")->data(0, TSelectOwnerFrm::DataRole).toInt();

        Relay relay(server->port());
        TServerConn through = conn;
        through.Port = relay.port();
        TSelectFolderFrm frm(through);
        QSignalSpy loaded(&frm, &TSelectFolderFrm::foldersLoaded);
        QSignalSpy failed(&frm, &TSelectFolderFrm::loadFailed);
        frm.GetFrame(rnd);
        QVERIFY(loaded.wait(10000));
        QTreeWidgetItem *contracts = find(frm.tvFolders, "Contracts");
        QTreeWidgetItem *designs = find(frm.tvFolders, "Designs");
        QVERIFY(contracts && designs);

        relay.open = false;
        frm.tvFolders->setCurrentItem(contracts);
        QVERIFY(failed.wait(20000));
        QCOMPARE(prompter.errors.size(), 1);
        QVERIFY(!prompter.errors.first().isEmpty());
        QCOMPARE(contracts->childCount(), 0);

        relay.open = true;
        frm.tvFolders->setCurrentItem(designs);
        frm.tvFolders->setCurrentItem(contracts);
        QTRY_VERIFY_WITH_TIMEOUT(find(frm.tvFolders, "2024"), 10000);
        QCOMPARE(find(frm.tvFolders, "2024")->parent(), contracts);
        QCOMPARE(prompter.errors.size(), 1);
        QTRY_VERIFY(RequestPool()->activeThreadCount() == 0);
    }

    void folderPickerNamesTheWholePath()
    {
        // A third level below R&D's Contracts\2024.
        TSelectOwnerFrm owners(conn);
        QSignalSpy org(&owners, &TSelectOwnerFrm::orgLoaded);
        owners.GetOrgStructure(TS_Default);
        QVERIFY(org.wait(10000));
        const qint32 rnd = find(owners.tvOwners, "R&D")->data(0, TSelectOwnerFrm::DataRole).toInt();

        TSelectFolderFrm frm(conn);
        QSignalSpy loaded(&frm, &TSelectFolderFrm::foldersLoaded);
        frm.GetFrame(rnd);
        QVERIFY(loaded.wait(10000));
        QTreeWidgetItem *contracts = find(frm.tvFolders, "Contracts");
        QVERIFY(contracts && !contracts->parent());
        frm.tvFolders->setCurrentItem(contracts);
        QTRY_VERIFY(find(frm.tvFolders, "2024"));
        QTreeWidgetItem *y2024 = find(frm.tvFolders, "2024");
        qint64 q1 = 0;
        {
            auto client = conn.MakeClient();
            client->CreateFolder(rnd, y2024->data(0, TSelectFolderFrm::DataRole).toLongLong(), q1, "Q1");
        }
        QVERIFY(q1 > 0);
        // Opened afresh, 2024 now shows it has sub-folders.
        frm.GetFrame(rnd);
        QTRY_VERIFY(find(frm.tvFolders, "Contracts"));
        frm.tvFolders->setCurrentItem(find(frm.tvFolders, "Contracts"));
        QTRY_VERIFY(find(frm.tvFolders, "2024"));
        frm.tvFolders->setCurrentItem(find(frm.tvFolders, "2024"));
        QTRY_VERIFY(find(frm.tvFolders, "Q1"));
        frm.tvFolders->setCurrentItem(find(frm.tvFolders, "Q1"));
        QCOMPARE(frm.FFolderName, QStringLiteral("Contracts\\2024\\Q1\\"));
        QCOMPARE(frm.edName->text(), frm.FFolderName);
        QCOMPARE(frm.FFolderId, q1);
        QVERIFY(frm.btnNext->isEnabled());
        QTest::mouseClick(frm.btnNext, Qt::LeftButton);
        QCOMPARE(frm.result(), int(QDialog::Accepted));
        QCOMPARE(frm.FFolderId, q1);

        // A second owner's folders replace the first one's; Cancel chooses nothing.
        frm.GetFrame(find(owners.tvOwners, "Sales")->data(0, TSelectOwnerFrm::DataRole).toInt());
        QVERIFY(frm.FFolderName.isEmpty());
        QTRY_VERIFY(find(frm.tvFolders, "Offers"));
        QVERIFY(!find(frm.tvFolders, "Contracts"));
        frm.tvFolders->setCurrentItem(find(frm.tvFolders, "Offers"));
        QTest::mouseClick(frm.btnCancel, Qt::LeftButton);
        QCOMPARE(frm.FFolderId, qint64(-1));
    }
};

// A browser that records what it is asked and answers scripts as the test says.
class StandInBrowser : public TEmbeddedBrowser
{
public:
    explicit StandInBrowser(QWidget *parent) : m_view(new QWidget(parent)) {}
    QWidget *Widget() override { return m_view; }
    void Load(const QUrl &url) override
    {
        loads << url;
        QMetaObject::invokeMethod(this, [this] { Q_EMIT loadFinished(loadOk); }, Qt::QueuedConnection);
    }
    void RunScript(const QString &script, ScriptDone done) override
    {
        scripts << script;
        const QVariant answer = answerFor ? answerFor(script) : QVariant();
        QMetaObject::invokeMethod(this, [done, answer] { done(answer); }, Qt::QueuedConnection);
    }
    QList<QUrl> loads;
    QStringList scripts;
    std::function<QVariant(const QString &)> answerFor;
    bool loadOk = true;

private:
    QWidget *m_view;
};

class PropertyPageTest : public QObject
{
    Q_OBJECT
    TRecordingPrompter prompter;

    static std::unique_ptr<TTSetFilePropertyFrm> makeFrm(StandInBrowser *&browser, THS_Language language = HSL_ENG)
    {
        return std::make_unique<TTSetFilePropertyFrm>(language, nullptr, [&browser](QWidget *parent) {
            auto b = std::make_unique<StandInBrowser>(parent);
            browser = b.get();
            return std::unique_ptr<TEmbeddedBrowser>(std::move(b));
        });
    }

private Q_SLOTS:
    void initTestCase() { TPrompter::SetInstance(&prompter); }
    void cleanupTestCase() { TPrompter::SetInstance(nullptr); }

    void propertyIds_data()
    {
        QTest::addColumn<QString>("prt");
        QTest::addColumn<QStringList>("ids");
        QTest::addRow("plain list") << "[proid]5,6,12[/proid]" << QStringList{"5", "6", "12"};
        QTest::addRow("blanks and repeats") << "[proid] 5 ,5,,6[/proid]" << QStringList{"5", "6"};
        QTest::addRow("an id that would leave its attribute") << "[proid]1\"><script>x()</script>,2[/proid]" << QStringList{"2"};
        QTest::addRow("none") << "" << QStringList{};
    }
    void propertyIds()
    {
        QFETCH(QString, prt);
        QFETCH(QStringList, ids);
        QCOMPARE(FilePropertyPage::PropertyIds(prt), ids);
    }

    // Check-box and radio values reach the page with "*#*#"; every value only as
    // an escaped attribute value.
    void currentValuesFillThePage()
    {
        StandInBrowser *browser = nullptr;
        auto frm = makeFrm(browser);
        QVERIFY(browser);
        frm->URL = TTSetFilePropertyFrm::PageUrl(QStringLiteral("http://127.0.0.1:8088"));
        frm->LoadParam = true;
        frm->PrtParams = QStringLiteral("[proid]5,6,1[/proid][5]Review[/5][6]Internal,Customer[/6][1]A, \"B\" <b>&'[/1]");
        browser->answerFor = [](const QString &script) -> QVariant {
            if (script.contains(QStringLiteral("getElementsByName('FilePrt'+ids[i])")))
                return QVariantMap{{"5", "radio"}, {"6", "checkbox"}, {"1", "text"}};
            return true;
        };
        QSignalSpy ready(frm.get(), &TTSetFilePropertyFrm::pageReady);
        frm->show();
        QVERIFY(ready.wait(5000));
        QCOMPARE(ready.first().first().toBool(), true);
        QCOMPARE(browser->loads, QList<QUrl>{QUrl("http://127.0.0.1:8088/getPrtHtm?opr=page")});
        QCOMPARE(browser->scripts.size(), 2);
        QVERIFY(browser->scripts.first().endsWith(QStringLiteral("([\"5\",\"6\",\"1\"])")));
        const QString fill = browser->scripts.at(1);
        QVERIFY(fill.contains(QStringLiteral("fillProperty();")));
        // The markup travels as one script string: its quotes are escaped for the script.
        QVERIFY2(fill.contains(QStringLiteral("<input type=\\\"hidden\\\" id=\\\"h_FilePrt6\\\" value=\\\"Internal*#*#Customer\\\">")), qPrintable(fill));
        QVERIFY(fill.contains(QStringLiteral("id=\\\"h_FilePrt5\\\" value=\\\"Review\\\">")));
        QVERIFY2(fill.contains(QStringLiteral("id=\\\"h_FilePrt1\\\" value=\\\"A, &quot;B&quot; &lt;b&gt;&amp;&#39;\\\">")), qPrintable(fill));
        QCOMPARE(FilePropertyPage::HiddenInputsHtml(frm->PrtParams, {"1"}, {{"1", "text"}}),
                 QStringLiteral("<input type=\"hidden\" id=\"h_FilePrt1\" value=\"A, &quot;B&quot; &lt;b&gt;&amp;&#39;\">"));
    }

    void withoutLoadParamThePageStaysAsServed()
    {
        StandInBrowser *browser = nullptr;
        auto frm = makeFrm(browser);
        frm->PrtParams = QStringLiteral("[proid]1[/proid][1]x[/1]");
        QSignalSpy ready(frm.get(), &TTSetFilePropertyFrm::pageReady);
        frm->show();
        QVERIFY(ready.wait(5000));
        QVERIFY(browser->scripts.isEmpty());
    }

    void confirmTakesThePagesTextOnlyWhenItAgrees_data()
    {
        QTest::addColumn<QVariant>("answer");
        QTest::addColumn<bool>("accepted");
        QTest::addRow("page agrees") << QVariant(QVariantList{"1", "[proid]1[/proid][1]new[/1]"}) << true;
        QTest::addRow("page refuses") << QVariant(QVariantList{"0", ""}) << false;
        QTest::addRow("script failed") << QVariant() << false;
    }
    void confirmTakesThePagesTextOnlyWhenItAgrees()
    {
        QFETCH(QVariant, answer);
        QFETCH(bool, accepted);
        StandInBrowser *browser = nullptr;
        auto frm = makeFrm(browser);
        frm->PrtParams = QStringLiteral("[proid]1[/proid][1]old[/1]");
        frm->show();
        browser->answerFor = [answer](const QString &) { return answer; };
        QSignalSpy refused(frm.get(), &TTSetFilePropertyFrm::checkRefused);
        QSignalSpy finished(frm.get(), &QDialog::finished);
        QTest::mouseClick(frm->btnOk, Qt::LeftButton);
        QTRY_VERIFY(!refused.isEmpty() || !finished.isEmpty());
        QVERIFY(browser->scripts.last().contains(QStringLiteral("checkFilePrt();")));
        QCOMPARE(frm->isVisible(), !accepted);
        QCOMPARE(frm->result(), accepted ? int(QDialog::Accepted) : 0);
        QCOMPARE(frm->PrtParams, accepted ? QStringLiteral("[proid]1[/proid][1]new[/1]") : QStringLiteral("[proid]1[/proid][1]old[/1]"));
    }

    // A page that did not load can never agree: the window says why in the
    // interface's language in the page's place (not the browser's own English
    // error page), OK stays off, and a page that loads later brings OK back.
    void pageThatDidNotLoadSaysWhy_data()
    {
        QTest::addColumn<int>("language");
        QTest::addColumn<QString>("why");
        QTest::addRow("English") << int(HSL_ENG) << "The file attribute page could not be loaded from http://127.0.0.1:8088/getPrtHtm";
        QTest::addRow("Chinese") << int(HSL_CN) << "无法从 http://127.0.0.1:8088/getPrtHtm 加载文件属性页面";
    }
    void pageThatDidNotLoadSaysWhy()
    {
        QFETCH(int, language);
        QFETCH(QString, why);
        StandInBrowser *browser = nullptr;
        auto frm = makeFrm(browser, THS_Language(language));
        frm->URL = TTSetFilePropertyFrm::PageUrl(QStringLiteral("http://127.0.0.1:8088"));
        frm->LoadParam = true;
        frm->PrtParams = QStringLiteral("[proid]1[/proid][1]old[/1]");
        browser->loadOk = false;
        QSignalSpy ready(frm.get(), &TTSetFilePropertyFrm::pageReady);
        frm->show();
        QVERIFY(ready.wait(5000));
        QCOMPARE(ready.first().first().toBool(), false);
        QVERIFY(!frm->btnOk->isEnabled());
        QVERIFY(frm->lblLoadError->isVisible());
        QVERIFY(!browser->Widget()->isVisible());
        QVERIFY2(frm->lblLoadError->text().startsWith(why), qPrintable(frm->lblLoadError->text()));
        QVERIFY(browser->scripts.isEmpty());

        Q_EMIT browser->loadFinished(true);
        QVERIFY(frm->btnOk->isEnabled());
        QVERIFY(!frm->lblLoadError->isVisible());
        QVERIFY(browser->Widget()->isVisible());
    }

    void withoutABrowserItSaysSo()
    {
        TTSetFilePropertyFrm frm(HSL_ENG, nullptr, [](QWidget *) { return std::unique_ptr<TEmbeddedBrowser>(); });
        QVERIFY(!frm.WebBrowser1);
        QVERIFY(!frm.btnOk->isEnabled());
        frm.show();
        QTest::mouseClick(frm.btnCancel, Qt::LeftButton);
        QCOMPARE(frm.result(), int(QDialog::Rejected));
    }
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    return runTests<FileListModelTest, FileMagLogicTest, FileViewTest, FileManagerE2ETest, PickerTest, PickersE2ETest, PropertyPageTest>(argc, argv);
}

#include "tst_files.moc"
