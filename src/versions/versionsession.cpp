#include "versions/versionsession.h"

#include "core/clientconfigx.h"
#include "core/folders.h"
#include "platform/prompter.h"

#include <QCoreApplication>
#include <QThread>

TVersionSession TVersionSession::FromConfig(TClientConfigX &config, const QString &configFolder)
{
    TVersionSession s;
    s.Conn = TServerConn::FromConfig(config);
    s.WorkRoot = config.WorkRoot();
    // The getter invents a folder when nothing is set; here "never set" matters.
    if (!config.GetValueEx(QStringLiteral("LastCheckoutPath")).isEmpty())
        s.LastCheckoutPath = config.LastCheckoutPath();
    s.ConfigFolder = configFolder;
    s.OpenAfterCheckout = config.OpenAfterCheckout();
    TClientConfigX *store = &config;
    s.SaveLastCheckoutPath = [store](const QString &folder) {
        store->SetLastCheckoutPath(folder);
        store->Save();
    };
    s.SaveWorkRoot = [store](const QString &folder) {
        store->SetWorkRoot(folder);
        return store->Save();
    };
    s.SaveOpenAfterCheckout = [store](bool open) { store->SetOpenAfterCheckout(open); };
    return s;
}

bool AskOnGuiThread(const QString &caption, const QString &question)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return false;
    const auto askNow = [&] { return TPrompter::Instance().Ask(nullptr, caption, question); };
    if (QThread::currentThread() == app->thread())
        return askNow();
    bool answer = false;
    // An event dropped at exit releases the waiter, and the answer stays No.
    QMetaObject::invokeMethod(app, [&] { answer = askNow(); }, Qt::BlockingQueuedConnection);
    return answer;
}

void PostToGuiThread(std::function<void()> f)
{
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::move(f), Qt::QueuedConnection);
}
