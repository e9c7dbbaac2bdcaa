#include "versions/showdifffrm.h"

#include "core/folders.h"
#include "core/safepath.h"
#include "core/tagtext.h"
#include "core/workpools.h"
#include "files/getpathfrm.h"
#include "files/transfer.h"
#include "net/neterror.h"
#include "net/robottcpclient.h"
#include "platform/prompter.h"
#include "platform/styleicons.h"
#include "versions/hintfrmxe.h"
#include "versions/versioncontrolfrm.h"
#include "versions/workpaths.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QSplitter>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <optional>

TShowDiffTexts::TShowDiffTexts(THS_Language lang)
    : WLS_SelPath(VcText(lang, "选择本地路径", "Select local path"))
    , WLS_NotSel(VcText(lang, "您未选中任何文件", "You did not select any file"))
    , WLS_Hint(VcText(lang, "提示", "Hint"))
    , WLS_UploadOK(VcText(lang, ": 上传成功", ": Upload successful"))
    , WLS_Replace(VcText(lang, "本地存在更新的文件，是否替换？", "An newer file exists locally. Will you replace it?"))
    , WLS_GetOK(VcText(lang, ": 获取成功", ": Get successful"))
    , WLS_ReplaceService(VcText(lang, "服务器存在更新的文件，是否用本地旧文件替换服务新文件？",
                                "File server for updates, and whether to replace the old file with the local service of new documents?"))
    , WLS_NoChecked(VcText(lang, "服务器端没有签出此文件，是否继续上传文件？",
                           "The server does not check out this document, whether to continue uploading files?"))
    , WLS_UseCheckin(VcText(lang, "请用使用签入操作签入此文件", "Please use the \"Check in\" operation to check in this file"))
    , ListFailed(VcText(lang, "无法读取服务器上此文件夹的文件列表：%1\n在列表读出之前不能比较或操作文件，按 F5 重试。",
                        "The server's file list of this folder could not be read: %1\nNothing can be compared or "
                        "acted on until it is read; press F5 to try again."))
{
}

namespace {
struct TListing {
    QList<TFileItem> Server;
    QList<TFileItem> Local;
    std::optional<QString> Error;   // the server's side could not be read
};
} // namespace

QColor TShowDiffFrm::StateColour(int state)
{
    switch (state) {
    case DS_ServerOnly: return Qt::red;
    case DS_LocalOnly: return QColor(0, 128, 0);
    case DS_ServerNewer: return Qt::blue;
    // Orange, as the legend says (the fuchsia the rows once had matched no word of it).
    case DS_LocalNewer: return QColor(230, 115, 0);
    default: return Qt::black;
    }
}

TShowDiffFrm::TShowDiffFrm(const TVersionSession &session, THintFrmXe *monitor, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_session(session)
    , PHintFrm(monitor)
    , m_texts(session.Conn.Language)
{
    buildUi();
}

void TShowDiffFrm::buildUi()
{
    const THS_Language lang = m_session.Conn.Language;
    const auto t = [lang](const char *cn, const char *en) { return VcText(lang, cn, en); };
    setWindowTitle(t("显示差异", "Differences display"));
    setFont(QFont(lang == HSL_CN ? QStringLiteral("宋体") : QStringLiteral("Tahoma"), 9));
    auto *layout = new QVBoxLayout(this);

    gbPath = new QGroupBox(t("选择路径", " Select path "), this);
    auto *grid = new QVBoxLayout(gbPath);
    auto *serverRow = new QHBoxLayout;
    serverRow->addWidget(new QLabel(t("选择路径: ", "Server path: "), gbPath));
    auto *serverPath = new QLabel(gbPath);
    serverPath->setObjectName(QStringLiteral("serverPath"));
    serverRow->addWidget(serverPath, 1);
    grid->addLayout(serverRow);
    auto *localRow = new QHBoxLayout;
    localRow->addWidget(new QLabel(t("本地路径: ", "Local path: "), gbPath));
    edLocalPath = new QLineEdit(gbPath);
    edLocalPath->setReadOnly(true);
    edLocalPath->setMinimumWidth(320);
    localRow->addWidget(edLocalPath, 1);
    auto *select = new QPushButton(t("选择", "Select"), gbPath);
    localRow->addWidget(select);
    grid->addLayout(localRow);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto *confirm = new QPushButton(t("确定", "Confirm"), gbPath);
    auto *cancel = new QPushButton(t("取消", "Cancel"), gbPath);
    buttons->addWidget(confirm);
    buttons->addWidget(cancel);
    grid->addLayout(buttons);
    layout->addWidget(gbPath);
    connect(select, &QPushButton::clicked, this, [this] {
        const QString start = QFileInfo(LocalPath()).isDir() ? LocalPath() : QString();
        const QString chosen = TGetPathFrm::Pick(this, m_session.Conn.Language, m_texts.WLS_SelPath, start);
        if (!chosen.isEmpty())
            edLocalPath->setText(IncludeTrailingSlash(chosen));
        raise();
        activateWindow();
    });
    connect(confirm, &QPushButton::clicked, this, &TShowDiffFrm::Confirm);
    connect(cancel, &QPushButton::clicked, this, &QWidget::close);
    connect(this, &TShowDiffFrm::pathResolved, serverPath, [this, serverPath] { serverPath->setText(m_serverPath); });

    m_compare = new QWidget(this);
    auto *cl = new QVBoxLayout(m_compare);
    cl->setContentsMargins(0, 0, 0, 0);
    auto *heads = new QHBoxLayout;
    lbServerPath = new QLabel(m_compare);
    lbLocalPath = new QLabel(m_compare);
    heads->addWidget(lbServerPath, 1);
    heads->addWidget(lbLocalPath, 1);
    cl->addLayout(heads);
    auto *lists = new QSplitter(Qt::Horizontal, m_compare);
    lvServer = new QTreeWidget(lists);
    lvLocal = new QTreeWidget(lists);
    lvServer->setHeaderLabels({t("文件名", "File name"), t("签出用户", "check out user"), t("修改时间", "Modify time"),
                               QStringLiteral("Id"), QStringLiteral("DrawType")});
    lvLocal->setHeaderLabels({t("文件名", "File name"), t("修改时间", "Modify time"), QStringLiteral("DrawType")});
    for (QTreeWidget *lv : {lvServer, lvLocal}) {
        lv->setRootIsDecorated(false);
        lv->setSelectionMode(QAbstractItemView::ExtendedSelection);
        lv->setSelectionBehavior(QAbstractItemView::SelectRows);
        lv->setEditTriggers(QAbstractItemView::NoEditTriggers);
        lv->setContextMenuPolicy(Qt::CustomContextMenu);
        lv->setIconSize(QSize(16, 16));
    }
    lvServer->setColumnHidden(4, true);
    lvLocal->setColumnHidden(2, true);
    lvServer->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    lvServer->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    lvLocal->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    connect(lvLocal->verticalScrollBar(), &QScrollBar::valueChanged, lvServer->verticalScrollBar(), &QScrollBar::setValue);
    connect(lvServer, &QTreeWidget::itemSelectionChanged, this, [this] { mirrorSelection(lvServer, lvLocal); });
    connect(lvLocal, &QTreeWidget::itemSelectionChanged, this, [this] { mirrorSelection(lvLocal, lvServer); });
    connect(lvServer, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem *item) { OpenRow(lvServer->indexOfTopLevelItem(item)); });
    connect(lvLocal, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem *item) { OpenRow(lvLocal->indexOfTopLevelItem(item)); });
    cl->addWidget(lists, 1);
    MemoHint = new QPlainTextEdit(m_compare);
    MemoHint->setReadOnly(true);
    MemoHint->setMaximumHeight(110);
    cl->addWidget(MemoHint);
    const QList<std::pair<int, QString>> legend{
        {DS_Same, t("黑色表示服务器与本地文件一样", "Black: server file exists same as local.")},
        {DS_ServerOnly, t("红色表示服务器有而本地没有的文件", "Red: local not exist this file.")},
        {DS_LocalOnly, t("绿色表示本地有而服务器没有的文件", "Green: not exist on the server.")},
        {DS_ServerNewer, t("蓝色表示服务器的文件比本地的新", "Blue: server is newer than local.")},
        {DS_LocalNewer, t("橘黄色表示本地的文件比服务器新", "Orange: local is newer than server.")}};
    // One wrapping line of coloured texts: the window fits a small screen at its starting size.
    QString legendHtml;
    for (const auto &[state, text] : legend)
        legendHtml += QStringLiteral("<span style=\"color:%1\">%2</span>&nbsp;&nbsp; ")
                          .arg(StateColour(state).name(), text.toHtmlEscaped());
    auto *legendLabel = new QLabel(legendHtml, m_compare);
    legendLabel->setObjectName(QStringLiteral("legend"));
    legendLabel->setTextFormat(Qt::RichText);
    legendLabel->setWordWrap(true);
    auto *legendBox = new QHBoxLayout;
    legendBox->addWidget(legendLabel, 1);
    auto *closeCompare = new QPushButton(t("关闭", "Close"), m_compare);
    closeCompare->setObjectName(QStringLiteral("closeCompare"));
    connect(closeCompare, &QPushButton::clicked, this, &QWidget::close);
    legendBox->addWidget(closeCompare, 0, Qt::AlignBottom);
    cl->addLayout(legendBox);
    layout->addWidget(m_compare, 1);
    m_compare->hide();

    auto *menu = new QMenu(this);
    N1 = menu->addAction(t("上传", "Upload"), this, &TShowDiffFrm::Upload);
    N2 = menu->addAction(t("获取最新版本", "Get the latest version"), this, &TShowDiffFrm::GetNewest);
    N3 = menu->addAction(t("签出", "Check out"), this, &TShowDiffFrm::CheckOut);
    N4 = menu->addAction(t("签入", "Check in"), this, &TShowDiffFrm::CheckIn);
    N5 = menu->addAction(t("取消签出", "Cancel check out"), this, &TShowDiffFrm::CancelCheckout);
    menu->addSeparator();
    N7 = menu->addAction(t("只显示不同文件", "Show difference"), this, &TShowDiffFrm::ShowDifference);
    N8 = menu->addAction(t("显示全部文件", "Show all"), this, &TShowDiffFrm::ShowAll);
    setListed(false);
    // Retries a list that could not be read.
    auto *reload = new QShortcut(QKeySequence::Refresh, this);
    connect(reload, &QShortcut::activated, this, [this] {
        if (m_comparing)
            Refresh();
    });
    for (QTreeWidget *lv : {lvServer, lvLocal})
        connect(lv, &QWidget::customContextMenuRequested, this, [menu, lv](const QPoint &p) { menu->popup(lv->viewport()->mapToGlobal(p)); });
}

void TShowDiffFrm::fitColumns()
{
    // The server list has no scroll bar of its own: its columns share its width.
    const int ws = lvServer->viewport()->width();
    lvServer->setColumnWidth(0, ws / 2);
    lvServer->setColumnWidth(1, ws / 5);
    lvServer->setColumnWidth(2, ws * 3 / 10);
    const int wl = qMax(0, lvLocal->width() - 20);
    lvLocal->setColumnWidth(0, wl * 3 / 5);
    lvLocal->setColumnWidth(1, wl * 2 / 5);
}

void TShowDiffFrm::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    fitColumns();
}

QString TShowDiffFrm::ShownFolder() const
{
    return m_shownFolder.isEmpty() ? LocalPath() : m_shownFolder;
}

QString TShowDiffFrm::LocalPath() const
{
    return IncludeTrailingSlash(ToLocalSeparators(edLocalPath->text().trimmed()));
}

void TShowDiffFrm::Init(qint32 ownerId, qint64 folderId)
{
    FOwnerId = ownerId;
    FFolderId = folderId;
    const QString id = QString::number(folderId);
    if (FFolderIdList.isEmpty() || FFolderIdList.first() != id)
        FFolderIdList.prepend(id);
    const TVersionSession s = m_session;
    const quint64 generation = ++m_generation;
    RunOnPool(
        RequestPool(), this,
        [s, folderId] {
            const QString reply = s.Conn.MakeClient()->GetServerPath(folderId, true);
            QString pathStr = GetTagValue(reply, QStringLiteral("PathStr"));
            pathStr.replace(u'/', u'\\');
            return std::make_pair(pathStr, CompareFolderFor(reply, s.ConfigFolder, s.WorkRoot));
        },
        [this, generation](const std::pair<QString, QString> &r) {
            if (generation != m_generation)
                return;
            m_serverPath = r.first;
            edLocalPath->setText(r.second);
            lbServerPath->setText(m_serverPath);
            lbLocalPath->setText(QDir::toNativeSeparators(LocalPath()));
            emit pathResolved();
            if (m_comparing)
                Refresh();
        });
}

void TShowDiffFrm::Confirm()
{
    setWindowFlag(Qt::MSWindowsFixedSizeDialogHint, false);
    gbPath->hide();
    m_compare->show();
    m_comparing = true;
    resize(840, 660);
    fitColumns();
    lbServerPath->setText(m_serverPath);
    lbLocalPath->setText(QDir::toNativeSeparators(LocalPath()));
    Refresh();
}

void TShowDiffFrm::Refresh()
{
    const TVersionSession s = m_session;
    const qint32 owner = FOwnerId;
    const qint64 folder = FFolderId;
    const QString local = LocalPath();
    const bool nested = FFolderIdList.size() > 1;
    const qint64 parent = nested ? FFolderIdList.at(1).toLongLong() : 0;
    const quint64 generation = ++m_generation;
    RunOnPool(
        RequestPool(), this,
        [s, owner, folder, local, nested, parent] {
            QString reply;
            std::optional<QString> error;
            try {
                auto client = s.Conn.MakeClient();
                client->ApiPostText(rq::FolderFileList,
                                    QStringLiteral("[EncryptCode]%1[/EncryptCode][OwnerId]%2[/OwnerId][FolderId]%3[/FolderID]")
                                        .arg(s.Conn.EncryptId).arg(owner).arg(folder),
                                    reply);
            } catch (const ENetError &e) {
                error = NetErrorText(e.kind(), e.message(), s.Conn.Language);
            } catch (const std::exception &e) {
                error = QString::fromUtf8(e.what());
            }
            TListing out;
            out.Error = error;
            // Without the server's side every local file would look local only.
            if (!error) {
                out.Server = ParseServerFolderList(reply);
                out.Local = ListLocalFolder(local);
            }
            QList<TFileItem> &server = out.Server;
            QList<TFileItem> &localItems = out.Local;
            if (nested) {
                TFileItem up;
                up.Id = parent;
                up.Name = QStringLiteral("..");
                up.IsFolder = true;
                server << up;
                TFileItem localUp;
                localUp.Name = QStringLiteral("..");
                localUp.IsFolder = true;
                localItems << localUp;
            }
            SortFileItems(server);
            SortFileItems(localItems);
            return out;
        },
        [this, generation, local](const TListing &lists) {
            if (generation != m_generation)
                return;
            // The actions work on the folder these rows came from, whatever the box says meanwhile.
            m_shownFolder = local;
            FServerList = lists.Server;
            FLocalList = lists.Local;
            fillLists(MergeFileItems(FServerList, FLocalList, &FLastFolderIndex));
            fitColumns();
            setListed(!lists.Error);
            if (lists.Error) {
                const QString why = lists.Error->trimmed().isEmpty()
                                        ? VcText(m_session.Conn.Language, "服务器没有给出答复。", "the server gave no answer.")
                                        : *lists.Error;
                const QString text = m_texts.ListFailed.arg(why);
                MemoHint->appendPlainText(text);
                TPrompter::Instance().Error(this, m_texts.WLS_Hint, text);
            }
            emit refreshed();
        });
}

void TShowDiffFrm::setListed(bool listed)
{
    m_listed = listed;
    for (QAction *a : {N1, N2, N3, N4, N5, N7})
        a->setEnabled(listed);
    N8->setEnabled(false);
}

void TShowDiffFrm::fillLists(const QList<TDiffRow> &rows)
{
    m_rows = rows;
    FLastFolderIndex = -1;
    for (int i = 0; i < rows.size(); ++i)
        if (rows[i].HasFolder())
            FLastFolderIndex = i;
    lvServer->clear();
    lvLocal->clear();
    const QIcon fileIcon = StyleIcon(QStyle::SP_FileIcon);
    const QIcon folderIcon = StyleIcon(QStyle::SP_DirIcon);
    // Placeholder rows are as high as filled ones, so the two lists stay row against row.
    const QSize rowSize(-1, qMax(20, fontMetrics().height() + 6));
    for (const TDiffRow &r : rows) {
        auto *s = new QTreeWidgetItem(lvServer);
        auto *l = new QTreeWidgetItem(lvLocal);
        for (int c = 0; c < lvServer->columnCount(); ++c)
            s->setSizeHint(c, rowSize);
        for (int c = 0; c < lvLocal->columnCount(); ++c)
            l->setSizeHint(c, rowSize);
        const bool folder = r.HasFolder();
        QFont f = font();
        f.setBold(folder || r.State > DS_Same);
        const QColor colour = folder ? QColor(Qt::black) : StateColour(r.State);
        if (r.Server) {
            s->setText(0, r.Server->Name);
            s->setText(1, r.Server->CheckOutUser);
            s->setText(2, r.Server->Name == QLatin1String("..") ? QString() : FormatWireDateTime(r.Server->ModifyTime));
            s->setText(3, QString::number(r.Server->Id));
            s->setText(4, QString::number(r.State));
            s->setIcon(0, r.Server->IsFolder ? folderIcon : fileIcon);
            for (int c = 0; c < 4; ++c) {
                s->setForeground(c, colour);
                s->setFont(c, f);
            }
        }
        if (r.Local) {
            l->setText(0, r.Local->Name);
            l->setText(1, r.Local->Name == QLatin1String("..") ? QString() : FormatWireDateTime(r.Local->ModifyTime));
            l->setText(2, QString::number(r.State));
            l->setIcon(0, r.Local->IsFolder ? folderIcon : fileIcon);
            for (int c = 0; c < 2; ++c) {
                l->setForeground(c, colour);
                l->setFont(c, f);
            }
        }
    }
}

void TShowDiffFrm::mirrorSelection(QTreeWidget *from, QTreeWidget *to)
{
    if (m_syncing || !from->hasFocus())
        return;
    m_syncing = true;
    to->clearSelection();
    for (QTreeWidgetItem *item : from->selectedItems()) {
        if (QTreeWidgetItem *other = to->topLevelItem(from->indexOfTopLevelItem(item))) {
            other->setSelected(true);
            to->scrollToItem(other);
        }
    }
    m_syncing = false;
}

QList<int> TShowDiffFrm::actingRows() const
{
    QList<int> out;
    if (!m_listed)
        return out;
    for (int i = 0; i < lvServer->topLevelItemCount(); ++i)
        if (i > FLastFolderIndex && (lvServer->topLevelItem(i)->isSelected() || lvLocal->topLevelItem(i)->isSelected()))
            out << i;
    return out;
}

void TShowDiffFrm::ShowHint(const QString &name, const QString &text)
{
    MemoHint->appendPlainText(name + QLatin1String(": ") + text);
}

void TShowDiffFrm::Upload()
{
    const QList<int> rows = actingRows();
    if (rows.isEmpty() || m_busy) {
        if (rows.isEmpty())
            TPrompter::Instance().Info(this, m_texts.WLS_Hint, m_texts.WLS_NotSel);
        return;
    }
    struct Job {
        QString local;
        bool hasServer = false;
        bool askOld = false;
        int row = 0;
    };
    QList<Job> jobs;
    const QString folder = ShownFolder();
    for (int i : rows) {
        const TDiffRow &r = m_rows[i];
        if (!r.Local || r.Local->Name.isEmpty())
            continue;
        const QString local = folder + r.Local->Name;
        if (r.Server && !r.Server->CheckOutUser.isEmpty()) {
            ShowHint(QDir::toNativeSeparators(local), m_texts.WLS_UseCheckin);
            continue;
        }
        if (r.Server && !TPrompter::Instance().Ask(this, m_texts.WLS_Hint, m_texts.WLS_NoChecked))
            continue;
        Job j;
        j.local = local;
        j.hasServer = r.Server.has_value();
        // The times as shown, to the second.
        j.askOld = r.Server && (qRound64(r.Server->ModifyTime * 86400.0) - qRound64(r.Local->ModifyTime * 86400.0)) > 2;
        j.row = i;
        jobs << j;
    }
    if (jobs.isEmpty())
        return;
    m_busy = true;
    const TServerConn conn = m_session.Conn;
    const qint32 owner = FOwnerId;
    const qint64 folderId = FFolderId;
    const TShowDiffTexts texts = m_texts;
    QPointer<TShowDiffFrm> self(this);
    RunOnPool(
        TransferPool(), this,
        [conn, jobs, owner, folderId, texts, self] {
            for (const Job &j : jobs) {
                if (j.askOld && !AskOnGuiThread(texts.WLS_Hint, texts.WLS_ReplaceService))
                    continue;
                auto client = conn.MakeClient(120000);
                client->FIsPostMessage = false;
                qint64 newKey = 0;
                client->UploadFile(owner, QString(), newKey, DescribeLocalFile(j.local), folderId);
                const QString line = newKey > 0 ? texts.WLS_UploadOK : QLatin1String(": ") + client->GetLastError();
                const QString name = QDir::toNativeSeparators(j.local);
                PostToGuiThread([self, name, line] {
                    if (self)
                        self->MemoHint->appendPlainText(name + line);
                });
            }
        },
        [this] {
            m_busy = false;
            emit batchEnded();
            Refresh();
        });
}

void TShowDiffFrm::GetNewest()
{
    const QList<int> rows = actingRows();
    if (rows.isEmpty() || m_busy) {
        if (rows.isEmpty())
            TPrompter::Instance().Info(this, m_texts.WLS_Hint, m_texts.WLS_NotSel);
        return;
    }
    struct Job {
        qint64 key = 0;
        QString local;
        bool ask = false;
    };
    QList<Job> jobs;
    const QString folder = ShownFolder();
    for (int i : rows) {
        const TDiffRow &r = m_rows[i];
        if (!r.Server || r.Server->Name.isEmpty())
            continue;
        const auto local = SafeJoin(folder, r.Server->Name);
        if (!local) {
            ShowHint(r.Server->Name, QStringLiteral("refused"));
            continue;
        }
        Job j;
        j.key = r.Server->Id;
        j.local = *local;
        j.ask = r.Local && (r.Local->ModifyTime - r.Server->ModifyTime) * 86400.0 > kDiffToleranceSeconds;
        jobs << j;
    }
    if (jobs.isEmpty())
        return;
    m_busy = true;
    const TServerConn conn = m_session.Conn;
    const TShowDiffTexts texts = m_texts;
    QPointer<TShowDiffFrm> self(this);
    RunOnPool(
        TransferPool(), this,
        [conn, jobs, texts, self] {
            auto client = conn.MakeClient(120000);
            client->FIsPostMessage = false;
            for (const Job &j : jobs) {
                // "No" ends the whole batch.
                if (j.ask && !AskOnGuiThread(texts.WLS_Hint, texts.WLS_Replace))
                    break;
                QString line;
                if (client->ReplaceWithServerCopy(j.local, j.key) == fc::Download) {
                    line = texts.WLS_GetOK;
                    if (!client->LastNotice().isEmpty())
                        line += u' ' + client->LastNotice();
                } else {
                    line = QLatin1String(": ") + client->GetLastError();
                }
                const QString name = QDir::toNativeSeparators(j.local);
                PostToGuiThread([self, name, line] {
                    if (self)
                        self->MemoHint->appendPlainText(name + line);
                });
            }
        },
        [this] {
            m_busy = false;
            emit batchEnded();
            Refresh();
        });
}

void TShowDiffFrm::startVersionControl(int op)
{
    const QList<int> rows = actingRows();
    QStringList keys, names;
    for (int i : rows) {
        const TDiffRow &r = m_rows[i];
        if (!r.Server || r.Server->Name.isEmpty())
            continue;
        if (op != 0 && r.Server->CheckOutUser.isEmpty())
            continue;
        keys << QString::number(r.Server->Id);
        names << r.Server->Name;
    }
    if (keys.isEmpty()) {
        TPrompter::Instance().Info(this, m_texts.WLS_Hint, m_texts.WLS_NotSel);
        return;
    }
    auto *frm = new TVersionControlFrm(m_session, PHintFrm, this);
    frm->setWindowFlag(Qt::Window);
    frm->Init(keys, names);
    connect(frm, &TVersionControlFrm::resultLine, this, &TShowDiffFrm::ShowHint);
    connect(frm, &TVersionControlFrm::operationEnded, this, [this] {
        emit batchEnded();
        Refresh();
    });
    if (op == 0) {
        frm->SetCheckoutPath(ShownFolder());
        frm->SetHandle(this);
        frm->show();
    } else {
        frm->SetHandle(this);
        if (op == 1)
            frm->BathCheckin();
        else
            frm->CancelCheckout();
    }
}

void TShowDiffFrm::CheckOut() { startVersionControl(0); }
void TShowDiffFrm::CheckIn() { startVersionControl(1); }
void TShowDiffFrm::CancelCheckout() { startVersionControl(2); }

void TShowDiffFrm::ShowDifference()
{
    if (!m_listed)
        return;
    fillLists(DifferencesOnly(m_rows));
    N7->setEnabled(false);
    N8->setEnabled(true);
}

void TShowDiffFrm::ShowAll()
{
    if (!m_listed)
        return;
    fillLists(MergeFileItems(FServerList, FLocalList, &FLastFolderIndex));
    N7->setEnabled(true);
    N8->setEnabled(false);
}

void TShowDiffFrm::OpenRow(int row)
{
    if (row < 0 || row >= m_rows.size())
        return;
    const TDiffRow &r = m_rows[row];
    if (!r.Server || !r.Server->IsFolder)
        return;
    const TFileItem folder = *r.Server;
    if (folder.Name == QLatin1String("..")) {
        if (FFolderIdList.size() > 1 && FFolderIdList.at(1) == QString::number(folder.Id))
            FFolderIdList.removeFirst();
    }
    Init(FOwnerId, folder.Id);
}
