#pragma once
// The session's state and what each way of logging in leaves in the store.
#include "app/sessionbackend.h"

class TClientConfigX;

class TSession
{
public:
    explicit TSession(TClientConfigX &config);

    // Start-up step 1: an identity handed over by a web page, usable as it is.
    bool TryWebSession();
    // Start-up step 2 is wanted only with "AutoLogin"; its request uses these values.
    bool WantsAutoLogin() const;
    QString SavedLoginName() const;
    // The saved password as last read from the keyring or the file.
    QString SavedPassword() const;
    void SetSavedPassword(const QString &password);
    void AcceptAutoLogin(const TLoginResult &r);

    // The dialog's port: the typed number, else 443 with TLS and 80 without.
    static int DialogPort(const QString &portText, bool ssl);
    // What the dialog enters, made into the session's server.
    void SetDialogServer(const QString &ip, const QString &portText, bool ssl);
    // Waits briefly for the desktop keyring when the password is kept (the login already waits).
    void AcceptDialogLogin(const QString &name, const QString &password, const TLoginResult &r);
    // Where the last saved password went, when the user has not been told yet; then empty.
    QString TakePlaceNotice();
    // False, storing nothing, when the code is not a whole identity.
    bool AcceptQrLogin(const QString &userCode);

    // Start-up step 4: the session exists; the server values are stored.
    void Establish(bool storeServer = true);
    // Exit through the menu or the tray: forget the identity, and the saved
    // name and password unless automatic login wants them.
    void LogOutForExit();
    // The main window goes away: a handed-over identity does not outlive the process.
    void OnDestroy();

    TServerAddress Server() const { return {FServerIp, FServerPort, FServerSSL}; }
    void TakeServerFromStore();

    bool FIsLogin = false;
    bool FLoginOver = false;
    QString FServerIp;
    int FServerPort = 0;
    bool FServerSSL = false;

    // How long a login waits for the desktop keyring to take or give the password.
    static constexpr int kKeyringStoreMs = 3000;
    static constexpr int kKeyringReadMs = 20000;

private:
    void storeIdentity(const TLoginResult &r);
    TClientConfigX &m_config;
    QString m_savedPassword;
    bool m_passwordRead = false;
    QString m_placeNotice;
};

// A clipboard text that would run as an edit or batch command. Left over from
// before a login, it is dropped rather than carried out.
bool IsStaleClipboardCommand(const QString &text);
