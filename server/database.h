#pragma once
// One SQLite connection per client connection (Qt connections are per thread);
// WAL lets readers and the one writer proceed together.
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

class Database
{
public:
    explicit Database(const QString &file);
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    bool isOpen() const { return m_open; }
    QString lastError() const { return m_lastError; }
    // Runs one statement; a failed statement leaves an inactive query and sets lastError.
    QSqlQuery exec(const QString &sql, const QVariantList &args = {});
    bool run(const QString &sql, const QVariantList &args = {});
    QVariant value(const QString &sql, const QVariantList &args = {}, const QVariant &def = {});
    qint64 insert(const QString &sql, const QVariantList &args = {}); // new row id, 0 on failure
    // IMMEDIATE takes the write lock up front, so two writers never deadlock on upgrade.
    bool begin();
    bool commit();
    void rollback();
    QSqlDatabase &db() { return m_db; }

    // Creates or upgrades the schema; run once when the server starts.
    static bool createSchema(const QString &file, QString *error);

private:
    QString m_name;
    QSqlDatabase m_db;
    bool m_open = false;
    QString m_lastError;
};

// Keeps a transaction open until commit(); rolls back when left early.
class Transaction
{
public:
    explicit Transaction(Database &db) : m_db(db), m_active(db.begin()) {}
    ~Transaction()
    {
        if (m_active)
            m_db.rollback();
    }
    bool active() const { return m_active; }
    bool commit()
    {
        const bool ok = m_active && m_db.commit();
        m_active = false;
        return ok;
    }

private:
    Database &m_db;
    bool m_active;
};
