// Pictures of the version-control windows: the check-out window, the status
// monitor after a check-out and a check-in, the comparison with every colour,
// the newest-version window and the work-path dialog.
#include "app/arvoclientfrm.h"
#include "core/clientconfigx.h"
#include "core/wiredate.h"
#include "files/filemagfrm.h"
#include "model/serverconn.h"
#include "net/robottcpclient.h"
#include "files/transfer.h"
#include "versions/getnewverfrm.h"
#include "versions/hintfrmxe.h"
#include "versions/setcheckoutpathfrm.h"
#include "versions/showdifffrm.h"
#include "versions/versioncontrolfrm.h"
#include "versions/versionwindows.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <functional>

namespace {

void stamp(const QString &path, const QDateTime &time)
{
    QFile f(path);
    if (f.open(QIODevice::ReadWrite))
        f.setFileTime(time, QFileDevice::FileModificationTime);
}

void write(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
}

}  // namespace

void shootVersions(TARVOClientFrm &w, TClientConfigX &store, bool chinese,
                   const std::function<void(QWidget *, const QString &)> &shoot,
                   const std::function<void(const std::function<bool()> &, const char *, int)> &need,
                   const std::function<void(const QString &owner, const QStringList &path)> &openFolder,
                   const std::function<qint64(const QString &name)> &keyOf, const QString &local)
{
    Q_UNUSED(chinese);
    TVersionWindows *vw = w.VersionWindows();
    vw->FOpen = [](const QString &, QString *) { return true; };
    TFileMagFrm *fm = w.FileMagFrm();
    openFolder(QStringLiteral("R&D"), {QStringLiteral("Contracts"), QStringLiteral("2024")});
    const qint32 owner = fm->FGroupId;
    const qint64 folder = fm->FFolderId;
    const QString work = local + QStringLiteral("/checkouts/");
    QDir().mkpath(work);
    const TServerConn conn = TServerConn::FromConfig(store);

    // Check out one file: the window, then the monitor.
    const QString signedName = QStringLiteral("Signed contract.pdf");
    const qint64 signedKey = keyOf(signedName);
    vw->CheckOut({QString::number(signedKey)}, {signedName});
    TVersionControlFrm *frm = vw->LastVersionControlFrm;
    need([frm] { return frm && frm->isVisible() && !frm->Edit1->text().isEmpty(); }, "check-out window", 20000);
    QTest::qWait(300);
    frm->SetCheckoutPath(work);
    frm->CheckBox1->setChecked(false);
    shoot(frm, QStringLiteral("checkout"));
    const int before = vw->Monitor()->RowCount();
    QTest::mouseClick(frm->btConfirm, Qt::LeftButton);
    need([vw, before] { return vw->Monitor()->RowCount() > before; }, "check-out line", 20000);

    // Change the copy and check it in: the monitor keeps both lines.
    const QString copy = work + signedName;
    {
        QFile f(copy);
        if (f.open(QIODevice::Append))
            f.write("\n% signed again\n");
    }
    stamp(copy, QDateTime::currentDateTime().addSecs(30));
    vw->CheckIn({QString::number(signedKey)}, {signedName});
    need([vw, before] { return vw->Monitor()->RowCount() > before + 1; }, "check-in line", 20000);
    vw->Monitor()->resize(640, 260);
    shoot(vw->Monitor(), QStringLiteral("versionmonitor"));
    vw->Monitor()->hide();

    // The comparison with every colour: same, server newer, local newer, local only, server only.
    const QString cmp = local + QStringLiteral("/compare/");
    QDir().mkpath(cmp);
    auto client = conn.MakeClient();
    const QString price = QStringLiteral("Price list.xlsx"), supply = QStringLiteral("Supply agreement.docx");
    client->DownloadFile(cmp + price, QStringLiteral("[IsReplace]True[/IsReplace]"), keyOf(price));
    client->DownloadFile(cmp + supply, QStringLiteral("[IsReplace]True[/IsReplace]"), keyOf(supply));
    stamp(cmp + supply, client->GetLastModifyTime(keyOf(supply)).addDays(-3));
    write(cmp + signedName, "local edits");
    stamp(cmp + signedName, QDateTime::currentDateTime().addSecs(3600));
    write(cmp + QStringLiteral("Meeting minutes.txt"), "only here");
    const QString budget = local + QStringLiteral("/Budget 2024.xlsx");
    write(budget, "server only");
    qint64 newKey = 0;
    client->UploadFile(owner, QString(), newKey, DescribeLocalFile(budget), folder);

    vw->ShowDiff(owner, folder);
    TShowDiffFrm *diff = vw->LastDiffFrm;
    need([diff] { return diff && !diff->edLocalPath->text().isEmpty(); }, "comparison paths", 20000);
    diff->edLocalPath->setText(cmp);
    shoot(diff, QStringLiteral("showdiff-path"));
    diff->Confirm();
    need([diff] { return diff->lvServer->topLevelItemCount() >= 5; }, "comparison rows", 20000);
    QTest::qWait(200);
    shoot(diff, QStringLiteral("showdiff"));
    diff->close();

    // Newest versions of the folder tree of "Contracts".
    openFolder(QStringLiteral("R&D"), {QStringLiteral("Contracts")});
    vw->FetchNewest(fm->FGroupId, fm->FFolderId, nullptr);
    TGetNewVerFrm *nv = vw->LastNewVerFrm;
    need([nv] { return nv && nv->isVisible() && !nv->edPath->text().isEmpty(); }, "newest-version window", 20000);
    QTest::qWait(300);
    nv->chbIncludeSub->setChecked(true);
    shoot(nv, QStringLiteral("getnewver"));
    const int webRows = vw->WebMonitor()->RowCount();
    nv->FAskReplace = [](const QString &) { return TReplaceAnswer::Ok; };
    QTest::mouseClick(nv->btConfirm, Qt::LeftButton);
    need([vw, webRows] { return vw->WebMonitor()->RowCount() > webRows + 2; }, "newest-version lines", 30000);
    need([vw] { return vw->LastNewVerFrm.isNull(); }, "newest-version run", 30000);
    vw->WebMonitor()->resize(720, 300);
    shoot(vw->WebMonitor(), QStringLiteral("getnewver-monitor"));
    vw->WebMonitor()->hide();

    TGetNewVerHintFrm question(store.Language());
    question.SetFileName(cmp + signedName);
    question.show();
    need([&question] { return question.isVisible(); }, "replace question", 5000);
    shoot(&question, QStringLiteral("getnewver-question"));
    question.hide();

    vw->ChooseWorkPath(fm->FFolderId, nullptr);
    TSetCheckOutPathFrm *wp = vw->LastWorkPathFrm;
    need([wp] { return wp && wp->isVisible() && !wp->edPath->text().isEmpty(); }, "work-path dialog", 20000);
    shoot(wp, QStringLiteral("workpath"));
    wp->reject();
}
