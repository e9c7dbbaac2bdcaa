#include "docserver.h"
#include "qrlogin.h"
#include "seed.h"
#include "store.h"

#include "core/aes.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &c, 1);
}

int fail(const QString &message)
{
    QTextStream(stderr) << message << Qt::endl;
    return 1;
}

// Admin commands change the store directly, so a deployment is set up without SQL.
int runAdminCommand(const QString &dataDir, const QStringList &args)
{
    QString error;
    if (!Store::initDataDir(dataDir, &error))
        return fail(error);
    Store store(dataDir);
    if (!store.isOpen())
        return fail(store.db().lastError());
    const QString command = args.value(0);
    QTextStream out(stdout);
    if (command == QLatin1String("add-group") && (args.size() == 2 || args.size() == 3)) {
        const int parent = args.size() == 3 ? store.ownerIdByName(args.at(2), QStringLiteral("G")) : 0;
        if (args.size() == 3 && parent == 0)
            return fail(QStringLiteral("No group %1").arg(args.at(2)));
        const int id = store.addGroup(args.at(1), parent, &error);
        if (id == 0)
            return fail(error);
        out << id << Qt::endl;
        return 0;
    }
    if (command == QLatin1String("add-user") && args.size() >= 3 && args.size() <= 6) {
        const bool admin = args.contains(QStringLiteral("admin"));
        QStringList rest = args.mid(3);
        rest.removeAll(QStringLiteral("admin"));
        const int id = store.addUser(args.at(1), rest.value(0), args.at(2), rest.value(1), admin, &error);
        if (id == 0)
            return fail(error);
        out << id << Qt::endl;
        return 0;
    }
    if (command == QLatin1String("add-member") && args.size() == 3) {
        const int group = store.ownerIdByName(args.at(1), QStringLiteral("G"));
        const int user = store.ownerIdByName(args.at(2), QStringLiteral("U"));
        return store.addMember(group, user, &error) ? 0 : fail(error);
    }
    if (command == QLatin1String("set-password") && args.size() == 3) {
        const int user = store.ownerIdByName(args.at(1), QStringLiteral("U"));
        if (user == 0)
            return fail(QStringLiteral("No user %1").arg(args.at(1)));
        return store.setPassword(user, args.at(2)) ? 0 : fail(store.db().lastError());
    }
    if (command == QLatin1String("set-user-disabled") && args.size() == 3) {
        const int user = store.ownerIdByName(args.at(1), QStringLiteral("U"));
        return user != 0 && store.db().run(QStringLiteral("UPDATE owners SET disabled=? WHERE id=?"), {args.at(2) == QLatin1String("1") ? 1 : 0, user})
            ? 0 : fail(QStringLiteral("No user %1").arg(args.at(1)));
    }
    if (command == QLatin1String("web-session") && args.size() == 2) {
        // The identity a web page hands to the client with "-u": a new session, protected with the application key.
        const int userId = store.ownerIdByName(args.at(1), QStringLiteral("U"));
        const QString identity = userId ? webIdentity(store, userId) : QString();
        if (identity.isEmpty())
            return fail(QStringLiteral("No active user %1").arg(args.at(1)));
        out << identity << Qt::endl;
        return 0;
    }
    if (command == QLatin1String("set") && args.size() == 3) {
        store.setSetting(args.at(1), args.at(2));
        return 0;
    }
    return fail(QStringLiteral("Unknown command or wrong arguments: %1").arg(args.join(u' ')));
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zudivuvo-server"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "ZuDivuvo reference document server.\n"
        "Commands (instead of serving):\n"
        "  add-group NAME [PARENT]\n"
        "  add-user LOGIN PASSWORD [DISPLAY-NAME [EMAIL]] [admin]\n"
        "  add-member GROUP USER\n"
        "  set-password LOGIN PASSWORD\n"
        "  set-user-disabled LOGIN 0|1\n"
        "  web-session LOGIN   (prints a -u identity for the client)\n"
        "  set KEY VALUE   (max_upload_mb, poll_seconds, qr_mode, upload_limit_b, upload_limit_t)"));
    parser.addHelpOption();
    const QCommandLineOption dataOption(QStringLiteral("data"), QStringLiteral("Data folder (created when missing)."), QStringLiteral("dir"));
    const QCommandLineOption listenOption(QStringLiteral("listen"), QStringLiteral("Address to listen on (default 127.0.0.1)."), QStringLiteral("addr"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Port (default 8088; 0 picks a free one)."), QStringLiteral("n"), QStringLiteral("8088"));
    const QCommandLineOption tlsOption(QStringLiteral("tls"), QStringLiteral("Also accept TLS on the same port (self-signed certificate generated into the data folder)."));
    const QCommandLineOption certOption(QStringLiteral("cert"), QStringLiteral("PEM certificate instead of the generated one."), QStringLiteral("file"));
    const QCommandLineOption keyOption(QStringLiteral("key"), QStringLiteral("PEM private key of --cert."), QStringLiteral("file"));
    const QCommandLineOption legacyOption(QStringLiteral("tls-legacy-ciphers"), QStringLiteral("Also offer TLS ciphers without forward secrecy (old clients)."));
    const QCommandLineOption seedOption(QStringLiteral("seed"), QStringLiteral("Fill an empty data folder: \"demo\"."), QStringLiteral("name"));
    const QCommandLineOption idleOption(QStringLiteral("idle-timeout"), QStringLiteral("Seconds a transfer may stay idle (default 600)."), QStringLiteral("s"), QStringLiteral("600"));
    const QCommandLineOption maxConnectionsOption(QStringLiteral("max-connections"), QStringLiteral("Connections served at once (default 1000; lowered to what the descriptor limit allows)."), QStringLiteral("n"), QStringLiteral("1000"));
    const QCommandLineOption maxPerAddressOption(QStringLiteral("max-per-address"), QStringLiteral("Connections served at once from one address (default 64)."), QStringLiteral("n"), QStringLiteral("64"));
    const QCommandLineOption reserveOption(QStringLiteral("disk-reserve-mb"), QStringLiteral("Free disk space uploads must leave, in MiB (default 256)."), QStringLiteral("mb"), QStringLiteral("256"));
    parser.addOptions({dataOption, listenOption, portOption, tlsOption, certOption, keyOption, legacyOption, seedOption, idleOption,
                       maxConnectionsOption, maxPerAddressOption, reserveOption});
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("Optional admin command and its arguments."));
    parser.process(app);

    if (!parser.isSet(dataOption))
        return fail(QStringLiteral("--data DIR is required"));
    ServerOptions options;
    options.dataDir = QDir(parser.value(dataOption)).absolutePath();
    if (!parser.positionalArguments().isEmpty())
        return runAdminCommand(options.dataDir, parser.positionalArguments());

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535)
        return fail(QStringLiteral("Invalid port %1").arg(parser.value(portOption)));
    options.port = quint16(port);
    if (!options.listenAddress.setAddress(parser.value(listenOption)))
        return fail(QStringLiteral("Invalid listen address %1").arg(parser.value(listenOption)));
    options.tls = parser.isSet(tlsOption) || parser.isSet(certOption);
    options.tlsLegacyCiphers = parser.isSet(legacyOption);
    options.certFile = parser.value(certOption);
    options.keyFile = parser.value(keyOption);
    options.idleTimeoutMs = qMax(1, parser.value(idleOption).toInt()) * 1000;
    options.maxConnections = qMax(1, parser.value(maxConnectionsOption).toInt());
    options.maxPerAddress = qMax(1, parser.value(maxPerAddressOption).toInt());
    options.diskReserveBytes = qMax(0LL, parser.value(reserveOption).toLongLong()) * 1024 * 1024;
    if (!options.certFile.isEmpty() && options.keyFile.isEmpty())
        return fail(QStringLiteral("--cert needs --key"));

    DocServer server(options);
    QString error;
    if (!server.openDataDir(&error))
        return fail(error);
    // The seed is written before the port opens, so "listening" means ready to serve.
    if (parser.isSet(seedOption)) {
        if (parser.value(seedOption) != QLatin1String("demo"))
            return fail(QStringLiteral("Unknown seed %1").arg(parser.value(seedOption)));
        Store store(options.dataDir);
        if (!seedDemo(store, &error))
            return fail(QStringLiteral("Cannot seed the demo data: %1").arg(error));
    }
    if (!server.start(&error))
        return fail(error);
    QTextStream(stdout) << "zudivuvo-server listening on " << options.listenAddress.toString() << ':' << server.port()
                        << (options.tls ? " (plain and TLS)" : "") << Qt::endl;

    // Ends cleanly on SIGINT/SIGTERM: open transfers stop, partial uploads stay for resume.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) == 0) {
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
    }
    std::signal(SIGPIPE, SIG_IGN);
    QSocketNotifier notifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    const int rc = app.exec();
    server.stop();
    return rc;
}
