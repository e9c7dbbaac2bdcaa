// Pictures of the settings dialogs, the pickers and the file manager's delete,
// folder-name and property dialogs, each filled as a user would see it.
#include "app/arvoclientfrm.h"
#include "app/settingsfrms.h"
#include "core/clientconfigx.h"
#include "files/filedelfrm.h"
#include "files/filemagfrm.h"
#include "files/getpathfrm.h"
#include "files/selectfolderfrm.h"
#include "files/selectownerfrm.h"
#include "files/setfiletypefrm.h"
#include "files/setfoldrnamefrm.h"
#include "files/tsetfilepropertyfrm.h"
#include "model/serverconn.h"
#include "core/fileext.h"
#include "net/robottcpclient.h"
#include "platform/embeddedbrowser.h"

#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTcpServer>
#include <QTreeWidget>
#include <QtTest>

#include <cstdio>
#include <functional>

using ShootFn = std::function<void(QWidget *, const QString &)>;
using NeedFn = std::function<void(const std::function<bool()> &, const char *, int)>;

namespace {
QTreeWidgetItem *node(QTreeWidget *tree, const QString &caption)
{
    const QList<QTreeWidgetItem *> items = tree->findItems(caption, Qt::MatchStartsWith | Qt::MatchRecursive);
    return items.isEmpty() ? nullptr : items.first();
}

// A dialog shown beside the main window, as its menu would open it.
void showOver(QWidget *main, QWidget *dialog)
{
    dialog->show();
    dialog->move(main->geometry().center() - QPoint(dialog->width() / 2, dialog->height() / 2));
    if (!QTest::qWaitForWindowExposed(dialog))
        std::fprintf(stderr, "window not exposed: %s\n", dialog->metaObject()->className());
}
} // namespace

void shootFileDialogs(TARVOClientFrm &w, TClientConfigX &store, bool chinese, const ShootFn &shoot, const NeedFn &need,
                      const std::function<void(const QString &owner, const QStringList &path)> &openFolder,
                      const QString &local)
{
    const TServerConn conn = TServerConn::FromConfig(store);

    {
        TSetServerHostFrm frm(store, &w);
        showOver(&w, &frm);
        shoot(&frm, QStringLiteral("settings-server"));
    }
    {
        TWorkPathFrm frm(store, &w);
        showOver(&w, &frm);
        shoot(&frm, QStringLiteral("settings-workfolder"));
    }
    {
        TUpdateUserPasswordFrm frm(store, &w);
        frm.edtOldPs->setText(QStringLiteral("demo"));
        frm.edtNewPs->setText(QStringLiteral("n3w-secret"));
        showOver(&w, &frm);
        shoot(&frm, QStringLiteral("settings-password"));
    }
    {
        TSelectOwnerFrm frm(conn, &w);
        bool loaded = false;
        QObject::connect(&frm, &TSelectOwnerFrm::orgLoaded, &frm, [&loaded] { loaded = true; });
        frm.GetOrgStructure(TS_Download);
        need([&loaded] { return loaded; }, "owner picker's organisation", 20000);
        QTreeWidgetItem *members = nullptr;
        if (QTreeWidgetItem *rnd = node(frm.tvOwners, QStringLiteral("R&D"))) {
            rnd->setExpanded(true);
            members = rnd->child(rnd->childCount() - 1);
            members->setExpanded(true);
        }
        if (members && members->childCount() > 0)
            frm.tvOwners->setCurrentItem(members->child(0));
        showOver(&w, &frm);
        shoot(&frm, QStringLiteral("picker-owner"));
    }
    {
        TSelectFolderFrm frm(conn, &w);
        TSelectOwnerFrm owners(conn);
        bool loaded = false;
        QObject::connect(&owners, &TSelectOwnerFrm::orgLoaded, &owners, [&loaded] { loaded = true; });
        owners.GetOrgStructure(TS_Default);
        need([&loaded] { return loaded; }, "organisation for the folder picker", 20000);
        QTreeWidgetItem *rnd = node(owners.tvOwners, QStringLiteral("R&D"));
        frm.GetFrame(rnd ? rnd->data(0, TSelectOwnerFrm::DataRole).toInt() : 0);
        need([&frm] { return node(frm.tvFolders, QStringLiteral("Contracts")) != nullptr; }, "top folders", 20000);
        frm.tvFolders->setCurrentItem(node(frm.tvFolders, QStringLiteral("Contracts")));
        need([&frm] { return node(frm.tvFolders, QStringLiteral("2024")) != nullptr; }, "sub-folders", 20000);
        frm.tvFolders->setCurrentItem(node(frm.tvFolders, QStringLiteral("2024")));
        showOver(&w, &frm);
        shoot(&frm, QStringLiteral("picker-serverfolder"));
    }
    {
        QDir().mkpath(local + QStringLiteral("/Projects/Bridge"));
        TGetPathFrm frm(&w, chinese ? HSL_CN : HSL_ENG);
        frm.SetSelectedPath(local + QStringLiteral("/Projects"));
        showOver(&w, &frm);
        QTest::qWait(300);   // the file system model lists the folders on its own thread
        shoot(&frm, QStringLiteral("picker-localfolder"));
    }
    {
        TSetFileTypeFrm frm(&w, chinese ? HSL_CN : HSL_ENG);
        frm.SetFileTypes({ExtCode(QStringLiteral("docx")), ExtCode(QStringLiteral("pdf")), ExtCode(QStringLiteral("dwg"))});
        showOver(&w, &frm);
        shoot(&frm, QStringLiteral("picker-filetypes"));
    }
    {
        TSetFoldrNameFrm frm(chinese ? HSL_CN : HSL_ENG, &w);
        frm.edtFolderName->setText(chinese ? QStringLiteral("二〇二五年计划") : QStringLiteral("Plans 2025"));
        showOver(&w, &frm);
        shoot(&frm, QStringLiteral("foldername"));
    }

    // Two folders made for the purpose go; a row the server no longer knows is refused.
    TFileMagFrm *fm = w.FileMagFrm();
    openFolder(QStringLiteral("Demo User"), {QStringLiteral("Personal")});
    {
        auto client = conn.MakeClient();
        const qint64 personal = fm->FFolderId;
        for (const char *name : {"Old drafts", "Scratch"}) {
            qint64 id = 0;
            client->CreateFolder(fm->FGroupId, personal, id, QString::fromLatin1(name));
        }
    }
    // Opened again, the list shows the two new folders.
    openFolder(QStringLiteral("Demo User"), {QStringLiteral("Personal")});
    TFileRow gone;
    gone.Caption = QStringLiteral("Minutes 2019.docx");
    gone.Key = 99999999;
    fm->Model().AddRow(gone);
    for (int i = 0; i < fm->Model().rowCount(); ++i) {
        const QString c = fm->Model().Row(i).Caption;
        fm->Model().SetChecked(i, c == QLatin1String("Old drafts") || c == QLatin1String("Scratch") || c == gone.Caption);
    }
    fm->Delete();
    QPointer<TFileDelFrm> del = fm->LastDeleteFrm();
    need([&del] { return del && !del->Deleter().Running(); }, "delete log", 20000);
    shoot(del, QStringLiteral("delete"));
    del->close();

    // The server's property page in the embedded browser, filled with values.
    {
        TTSetFilePropertyFrm frm(chinese ? HSL_CN : HSL_ENG, &w, &EmbeddedBrowser::Create);
        frm.URL = TTSetFilePropertyFrm::PageUrl(store.ServerBaseUrl());
        frm.LoadParam = true;
        frm.PrtParams = QStringLiteral("[proid]1,2,3,4,5,6[/proid][1]Bridge A[/1][2]12[/2][3]2025-03-01[/3][4]R&D[/4]"
                                       "[5]Review[/5][6]Internal,Customer[/6]");
        bool ready = false;
        QObject::connect(&frm, &TTSetFilePropertyFrm::pageReady, &frm, [&ready] { ready = true; });
        showOver(&w, &frm);
        if (frm.WebBrowser1) {
            need([&ready] { return ready; }, "property page", 60000);
            QTest::qWait(800);   // the first frame comes after the page reports done
        }
        shoot(&frm, QStringLiteral("file-properties"));
    }
    // The same page from a server that does not answer: the window says so.
    if (EmbeddedBrowser::UnavailableReason(chinese).isEmpty()) {
        QTcpServer closed;
        closed.listen(QHostAddress::LocalHost);
        const quint16 port = closed.serverPort();
        closed.close();
        TTSetFilePropertyFrm frm(chinese ? HSL_CN : HSL_ENG, &w, &EmbeddedBrowser::Create);
        frm.URL = TTSetFilePropertyFrm::PageUrl(QStringLiteral("http://127.0.0.1:%1").arg(port));
        bool ready = false;
        QObject::connect(&frm, &TTSetFilePropertyFrm::pageReady, &frm, [&ready] { ready = true; });
        showOver(&w, &frm);
        need([&ready] { return ready; }, "property page failure", 60000);
        QTest::qWait(800);
        shoot(&frm, QStringLiteral("file-properties-unreachable"));
    }
    // The pictures after these start where the main window's picture stood.
    openFolder(QStringLiteral("R&D"), {QStringLiteral("Contracts"), QStringLiteral("2024")});
}
