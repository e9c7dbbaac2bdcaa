// The folder tree's server side, against a scripted server: the owner-folder
// fallback and refusals.
#include "model/showfolder.h"
#include "fakeserver.h"
#include "testenv.h"

#include <QTcpServer>

class ShowFolderServerTest : public QObject
{
    Q_OBJECT

    static TServerConn conn(quint16 port)
    {
        TServerConn c;
        c.Host = QStringLiteral("127.0.0.1");
        c.Port = port;
        c.EncryptId = QStringLiteral("E1");
        return c;
    }

private Q_SLOTS:
    // An owner's first level answered with nothing: the whole tree comes from request 64.
    void emptyFirstLevelFallsBackToOwnerFolders()
    {
        FakeServer srv;
        QVERIFY(srv.ok());
        auto first = std::make_shared<FakeFrame>();
        auto second = std::make_shared<FakeFrame>();
        srv.addScript([first](FakeConn &c) {
            *first = c.readFrame();
            c.writeFrame(80, QString());
        });
        srv.addScript([second](FakeConn &c) {
            *second = c.readFrame();
            c.writeFrame(80, QStringLiteral("<R><Item><Childs><F Id=\"2\"><Path>A</Path><Childs>"
                                            "<F Id=\"3\"><Path>A1</Path></F></Childs></F><F Id=\"4\"><Path>B</Path></F>"
                                            "</Childs></Item></R>"));
        });
        TShowFolder folders(conn(srv.port()));
        const TFolderFill fill = folders.GetSubFolders(7, 1);
        QVERIFY2(fill.Ok, qPrintable(fill.ErrorText));
        QVERIFY(srv.waitForHandled(2));
        QCOMPARE(int(first->code()), 69);
        QCOMPARE(int(second->code()), 64);
        QCOMPARE(int(fill.Nodes.size()), 2);
        QCOMPARE(fill.Nodes[0].Caption, QStringLiteral("A"));
        QCOMPARE(fill.Nodes[0].Childs.size(), size_t(1));
        QCOMPARE(fill.Nodes[0].Childs[0].Data, 3);
        QCOMPARE(fill.Nodes[1].Data, 4);
    }

    // A refusal adds nothing and says why; below the first level there is no fallback.
    void refusalAddsNothing_data()
    {
        QTest::addColumn<int>("parent");
        QTest::addColumn<QString>("reply");
        QTest::addRow("sub-folder refused with a text") << 12 << QStringLiteral("No right to this folder");
        QTest::addRow("sub-folder refused without a text") << 12 << QString();
    }
    void refusalAddsNothing()
    {
        QFETCH(int, parent);
        QFETCH(QString, reply);
        FakeServer srv;
        QVERIFY(srv.ok());
        srv.addScript([reply](FakeConn &c) {
            c.readFrame();
            c.writeFrame(81, reply);
        });
        TShowFolder folders(conn(srv.port()));
        const TFolderFill fill = folders.GetSubFolders(7, parent);
        QVERIFY(!fill.Ok);
        QVERIFY(fill.Nodes.empty());
        QVERIFY(!fill.ErrorText.isEmpty());
        if (!reply.isEmpty())
            QCOMPARE(fill.ErrorText, reply);
        QVERIFY(srv.waitForHandled(1));
        QCOMPARE(srv.connectionCount(), 1);   // no request 64 below the first level
    }

    // A server that cannot be reached is reported in the interface's language.
    void unreachableServerIsReportedInTheInterfaceLanguage_data()
    {
        QTest::addColumn<int>("language");
        QTest::addColumn<QString>("start");
        QTest::addRow("English") << int(HSL_ENG) << "Cannot connect";
        QTest::addRow("Chinese") << int(HSL_CN) << "无法连接服务器";
    }
    void unreachableServerIsReportedInTheInterfaceLanguage()
    {
        QFETCH(int, language);
        QFETCH(QString, start);
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        TServerConn c = conn(probe.serverPort());
        probe.close();   // nobody listens there now
        c.Language = THS_Language(language);
        const TFolderFill fill = TShowFolder(c).GetSubFolders(7, 12);
        QVERIFY(!fill.Ok);
        QVERIFY2(fill.ErrorText.startsWith(start), qPrintable(fill.ErrorText));
    }
};

int runShowFolderTests(int argc, char **argv)
{
    Q_UNUSED(argc);
    ShowFolderServerTest t;
    return QTest::qExec(&t, QStringList{QString::fromLocal8Bit(argv[0])});
}

#include "tst_showfolder.moc"
