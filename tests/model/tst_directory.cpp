// Parsers of the server's organisation, folder and file-list replies.
#include "core/fileext.h"
#include "core/wiredate.h"
#include "model/boundedxml.h"
#include "model/orgstructure.h"
#include "model/showfiles.h"
#include "model/showfolder.h"
#include "testenv.h"

#include <functional>

namespace {
QString loginAgo(double minutes)
{
    return FormatWireDateTime(NowDateTime() - minutes / 1440.0);
}

QString nested(const QString &open, const QString &close, int depth)
{
    return open.repeated(depth) + close.repeated(depth);
}

QStringList captions(const std::vector<std::unique_ptr<THS_Org>> &nodes)
{
    QStringList out;
    for (const auto &n : nodes)
        out << n->Name;
    return out;
}
} // namespace

class OrgStructureTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void treeAndUserTable()
    {
        const QString xml = QStringLiteral(
            "<Org><GroupItem Name=\"Demo Co\" Id=\"1\">"
            "<Members><User Id=\"10\" Name=\"Ann\" Email=\"ann@x\" CoreId=\"E10\" BindingIp=\"10.0.0.1\"/></Members>"
            "<Childs>"
            "  <GroupItem Name=\"R&amp;D [lab]\" Id=\"2\"><Members>"
            "    <User Id=\"11\" Name=\"Bob\"/><User Id=\"11\" Name=\"Bob twice\"/><User Id=\"10\" Name=\"Ann later\"/>"
            "  </Members><Childs><X Name=\"研发\" Id=\"4\"/></Childs></GroupItem>"
            "  <AnyName Name=\"Sales\" Id=\"3\"/>"
            "</Childs></GroupItem></Org>");
        TOrgStructure org;
        org.ParseOrgStructure(xml);
        QCOMPARE(org.PRootOrg->Name, QStringLiteral("Demo Co"));
        QCOMPARE(org.PRootOrg->Id, 1);
        QCOMPARE(captions(org.PRootOrg->Childs), (QStringList{QStringLiteral("R&D [lab]"), QStringLiteral("Sales")}));
        const THS_Org *rnd = org.PRootOrg->Childs.front().get();
        QCOMPARE(rnd->Father, org.PRootOrg.get());
        // The same id twice in one group is one member; a user in two groups is a member of both.
        QCOMPARE(captions(rnd->Members), (QStringList{QStringLiteral("Bob"), QStringLiteral("Ann later")}));
        QCOMPARE(captions(rnd->Childs), QStringList{QStringLiteral("研发")});
        QCOMPARE(org.AOwnerRegInfo.size(), 2);
        // ...but once in the table, the later entry winning.
        QCOMPARE(org.GetUsrInfo(10).DisplayName, QStringLiteral("Ann later"));
        QCOMPARE(org.GetUsrInfo(10).BindingIp, QString());
        QCOMPARE(org.GetUsrInfo(11).DisplayName, QStringLiteral("Bob twice"));
        QCOMPARE(org.GetUsrInfo(99).OwnerId, -1);
        QCOMPARE(org.GetUsrInfo(99).DisplayName, QString());

        QStringList order;
        for (const THS_Org *g : org.GroupsBelowRoot())
            order << g->Name;
        QCOMPARE(order, (QStringList{QStringLiteral("R&D [lab]"), QStringLiteral("研发"), QStringLiteral("Sales")}));

        org.ParseOrgStructure(QString());
        QVERIFY(org.PRootOrg->Childs.empty());
        QVERIFY(org.AOwnerRegInfo.isEmpty());
    }

    // Each group's "Members" are read before its "Childs", whatever the document's
    // order: that decides which entry of a user listed twice wins, and the table order.
    void membersBeforeChilds()
    {
        const QString xml = QStringLiteral(
            "<Org><GroupItem Name=\"G\" Id=\"1\">"
            "<Childs>"
            "  <GroupItem Name=\"C\" Id=\"2\">"
            "    <Childs><GroupItem Name=\"D\" Id=\"3\"><Members><U Id=\"11\" Name=\"Bob in D\"/></Members></GroupItem></Childs>"
            "    <Members><U Id=\"10\" Name=\"Ann in C\"/><U Id=\"11\" Name=\"Bob in C\"/></Members>"
            "  </GroupItem>"
            "  <GroupItem Name=\"E\" Id=\"4\"><Members><U Id=\"13\" Name=\"Dee\"/></Members></GroupItem>"
            "</Childs>"
            "<Members><U Id=\"12\" Name=\"Cy\"/><U Id=\"10\" Name=\"Ann in G\"/></Members>"
            "</GroupItem></Org>");
        TOrgStructure org;
        org.ParseOrgStructure(xml);
        QStringList table;
        for (const TOwnerRegInfo &u : org.AOwnerRegInfo)
            table << QString::number(u.OwnerId);
        QCOMPARE(table, (QStringList{"12", "10", "11", "13"}));
        QCOMPARE(org.GetUsrInfo(10).DisplayName, QStringLiteral("Ann in C"));
        QCOMPARE(org.GetUsrInfo(11).DisplayName, QStringLiteral("Bob in D"));
        // The tree itself keeps document order.
        QCOMPARE(captions(org.PRootOrg->Members), (QStringList{"Cy", "Ann in G"}));
        QCOMPARE(captions(org.PRootOrg->Childs), (QStringList{"C", "E"}));
        QCOMPARE(captions(org.PRootOrg->Childs.front()->Members), (QStringList{"Ann in C", "Bob in C"}));
    }

    // A last login in the hour the local clock skipped is still that time, so the
    // user shows online rather than a day behind.
    void lastLoginInSkippedHour()
    {
        const ZoneScope zone("Europe/Berlin");
        const TDateTime login = 46110.104166666664;   // 2026-03-29 02:30:00
        TOrgStructure org;
        org.FTime_Deff = NowDateTime() - login - 1.0 / 1440;   // the server's clock reads one minute later
        org.ParseOrgStructure(QStringLiteral("<O><GroupItem Name=\"G\" Id=\"1\"><Members>"
                                             "<U Id=\"5\" Name=\"U\" LasterLoginTm=\"2026-03-29 02:30:00\"/>"
                                             "</Members></GroupItem></O>"));
        QCOMPARE(org.GetUsrInfo(5).LasterLoginTm, login);
        QVERIFY(org.GetUsrInfo(5).OnLine);
    }

    void onlineState_data()
    {
        QTest::addColumn<QString>("attribute");
        QTest::addColumn<bool>("online");
        QTest::addRow("one minute ago") << QStringLiteral(" LasterLoginTm=\"%1\"").arg(loginAgo(1)) << true;
        QTest::addRow("three minutes ago") << QStringLiteral(" LasterLoginTm=\"%1\"").arg(loginAgo(3)) << false;
        QTest::addRow("absent") << QString() << false;
        QTest::addRow("not a date") << QStringLiteral(" LasterLoginTm=\"yesterday\"") << false;
    }
    void onlineState()
    {
        QFETCH(QString, attribute);
        QFETCH(bool, online);
        TOrgStructure org;
        org.ParseOrgStructure(QStringLiteral("<O><GroupItem Name=\"G\" Id=\"1\"><Members><U Id=\"5\" Name=\"U\"%1/></Members></GroupItem></O>")
                                  .arg(attribute));
        QCOMPARE(org.GetUsrInfo(5).OnLine, online);
    }

    void statusMergeMarksUsersComingOnline()
    {
        TOrgStructure org;
        org.ParseOrgStructure(QStringLiteral("<O><GroupItem Name=\"G\" Id=\"1\"><Members><U Id=\"5\" Name=\"U\"/><U Id=\"6\" Name=\"V\"/></Members></GroupItem></O>"));
        QVERIFY(org.GetChangedUsers().isEmpty());
        org.ResetUserStatus(QStringLiteral("<S><U Id=\"6\" Name=\"V\" LasterLoginTm=\"%1\"/></S>").arg(loginAgo(0.5)));
        const QList<TOwnerRegInfo> changed = org.GetChangedUsers();
        QCOMPARE(changed.size(), 1);
        QCOMPARE(changed.first().OwnerId, 6);
        org.ResetUserStatus(QStringLiteral("<S><U Id=\"6\" Name=\"V\" LasterLoginTm=\"%1\"/></S>").arg(loginAgo(0.5)));
        QVERIFY(org.GetChangedUsers().isEmpty());  // already online: no change
    }

    // Each user's texts come back whole and as that user's own, also after a status
    // merge replaced some of them.
    void userTextsInTheTable()
    {
        TOrgStructure org;
        org.ParseOrgStructure(QStringLiteral(
            "<O><GroupItem Name=\"G\" Id=\"1\"><Members>"
            "<U Id=\"5\" Name=\"Ann\" Email=\"ann@example.com\" CoreId=\"E5\" BindingIp=\"10.0.0.5\"/>"
            "<U Id=\"6\" Name=\"王芳\" Email=\"wang@例子.cn\" CoreId=\"工号6\"/>"
            "<U Id=\"7\" Name=\"Cy\" CoreId=\"E7\"/>"
            "</Members></GroupItem></O>"));
        org.ResetUserStatus(QStringLiteral("<S><U Id=\"5\" Name=\"Ann B\" Email=\"ab@example.com\"/></S>"));
        QStringList rows;
        for (const TOwnerRegInfo &u : org.AOwnerRegInfo)
            rows << QStringLiteral("%1|%2|%3|%4|%5").arg(u.OwnerId).arg(u.DisplayName, u.Email, u.CoreId, u.BindingIp);
        QCOMPARE(rows, (QStringList{"5|Ann B|ab@example.com||", "6|王芳|wang@例子.cn|工号6|", "7|Cy||E7|"}));
        QCOMPARE(org.GetUsrInfo(6).Email, QStringLiteral("wang@例子.cn"));
        QCOMPARE(org.AOwnerRegInfo.at(2).CoreId, QStringLiteral("E7"));
    }

    // Would catch a parser that crashes, recurses without bound or half-trusts a broken reply.
    void hostileOrMalformed_data()
    {
        QTest::addColumn<QString>("xml");
        QTest::addColumn<QString>("rootName");
        QTest::addColumn<int>("groups");
        QTest::addColumn<int>("users");
        QTest::addRow("truncated") << QStringLiteral("<O><GroupItem Name=\"G\" Id=\"1\"><Members><U Id=\"5\"") << QString() << 0 << 0;
        QTest::addRow("not xml") << QStringLiteral("no power") << QString() << 0 << 0;
        QTest::addRow("no GroupItem") << QStringLiteral("<O><Group Name=\"G\" Id=\"1\"/></O>") << QString() << 0 << 0;
        QTest::addRow("ids not numbers") << QStringLiteral("<O><GroupItem Name=\"G\" Id=\"x1\"><Members><U Id=\"1.5\" Name=\"U\"/></Members>"
                                                           "<Childs><C Name=\"C\" Id=\"\"/></Childs></GroupItem></O>")
                                         << QStringLiteral("G") << 1 << 1;
        const QString deep = QStringLiteral("<O><GroupItem Name=\"G\" Id=\"1\">")
                             + nested(QStringLiteral("<Childs><C Name=\"C\" Id=\"2\">"), QStringLiteral("</C></Childs>"), 50000)
                             + QStringLiteral("</GroupItem></O>");
        QTest::addRow("nested 50000 deep") << deep << QString() << 0 << 0;
        const QString shallowEnough = QStringLiteral("<O><GroupItem Name=\"G\" Id=\"1\">")
                                      + nested(QStringLiteral("<Childs><C Name=\"C\" Id=\"2\">"), QStringLiteral("</C></Childs>"), 100)
                                      + QStringLiteral("</GroupItem></O>");
        QTest::addRow("nested 100 deep") << shallowEnough << QStringLiteral("G") << 100 << 0;
    }
    void hostileOrMalformed()
    {
        QFETCH(QString, xml);
        QFETCH(QString, rootName);
        QFETCH(int, groups);
        QFETCH(int, users);
        TOrgStructure org;
        org.ParseOrgStructure(xml);
        QCOMPARE(org.PRootOrg->Name, rootName);
        QCOMPARE(org.GroupsBelowRoot().size(), groups);
        QCOMPARE(org.AOwnerRegInfo.size(), users);
        if (users)
            QCOMPARE(org.AOwnerRegInfo.first().OwnerId, -1);
    }

    void elementCountIsBounded()
    {
        QString error;
        const QString xml = QStringLiteral("<a>") + QStringLiteral("<b/>").repeated(20) + QStringLiteral("</a>");
        QVERIFY(LoadBoundedXml(xml, &error, 8, 21));
        QVERIFY(!LoadBoundedXml(xml, &error, 8, 20));
        QVERIFY(error.contains(QStringLiteral("too many")));
    }
};

class FolderTreeTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void subFolderReply_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<int>("data");
        QTest::addColumn<int>("image");
        QTest::addRow("has children") << QStringLiteral("<F Id=\"12\" ChildNum=\"3\"><Path>Contracts</Path></F>") << QStringLiteral("Contracts") << 12 << 6;
        QTest::addRow("no children") << QStringLiteral("<F Id=\"13\" ChildNum=\"0\"><Path>2024</Path></F>") << QStringLiteral("2024") << 13 << 1;
        QTest::addRow("ChildNum missing") << QStringLiteral("<F Id=\"14\"><Path>a</Path></F>") << QStringLiteral("a") << 14 << 1;
        QTest::addRow("ChildNum not a number") << QStringLiteral("<F Id=\"15\" ChildNum=\"many\"><Path>b</Path></F>") << QStringLiteral("b") << 15 << 1;
        QTest::addRow("brackets and non-ASCII") << QStringLiteral("<F Id=\"16\" ChildNum=\"1\"><Path>[x] 合同 &amp; ]</Path></F>")
                                                << QStringLiteral("[x] 合同 & ]") << 16 << 6;
        QTest::addRow("id not a number") << QStringLiteral("<F Id=\"abc\"><Path>c</Path></F>") << QStringLiteral("c") << -1 << 1;
    }
    void subFolderReply()
    {
        QFETCH(QString, folder);
        QFETCH(QString, caption);
        QFETCH(int, data);
        QFETCH(int, image);
        const auto nodes = TShowFolder::ParseSubFolders(QStringLiteral("<Folders><F Id=\"1\"><Path>first</Path></F>") + folder
                                                        + QStringLiteral("</Folders>"));
        QCOMPARE(int(nodes.size()), 2);
        QCOMPARE(nodes[0].Caption, QStringLiteral("first"));
        QCOMPARE(nodes[1].Caption, caption);
        QCOMPARE(nodes[1].Data, data);
        QCOMPARE(nodes[1].Image, image);
    }

    void ownerFolderReplyNests()
    {
        const auto nodes = TShowFolder::ParseOwnerFolders(QStringLiteral(
            "<R><Item><Childs>"
            "<F Id=\"2\"><Path>A</Path><Childs><F Id=\"3\"><Path>A1</Path><Childs/></F></Childs></F>"
            "<F Id=\"4\"><Path>B</Path></F>"
            "</Childs></Item></R>"));
        QCOMPARE(int(nodes.size()), 2);
        QCOMPARE(nodes[0].Caption, QStringLiteral("A"));
        QCOMPARE(nodes[0].Image, 7);
        QCOMPARE(int(nodes[0].Childs.size()), 1);
        QCOMPARE(nodes[0].Childs[0].Data, 3);
        QCOMPARE(nodes[0].Childs[0].Image, 7);
        QCOMPARE(nodes[1].Data, 4);
        QVERIFY(TShowFolder::ParseOwnerFolders(QStringLiteral("<R><Item><Childs><F Id=\"2\"><Path>A")).empty());
        const QString deep = QStringLiteral("<R><Item><Childs>")
                             + nested(QStringLiteral("<F Id=\"2\"><Path>A</Path><Childs>"), QStringLiteral("</Childs></F>"), 40000)
                             + QStringLiteral("</Childs></Item></R>");
        QVERIFY(TShowFolder::ParseOwnerFolders(deep).empty());
    }

    // Which elements of an owner's folder reply count: the first "Item" of the
    // document element, its first "Childs", every element in it a folder with its
    // first "Path" (the text directly inside) and its first "Childs".
    void ownerFolderReplyPicks_data()
    {
        QTest::addColumn<QString>("xml");
        QTest::addColumn<QString>("folders");
        const QString head = QStringLiteral("<R><Item Id=\"1\"><Childs>");
        const QString tail = QStringLiteral("</Childs></Item></R>");
        QTest::addRow("any element name is a folder")
            << head + QStringLiteral("<F Id=\"2\"><Path>A</Path></F><Other Id=\"3\"><Path>B</Path></Other>") + tail
            << QStringLiteral("2:A 3:B");
        QTest::addRow("first Path and first Childs count")
            << head + QStringLiteral("<F Id=\"2\"><Childs><G Id=\"5\"><Path>C</Path></G></Childs><Path>A</Path><Path>X</Path>"
                                     "<Childs><G Id=\"6\"/></Childs></F>") + tail
            << QStringLiteral("2:A[5:C]");
        QTest::addRow("text pieces joined, inner elements and blanks left out")
            << head + QStringLiteral("<F Id=\"2\"><Path> R&amp;D<!--c-->合同<b>no</b> </Path></F>") + tail
            << QStringLiteral("2: R&D合同");
        QTest::addRow("no Path, id not a number")
            << head + QStringLiteral("<F Id=\"x\"/><F/>") + tail << QStringLiteral("-1: -1:");
        QTest::addRow("only the first Item and its first Childs")
            << QStringLiteral("<R><Other><Childs><F Id=\"9\"/></Childs></Other><Item><X><F Id=\"8\"/></X>"
                              "<Childs><F Id=\"2\"/></Childs><Childs><F Id=\"3\"/></Childs></Item>"
                              "<Item><Childs><F Id=\"4\"/></Childs></Item></R>")
            << QStringLiteral("2:");
        QTest::addRow("nothing to read") << QStringLiteral("<R/>") << QString();
        QTest::addRow("two documents") << QStringLiteral("<R/><R/>") << QString();
        QTest::addRow("empty") << QStringLiteral("  ") << QString();
    }
    void ownerFolderReplyPicks()
    {
        QFETCH(QString, xml);
        QFETCH(QString, folders);
        std::function<QString(const std::vector<TFolderNode> &)> show = [&show](const std::vector<TFolderNode> &nodes) {
            QStringList parts;
            for (const TFolderNode &n : nodes)
                parts << QString::number(n.Data) + u':' + n.Caption
                             + (n.Childs.empty() ? QString() : u'[' + show(n.Childs) + u']');
            return parts.join(u' ');
        };
        QCOMPARE(show(TShowFolder::ParseOwnerFolders(xml)), folders);
    }
};

class FileListTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void lines_data()
    {
        const qint64 ticks = DateTimeToTicks(QDateTimeToDateTime(QDateTime(QDate(2024, 3, 5), QTime(6, 7, 8))));
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QStringList>("rows");  // caption|icon|user|size|date|key|folder
        QTest::addRow("one-digit size") << QStringLiteral("7*%1*a.txt*detail*False*7\r\n").arg(ticks)
                                        << QStringList{QStringLiteral("a.txt|1|detail|1|2024-03-05 06:07:08|7|0")};
        QTest::addRow("sizes 0 and 1024") << QStringLiteral("1*0*z.docx**False*0\r\n2*0*k.xlsx**0*1024")
                                          << QStringList{QStringLiteral("z.docx|4||1|1899-12-30 00:00:00|1|0"),
                                                         QStringLiteral("k.xlsx|5||2|1899-12-30 00:00:00|2|0")};
        QTest::addRow("folders on top, last first")
            << QStringLiteral("5*0*f.pdf**False*1\n8*0*A**True*0\n9*0*B**1*0\n6*0*g.PDF**False*2048")
            << QStringList{QStringLiteral("B|63|||9|1"), QStringLiteral("A|63|||8|1"), QStringLiteral("f.pdf|10||1|1899-12-30 00:00:00|5|0"),
                           QStringLiteral("g.PDF|10||3|1899-12-30 00:00:00|6|0")};
        QTest::addRow("refusal text lists nothing") << QStringLiteral("no power") << QStringList{};
        QTest::addRow("short line ends the list") << QStringLiteral("1*0*a.txt**False*1\nbroken\n2*0*b.txt**False*1")
                                                  << QStringList{QStringLiteral("a.txt|1||1|1899-12-30 00:00:00|1|0")};
        QTest::addRow("bare CR ends a line") << QStringLiteral("1*0*a.txt**False*1\r2*0*b.txt**False*2\r8*0*F**True*0\r")
                                             << QStringList{QStringLiteral("F|63|||8|1"), QStringLiteral("a.txt|1||1|1899-12-30 00:00:00|1|0"),
                                                            QStringLiteral("b.txt|1||1|1899-12-30 00:00:00|2|0")};
        QTest::addRow("CR LF, LF and CR mixed") << QStringLiteral("1*0*a.txt**False*1\r\n2*0*b.txt**False*2\n3*0*c.txt**False*3\r4*0*d.txt**False*4")
                                                << QStringList{QStringLiteral("a.txt|1||1|1899-12-30 00:00:00|1|0"),
                                                               QStringLiteral("b.txt|1||1|1899-12-30 00:00:00|2|0"),
                                                               QStringLiteral("c.txt|1||1|1899-12-30 00:00:00|3|0"),
                                                               QStringLiteral("d.txt|1||1|1899-12-30 00:00:00|4|0")};
        QTest::addRow("missing fields count as empty") << QStringLiteral("x*y") << QStringList{QStringLiteral("|0||1|1899-12-30 00:00:00|0|0")};
        QTest::addRow("blank lines and blanks trimmed") << QStringLiteral("\r\n\r\n 3 * 0 * [a] 文件.html * * false * 9x \r\n")
                                                        << QStringList{QStringLiteral("[a] 文件.html|2||1|1899-12-30 00:00:00|3|0")};
    }
    void lines()
    {
        QFETCH(QString, reply);
        QFETCH(QStringList, rows);
        QStringList got;
        for (const TFileRow &r : ParseFolderListLines(reply)) {
            got << (r.IsFolder ? QStringLiteral("%1|%2|||%3|1").arg(r.Caption).arg(r.Icon).arg(r.Key)
                               : QStringLiteral("%1|%2|%3|%4|%5|%6|0").arg(r.Caption).arg(r.Icon).arg(r.CheckOutUser, r.SizeText, r.DateText).arg(r.Key));
        }
        QCOMPARE(got, rows);
    }

    void iconClasses_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("icon");
        QTest::addRow("html") << QStringLiteral("a.html") << 2;
        QTest::addRow("shtml through shtm") << QStringLiteral("a.shtml") << 2;
        QTest::addRow("upper case") << QStringLiteral("A.DOCX") << 4;
        QTest::addRow("jpeg") << QStringLiteral("p.jpeg") << 29;
        QTest::addRow("rmvb") << QStringLiteral("v.rmvb") << 57;
        QTest::addRow("no extension") << QStringLiteral("Makefile") << 0;
        QTest::addRow("unknown") << QStringLiteral("x.qqq") << 0;
    }
    void iconClasses()
    {
        QFETCH(QString, name);
        QFETCH(int, icon);
        QCOMPARE(FileIconClass(name), icon);
    }

    void folderFilesXml()
    {
        const auto files = ParseFolderFilesXml(QStringLiteral(
            "<Files><File Id=\"77\" Size=\"5000\" DT=\"2024-01-02 03:04:05\" Kind=\"7633012\">/Contracts/2024/a [1].txt</File>"
            "<File Id=\"x\" Size=\"big\" DT=\"never\" Kind=\"42\">b\\c.doc</File><File>plain</File></Files>"));
        QCOMPARE(int(files.size()), 3);
        QCOMPARE(files[0].SourcePath, QStringLiteral("/Contracts/2024/"));
        QCOMPARE(files[0].Name, QStringLiteral("a [1].txt"));
        QCOMPARE(files[0].Id, qint64(77));
        QCOMPARE(files[0].Icon, 2);
        QCOMPARE(FormatWireDateTime(files[0].ModifyDT), QStringLiteral("2024-01-02 03:04:05"));
        QCOMPARE(files[1].SourcePath, QStringLiteral("b\\"));
        QCOMPARE(files[1].Size, qint64(0));
        QCOMPARE(files[1].Icon, 26);  // "every type" has no icon of its own
        QVERIFY(qAbs(files[1].ModifyDT - NowDateTime()) < 0.01);
        QCOMPARE(files[2].Name, QStringLiteral("plain"));
        QCOMPARE(files[2].SourcePath, QString());
    }

    // Long replies reach the XML reader in pieces: a name cut by a piece's end, at a
    // blank or inside a surrogate pair, must come out whole.
    void namesAcrossReaderPieces()
    {
        const QString name = QStringLiteral("a b \U0001F600 c.txt");
        for (int shift = 0; shift < name.size() + 2; ++shift) {
            const QString head = QStringLiteral("<Files><File Id=\"1\">");
            const QString pad = QStringLiteral("<P/>").repeated((32 * 1024 - head.size() - name.size()) / 4);
            const QString xml = QStringLiteral("<Files>") + pad + QString(shift, u' ') + QStringLiteral("<File Id=\"1\">") + name
                                + QStringLiteral("</File></Files>");
            const auto files = ParseFolderFilesXml(xml);
            QCOMPARE(int(files.size()), 1 + pad.size() / 4);
            QCOMPARE(files.back().Name, name);
        }
    }
};

int runDirectoryTests(int argc, char **argv)
{
    return runTests<OrgStructureTest, FolderTreeTest, FileListTest>(argc, argv);
}

#include "tst_directory.moc"
