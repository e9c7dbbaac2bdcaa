#pragma once
// Every test runs with its own home, data, config and runtime folders, so it
// never reads or writes the real user's files.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <ctime>
#include <memory>

class TestHome
{
public:
    TestHome()
    {
        const QString root = m_dir.path();
        for (const char *sub : {"home", "data", "config", "runtime", "cache"})
            QDir(root).mkpath(QLatin1String(sub));
        QFile::setPermissions(root + QLatin1String("/runtime"),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        qputenv("HOME", QFile::encodeName(root + QLatin1String("/home")));
        qputenv("XDG_DATA_HOME", QFile::encodeName(root + QLatin1String("/data")));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(root + QLatin1String("/config")));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(root + QLatin1String("/runtime")));
        qputenv("XDG_CACHE_HOME", QFile::encodeName(root + QLatin1String("/cache")));
        qputenv("XDG_DOCUMENTS_DIR", QFile::encodeName(root + QLatin1String("/home/Documents")));
        // Nor the desktop keyring; the keyring suite asks for its private one with "on".
        if (!qEnvironmentVariableIsSet("ZUDIVUVO_KEYRING"))
            qputenv("ZUDIVUVO_KEYRING", "off");
    }
    QString path() const { return m_dir.path(); }
    QString dataHome() const { return m_dir.path() + QLatin1String("/data"); }
    QString configFolder() const { return dataHome() + QLatin1String("/Kv/"); }

private:
    QTemporaryDir m_dir;
};

// Sets TZ for one test (or row) and puts the old zone back afterwards.
class ZoneScope
{
public:
    explicit ZoneScope(const QByteArray &zone)
        : m_had(qEnvironmentVariableIsSet("TZ"))
        , m_old(qgetenv("TZ"))
    {
        qputenv("TZ", zone);
        tzset();
    }
    ~ZoneScope()
    {
        if (m_had)
            qputenv("TZ", m_old);
        else
            qunsetenv("TZ");
        tzset();
    }
    ZoneScope(const ZoneScope &) = delete;
    ZoneScope &operator=(const ZoneScope &) = delete;

private:
    bool m_had;
    QByteArray m_old;
};

template <typename T>
int runOne(const QStringList &args)
{
    T t;
    return QTest::qExec(&t, args);
}

// Runs several test classes from one binary and adds up their failures.
template <typename... Tests>
int runTests(int argc, char **argv)
{
    Q_UNUSED(argc);
    const QStringList args{QString::fromLocal8Bit(argv[0])};
    const int failed = (runOne<Tests>(args) + ...);
    return failed == 0 ? 0 : 1;
}
