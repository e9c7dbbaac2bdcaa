#include "versions/setcheckoutpathfrm.h"

#include "core/folders.h"
#include "core/workpools.h"
#include "files/getpathfrm.h"
#include "net/robottcpclient.h"
#include "platform/prompter.h"
#include "versions/dialogrows.h"
#include "versions/versiontexts.h"
#include "versions/workpaths.h"

#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <limits>

TSetCheckOutPathFrm::TSetCheckOutPathFrm(const TVersionSession &session, QWidget *parent)
    : QDialog(parent)
    , m_session(session)
{
    const THS_Language lang = session.Conn.Language;
    const auto t = [lang](const char *cn, const char *en) { return VcText(lang, cn, en); };
    setWindowTitle(t("设置工作路径", "Set the working path"));
    setFont(QFont(lang == HSL_CN ? QStringLiteral("宋体") : QStringLiteral("Arial"), 9));
    auto *layout = new QVBoxLayout(this);
    addTitleRow(layout, t("设置工作路径", "Set the working path"), this);
    const PathRow path = addPathRow(layout, t("选择文件夹：", "Select folder:"), t("选择", "Select"), 320, true, this);
    edPath = path.edit;
    btSelect = path.select;
    const ConfirmRow buttons = addConfirmRow(layout, t("确定", "Confirm"), t("取消", "Cancel"), this);
    btConfirm = buttons.confirm;
    btCancel = buttons.cancel;
    connect(btSelect, &QPushButton::clicked, this, [this, t] {
        const QString chosen = TGetPathFrm::Pick(this, m_session.Conn.Language, t("选择签出目录", "Select the directory"), edPath->text());
        if (!chosen.isEmpty()) {
            m_userChose = true;
            edPath->setText(IncludeTrailingSlash(chosen));
        }
    });
    connect(btConfirm, &QPushButton::clicked, this, [this] {
        if (Confirm())
            accept();
    });
    connect(btCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TSetCheckOutPathFrm::Init(qint64 folderId)
{
    FFolderId = folderId;
    if (folderId <= 0) {
        edPath->setText(m_session.WorkRoot);
        emit pathResolved();
        return;
    }
    const TVersionSession s = m_session;
    RunOnPool(
        RequestPool(), this,
        [s, folderId] {
            auto client = s.Conn.MakeClient();
            return WorkPathDialogFolderFor(client->GetServerPath(folderId, true), s.ConfigFolder, s.WorkRoot);
        },
        [this](const QString &folder) {
            if (!m_userChose)
                edPath->setText(folder);
            emit pathResolved();
        });
}

bool TSetCheckOutPathFrm::Confirm()
{
    const THS_Language lang = m_session.Conn.Language;
    const auto t = [lang](const char *cn, const char *en) { return VcText(lang, cn, en); };
    const QString hint = t("提示", "Hint");
    const QString path = edPath->text().trimmed();
    if (path.isEmpty())
        return false;
    const QString local = ToLocalSeparators(path);
    if (!QFileInfo(local).isDir()) {
        if (!TPrompter::Instance().Ask(this, hint, t("不存在的本地保存路径，是否新建路径？", "The local save path doesn't exist. Will you create a new one?")))
            return false;
        if (!QDir().mkpath(local)) {
            TPrompter::Instance().Error(this, hint, t("新建本地保存路径失败！", "Failed to create a new local save path!"));
            return false;
        }
    }
    // A write that failed is said so, and the dialog stays for another try.
    if (FFolderId > std::numeric_limits<qint32>::max()) {
        TPrompter::Instance().Error(this, hint, QStringLiteral("Folder id %1 is out of range").arg(FFolderId));
        return false;
    }
    if (FFolderId > 0) {
        QString error;
        if (!WorkPathRecord(m_session.ConfigFolder).write(qint32(FFolderId), local, &error)) {
            TPrompter::Instance().Error(this, hint, error);
            return false;
        }
        hide();
        return true;
    }
    if (!m_session.SaveWorkRoot || !m_session.SaveWorkRoot(path)) {
        TPrompter::Instance().Error(this, hint, t("工作路径没有保存：无法写入配置文件。",
                                                  "The working path was not saved: the configuration file could not be written."));
        return false;
    }
    hide();
    TPrompter::Instance().Info(this, hint, t("成功保存，重启程序此设置才能生效！",
                                             "Successfully saved. \r\nThe system should be restarted so the changes can take effct!"));
    return true;
}
