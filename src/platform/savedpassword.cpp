#include "platform/savedpassword.h"

#include "core/clientconfigx.h"
#include "platform/logging.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QLibrary>
#include <QPointer>
#include <QTimer>

#ifdef ZUDIVUVO_HAVE_KEYCHAIN
#include <qt6keychain/keychain.h>
#endif

namespace SavedPassword {

namespace {

const QString kPlaceKey = QStringLiteral("PasswordPlace");
const QString kKeyringPlace = QStringLiteral("keyring");
const QString kFilePlace = QStringLiteral("file");
constexpr int kFirstPauseMs = 250;
constexpr int kLongestPauseMs = 2000;

struct TJobOutcome {
    bool Ok = false;
    bool NotFound = false;
    QString Text;        // the password read, or why the job failed
    bool Final = false;  // asking again cannot help (no session bus, switched off)
};
using JobDone = std::function<void(const TJobOutcome &)>;

enum class TJobKind { Read, Write, Delete };

// One keychain job; done runs on the caller's thread unless context went first.
// libsecret keeps one connection to the Secret Service for the whole process; after
// the keyring daemon restarted, its session is gone and every job fails until the
// connection is made afresh. QtKeychain loads the same library, so this reaches it.
void dropSecretServiceConnection()
{
#ifdef ZUDIVUVO_HAVE_KEYCHAIN
    using DisconnectFn = void (*)();
    static const DisconnectFn disconnect = [] {
        QLibrary library(QStringLiteral("secret-1"), 0);
        return library.load() ? reinterpret_cast<DisconnectFn>(library.resolve("secret_service_disconnect")) : nullptr;
    }();
    if (disconnect)
        disconnect();
#endif
}

bool keyringSwitchedOff()
{
    return qEnvironmentVariable("ZUDIVUVO_KEYRING") == QLatin1String("off");
}

// Without a session bus no Secret Service can answer; asking would make D-Bus
// start a bus of its own (autolaunch) and load the keyring libraries for nothing.
bool sessionBusExpected()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QLatin1String("/bus"));
}

void startJob(TJobKind kind, const QString &key, const QString &password, QObject *context, JobDone done)
{
    QString refusal;
    if (keyringSwitchedOff())
        refusal = QStringLiteral("the desktop keyring is switched off (ZUDIVUVO_KEYRING=off)");
    else if (!sessionBusExpected())
        refusal = QStringLiteral("there is no D-Bus session, so no desktop keyring");
    if (!refusal.isEmpty()) {
        QMetaObject::invokeMethod(context, [refusal, done = std::move(done)] {
            done(TJobOutcome{false, false, refusal, true});
        }, Qt::QueuedConnection);
        return;
    }
#ifdef ZUDIVUVO_HAVE_KEYCHAIN
    QKeychain::Job *job = nullptr;
    if (kind == TJobKind::Read) {
        job = new QKeychain::ReadPasswordJob(KeyringService());
    } else if (kind == TJobKind::Write) {
        auto *write = new QKeychain::WritePasswordJob(KeyringService());
        write->setTextData(password);
        job = write;
    } else {
        job = new QKeychain::DeletePasswordJob(KeyringService());
    }
    job->setAutoDelete(true);
    job->setInsecureFallback(false);
    job->setKey(key);
    QObject::connect(job, &QKeychain::Job::finished, context, [kind, done = std::move(done)](QKeychain::Job *j) {
        TJobOutcome o;
        o.Ok = j->error() == QKeychain::NoError;
        o.NotFound = j->error() == QKeychain::EntryNotFound;
        if (!o.Ok && !o.NotFound)
            dropSecretServiceConnection();
        if (o.Ok && kind == TJobKind::Read)
            o.Text = static_cast<QKeychain::ReadPasswordJob *>(j)->textData();
        else if (!o.Ok)
            o.Text = j->errorString();
        done(o);
    });
    job->start();
#else
    Q_UNUSED(kind);
    Q_UNUSED(key);
    Q_UNUSED(password);
    QMetaObject::invokeMethod(context, [done = std::move(done)] {
        done(TJobOutcome{false, false, QStringLiteral("this build has no keyring support")});
    }, Qt::QueuedConnection);
#endif
}

// Waits in a local event loop for one job, at most waitMs. A late answer is dropped.
TJobOutcome waitForJob(TJobKind kind, const QString &key, const QString &password, int waitMs)
{
    TJobOutcome outcome;
    bool answered = false;
    QEventLoop loop;
    {
        QObject context;
        startJob(kind, key, password, &context, [&](const TJobOutcome &o) {
            outcome = o;
            answered = true;
            loop.quit();
        });
        if (!answered) {
            QTimer::singleShot(qMax(1, waitMs), &loop, &QEventLoop::quit);
            loop.exec();
        }
    }
    if (!answered)
        outcome.Text = QStringLiteral("no answer within %1 s").arg(qMax(1, waitMs) / 1000.0, 0, 'g', 2);
    return outcome;
}

// What a finished keyring write means for the store: the file keeps no copy
// when the keyring took it, and the protected form when it did not.
TPlace applyStore(TClientConfigX &config, const QString &password, const TJobOutcome &write, QString *notice)
{
    const TPlace place = write.Ok ? TPlace::Keyring : TPlace::File;
    if (!write.Ok)
        qCInfo(lcPlatform).noquote() << "the desktop keyring did not take the saved password:" << write.Text;
    config.SetLoginPassword(write.Ok ? QString() : password);
    const QString before = config.GetValueEx(kPlaceKey);
    const QString now = write.Ok ? kKeyringPlace : kFilePlace;
    config.SetValueEx(kPlaceKey, now);
    config.Save();
    if (notice)
        *notice = before == now ? QString() : PlaceText(place, config.ConfigFileName(), config.Language() == HSL_CN);
    return place;
}

} // namespace

QString KeyringService()
{
    return QStringLiteral("ZuDivuvo");
}

QString KeyringKey(const TClientConfigX &config)
{
    // One entry per configuration folder: two profiles never share a password.
    return QStringLiteral("LoginPassword ") + config.ConfigFileName();
}

TPlace StoredPlace(const TClientConfigX &config)
{
    if (config.GetValueEx(kPlaceKey) == kKeyringPlace)
        return TPlace::Keyring;
    return config.LoginPassword().isEmpty() ? TPlace::None : TPlace::File;
}

QString PlaceText(TPlace place, const QString &configFile, bool chinese)
{
    switch (place) {
    case TPlace::Keyring:
        return chinese ? QStringLiteral("保存的密码存放在桌面密钥环中。")
                       : QStringLiteral("The saved password is kept in the desktop keyring.");
    case TPlace::File:
        return chinese ? QStringLiteral("没有可用的桌面密钥环：保存的密码以加密形式存放在 %1 中。").arg(configFile)
                       : QStringLiteral("No desktop keyring answers: the saved password is kept, protected, in %1.")
                             .arg(configFile);
    case TPlace::None:
        break;
    }
    return {};
}

TPlace Store(TClientConfigX &config, const QString &password, int waitMs, QString *notice)
{
    if (notice)
        notice->clear();
    if (password.isEmpty()) {
        Forget(config, waitMs);
        return TPlace::None;
    }
    QElapsedTimer clock;
    clock.start();
    TJobOutcome write = waitForJob(TJobKind::Write, KeyringKey(config), password, waitMs);
    // Once more on a fresh connection: the first job after a keyring restart fails.
    if (!write.Ok && clock.elapsed() < waitMs)
        write = waitForJob(TJobKind::Write, KeyringKey(config), password, int(waitMs - clock.elapsed()));
    return applyStore(config, password, write, notice);
}

void StoreAsync(TClientConfigX &config, const QString &password, QObject *context,
                std::function<void(TPlace place, const QString &notice)> done)
{
    TClientConfigX *store = &config;
    const QString key = KeyringKey(config);
    auto apply = [store, password, done](const TJobOutcome &o) {
        QString notice;
        const TPlace place = applyStore(*store, password, o, &notice);
        if (done)
            done(place, notice);
    };
    // Once more on a fresh connection: the first job after a keyring restart fails.
    startJob(TJobKind::Write, key, password, context, [key, password, context, apply](const TJobOutcome &o) {
        if (o.Ok)
            apply(o);
        else
            startJob(TJobKind::Write, key, password, context, apply);
    });
}

void Forget(TClientConfigX &config, int waitMs)
{
    const bool inKeyring = config.GetValueEx(kPlaceKey) == kKeyringPlace;
    config.SetLoginPassword(QString());
    config.SetValueEx(kPlaceKey, QString());
    config.Save();
    if (inKeyring) {
        const TJobOutcome o = waitForJob(TJobKind::Delete, KeyringKey(config), QString(), waitMs);
        if (!o.Ok && !o.NotFound)
            qCInfo(lcPlatform).noquote() << "the desktop keyring did not drop the saved password:" << o.Text;
    }
}

TReadResult Read(const TClientConfigX &config, int waitMs)
{
    TReadResult result;
    QEventLoop loop;
    TReader reader;
    QObject::connect(&reader, &TReader::finished, &loop, [&](const TReadResult &r) {
        result = r;
        loop.quit();
    });
    reader.Start(config, waitMs);
    loop.exec();
    return result;
}

TReader::TReader(QObject *parent)
    : QObject(parent)
    , m_retry(new QTimer(this))
{
    m_retry->setSingleShot(true);
    connect(m_retry, &QTimer::timeout, this, &TReader::ask);
}

TReader::~TReader() = default;

void TReader::Start(const TClientConfigX &config, int waitMs)
{
    ++m_generation;
    m_retry->stop();
    m_running = true;
    m_attempts = 0;
    TReadResult r;
    r.Place = StoredPlace(config);
    if (r.Place != TPlace::Keyring) {
        r.Ok = true;
        r.Password = config.LoginPassword();
        const quint64 generation = m_generation;
        QMetaObject::invokeMethod(this, [this, r, generation] {
            if (generation == m_generation)
                finish(r);
        }, Qt::QueuedConnection);
        return;
    }
    m_key = KeyringKey(config);
    m_deadline = QDateTime::currentMSecsSinceEpoch() + qMax(0, waitMs);
    m_pauseMs = kFirstPauseMs;
    const quint64 generation = m_generation;
    // A job that hangs (a prompt nobody answers) must not outlast the wait.
    QTimer::singleShot(qMax(1, waitMs), this, [this, generation, waitMs] {
        if (generation != m_generation || !m_running)
            return;
        TReadResult late;
        late.Place = TPlace::Keyring;
        late.Error = QStringLiteral("The desktop keyring did not give the saved password within %1 s.")
                         .arg(qMax(1, waitMs) / 1000.0, 0, 'g', 3);
        finish(late);
    });
    ask();
}

void TReader::ask()
{
    if (!m_running)
        return;
    ++m_attempts;
    const quint64 generation = m_generation;
    startJob(TJobKind::Read, m_key, QString(), this, [this, generation](const TJobOutcome &o) {
        if (generation != m_generation || !m_running)
            return;
        if (o.Ok) {
            TReadResult r;
            r.Ok = true;
            r.Place = TPlace::Keyring;
            r.Password = o.Text;
            finish(r);
            return;
        }
        // Not up yet, locked (a locked keyring also answers "not found"), or busy: ask again.
        const QString why = o.NotFound ? QStringLiteral("the desktop keyring has no saved password (it may be locked)")
                                       : o.Text;
        const qint64 left = m_deadline - QDateTime::currentMSecsSinceEpoch();
        if (o.Final || left <= m_pauseMs) {
            TReadResult r;
            r.Place = TPlace::Keyring;
            r.Error = QStringLiteral("The desktop keyring did not give the saved password: %1.").arg(why);
            finish(r);
            return;
        }
        Q_EMIT waiting(why);
        m_retry->start(m_pauseMs);
        m_pauseMs = qMin(m_pauseMs * 2, kLongestPauseMs);
    });
}

void TReader::finish(const TReadResult &r)
{
    m_running = false;
    m_retry->stop();
    ++m_generation;
    Q_EMIT finished(r);
}

} // namespace SavedPassword
