#pragma once
// The version-control windows as the rest of the client reaches them: the file
// manager's entries and web commands 16 to 20. Owns the two status monitors
// (one for the file manager, one for web commands); every window it opens frees
// itself when its work is done.
#include "versions/versionsession.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <functional>

class QWidget;
class THintFrmXe;
class TGetNewVerFrm;
class TSetCheckOutPathFrm;
class TShowDiffFrm;
class TVersionControlFrm;

class TVersionWindows : public QObject
{
    Q_OBJECT
public:
    // session is asked afresh for every window (settings may have changed).
    TVersionWindows(std::function<TVersionSession()> session, THS_Language language, QWidget *owner);
    ~TVersionWindows() override;

    // Made when first needed: hidden at rest, they would only hold memory.
    THintFrmXe *Monitor();
    THintFrmXe *WebMonitor();

    // File manager entries; done runs once the window has gone (to reload the list).
    void CheckOut(const QStringList &keys, const QStringList &names, std::function<void()> done = {});
    void CheckIn(const QStringList &keys, const QStringList &names, std::function<void()> done = {});
    void CancelCheckout(const QStringList &keys, const QStringList &names, std::function<void()> done = {});
    void ShowDiff(qint32 ownerId, qint64 folderId);

    // Web commands 16 to 20, on the GUI thread.
    bool ChooseWorkPath(qint64 folderId, QString *error);
    bool FetchNewest(qint64 ownerId, qint64 folderId, QString *error);
    bool VersionControl(int code, const QList<qint64> &keys, const QStringList &names, QString *error);
    // The question of commands 19 and 20, naming the files.
    static QString ConfirmText(int code, const QStringList &names, THS_Language language);
    // A check-out, check-in or newest-version window is still at work.
    bool IsBusy() const { return !LastVersionControlFrm.isNull() || !LastNewVerFrm.isNull(); }

    // The windows opened last (tests and screenshots).
    QPointer<TVersionControlFrm> LastVersionControlFrm;
    QPointer<TGetNewVerFrm> LastNewVerFrm;
    QPointer<TSetCheckOutPathFrm> LastWorkPathFrm;
    QPointer<TShowDiffFrm> LastDiffFrm;
    // Replaces the desktop opener of check-out windows (tests).
    std::function<bool(const QString &path, QString *why)> FOpen;

Q_SIGNALS:
    void webCommandEnded(int code, bool result);

private:
    TVersionControlFrm *makeVersionFrm(THintFrmXe *monitor, const QStringList &keys, const QStringList &names);

    std::function<TVersionSession()> m_session;
    THS_Language m_language;
    QPointer<QWidget> m_owner;
    THintFrmXe *m_monitor = nullptr;
    THintFrmXe *m_webMonitor = nullptr;
};
