#pragma once
// The newest-version window and its replace question.
#include "versions/newestversions.h"
#include "versions/versionsession.h"

#include <QDialog>
#include <QPointer>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class THintFrmXe;

class TGetNewVerHintFrm : public QDialog
{
    Q_OBJECT
public:
    explicit TGetNewVerHintFrm(THS_Language language, QWidget *parent = nullptr);
    void SetFileName(const QString &localFile);
    // "ok", "all" or "cancel"; closing counts as cancel.
    QString FReplaceType = QStringLiteral("cancel");
    QLabel *lbFileName = nullptr;
    QPushButton *btOk = nullptr;
    QPushButton *btAll = nullptr;
    QPushButton *btCancel = nullptr;
};

class TGetNewVerFrm : public QDialog
{
    Q_OBJECT
public:
    TGetNewVerFrm(const TVersionSession &session, THintFrmXe *monitor, QWidget *parent = nullptr);

    // Proposes the target folder for the server folder (asks the server for its path).
    void Init(qint32 ownerId, qint64 folderId);
    void Confirm();   // "确定": checks the target and runs the fetch, then closes
    bool IsRunning() const { return m_running; }

    QLineEdit *edPath = nullptr;
    QCheckBox *chbIncludeSub = nullptr;
    QPushButton *btSelect = nullptr;
    QPushButton *btConfirm = nullptr;
    QPushButton *btCancel = nullptr;

    // The replace question; replaceable so tests answer it. Called on the GUI thread.
    std::function<TReplaceAnswer(const QString &localFile)> FAskReplace;

    qint32 FOwnerId = 0;
    qint64 FFolderId = 0;
    int FPathStep = 0;

Q_SIGNALS:
    void pathResolved();
    void fetchEnded();

private:
    TVersionSession m_session;
    QPointer<THintFrmXe> PHintFrm;
    bool m_userChose = false;
    bool m_running = false;
};
