#include "app/arvoclientfrm.h"
#include "app/logging.h"
#include "app/netsessionbackend.h"
#include "core/uitext.h"
#include "app/startup.h"
#include "core/clientconfigx.h"
#include "core/folders.h"
#include "core/memberpowers.h"
#include "core/workpools.h"
#include "files/tsetfilepropertyfrm.h"
#include "platform/embeddedbrowser.h"
#include "platform/instancechannel.h"
#include "platform/memorytrim.h"
#include "platform/netadapters.h"
#include "platform/shellintegration.h"
#include "platform/ssllibraries.h"

#include <QApplication>
#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>

int main(int argc, char *argv[])
{
    TuneMemoryAllocator();
    std::unique_ptr<InstanceChannel> channel;
    {
        // The launch itself needs no display: a browser hand-off must work anywhere.
        QCoreApplication launch(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("ZuDivuvo"));
        NetAdapters::install();
        LoadDisabledPowers();

        channel = std::make_unique<InstanceChannel>();
        const bool primary = channel->acquire();

        TClientConfigX config;
        const QString exePath = QCoreApplication::applicationFilePath();
        TStartup startup(config, [&exePath] {
            ShellIntegration::RegisterUrlProtocol(exePath);
            ShellIntegration::RegisterViewerControl(true);
        });
        const TStartupResult r = startup.Run(QCoreApplication::arguments().value(1));
        if (r.registerAndExit)
            return 0;
        if (r.pending.Code != 0) {
            QString error;
            if (!WriteWebCmdFile(GetConfigFolder() + kWebCmdFileName, r.pending, &error))
                qCWarning(lcApp).noquote() << error;
        }
        if (!primary) {
            if (!channel->wakeRunningInstance())
                qCWarning(lcApp) << "a client instance holds the lock but does not answer";
            return 0;
        }
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ZuDivuvo"));
    QApplication::setApplicationDisplayName(QStringLiteral("KelVo Client"));
    QApplication::setApplicationVersion(QStringLiteral(ZUDIVUVO_VERSION));
    // A tray application: hiding the last window does not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    TClientConfigX config;
    InstallQtTranslations(config.Language());
    InstallClientStyle();
    SetTextLanguage(config.Language());
    SslLibraries::ExtractSslLibraries(GetExeFolder());
    // Resident for days: what closed viewers and finished runs freed goes back.
    QTimer trim;
    trim.setTimerType(Qt::VeryCoarseTimer);
    QObject::connect(&trim, &QTimer::timeout, &ReturnFreedMemory);
    trim.start(60 * 1000);
    int code = 0;
    {
        TARVOClientFrm mainWindow(config, std::make_shared<TNetSessionBackend>(),
                                  QCoreApplication::applicationFilePath());
        mainWindow.SetBrowserProvider({&EmbeddedBrowser::UnavailableReason, &EmbeddedBrowser::Create});
        TTSetFilePropertyFrm::SetBrowserFactory(&EmbeddedBrowser::Create);
        QObject::connect(channel.get(), &InstanceChannel::messageReceived, &mainWindow, &TARVOClientFrm::handleMessage);
        QString error;
        if (!channel->listen(&error))
            qCWarning(lcApp).noquote() << error;
        mainWindow.show();
        code = app.exec();
        // A launch from now on starts a new client instead of waking this one.
        channel.reset();
    }
    // Requests still on the wire (a login, a poll, a transfer stopping after
    // its block) are of no use any more: exit without waiting for their time-outs.
    if (!WaitForWorkPools(300)) {
        qCInfo(lcApp) << "exiting with background requests still running";
        std::fflush(nullptr);
        std::_Exit(code);
    }
    return code;
}
