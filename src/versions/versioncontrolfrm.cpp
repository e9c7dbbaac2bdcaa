#include "versions/versioncontrolfrm.h"

#include "core/folders.h"
#include "core/helpers.h"
#include "core/workpools.h"
#include "files/getpathfrm.h"
#include "net/robottcpclient.h"
#include "platform/desktopopener.h"
#include "versions/dialogrows.h"
#include "versions/hintfrmxe.h"
#include "versions/versioncontrol.h"
#include "versions/workpaths.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

TVersionControlFrm::TVersionControlFrm(const TVersionSession &session, THintFrmXe *monitor, QWidget *parent)
    : QDialog(parent)
    , m_session(session)
    , PHintFrm(monitor)
    , m_texts(session.Conn.Language)
{
    const THS_Language lang = session.Conn.Language;
    const auto t = [lang](const char *cn, const char *en) { return VcText(lang, cn, en); };
    setAttribute(Qt::WA_DeleteOnClose, false);
    setWindowTitle(t("签出", "Check out"));
    setFont(QFont(lang == HSL_CN ? QStringLiteral("宋体") : QStringLiteral("Arial"), 9));
    setStyleSheet(QStringLiteral("TVersionControlFrm { background: white; }"));
    auto *layout = new QVBoxLayout(this);
    addTitleRow(layout, t("签出", "Check out"), this);
    auto *style = new QGroupBox(t("签出方式", "Check-out style"), this);
    auto *styleLayout = new QVBoxLayout(style);
    RadioButton1 = new QRadioButton(t("签出并覆盖本地文件", "Check out and overwrite the local file"), style);
    RadioButton2 = new QRadioButton(t("签出并保留本地更改", "Check out and keep local changes"), style);
    RadioButton1->setChecked(true);
    styleLayout->addWidget(RadioButton1);
    styleLayout->addWidget(RadioButton2);
    layout->addWidget(style);
    const PathRow path = addPathRow(layout, t("签出到目录：", "Check out to:"), t("选择", "Select"), 300, true, this);
    Edit1 = path.edit;
    btSelect = path.select;
    CheckBox1 = new QCheckBox(t("是否打开文件", "open the file"), this);
    CheckBox1->setChecked(m_session.OpenAfterCheckout);
    chbSaveAsDefault = new QCheckBox(t("保存为默认签出路径", "Save as default checkout path"), this);
    auto *checks = new QHBoxLayout;
    checks->addWidget(CheckBox1);
    checks->addWidget(chbSaveAsDefault);
    checks->addStretch(1);
    layout->addLayout(checks);
    const ConfirmRow buttons = addConfirmRow(layout, t("确定", "Confirm"), t("取消", "Cancel"), this);
    btConfirm = buttons.confirm;
    btCancel = buttons.cancel;
    connect(btSelect, &QPushButton::clicked, this, &TVersionControlFrm::selectFolder);
    connect(btConfirm, &QPushButton::clicked, this, &TVersionControlFrm::Confirm);
    connect(btCancel, &QPushButton::clicked, this, [this] {
        if (!m_running) {
            hide();
            deleteLater();
        }
    });
    // The close glyph and Escape end the window like "取消".
    connect(this, &QDialog::rejected, this, [this] {
        if (!m_running)
            deleteLater();
    });
    FOpen = [lang](const QString &path, QString *why) { return DesktopOpener::OpenFile(path, why, lang == HSL_CN); };
}

void TVersionControlFrm::Init(const QStringList &keys, const QStringList &names)
{
    FKeysStr = keys;
    FNamesStr = names;
    const QString fileRoot = !m_session.LastCheckoutPath.isEmpty() ? m_session.LastCheckoutPath : m_session.WorkRoot;
    Edit1->setText(fileRoot);
    m_other.clear();
    if (keys.isEmpty())
        return;
    const qint64 first = StrToInt64Def(keys.first().trimmed(), 0);
    const TVersionSession s = m_session;
    m_resolving = true;
    RunOnPool(
        RequestPool(), this,
        [s, first] {
            auto client = s.Conn.MakeClient();
            return CheckoutFolderFor(client->GetServerPath(first, false), s.ConfigFolder, s.LastCheckoutPath, s.WorkRoot);
        },
        [this](const QString &folder) {
            m_resolving = false;
            if (!m_userChose && !folder.isEmpty())
                Edit1->setText(folder);
            emit pathResolved();
            // "Confirm" pressed before the work path was known: it runs now, into that path.
            if (m_confirmWaiting) {
                m_confirmWaiting = false;
                run(Op::CheckOut);
            }
        });
}

void TVersionControlFrm::SetHandle(QObject *other)
{
    m_other = other;
}

void TVersionControlFrm::SetCheckoutPath(const QString &folder)
{
    m_userChose = true;
    Edit1->setText(folder);
    m_session.LastCheckoutPath = Edit1->text();
    if (m_session.SaveLastCheckoutPath)
        m_session.SaveLastCheckoutPath(Edit1->text());
}

void TVersionControlFrm::selectFolder()
{
    const QString chosen = TGetPathFrm::Pick(this, m_session.Conn.Language, m_texts.WLS_SelFolder, Edit1->text());
    if (chosen.isEmpty())
        return;
    m_userChose = true;
    Edit1->setText(IncludeTrailingSlash(chosen));
}

void TVersionControlFrm::Confirm()
{
    // The proposed folder may still be the fallback: wait for the work path unless the user chose one.
    if (m_resolving && !m_userChose) {
        m_confirmWaiting = true;
        btConfirm->setEnabled(false);
        return;
    }
    run(Op::CheckOut);
}

void TVersionControlFrm::CancelCheckout()
{
    run(Op::Cancel);
}

void TVersionControlFrm::BathCheckin()
{
    run(Op::CheckIn);
}

void TVersionControlFrm::run(Op op)
{
    if (m_running)
        return;
    m_running = true;
    if (!m_other && PHintFrm && op == Op::CheckOut)
        PHintFrm->ToFront();
    hide();
    const bool toOther = !m_other.isNull();
    QPointer<THintFrmXe> monitor = PHintFrm;
    QPointer<TVersionControlFrm> self(this);
    TVersionHooks hooks;
    hooks.report = [monitor, self, toOther](const QString &name, const QString &text) {
        PostToGuiThread([monitor, self, toOther, name, text] {
            if (toOther) {
                if (self)
                    emit self->resultLine(name, text);
            } else if (monitor) {
                monitor->AddLog(name, text);
            }
        });
    };
    const QString caption = m_texts.WLS_Hint;
    hooks.ask = [caption](const QString &question) { return AskOnGuiThread(caption, question); };
    hooks.open = FOpen;
    const TVersionSession s = m_session;
    const QStringList keys = FKeysStr;
    const QStringList names = FNamesStr;
    const QString folder = Edit1->text().trimmed();
    const bool keepLocal = RadioButton2->isChecked();
    const bool openFile = CheckBox1->isChecked();
    const bool saveDefault = chbSaveAsDefault->isChecked();
    if (op == Op::CheckOut && m_session.SaveOpenAfterCheckout && openFile != m_session.OpenAfterCheckout)
        m_session.SaveOpenAfterCheckout(openFile);
    RunOnPool(
        TransferPool(), this,
        [s, hooks, op, keys, names, folder, keepLocal, openFile] {
            TVersionControl vc(s.Conn, s.ConfigFolder, hooks);
            switch (op) {
            case Op::CheckOut: return vc.CheckOut(keys, names, folder, keepLocal, openFile);
            case Op::Cancel: return vc.CancelCheckout(keys, names);
            case Op::CheckIn: return vc.BathCheckin(keys, names);
            }
            return false;
        },
        [this, op, saveDefault, folder](bool result) {
            m_running = false;
            if (op == Op::CheckOut && saveDefault)
                SetCheckoutPath(folder);
            emit operationEnded(result);
            deleteLater();
        });
}
