#pragma once
// Where the saved login password lives: the desktop keyring (a Secret Service such
// as GNOME Keyring or KWallet) when one answers, else the configuration file's
// protected form. The file's "PasswordPlace" records which, so a keyring that
// starts late or is locked is waited for instead of being read as "no password".
// Qt Core only: the window and zudivuvo-cli both use it.
#include <QObject>
#include <QString>

#include <functional>

class QTimer;
class TClientConfigX;

namespace SavedPassword {

enum class TPlace { None, Keyring, File };

struct TReadResult {
    bool Ok = false;          // false: the keyring holds it but did not give it in time
    QString Password;         // empty when none is saved
    TPlace Place = TPlace::None;
    QString Error;            // why not, in words a user can act on
};

// Where the store says the password is; None when it holds none.
TPlace StoredPlace(const TClientConfigX &config);

// Keyring service and key of this configuration's password.
QString KeyringService();
QString KeyringKey(const TClientConfigX &config);

// Stores the password: into the keyring when it answers within waitMs (the
// file's copy then goes), else into the file's protected form; saves the store.
// Waits in a local event loop: call it only where the caller already waits.
// notice (when not null) gets the sentence to tell the user when the place
// differs from the one last told for this store, and stays empty otherwise.
TPlace Store(TClientConfigX &config, const QString &password, int waitMs, QString *notice = nullptr);
// The same without waiting; done (may be empty) runs on the caller's thread
// with the place, unless context went away first.
void StoreAsync(TClientConfigX &config, const QString &password, QObject *context,
                std::function<void(TPlace place, const QString &notice)> done);
// Removes the saved password from the file and, when it is there, the keyring
// (waiting at most waitMs); saves the store.
void Forget(TClientConfigX &config, int waitMs);

// Reads the saved password, waiting in a local event loop at most waitMs for a
// keyring that is not up yet, locked, or slow (asked again every few hundred
// milliseconds). For zudivuvo-cli and other callers without a window.
TReadResult Read(const TClientConfigX &config, int waitMs);

// The sentence that says where the password is kept.
QString PlaceText(TPlace place, const QString &configFile, bool chinese);

// Reads without blocking: asks the keyring again with growing pauses until it
// answers or the time is up. finished comes once per Start, queued.
class TReader : public QObject
{
    Q_OBJECT
public:
    explicit TReader(QObject *parent = nullptr);
    ~TReader() override;
    void Start(const TClientConfigX &config, int waitMs);
    bool Running() const { return m_running; }
    // Asks made so far by the current Start.
    int Attempts() const { return m_attempts; }

Q_SIGNALS:
    // The keyring did not answer yet; it is asked again.
    void waiting(const QString &why);
    void finished(const SavedPassword::TReadResult &result);

private:
    void ask();
    void finish(const TReadResult &r);

    QString m_key;
    qint64 m_deadline = 0;
    int m_pauseMs = 0;
    int m_attempts = 0;
    bool m_running = false;
    quint64 m_generation = 0;
    QTimer *m_retry = nullptr;
};

} // namespace SavedPassword

Q_DECLARE_METATYPE(SavedPassword::TReadResult)
