#pragma once
// The edit windows of the running client: the edit monitor for outside
// programs, the editors that web command 15 opens, and the question before an
// exit or log-out would leave an edit behind.
#include "core/resultcodes.h"

#include <QList>
#include <QObject>
#include <QPointer>

#include <functional>

class QWidget;
class TClientConfigX;
class TFileEditBaseFrm;
class TShowEditInfoFrm;

class TAppEditing : public QObject
{
    Q_OBJECT
public:
    TAppEditing(TClientConfigX &config, THS_Language language, QWidget *mainWindow);
    ~TAppEditing() override;

    // The edit monitor window, made when first needed (an edit, or edits an
    // earlier run left): hidden at rest, it would only hold memory.
    TShowEditInfoFrm *Monitor();
    // Web command 15 for office documents and text files; on the GUI thread.
    bool EditOffice(qint64 fileKey, const QString &fileName, QString *error);
    bool EditText(qint64 fileKey, const QString &fileName, QString *error);
    // The clipboard's edit request reaches the monitor.
    void TakeEditCommand(const QString &text, bool mainVisible);
    // True when nothing is being edited, or the user agrees to leave it.
    bool ConfirmExit(QWidget *parent);
    // After a login: edits an earlier run left (a failed upload, "exit anyway", a
    // crash) are offered for upload, or given back.
    void OfferLeftovers(QWidget *parent);
    // What a client started only for an edit waits for before it ends: other work
    // still running, and the main window shown meanwhile.
    void SetExitGuards(std::function<bool()> busyElsewhere, std::function<bool()> mainShown);
    QList<QPointer<TFileEditBaseFrm>> Editors() const { return m_editors; }

Q_SIGNALS:
    // A client started only for an edit may end now.
    void exitRequested();

private:
    bool openEditor(TFileEditBaseFrm *frm, qint64 fileKey, const QString &fileName);
    // The editor already open on this file, brought forward; null when there is none.
    TFileEditBaseFrm *raiseEditorOf(qint64 fileKey);

    TClientConfigX &m_config;
    THS_Language m_language;
    QWidget *m_main;
    TShowEditInfoFrm *m_monitor = nullptr;
    std::function<bool()> m_busyElsewhere, m_mainShown;   // handed to the monitor when it is made
    QList<QPointer<TFileEditBaseFrm>> m_editors;
};
