#include "app/appediting.h"

#include "app/noticefrms.h"
#include "core/clientconfigx.h"
#include "core/fileext.h"
#include "core/folders.h"
#include "edit/edittransfer.h"
#include "edit/officeeditfrm.h"
#include "edit/showeditinfofrm.h"
#include "edit/texteditfrm.h"
#include "platform/prompter.h"
#include "versions/workpaths.h"

#include <QDir>
#include <QWidget>

TAppEditing::TAppEditing(TClientConfigX &config, THS_Language language, QWidget *mainWindow)
    : QObject(mainWindow)
    , m_config(config)
    , m_language(language == HSL_CN ? HSL_CN : HSL_ENG)
    , m_main(mainWindow)
{
}

TShowEditInfoFrm *TAppEditing::Monitor()
{
    if (m_monitor)
        return m_monitor;
    m_monitor = new TShowEditInfoFrm(m_language, m_main);
    TEditMonitor &monitor = m_monitor->Monitor();
    monitor.SettingsSource = [this] { return TEditSettings::FromConfig(m_config); };
    monitor.BusyElsewhere = m_busyElsewhere;
    monitor.MainShownNow = m_mainShown;
    connect(&monitor, &TEditMonitor::exitRequested, this, &TAppEditing::exitRequested);
    return m_monitor;
}

TAppEditing::~TAppEditing()
{
    // The editors are top-level windows of their own: they go with the client.
    for (const QPointer<TFileEditBaseFrm> &e : std::as_const(m_editors))
        delete e.data();
}

bool TAppEditing::openEditor(TFileEditBaseFrm *frm, qint64 fileKey, const QString &fileName)
{
    m_editors.removeAll(nullptr);
    m_editors << frm;
    const TPreviewRect r = m_config.PreviewRect();
    frm->setGeometry(r.Left, r.Top, r.Width, r.Height);
    frm->setWindowTitle(fileName);
    frm->show();
    frm->Edit(fileName, ExtWithoutDot(fileName), fileKey);
    frm->raise();
    frm->activateWindow();
    return true;
}

TFileEditBaseFrm *TAppEditing::raiseEditorOf(qint64 fileKey)
{
    m_editors.removeAll(nullptr);
    for (const QPointer<TFileEditBaseFrm> &e : std::as_const(m_editors))
        if (e->FFileKey == fileKey && (e->IsEditing() || e->IsBusy())) {
            e->show();
            e->raise();
            e->activateWindow();
            return e.data();
        }
    return nullptr;
}

bool TAppEditing::EditOffice(qint64 fileKey, const QString &fileName, QString *)
{
    // One edit per file: a second request brings the first one forward.
    if (raiseEditorOf(fileKey))
        return true;
    auto *frm = new TOfficeFileEditFrm(TServerConn::FromConfig(m_config), GetConfigFolder());
    frm->SetToolbarVisible(true);
    // The control window is small: it sits beside the office program, not over it.
    const TPreviewRect r = m_config.PreviewRect();
    openEditor(frm, fileKey, fileName);
    frm->setGeometry(r.Left, r.Top, 440, 170);
    return true;
}

bool TAppEditing::EditText(qint64 fileKey, const QString &fileName, QString *)
{
    if (raiseEditorOf(fileKey))
        return true;
    auto *frm = new TTextFileEditFrm(TServerConn::FromConfig(m_config), GetConfigFolder());
    openEditor(frm, fileKey, fileName);
    frm->SetToolbarVisible(true);
    return true;
}

void TAppEditing::TakeEditCommand(const QString &text, bool mainVisible)
{
    TEditMonitor &monitor = Monitor()->Monitor();
    monitor.SetPendingEdit(text);
    monitor.SetMainVisible(mainVisible);
    m_monitor->show();
    monitor.EditFile();
    m_monitor->raise();
    if (!m_config.NotShowEditGuide()) {
        auto *guide = new TEditorGuideFrm(m_config, nullptr);
        guide->show();
    }
}

bool TAppEditing::ConfirmExit(QWidget *parent)
{
    const QStringList open = TOpenEdits::Instance().Descriptions();
    if (open.isEmpty())
        return true;
    const TEditorTexts t = TEditorTexts::For(m_language);
    return TPrompter::Instance().Ask(parent, TEditTexts::For(m_language).WLS_Hint,
                                     t.UnfinishedEdits.arg(open.join(QLatin1Char('\n'))));
}

void TAppEditing::OfferLeftovers(QWidget *parent)
{
    // Without edit records no edit can be left over: the monitor need not be made.
    if (!m_monitor && CheckoutRecord(TEditSettings::FromConfig(m_config).ConfigFolder).editKeys().isEmpty())
        return;
    TEditMonitor &monitor = Monitor()->Monitor();
    const QList<TLeftoverEdit> leftovers = monitor.LeftoverEdits();
    if (leftovers.isEmpty())
        return;
    m_monitor->show();
    for (const TLeftoverEdit &l : leftovers) {
        const bool upload = TPrompter::Instance().Ask(parent, TEditTexts::For(m_language).WLS_Hint,
                                                      monitor.Texts().LeftoverQuestion.arg(QDir::toNativeSeparators(l.Path)));
        monitor.ResolveLeftover(l.FileKey, upload);
    }
}

void TAppEditing::SetExitGuards(std::function<bool()> busyElsewhere, std::function<bool()> mainShown)
{
    m_busyElsewhere = std::move(busyElsewhere);
    m_mainShown = std::move(mainShown);
    if (m_monitor) {
        m_monitor->Monitor().BusyElsewhere = m_busyElsewhere;
        m_monitor->Monitor().MainShownNow = m_mainShown;
    }
}
