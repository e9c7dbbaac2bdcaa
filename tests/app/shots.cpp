// Screenshots of the client's windows in one language, against a running
// reference server with the demo seed: zudivuvo-shots en|zh PORT OUTDIR.
// scripts/screenshots.sh starts the server, a virtual display and a home of
// its own, then runs this once per language.
#include "app/arvoclientfrm.h"
#include "app/loginfrm.h"
#include "app/netsessionbackend.h"
#include "app/noticefrms.h"
#include "app/startup.h"
#include "batchui/batchdownloadfrm.h"
#include "batchui/batchfiledealmainfrm.h"
#include "batchui/taskaddfrm.h"
#include "core/clientconfigx.h"
#include "core/workpools.h"
#include "files/filedownloadfrm.h"
#include "files/filemagfrm.h"
#include "files/fileuploadfrm.h"
#include "platform/prompter.h"
#include "platform/embeddedbrowser.h"
#include "web/previewhint.h"

#include <QApplication>
#include <QCheckBox>
#include <QTableWidget>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>
#include <functional>
#include <utility>

// shots_versions.cpp
void shootVersions(TARVOClientFrm &w, TClientConfigX &store, bool chinese,
                   const std::function<void(QWidget *, const QString &)> &shoot,
                   const std::function<void(const std::function<bool()> &, const char *, int)> &need,
                   const std::function<void(const QString &owner, const QStringList &path)> &openFolder,
                   const std::function<qint64(const QString &name)> &keyOf, const QString &local);

// shots_capture.cpp
void shootCapture(TARVOClientFrm &w, bool chinese, const std::function<void(QWidget *, const QString &)> &shoot,
                  const std::function<void(const std::function<bool()> &, const char *, int)> &need);

// shots_files.cpp
void shootFileDialogs(TARVOClientFrm &w, TClientConfigX &store, bool chinese,
                      const std::function<void(QWidget *, const QString &)> &shoot,
                      const std::function<void(const std::function<bool()> &, const char *, int)> &need,
                      const std::function<void(const QString &owner, const QStringList &path)> &openFolder,
                      const QString &local);

// shots_edit.cpp
void shootEditing(TARVOClientFrm &w, bool chinese, const std::function<void(QWidget *, const QString &)> &shoot,
                  const std::function<void(const std::function<bool()> &, const char *, int)> &need,
                  const QString &outDir, const QString &lang,
                  const std::function<qint64(const QString &owner, const QStringList &path, const QString &name)> &keyOf);

// shots_files.cpp
void shootFileDialogs(TARVOClientFrm &w, TClientConfigX &store, bool chinese,
                      const std::function<void(QWidget *, const QString &)> &shoot,
                      const std::function<void(const std::function<bool()> &, const char *, int)> &need,
                      const std::function<void(const QString &owner, const QStringList &path)> &openFolder,
                      const QString &local);

// shots_versions.cpp
void shootVersions(TARVOClientFrm &w, TClientConfigX &store, bool chinese,
                   const std::function<void(QWidget *, const QString &)> &shoot,
                   const std::function<void(const std::function<bool()> &, const char *, int)> &need,
                   const std::function<void(const QString &owner, const QStringList &path)> &openFolder,
                   const std::function<qint64(const QString &name)> &keyOf, const QString &local);

// shots_capture.cpp
void shootCapture(TARVOClientFrm &w, bool chinese, const std::function<void(QWidget *, const QString &)> &shoot,
                  const std::function<void(const std::function<bool()> &, const char *, int)> &need);

// shots_preview.cpp
void shootPreview(TARVOClientFrm &w, bool chinese, const std::function<void(QWidget *, const QString &)> &shoot,
                  const std::function<void(const std::function<bool()> &, const char *, int)> &need,
                  const std::function<qint64(const QString &owner, const QStringList &path, const QString &name)> &keyOf);

namespace {
QString g_outDir;
QString g_lang;
QString g_boxShot;   // the next box is shot with its window under this name
QWidget *g_main = nullptr;

[[noreturn]] void fail(const char *what);

// A box over its window, in one picture, as a user sees both.
void shootBox(QWidget *parent, QMessageBox::Icon icon, const QString &caption, const QString &text)
{
    const QString name = std::exchange(g_boxShot, QString());
    QMessageBox box(icon, caption, text, QMessageBox::Ok, parent);
    box.show();
    if (!QTest::qWaitForWindowExposed(&box))
        fail("message box not shown");
    QCoreApplication::processEvents();
    // Drawn together from their own pictures: the stacking of windows on a
    // display without a window manager is no part of what is shown.
    QWidget *window = parent->window();
    const QRect area = window->geometry().united(box.geometry()).adjusted(-8, -8, 8, 8);
    QPixmap shot(area.size());
    shot.fill(Qt::darkGray);
    {
        QPainter p(&shot);
        p.drawPixmap(window->geometry().topLeft() - area.topLeft(), window->grab());
        p.drawPixmap(box.geometry().topLeft() - area.topLeft(), box.grab());
    }
    const QString file = g_outDir + u'/' + name + u'-' + g_lang + QStringLiteral(".png");
    if (!shot.save(file))
        fail("cannot write a picture");
    std::fprintf(stderr, "%s (%dx%d, with its box)\n", qPrintable(file), shot.width(), shot.height());
}

// Message boxes would stop the run: their texts go to the log instead, and
// the one asked for is shown long enough for a picture.
struct LoggingPrompter : TPrompter {
    void Info(QWidget *parent, const QString &caption, const QString &text) override
    {
        say("info", text);
        if (!g_boxShot.isEmpty() && parent)
            shootBox(parent, QMessageBox::Information, caption, text);
    }
    void Error(QWidget *parent, const QString &caption, const QString &text) override
    {
        say("error", text);
        if (!g_boxShot.isEmpty() && parent)
            shootBox(parent, QMessageBox::Critical, caption, text);
    }
    bool Ask(QWidget *, const QString &, const QString &text) override
    {
        say("asked", text);
        return true;
    }
    static void say(const char *kind, const QString &text)
    {
        std::fprintf(stderr, "  %s: %s\n", kind, qPrintable(text));
    }
};

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "zudivuvo-shots (%s): %s\n", qPrintable(g_lang), what);
    std::fflush(stderr);
    std::_Exit(1);
}

void need(const std::function<bool()> &condition, const char *what, int ms = 20000)
{
    if (!QTest::qWaitFor(condition, ms))
        fail(what);
}

void shoot(QWidget *w, const QString &window)
{
    // Layout and pending paints first, so the picture is what a user sees.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QCoreApplication::processEvents();
    const QString file = g_outDir + u'/' + window + u'-' + g_lang + QStringLiteral(".png");
    if (!w->grab().save(file))
        fail("cannot write a picture");
    // Where a dialog stands against the main window's centre: 0,0 is centred.
    const QPoint off = g_main && w != g_main ? w->geometry().center() - g_main->geometry().center() : QPoint();
    std::fprintf(stderr, "%s (%dx%d, centre offset %d,%d)\n", qPrintable(file), w->width(), w->height(), off.x(),
                 off.y());
}

QTreeWidgetItem *findNode(QTreeWidget *tree, const QString &caption)
{
    const QList<QTreeWidgetItem *> items = tree->findItems(caption, Qt::MatchExactly | Qt::MatchRecursive);
    return items.isEmpty() ? nullptr : items.first();
}

int rowOf(TFileMagFrm *fm, const QString &caption)
{
    for (int i = 0; i < fm->Model().rowCount(); ++i)
        if (fm->Model().Row(i).Caption == caption)
            return i;
    return -1;
}

void openFolder(TFileMagFrm *fm, const QString &owner, const QStringList &path)
{
    QTreeWidgetItem *org = findNode(fm->tvOrg, owner);
    if (!org)
        fail("owner not in the organisation tree");
    bool folders = false;
    const auto c = QObject::connect(fm, &TFileMagFrm::foldersLoaded, fm, [&folders] { folders = true; });
    Q_EMIT fm->tvOrg->itemClicked(org, 0);
    need([&] { return folders; }, "folders of the owner");
    for (const QString &name : path) {
        QTreeWidgetItem *node = findNode(fm->tvFolder, name);
        if (!node)
            fail("folder not in the tree");
        bool listed = false;
        const auto l = QObject::connect(fm, &TFileMagFrm::listLoaded, fm, [&listed] { listed = true; });
        fm->tvFolder->setCurrentItem(node);
        need([&] { return listed; }, "file list");
        QObject::disconnect(l);
    }
    QObject::disconnect(c);
}

void writeFile(const QString &path, qint64 bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        fail("cannot write a local file");
    const QByteArray block(1 << 20, 'z');
    for (qint64 left = bytes; left > 0; left -= block.size())
        f.write(block.constData(), qMin<qint64>(left, block.size()));
}

// Grabs the window once, at the first block that leaves work to do.
void shootWhileRunning(TTransferBase *ctrl, QWidget *window, const QString &name, bool *shot)
{
    QObject::connect(ctrl, &TTransferBase::progress, window, [=](qint64 all, qint64 done) {
        if (!*shot && done > 0 && done < all) {
            *shot = true;
            shoot(window, name);
        }
    });
}

void uploads(TFileMagFrm *fm, const QString &local)
{
    fm->Upload();
    QPointer<TFileUploadFrm> up = fm->LastUploadFrm();
    if (!up)
        fail("no upload window");
    need([&] { return up->isVisible(); }, "upload window shown");
    shoot(up, QStringLiteral("upload-idle"));

    const QString big = local + QStringLiteral("/Site survey.bin");
    writeFile(big, 96ll << 20);
    bool shot = false, done = false, stored = false;
    shootWhileRunning(&up->Controller(), up, QStringLiteral("upload-running"), &shot);
    QObject::connect(&up->Controller(), &TUploadController::singleFinished, up, [&](bool ok) {
        done = true;
        stored = ok;
    });
    g_boxShot = QStringLiteral("upload-finished");
    up->edPath->setText(QDir::toNativeSeparators(big));   // as the Select button leaves it
    QTest::mouseClick(up->btnUpload, Qt::LeftButton);
    need([&] { return done; }, "upload finished", 120000);
    if (!shot || !stored || !g_boxShot.isEmpty())
        fail("upload did not run through");
    up->close();
    need([&] { return !up; }, "upload window gone");

    fm->Upload();
    up = fm->LastUploadFrm();
    need([&] { return up && up->isVisible(); }, "second upload window");
    const QString small = local + QStringLiteral("/Notes.txt");
    writeFile(small, 2048);
    up->Controller().FFolderId = 987654;   // a folder the server does not have: refused
    done = false;
    QObject::connect(&up->Controller(), &TUploadController::singleFinished, up, [&](bool ok) {
        done = true;
        stored = ok;
    });
    g_boxShot = QStringLiteral("upload-failed");
    up->edPath->setText(QDir::toNativeSeparators(small));   // as the Select button leaves it
    QTest::mouseClick(up->btnUpload, Qt::LeftButton);
    need([&] { return done; }, "refused upload");
    if (stored || !g_boxShot.isEmpty())
        fail("the refused upload was stored or said nothing");
    up->close();
    need([&] { return !up; }, "failed upload window gone");
}

QPointer<TFileDownloadFrm> openDownload(TFileMagFrm *fm, const QStringList &names)
{
    fm->Model().SetAllChecked(false);
    for (const QString &n : names) {
        const int row = rowOf(fm, n);
        if (row < 0)
            fail("file not in the list");
        fm->Model().SetChecked(row, true);
    }
    fm->Download();
    QPointer<TFileDownloadFrm> down = fm->LastDownloadFrm();
    if (!down)
        fail("no download window");
    down->FOpenUrl = [](const QUrl &) { return true; };
    need([&] { return down->isVisible() && !down->edPath->text().isEmpty(); }, "download window with its path");
    return down;
}

void downloads(TFileMagFrm *fm, const QString &local)
{
    QPointer<TFileDownloadFrm> down = openDownload(fm, {QStringLiteral("Supply agreement.docx"),
                                                        QStringLiteral("Signed contract.pdf"),
                                                        QStringLiteral("Site survey.bin")});
    shoot(down, QStringLiteral("download-idle"));
    down->edPath->setText(local + QStringLiteral("/Downloads"));
    bool shot = false;
    int failures = -1;
    shootWhileRunning(&down->Controller(), down, QStringLiteral("download-running"), &shot);
    QObject::connect(&down->Controller(), &TDownloadController::allDone, down, [&](int f) { failures = f; });
    QTest::mouseClick(down->btnDownload, Qt::LeftButton);
    need([&] { return failures >= 0; }, "download finished", 120000);
    if (!shot || failures != 0)
        fail("download did not run through");
    shoot(down, QStringLiteral("download-finished"));
    down->close();
    need([&] { return !down; }, "download window gone");

    down = openDownload(fm, {QStringLiteral("Supply agreement.docx"), QStringLiteral("Signed contract.pdf")});
    // A file the server does not know, between the two: one line fails.
    TSelectedInfos files = down->Controller().FSelectedInfo;
    files.insert(1, TSelectedInfo{99999999, QStringLiteral("Old price list.xlsx"), 1, false});
    down->Controller().FSelectedInfo = files;
    down->edPath->setText(local + QStringLiteral("/Again"));
    failures = -1;
    QObject::connect(&down->Controller(), &TDownloadController::allDone, down, [&](int f) { failures = f; });
    QTest::mouseClick(down->btnDownload, Qt::LeftButton);
    need([&] { return failures >= 0; }, "failed download finished");
    if (failures != 1)
        fail("the unknown file did not fail");
    shoot(down, QStringLiteral("download-failed"));
    down->close();
    need([&] { return !down; }, "failed download window gone");
}
// A periodic task waiting for its time, then the task editor on the file
// manager's bulk upload, then the task manager with that task running.
void batchTasks(TARVOClientFrm &w, TFileMagFrm *fm, const QString &local)
{
    TBatchFileDealMainFrm *batch = w.BatchFrm();
    TBatchTransport waiting;
    NewBatchTransport(waiting);
    waiting.TranStyle = TS_Upload;
    waiting.FF = FF_Folder;
    waiting.SourceFolderName = local + QStringLiteral("/Bulk/");
    waiting.DestOwnerId = fm->FGroupId;
    waiting.DestFolderId = fm->FFolderId;
    waiting.DestFolderName = QStringLiteral("2024");
    waiting.TaskCyc = 24;
    waiting.TaskStartTime = 0.99998;   // due just before midnight
    waiting.St = BTS_Init;
    batch->Manager().AppendTask(waiting);
    need([&] {
        TBatchTaskRow row;
        return batch->Manager().Row(waiting.Id, row) && row.Task.St == BTS_Waiting;
    }, "a periodic task waiting");

    const QString source = local + QStringLiteral("/Survey");
    // Below the server's size limit each, long enough together to be seen half way.
    for (int i = 1; i <= 6; ++i)
        writeFile(source + QStringLiteral("/Site plan %1.bin").arg(i), 80ll << 20);
    writeFile(source + QStringLiteral("/Readme.txt"), 4096);
    bool shot = false;
    QObject::connect(&batch->Manager(), &TBatchTaskManager::taskChanged, &w, [&, batch](int id) {
        TBatchTaskRow row;
        if (shot || id == waiting.Id || !batch->Manager().Row(id, row) || !row.HasWorker)
            return;
        if (row.Progress.Scale < 0.02 || row.Progress.Scale > 0.98)
            return;
        shot = true;
        batch->SelectTask(id);
        // The message poll's notice would cover the details.
        for (QWidget *notice : w.findChildren<TMessageNoticeFrm *>())
            notice->hide();
        shoot(&w, QStringLiteral("taskmanager"));
    });
    bool edited = false;
    batch->FRunEditor = [&](TTaskAddFrm &editor) {
        editor.Pickers.PickLocalFolder = [&](QWidget *, const QString &, const QString &, QString &path) {
            path = source;
            return true;
        };
        editor.show();
        if (!QTest::qWaitForWindowExposed(&editor))
            fail("task editor not shown");
        QTest::mouseClick(editor.BitBtn2, Qt::LeftButton);
        editor.cbkIncludeRoot->setChecked(true);
        shoot(&editor, QStringLiteral("taskeditor"));
        QTest::mouseClick(editor.BitBtn4, Qt::LeftButton);
        edited = editor.FIsCompleted;
    };
    fm->BulkUpload();
    if (!edited)
        fail("the task editor did not save");
    need([&] { return shot; }, "a task half way", 120000);
    batch->actPauseAll();
}

void bulkDownload(TARVOClientFrm &w, TClientConfigX &config, TFileMagFrm *fm, const QString &local)
{
    QList<qint64> keys;
    QStringList names;
    for (const QString &n : {QStringLiteral("Supply agreement.docx"), QStringLiteral("Signed contract.pdf")}) {
        const int row = rowOf(fm, n);
        if (row < 0)
            fail("file not in the list");
        keys << fm->Model().Row(row).Key;
        names << QStringLiteral("/Contracts/2024/") + n;
    }
    keys.insert(1, 99999999);
    names.insert(1, QStringLiteral("/Contracts/2024/Old price list.xlsx"));
    // A second file of the same name lands beside the first under a name of its own.
    keys << keys.first();
    names << QStringLiteral("/Contracts/2023/Supply agreement.docx");
    TBatchDownloadFrm frm(config, config.Language(), &w);
    frm.FOpen = [](const QString &) { return true; };
    if (!frm.Init(keys, names))
        fail("bulk download list refused");
    frm.Edit1->setText(local + QStringLiteral("/Bulk"));
    frm.show();
    if (!QTest::qWaitForWindowExposed(&frm))
        fail("bulk download not shown");
    shoot(&frm, QStringLiteral("bulkdownload-idle"));
    bool done = false;
    QObject::connect(&frm.Controller(), &TBulkDownload::allDone, &frm, [&] { done = true; });
    QTest::mouseClick(frm.btConfirm, Qt::LeftButton);
    need([&] { return done; }, "bulk download finished", 120000);
    if (frm.Controller().Downloaded() != 3 || frm.Controller().Failed() != 1)
        fail("bulk download did not run as planned");
    shoot(&frm, QStringLiteral("bulkdownload-finished"));
}
} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ZuDivuvo"));
    QApplication::setQuitOnLastWindowClosed(false);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 4 || (args.at(1) != QLatin1String("en") && args.at(1) != QLatin1String("zh"))) {
        std::fprintf(stderr, "usage: zudivuvo-shots en|zh PORT OUTDIR\n");
        return 2;
    }
    g_lang = args.at(1);
    g_outDir = args.at(3);
    QDir().mkpath(g_outDir);
    const bool chinese = g_lang == QLatin1String("zh");
    LoggingPrompter prompter;
    TPrompter::SetInstance(&prompter);

    {
        TClientConfigX c;
        c.SetServerHost(QStringLiteral("127.0.0.1"));
        c.SetServerPort(args.at(2).toInt());
        c.SetLanguage(chinese ? HSL_CN : HSL_ENG);
        c.Save();
    }
    TClientConfigX store;
    InstallQtTranslations(store.Language());
    InstallClientStyle();
    TARVOClientFrm w(store, std::make_shared<TNetSessionBackend>(), QCoreApplication::applicationFilePath());
    g_main = &w;
    w.Session().FLoginOver = true;   // the dialog is opened below, not by the first show
    w.show();
    if (!QTest::qWaitForWindowExposed(&w))
        fail("main window not shown");

    // The dialog is modal: it is filled and shot from inside its own loop.
    QTimer::singleShot(0, &w, [&w] {
        need([&w] { return w.LoginDialog() && w.LoginDialog()->isVisible(); }, "login dialog");
        // Its probe for scan-code login decides whether that button shows.
        QCoreApplication::processEvents();
        need([] { return RequestPool()->activeThreadCount() == 0; }, "scan-code probe");
        TLoginFrm *d = w.LoginDialog();
        d->edtNickName->setText(QStringLiteral("demo"));
        d->edtPass->setText(QStringLiteral("demo"));
        shoot(d, QStringLiteral("login"));
        QTimer::singleShot(0, d, [d] { QTest::mouseClick(d->Button1, Qt::LeftButton); });
    });
    if (!w.ShowLoginDialog())
        fail("login refused");

    TFileMagFrm *fm = w.FileMagFrm();
    need([fm] { return fm->tvOrg->topLevelItemCount() > 0; }, "organisation");
    openFolder(fm, QStringLiteral("R&D"), {QStringLiteral("Contracts"), QStringLiteral("2024")});
    fm->Model().SetChecked(rowOf(fm, QStringLiteral("Signed contract.pdf")), true);
    shoot(&w, QStringLiteral("main"));
    fm->Model().SetAllChecked(false);
    shootPreview(w, chinese, shoot, need, [fm](const QString &owner, const QStringList &path, const QString &name) {
        openFolder(fm, owner, path);
        const int row = rowOf(fm, name);
        if (row < 0)
            fail("file not listed");
        return fm->Model().Row(row).Key;
    });
    store.SetNotShowEditGuide(true);
    shootEditing(w, chinese, shoot, need, g_outDir, g_lang,
                 [fm](const QString &owner, const QStringList &path, const QString &name) {
                     openFolder(fm, owner, path);
                     const int row = rowOf(fm, name);
                     if (row < 0)
                         fail("file not listed");
                     return fm->Model().Row(row).Key;
                 });
    shootFileDialogs(w, store, chinese, shoot, need,
                     [fm](const QString &owner, const QStringList &path) { openFolder(fm, owner, path); },
                     QDir::homePath() + QStringLiteral("/shots"));
    // Capture and mail from the folder just shown.
    shootCapture(w, chinese, shoot, need);

    const QString local = QDir::homePath() + QStringLiteral("/shots");
    uploads(fm, local);
    downloads(fm, local);
    bulkDownload(w, store, fm, local);
    batchTasks(w, fm, local);

    auto *hint = w.findChild<TPreViewHint *>();
    if (!hint)
        fail("no hint window");
    hint->FOpenUrl = [](const QUrl &) { return true; };
    hint->OfferFolder(local + QStringLiteral("/Downloads"));
    hint->ShowText(chinese ? QStringLiteral("打开文件失败\n没有与 application/x-zip 类型文件关联的程序。")
                           : QStringLiteral("Failed to open the file\nNo program is associated with files of type "
                                            "application/x-zip."));
    need([hint] { return hint->isVisible(); }, "hint window shown");
    shoot(hint, QStringLiteral("hint"));
    hint->hide();

    shootVersions(w, store, chinese, shoot, need,
                  [fm](const QString &owner, const QStringList &path) { openFolder(fm, owner, path); },
                  [fm](const QString &name) {
                      const int row = rowOf(fm, name);
                      if (row < 0)
                          fail("file not listed");
                      return fm->Model().Row(row).Key;
                  },
                  local);

    TPrompter::SetInstance(nullptr);
    std::fflush(nullptr);
    // Requests still on their way are of no interest to the pictures.
    std::_Exit(0);
}
