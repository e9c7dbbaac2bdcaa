#include "batchui/batchdownloadfrm.h"

#include "core/clientconfigx.h"
#include "core/folders.h"
#include "core/safepath.h"
#include "files/getpathfrm.h"
#include "net/robottcpclient.h"
#include "platform/prompter.h"
#include "web/webmodule.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

namespace {

QString lt(THS_Language lang, const char *cn, const char *en)
{
    return QString::fromUtf8(lang == HSL_CN ? cn : en);
}

QString fillS(QString pattern, const QString &a, const QString &b = QString())
{
    const qsizetype i = pattern.indexOf(QLatin1String("%s"));
    if (i >= 0)
        pattern.replace(i, 2, a);
    const qsizetype j = pattern.indexOf(QLatin1String("%s"), i < 0 ? 0 : i + a.size());
    if (j >= 0)
        pattern.replace(j, 2, b);
    return pattern;
}

} // namespace

TBulkDownloadTexts::TBulkDownloadTexts(THS_Language l)
    : WLS_OpenPath(lt(l, "打开所在路径", "Open the path"))
    , WLS_DownloadNum(lt(l, "共有下载文件%s个,已经完成%s个", "There are %s files needed to download. %s of them have been downloaded."))
    , WLS_OpenFailed(lt(l, "文件打开失败", "Failed to open file"))
    , WLS_DownlandFile(lt(l, "当前下载文件”%s”", "The currently downloading file is \"%s\""))
    , WLS_Hint(lt(l, "提示", "Hint"))
    , WLS_SelPath(lt(l, "请选择下载路径", "Please select the download path!"))
    , WLS_SelPath2(lt(l, "选择下载路径", "Select directory"))
    , WLS_Dowload(lt(l, "已成功下载", "Successfully downloaded"))
    , WLS_BadList(lt(l, "下载文件列表有误，没有下载任何文件。", "The list of files to download is broken; nothing was downloaded."))
{
}

// ---- TBulkDownload

QString TBulkDownload::FreeListName(const QString &name, const QSet<QString> &takenLower)
{
    if (!takenLower.contains(name.toLower()))
        return name;
    const QFileInfo fi(name);
    const QString suffix = fi.suffix().isEmpty() || fi.completeBaseName().isEmpty() ? QString() : u'.' + fi.suffix();
    const QString stem = name.left(name.size() - suffix.size());
    for (int n = 2;; ++n) {
        const QString candidate = stem + QStringLiteral(" (%1)").arg(n) + suffix;
        if (!takenLower.contains(candidate.toLower()))
            return candidate;
    }
}

TBulkDownload::TBulkDownload(const TServerConn &conn, THS_Language lang, QObject *parent)
    : TTransferBase(conn, lang, parent)
    , m_texts(lang)
{
}

bool TBulkDownload::Init(const QList<qint64> &keys, const QStringList &names)
{
    m_items.clear();
    if (keys.isEmpty() || keys.size() != names.size() || keys.size() > kMaxFiles)
        return false;
    QList<TBulkDownloadItem> items;
    QSet<QString> taken;
    for (qsizetype i = 0; i < keys.size(); ++i) {
        const QString &n = names.at(i);
        TBulkDownloadItem item;
        item.Key = keys.at(i);
        item.Name = n.mid(n.lastIndexOf(u'/') + 1).trimmed();
        // The name is the server's: one plain component, never a path of its own.
        if (item.Key <= 0 || !IsSafeFileName(item.Name))
            return false;
        // Files of one name from different folders all land in one folder: a
        // later one must not replace an earlier one of the same run.
        item.Name = FreeListName(item.Name, taken);
        taken.insert(item.Name.toLower());
        items << item;
    }
    m_items = items;
    return true;
}

QString TBulkDownload::DownloadFolder(const QString &typed)
{
    QString f = ToLocalSeparators(typed.trimmed());
    while (f.contains(QLatin1String("//")))
        f.replace(QLatin1String("//"), QLatin1String("/"));
    return IncludeTrailingSlash(f);
}

void TBulkDownload::Start(const QString &folder)
{
    if (IsBusy() || m_items.isEmpty())
        return;
    ResetBreak();
    m_folder = DownloadFolder(folder);
    m_downloaded = m_failed = m_handled = 0;
    const QList<TBulkDownloadItem> items = m_items;
    const QString target = m_folder;
    const TBulkDownloadTexts texts = m_texts;
    Run([items, target, texts](TTransferJob &job) {
        QDir().mkpath(target);
        for (int i = 0; i < items.size(); ++i) {
            if (job.IsBreak == 1)
                return;
            job.Notify([i](TTransferBase *owner) { Q_EMIT static_cast<TBulkDownload *>(owner)->fileStarted(i); });
            Outcome o;
            o.Index = i;
            QString why;
            const auto local = SafeJoin(target, items.at(i).Name, &why);
            if (!local) {
                o.Text = why;
            } else {
                o.LocalPath = *local;
                TRobotTcpClient &c = job.Client(30000);
                c.PCancelFrames = &job.IsBreak;
                if (c.ReplaceWithServerCopy(*local, items.at(i).Key, true) == fc::Download) {
                    o.Ok = true;
                    o.Text = texts.WLS_Dowload;
                } else {
                    // A newer local copy is kept: the server's answer says so.
                    o.Text = c.GetLastError();
                }
            }
            job.Notify([o](TTransferBase *owner) {
                QMetaObject::invokeMethod(owner, [owner, o] { static_cast<TBulkDownload *>(owner)->onOutcome(o); },
                                          Qt::QueuedConnection);
            });
        }
    }, [this] { Q_EMIT allDone(); });
}

void TBulkDownload::onOutcome(const Outcome &o)
{
    if (o.Index < 0 || o.Index >= m_items.size())
        return;
    TBulkDownloadItem &item = m_items[o.Index];
    item.LocalPath = o.LocalPath;
    item.Done = o.Ok;
    item.Text = o.Text;
    ++m_handled;
    if (o.Ok)
        ++m_downloaded;
    else
        ++m_failed;
    Q_EMIT fileFinished(o.Index);
}

QString TBulkDownload::OpenTarget() const
{
    if (m_downloaded == 0)
        return QString();
    if (m_downloaded == 1) {
        for (const TBulkDownloadItem &item : m_items) {
            if (!item.Done)
                continue;
            // The client's one rule for opening a downloaded file: nothing that could run.
            if (TWebModule::IsSafeToOpen(item.LocalPath))
                return item.LocalPath;
        }
    }
    return m_folder;
}

// ---- TBatchDownloadFrm

TBatchDownloadFrm::TBatchDownloadFrm(TClientConfigX &config, THS_Language language, QWidget *parent)
    : QDialog(parent)
    , m_config(config)
    , FHS_Language(language == HSL_CN ? HSL_CN : HSL_ENG)
    , m_texts(FHS_Language)
    , m_ctrl(new TBulkDownload(TServerConn::FromConfig(config), FHS_Language, this))
{
    setObjectName(QStringLiteral("TBatchDownloadFrm"));
    setFont(QFont(FHS_Language == HSL_ENG ? QStringLiteral("Tahoma") : QStringLiteral("宋体"), 9));
    setWindowTitle(t("文件下载", "File download"));
    FOpen = [](const QString &path) { return QDesktopServices::openUrl(QUrl::fromLocalFile(path)); };

    auto *root = new QVBoxLayout(this);
    auto *pathRow = new QHBoxLayout;
    pathRow->addWidget(new QLabel(m_texts.WLS_SelPath2 + u':', this));
    Edit1 = new QLineEdit(this);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    pathRow->addWidget(Edit1, 1);
    btPathSelect = new QPushButton(t("选择", "Select"), this);
    btPathSelect->setObjectName(QStringLiteral("btPathSelect"));
    btSetDownloadPath = new QPushButton(t("设置下载路径", "Set download path"), this);
    btSetDownloadPath->setObjectName(QStringLiteral("btSetDownloadPath"));
    pathRow->addWidget(btPathSelect);
    pathRow->addWidget(btSetDownloadPath);
    root->addLayout(pathRow);

    lvFiles = new QTreeWidget(this);
    lvFiles->setObjectName(QStringLiteral("lvFiles"));
    lvFiles->setRootIsDecorated(false);
    lvFiles->setHeaderLabels({t("文件名称", "File name"), t("结果", "Result")});
    lvFiles->header()->resizeSection(0, 260);
    lvFiles->header()->setStretchLastSection(true);
    root->addWidget(lvFiles, 1);

    Label8 = new QLabel(t("当前文件：", "Current: "), this);
    Label8->setObjectName(QStringLiteral("Label8"));
    root->addWidget(Label8);
    ProgressBar2 = new QProgressBar(this);
    ProgressBar2->setObjectName(QStringLiteral("ProgressBar2"));
    root->addWidget(ProgressBar2);
    Label7 = new QLabel(this);
    Label7->setObjectName(QStringLiteral("Label7"));
    Label7->setWordWrap(true);
    root->addWidget(Label7);
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    root->addWidget(ProgressBar1);

    auto *buttons = new QHBoxLayout;
    cbOpenFile = new QCheckBox(t("同时打开文件", "Open the file"), this);
    cbOpenFile->setObjectName(QStringLiteral("cbOpenFile"));
    cbOpenFile->setChecked(true);
    buttons->addWidget(cbOpenFile);
    buttons->addStretch(1);
    btConfirm = new QPushButton(t("下载", "Download"), this);
    btConfirm->setObjectName(QStringLiteral("btConfirm"));
    btConfirm->setDefault(true);
    btCancel = new QPushButton(t("取消", "Cancel"), this);
    btCancel->setObjectName(QStringLiteral("btCancel"));
    buttons->addWidget(btConfirm);
    buttons->addWidget(btCancel);
    root->addLayout(buttons);
    resize(620, 380);

    connect(btConfirm, &QPushButton::clicked, this, &TBatchDownloadFrm::Confirm);
    connect(btCancel, &QPushButton::clicked, this, &TBatchDownloadFrm::CancelOrClose);
    connect(btPathSelect, &QPushButton::clicked, this, [this] { choosePath(false); });
    connect(btSetDownloadPath, &QPushButton::clicked, this, [this] { choosePath(true); });
    connect(m_ctrl, &TBulkDownload::fileStarted, this, [this](int i) {
        ProgressBar2->setRange(0, 0);
        ProgressBar2->setValue(0);
        Label8->setText(fillS(m_texts.WLS_DownlandFile, m_ctrl->Items().at(i).Name));
        if (QTreeWidgetItem *row = lvFiles->topLevelItem(i))
            lvFiles->scrollToItem(row);
    });
    connect(m_ctrl, &TTransferBase::progress, this, [this](qint64 all, qint64 done) {
        if (ProgressBar2->maximum() == 0)
            ProgressBar2->setRange(0, int(qMin<qint64>(all / 1024 + 2, INT_MAX)));
        ProgressBar2->setValue(int(qMin<qint64>(done / 1024 + 1, ProgressBar2->maximum())));
    });
    connect(m_ctrl, &TBulkDownload::fileFinished, this, [this](int i) {
        const TBulkDownloadItem &item = m_ctrl->Items().at(i);
        if (QTreeWidgetItem *row = lvFiles->topLevelItem(i)) {
            row->setText(1, item.Text);
            row->setToolTip(0, item.LocalPath);
            row->setForeground(1, item.Done ? palette().text() : QBrush(QColor(0xc0, 0, 0)));
        }
        ProgressBar2->setRange(0, 1);
        ProgressBar2->setValue(1);
        ProgressBar1->setValue(m_ctrl->Handled());
        showCount();
        if (FCanClose)
            close();
    });
    connect(m_ctrl, &TBulkDownload::allDone, this, &TBatchDownloadFrm::onAllDone);
}

QString TBatchDownloadFrm::t(const char *cn, const char *en) const
{
    return QString::fromUtf8(FHS_Language == HSL_CN ? cn : en);
}

bool TBatchDownloadFrm::Init(const QList<qint64> &keys, const QStringList &names)
{
    Edit1->setText(m_config.DownloadRoot());
    lvFiles->clear();
    const bool ok = m_ctrl->Init(keys, names);
    for (const TBulkDownloadItem &item : m_ctrl->Items())
        new QTreeWidgetItem(lvFiles, {item.Name, QString()});
    if (m_ctrl->Items().size() > 1)
        cbOpenFile->setText(m_texts.WLS_OpenPath);
    ProgressBar1->setRange(0, qMax(1, int(m_ctrl->Items().size())));
    ProgressBar1->setValue(0);
    Label7->setText(ok ? fillS(m_texts.WLS_DownloadNum, QString::number(m_ctrl->Items().size())) : m_texts.WLS_BadList);
    btConfirm->setEnabled(ok);
    return ok;
}

void TBatchDownloadFrm::showCount()
{
    Label7->setText(fillS(m_texts.WLS_DownloadNum, QString::number(m_ctrl->Items().size()), QString::number(m_ctrl->Handled())));
}

void TBatchDownloadFrm::choosePath(bool remember)
{
    const QString dir = TGetPathFrm::Pick(this, FHS_Language, m_texts.WLS_SelPath2, Edit1->text());
    if (!dir.isEmpty()) {
        Edit1->setText(remember ? dir : IncludeTrailingSlash(dir));
        if (remember) {
            m_config.SetDownloadRoot(dir);
            m_config.Save();
        }
    }
    raise();
    activateWindow();
}

void TBatchDownloadFrm::Confirm()
{
    if (m_ctrl->IsBusy())
        return;
    if (Edit1->text().trimmed().isEmpty()) {
        TPrompter::Instance().Info(this, m_texts.WLS_Hint, m_texts.WLS_SelPath);
        return;
    }
    btConfirm->setEnabled(false);
    Edit1->setEnabled(false);
    btPathSelect->setEnabled(false);
    btSetDownloadPath->setEnabled(false);
    m_ctrl->Start(Edit1->text());
}

void TBatchDownloadFrm::onAllDone()
{
    if (FCanClose) {
        close();
        return;
    }
    if (cbOpenFile->isChecked() && m_ctrl->Downloaded() > 0) {
        const QString target = m_ctrl->OpenTarget();
        if (!FOpen(target)) {
            auto *row = new QTreeWidgetItem(lvFiles, {target, m_texts.WLS_OpenFailed});
            row->setForeground(1, QBrush(QColor(0xc0, 0, 0)));
        }
    }
    // With failures the list stays up: it is where the user reads them.
    if (m_ctrl->Failed() > 0 || lvFiles->topLevelItemCount() > m_ctrl->Items().size()) {
        btCancel->setText(t("关闭", "Close"));
        lvFiles->scrollToBottom();
        raise();
        return;
    }
    accept();
}

void TBatchDownloadFrm::CancelOrClose()
{
    close();
}

void TBatchDownloadFrm::closeEvent(QCloseEvent *event)
{
    if (m_ctrl->IsBusy() && !FCanClose) {
        // The running file stops after its block; the dialog goes when its end is reported.
        FCanClose = true;
        m_ctrl->Cancel();
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}
