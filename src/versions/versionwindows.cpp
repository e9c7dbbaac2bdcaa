#include "versions/versionwindows.h"

#include "platform/prompter.h"
#include "versions/getnewverfrm.h"
#include "versions/hintfrmxe.h"
#include "versions/setcheckoutpathfrm.h"
#include "versions/showdifffrm.h"
#include "versions/versioncontrolfrm.h"
#include "versions/versiontexts.h"

#include <QTimer>
#include <QWidget>

TVersionWindows::TVersionWindows(std::function<TVersionSession()> session, THS_Language language, QWidget *owner)
    : QObject(owner)
    , m_session(std::move(session))
    , m_language(language)
    , m_owner(owner)
{
}

// Top-level windows of their own: they outlive nothing and are freed with this object.
THintFrmXe *TVersionWindows::Monitor()
{
    if (!m_monitor)
        m_monitor = new THintFrmXe(m_language);
    return m_monitor;
}

THintFrmXe *TVersionWindows::WebMonitor()
{
    if (!m_webMonitor)
        m_webMonitor = new THintFrmXe(m_language);
    return m_webMonitor;
}

TVersionWindows::~TVersionWindows()
{
    delete m_monitor;
    delete m_webMonitor;
}

TVersionControlFrm *TVersionWindows::makeVersionFrm(THintFrmXe *monitor, const QStringList &keys, const QStringList &names)
{
    auto *frm = new TVersionControlFrm(m_session(), monitor, m_owner);
    if (FOpen)
        frm->FOpen = FOpen;
    frm->Init(keys, names);
    LastVersionControlFrm = frm;
    return frm;
}

void TVersionWindows::CheckOut(const QStringList &keys, const QStringList &names, std::function<void()> done)
{
    if (keys.isEmpty())
        return;
    TVersionControlFrm *frm = makeVersionFrm(Monitor(), keys, names);
    if (done)
        connect(frm, &QObject::destroyed, this, [done] { done(); });
    frm->setWindowModality(Qt::ApplicationModal);
    frm->open();
}

void TVersionWindows::CheckIn(const QStringList &keys, const QStringList &names, std::function<void()> done)
{
    if (keys.isEmpty())
        return;
    Monitor()->ToFront();
    TVersionControlFrm *frm = makeVersionFrm(Monitor(), keys, names);
    if (done)
        connect(frm, &QObject::destroyed, this, [done] { done(); });
    frm->BathCheckin();
}

void TVersionWindows::CancelCheckout(const QStringList &keys, const QStringList &names, std::function<void()> done)
{
    if (keys.isEmpty())
        return;
    Monitor()->ToFront();
    TVersionControlFrm *frm = makeVersionFrm(Monitor(), keys, names);
    if (done)
        connect(frm, &QObject::destroyed, this, [done] { done(); });
    frm->CancelCheckout();
}

void TVersionWindows::ShowDiff(qint32 ownerId, qint64 folderId)
{
    auto *frm = new TShowDiffFrm(m_session(), Monitor(), m_owner);
    frm->setAttribute(Qt::WA_DeleteOnClose);
    frm->Init(ownerId, folderId);
    LastDiffFrm = frm;
    frm->show();
    frm->raise();
}

bool TVersionWindows::ChooseWorkPath(qint64 folderId, QString *)
{
    auto *frm = new TSetCheckOutPathFrm(m_session(), m_owner);
    frm->setAttribute(Qt::WA_DeleteOnClose);
    frm->setWindowModality(Qt::ApplicationModal);
    frm->Init(folderId);
    LastWorkPathFrm = frm;
    connect(frm, &QDialog::finished, this, [this](int r) { emit webCommandEnded(16, r == QDialog::Accepted); });
    frm->open();
    return true;
}

bool TVersionWindows::FetchNewest(qint64 ownerId, qint64 folderId, QString *)
{
    auto *frm = new TGetNewVerFrm(m_session(), WebMonitor(), m_owner);
    frm->Init(qint32(ownerId), folderId);
    LastNewVerFrm = frm;
    connect(frm, &TGetNewVerFrm::fetchEnded, this, [this] { emit webCommandEnded(17, true); });
    frm->show();
    frm->raise();
    return true;
}

QString TVersionWindows::ConfirmText(int code, const QStringList &names, THS_Language language)
{
    const QString head = code == 19 ? VcText(language, "是否取消签出以下文件？", "Cancel the check-out of these files?")
                                    : VcText(language, "是否签入以下文件？", "Check in these files?");
    QStringList shown = names.mid(0, 20);
    if (names.size() > shown.size())
        shown << VcText(language, "……", "...");
    return head + QLatin1String("\n\n") + shown.join(u'\n');
}

bool TVersionWindows::VersionControl(int code, const QList<qint64> &keys, const QStringList &names, QString *)
{
    QStringList keyTexts;
    for (qint64 k : keys)
        keyTexts << QString::number(k);
    if (keyTexts.isEmpty())
        return false;
    if (code == 18) {
        TVersionControlFrm *frm = makeVersionFrm(WebMonitor(), keyTexts, names);
        connect(frm, &QObject::destroyed, this, [this] {
            WebMonitor()->ToFront();
            emit webCommandEnded(18, true);
        });
        frm->setWindowModality(Qt::ApplicationModal);
        frm->open();
        return true;
    }
    if (code != 19 && code != 20)
        return false;
    // A web page asked for this, not the user: ask the user first, after the
    // dispatcher's tick has returned.
    QTimer::singleShot(0, this, [this, code, keyTexts, names] {
        if (!TPrompter::Instance().Ask(m_owner, VcText(m_language, "提示", "Hint"), ConfirmText(code, names, m_language))) {
            emit webCommandEnded(code, false);
            return;
        }
        WebMonitor()->ToFront();
        TVersionControlFrm *frm = makeVersionFrm(WebMonitor(), keyTexts, names);
        connect(frm, &TVersionControlFrm::operationEnded, this, [this, code](bool r) { emit webCommandEnded(code, r); });
        if (code == 19)
            frm->CancelCheckout();
        else
            frm->BathCheckin();
    });
    return true;
}
