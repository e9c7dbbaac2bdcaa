#include "versions/getnewverfrm.h"

#include "core/folders.h"
#include "core/workpools.h"
#include "files/getpathfrm.h"
#include "net/robottcpclient.h"
#include "platform/prompter.h"
#include "platform/styleicons.h"
#include "versions/dialogrows.h"
#include "versions/hintfrmxe.h"
#include "versions/versiontexts.h"
#include "versions/workpaths.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

TGetNewVerHintFrm::TGetNewVerHintFrm(THS_Language language, QWidget *parent)
    : QDialog(parent)
{
    const auto t = [language](const char *cn, const char *en) { return VcText(language, cn, en); };
    setWindowTitle(t("提示", "Hint"));
    setFont(QFont(language == HSL_CN ? QStringLiteral("宋体") : QStringLiteral("Arial"), 9));
    auto *layout = new QVBoxLayout(this);
    auto *title = new QLabel(t("获取最新版本提示", "Get the latest version"), this);
    QFont bold = font();
    bold.setBold(true);
    title->setFont(bold);
    layout->addWidget(title);
    auto *row = new QHBoxLayout;
    row->addWidget(new QLabel(t("文件名：", "File name:"), this));
    lbFileName = new QLabel(this);
    lbFileName->setWordWrap(true);
    row->addWidget(lbFileName, 1);
    layout->addLayout(row);
    layout->addWidget(new QLabel(t("本地存在更新的版本，是否覆盖？", "An newer file exists locally. Will you replace it?"), this));
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    btOk = new QPushButton(StyleIcon(QStyle::SP_DialogApplyButton), t("确定", "Confirm"), this);
    btAll = new QPushButton(StyleIcon(QStyle::SP_DialogYesToAllButton), t("全部", "All"), this);
    btCancel = new QPushButton(StyleIcon(QStyle::SP_DialogCancelButton), t("取消", "Cancel"), this);
    for (auto *b : {btOk, btAll, btCancel})
        buttons->addWidget(b);
    layout->addLayout(buttons);
    connect(btOk, &QPushButton::clicked, this, [this] { FReplaceType = QStringLiteral("ok"); accept(); });
    connect(btAll, &QPushButton::clicked, this, [this] { FReplaceType = QStringLiteral("all"); accept(); });
    connect(btCancel, &QPushButton::clicked, this, [this] { FReplaceType = QStringLiteral("cancel"); reject(); });
}

void TGetNewVerHintFrm::SetFileName(const QString &localFile)
{
    lbFileName->setText(QDir::toNativeSeparators(localFile));
}

TGetNewVerFrm::TGetNewVerFrm(const TVersionSession &session, THintFrmXe *monitor, QWidget *parent)
    : QDialog(parent)
    , m_session(session)
    , PHintFrm(monitor)
{
    const THS_Language lang = session.Conn.Language;
    const auto t = [lang](const char *cn, const char *en) { return VcText(lang, cn, en); };
    setWindowTitle(t("获得最近版本", "Get the latest version"));
    setFont(QFont(lang == HSL_CN ? QStringLiteral("宋体") : QStringLiteral("Arial"), 9));
    auto *layout = new QVBoxLayout(this);
    addTitleRow(layout, t("获取最新版本", "Get the latest version"), this);
    const PathRow path = addPathRow(layout, t("获取到：", "Get to:"), t("选择", "Select"), 320, false, this);
    edPath = path.edit;
    btSelect = path.select;
    chbIncludeSub = new QCheckBox(t("包含子目录", "Include subdirectories"), this);
    layout->addWidget(chbIncludeSub);
    const ConfirmRow buttons = addConfirmRow(layout, t("确定", "Confirm"), t("取消", "Cancel"), this);
    btConfirm = buttons.confirm;
    btCancel = buttons.cancel;
    connect(btSelect, &QPushButton::clicked, this, [this, t] {
        const QString chosen = TGetPathFrm::Pick(this, m_session.Conn.Language, t("选择获取目录", "Select a directory"), edPath->text());
        if (!chosen.isEmpty()) {
            m_userChose = true;
            edPath->setText(IncludeTrailingSlash(chosen));
        }
    });
    connect(btConfirm, &QPushButton::clicked, this, &TGetNewVerFrm::Confirm);
    connect(btCancel, &QPushButton::clicked, this, [this] {
        if (!m_running)
            deleteLater();
    });
    connect(this, &QDialog::rejected, this, [this] {
        if (!m_running)
            deleteLater();
    });
    FAskReplace = [this, lang](const QString &localFile) {
        TGetNewVerHintFrm q(lang, this);
        q.SetFileName(localFile);
        q.exec();
        if (q.FReplaceType == QLatin1String("all"))
            return TReplaceAnswer::All;
        return q.FReplaceType == QLatin1String("ok") ? TReplaceAnswer::Ok : TReplaceAnswer::Cancel;
    };
}

void TGetNewVerFrm::Init(qint32 ownerId, qint64 folderId)
{
    FOwnerId = ownerId;
    FFolderId = folderId;
    edPath->setText(m_session.WorkRoot);
    const TVersionSession s = m_session;
    RunOnPool(
        RequestPool(), this,
        [s, folderId] {
            auto client = s.Conn.MakeClient();
            int step = 0;
            const QString reply = folderId > 0 ? client->GetServerPath(folderId, true) : QString();
            const QString folder = NewestFolderFor(reply, s.ConfigFolder, s.WorkRoot, &step);
            return std::make_pair(folder, step);
        },
        [this](const std::pair<QString, int> &r) {
            FPathStep = r.second;
            if (!m_userChose && !r.first.isEmpty())
                edPath->setText(r.first);
            emit pathResolved();
        });
}

void TGetNewVerFrm::Confirm()
{
    if (m_running)
        return;
    const THS_Language lang = m_session.Conn.Language;
    const auto t = [lang](const char *cn, const char *en) { return VcText(lang, cn, en); };
    const QString hint = t("提示", "Hint");
    const QString path = IncludeTrailingSlash(ToLocalSeparators(edPath->text().trimmed()));
    if (path.isEmpty())
        return;
    if (!QFileInfo(path).isDir()) {
        if (!TPrompter::Instance().Ask(this, hint, t("不存在的本地保存路径，是否新建路径？", "The local save path doesn't exist. Will you create a new one?")))
            return;
        if (!QDir().mkpath(path)) {
            TPrompter::Instance().Error(this, hint, t("新建本地保存路径失败！", "Failed to create a new local save path!"));
            return;
        }
    }
    int step = FPathStep;
    if (path == m_session.WorkRoot)
        step = 0;
    if (PHintFrm)
        PHintFrm->ToFront();
    hide();
    if (FOwnerId == 0 || FFolderId == 0) {
        TPrompter::Instance().Info(nullptr, hint, t("请选择正确的服务器目录！", "Please select the correct directory on the server!"));
        emit fetchEnded();
        deleteLater();
        return;
    }
    m_running = true;
    QPointer<THintFrmXe> monitor = PHintFrm;
    QPointer<TGetNewVerFrm> self(this);
    TNewestHooks hooks;
    hooks.report = [monitor](const QString &file, const QString &text) {
        PostToGuiThread([monitor, file, text] {
            if (monitor)
                monitor->AddLog(file, text);
        });
    };
    hooks.askReplace = [self](const QString &localFile) {
        TReplaceAnswer answer = TReplaceAnswer::Cancel;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [&] {
                if (self && self->FAskReplace)
                    answer = self->FAskReplace(localFile);
            },
            Qt::BlockingQueuedConnection);
        return answer;
    };
    const TServerConn conn = m_session.Conn;
    const bool includeSub = chbIncludeSub->isChecked();
    const qint32 owner = FOwnerId;
    const qint64 folder = FFolderId;
    RunOnPool(
        TransferPool(), this,
        [conn, hooks, path, step, owner, folder, includeSub] {
            TNewestVersions fetch(conn, hooks);
            fetch.SetTarget(path, step);
            fetch.Run(owner, folder, includeSub);
        },
        [this, t] {
            m_running = false;
            if (PHintFrm)
                PHintFrm->AddLog(t("处理完成", "Process completed"), QString());
            emit fetchEnded();
            deleteLater();
        });
}
