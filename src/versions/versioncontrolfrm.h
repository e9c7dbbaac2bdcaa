#pragma once
// The check-out window: style, target folder, open-afterwards; also runs cancel
// check-out and check-in without being shown. One window per batch: each
// operation ends with operationEnded and the window deleting itself later.
#include "versions/versionsession.h"
#include "versions/versiontexts.h"

#include <QDialog>
#include <QPointer>
#include <QStringList>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class THintFrmXe;

class TVersionControlFrm : public QDialog
{
    Q_OBJECT
public:
    TVersionControlFrm(const TVersionSession &session, THintFrmXe *monitor, QWidget *parent = nullptr);

    // Keys in decimal and names in the same order; proposes the target folder
    // (the first file's work path, else the last check-out folder, else the work root).
    void Init(const QStringList &keys, const QStringList &names);
    // Result lines go to resultLine instead of the monitor.
    void SetHandle(QObject *other);
    // Shows folder as the target and stores it as the default check-out folder.
    void SetCheckoutPath(const QString &folder);

    void Confirm();          // the "确定" button: check out
    void CancelCheckout();   // at once, without showing the window
    void BathCheckin();      // at once, without showing the window
    bool IsRunning() const { return m_running; }

    QLineEdit *Edit1 = nullptr;
    QRadioButton *RadioButton1 = nullptr;
    QRadioButton *RadioButton2 = nullptr;
    QCheckBox *CheckBox1 = nullptr;
    QCheckBox *chbSaveAsDefault = nullptr;
    QPushButton *btSelect = nullptr;
    QPushButton *btConfirm = nullptr;
    QPushButton *btCancel = nullptr;

    // Opens a checked-out file or the target folder; replaceable so tests never start a program.
    std::function<bool(const QString &path, QString *why)> FOpen;

Q_SIGNALS:
    void pathResolved();
    void resultLine(const QString &name, const QString &text);
    // The end notice: result is what the operation returns.
    void operationEnded(bool result);

private:
    enum class Op { CheckOut, Cancel, CheckIn };
    void run(Op op);
    void selectFolder();

    TVersionSession m_session;
    QPointer<THintFrmXe> PHintFrm;
    QPointer<QObject> m_other;
    TVersionTexts m_texts;
    QStringList FKeysStr;
    QStringList FNamesStr;
    bool m_userChose = false;
    bool m_resolving = false;       // the work path of the first file is being asked for
    bool m_confirmWaiting = false;  // "Confirm" waits for that answer
    bool m_running = false;
};
