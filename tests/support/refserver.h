#pragma once
// The reference server on a free 127.0.0.1 port with a temporary data folder
// (or a given one) and the demo seed, and what it stored, read straight from
// that folder.
#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <QVariant>

#include <functional>
#include <memory>
#include <optional>

class DocServer;
struct ServerOptions;

class RefServer
{
public:
    struct Setup {
        bool seed = true;             // the demo organisation
        bool tls = false;
        bool quickTimeouts = true;    // idle and first-line deadlines of 1.5 s
        QString dataDir;              // empty: a temporary folder of its own
        std::function<void(ServerOptions &)> tune;  // before the start

        // The server's own idle and first-line deadlines.
        static Setup serverTimeouts()
        {
            Setup s;
            s.quickTimeouts = false;
            return s;
        }
    };

    RefServer();
    explicit RefServer(const Setup &setup);
    ~RefServer();
    RefServer(const RefServer &) = delete;
    RefServer &operator=(const RefServer &) = delete;

    // Starts again after stop(), on the port it had.
    void start();
    void stop();
    quint16 port() const { return m_port; }
    // The client's server field: "127.0.0.1#<port>#0".
    QString address() const;
    QString dataDir() const;

    QVariant sql(const QString &query, const QVariantList &args = {}) const;
    // A top-level folder of the owner; 0 when there is none.
    qint64 folderId(int owner, const QString &name) const;
    // A file in a top-level folder of the owner; 0 when there is none.
    qint64 fileKey(int owner, const QString &folderName, const QString &name) const;
    // The first file of that name anywhere.
    qint64 keyOf(const QString &name) const;
    // The current body of the owner's file at a "/"-separated path.
    std::optional<QByteArray> fileAt(int owner, const QString &path) const;
    // How many versions the owner's file at a "/"-separated path has.
    int versions(int owner, const QString &path) const;
    QByteArray currentBody(qint64 key) const;
    // The current version's number; 0 for no file.
    int versionCount(qint64 key) const;
    bool locked(qint64 key) const;
    // The name of the user holding the file's lock; empty when it is free.
    QString lockHolder(qint64 key) const;

private:
    QTemporaryDir m_dir;
    std::unique_ptr<ServerOptions> m_options;
    std::unique_ptr<DocServer> m_server;
    quint16 m_port = 0;
};
