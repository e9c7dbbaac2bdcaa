#include "edit/fileeditbasefrm.h"

#include "core/fileext.h"
#include "core/workpools.h"
#include "platform/prompter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

TFileEditBaseFrm::TFileEditBaseFrm(const TServerConn &conn, const QString &configFolder, QWidget *parent)
    : QWidget(parent)
    , FIniFilePath(configFolder)
    , FUserIdStr(conn.EncryptId)
    , FServerHost(conn.Host)
    , FServerPort(conn.Port)
    , FLanguage(conn.Language == HSL_CN ? HSL_CN : HSL_ENG)
    , EditorTexts(TEditorTexts::For(FLanguage))
    , m_conn(conn)
{
    setAttribute(Qt::WA_DeleteOnClose);
    resize(800, 600);
    setFont(FLanguage == HSL_CN ? QFont(QStringLiteral("宋体"), 9) : QFont(QStringLiteral("Tahoma"), 9));
    LoadTexts();
}

TFileEditBaseFrm::~TFileEditBaseFrm()
{
    TOpenEdits::Instance().Remove(this, FFileKey);
}

QString TFileEditBaseFrm::pick(const char *cn, const char *en) const
{
    return QString::fromUtf8(FLanguage == HSL_CN ? cn : en);
}

void TFileEditBaseFrm::saveFromButton()
{
    m_fromButton = true;
    if (!SaveAndUpload(nullptr) && !IsBusy())
        m_fromButton = false;
}

void TFileEditBaseFrm::finishButtonUpload(bool ok, const QString &messages)
{
    if (!m_fromButton)
        return;
    m_fromButton = false;
    if (ok) {
        TPrompter::Instance().Info(this, Texts.WLS_Hint, EditorTexts.WLS_UpladeOver);
        beforeCloseAfterUpload();
        m_closing = true;
        close();
    } else {
        TPrompter::Instance().Error(this, Texts.WLS_Hint, messages);
    }
}

void TFileEditBaseFrm::cancelFromButton()
{
    if (!TPrompter::Instance().Ask(this, Texts.WLS_Hint, EditorTexts.WLS_CancelEdit))
        return;
    CancelEdit();
    m_closing = true;
    close();
}

void TFileEditBaseFrm::LoadTexts()
{
    Texts = TEditTexts::For(FLanguage);
}

int TFileEditBaseFrm::Edit(const QString &fileName, const QString &ext, qint64 fileKey)
{
    FSourceFileName = fileName;
    FFileKey = fileKey;
    FFileType = ExtCode(ext);
    return 0;
}

int TFileEditBaseFrm::SaveAndUpload(QString *)
{
    return 0;
}

void TFileEditBaseFrm::CancelEdit() {}

void TFileEditBaseFrm::setEditing(bool on)
{
    m_editing = on;
    if (on)
        TOpenEdits::Instance().Add(this, FFileKey, FSourceFileName);
    else
        TOpenEdits::Instance().Remove(this, FFileKey);
}

void TFileEditBaseFrm::downloadForEdit(std::function<void(bool ok)> done)
{
    const TServerConn conn = m_conn;
    const QString folder = FIniFilePath;
    const THS_Language language = FLanguage;
    const qint64 key = FFileKey;
    const QString target = FEditFileName;
    m_busy = true;
    RunOnPool(TransferPool(), this, [conn, folder, language, key, target] {
        return TEditTransfer(conn, folder, language).DownloadForEdit(key, target);
    }, [this, done](const TEditTransfer::Download &d) {
        m_busy = false;
        FNogList << d.Log;
        m_priorCheckout = d.PriorCheckout;
        if (d.Ok)
            setEditing(true);
        done(d.Ok);
    });
}

void TFileEditBaseFrm::uploadEditedCopy(std::function<void(const TEditTransfer::Upload &)> done)
{
    const TServerConn conn = m_conn;
    const QString folder = FIniFilePath;
    const THS_Language language = FLanguage;
    const qint64 key = FFileKey;
    const QString copy = FEditFileName;
    const QString prior = m_priorCheckout;
    m_busy = true;
    RunOnPool(TransferPool(), this, [conn, folder, language, key, copy, prior] {
        TEditTransfer::Upload u = TEditTransfer(conn, folder, language).UploadEdited(key, copy, prior);
        // Answered "content unchanged": the edit ended as well, the lock went back.
        if ((u.Ok || u.Unchanged) && QFileInfo(copy) != QFileInfo(prior))
            QFile::remove(copy);
        return u;
    }, [this, done](const TEditTransfer::Upload &u) {
        m_busy = false;
        FNogList << u.Log;
        if (u.Ok || u.Unchanged)
            setEditing(false);
        done(u);
    });
}

void TFileEditBaseFrm::giveUpEditing()
{
    const TServerConn conn = m_conn;
    const QString folder = FIniFilePath;
    const THS_Language language = FLanguage;
    const qint64 key = FFileKey;
    const QString prior = m_priorCheckout;
    setEditing(false);
    // Not tied to the window: the lock goes back even when the window closes at once.
    RunOnPool(TransferPool(), qApp, [conn, folder, language, key, prior] {
        TEditTransfer(conn, folder, language).GiveUp(key, prior);
    }, [] {});
}
