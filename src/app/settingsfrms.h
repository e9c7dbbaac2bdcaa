#pragma once
// The settings menu's dialogs: server address with its connection test, work
// folder, and the password change through the server's web page. Their rules
// are plain functions; the network work runs on the request pool.
#include "core/resultcodes.h"

#include <QDialog>
#include <functional>

class QLineEdit;
class QPushButton;
class TClientConfigX;

namespace SettingsRules {
// Trimmed address and a positive whole port, or false (the port error).
bool ReadServerAddress(const QString &ipText, const QString &portText, QString &ip, int &port);
// Empty when the new password may be sent; otherwise the text to show.
QString PasswordError(const QString &oldPs, const QString &newPs, const QString &confirm, THS_Language lang);
} // namespace SettingsRules

class TSetServerHostFrm : public QDialog
{
    Q_OBJECT
public:
    explicit TSetServerHostFrm(TClientConfigX &config, QWidget *parent = nullptr);

    QString Ip;
    int Port = 0;
    QLineEdit *edtIp = nullptr;
    QLineEdit *edtPort = nullptr;
    QPushButton *bbtConnect = nullptr;
    QPushButton *bbtSave = nullptr;
    QPushButton *BitBtn1 = nullptr;

Q_SIGNALS:
    // After the message of a test (or of a save) was shown.
    void testFinished(bool passed);

private:
    bool validate();
    void runTest(bool save);
    QString tx(const char *cn, const char *en) const;
    TClientConfigX &m_config;
    THS_Language FHS_Language;
};

class TWorkPathFrm : public QDialog
{
    Q_OBJECT
public:
    explicit TWorkPathFrm(TClientConfigX &config, QWidget *parent = nullptr);

    QString FPath;
    QLineEdit *edtFolder = nullptr;
    QPushButton *bbtSave = nullptr;
    QPushButton *BitBtn1 = nullptr;
    QPushButton *BitBtn2 = nullptr;

    // The folder picker: caption and start folder in, the chosen folder or empty out.
    std::function<QString(const QString &caption, const QString &start)> FPickFolder;

    void Save();

private:
    QString tx(const char *cn, const char *en) const;
    TClientConfigX &m_config;
    THS_Language FHS_Language;
};

class TUpdateUserPasswordFrm : public QDialog
{
    Q_OBJECT
public:
    explicit TUpdateUserPasswordFrm(const TClientConfigX &config, QWidget *parent = nullptr);

    QLineEdit *edtOldPs = nullptr;
    QLineEdit *edtNewPs = nullptr;
    QLineEdit *edtNewPs2 = nullptr;
    QPushButton *btUpdate = nullptr;
    QPushButton *btCancel = nullptr;

    void Update();

Q_SIGNALS:
    // The server's answer (or the failure) was shown.
    void answered(bool changed);

private:
    QString tx(const char *cn, const char *en) const;
    QString m_baseUrl;
    bool m_ssl = false;
    qint64 m_userId = 0;
    THS_Language FHS_Language;
};
