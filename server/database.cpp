#include "database.h"

#include <QLoggingCategory>
#include <QSqlError>
#include <atomic>

Q_LOGGING_CATEGORY(lcDb, "zudivuvo.server.db")

namespace {
std::atomic<quint64> g_connectionSerial{0};

const char *const kSchema[] = {
    "CREATE TABLE IF NOT EXISTS owners(id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " kind TEXT NOT NULL CHECK(kind IN ('U','G')), name TEXT NOT NULL,"
    " parent_id INTEGER REFERENCES owners(id), sort INTEGER NOT NULL DEFAULT 0,"
    " login TEXT UNIQUE COLLATE NOCASE, email TEXT NOT NULL DEFAULT '', core_id TEXT NOT NULL DEFAULT '',"
    " salt BLOB, pwhash BLOB, disabled INTEGER NOT NULL DEFAULT 0, is_admin INTEGER NOT NULL DEFAULT 0,"
    " clearance INTEGER NOT NULL DEFAULT 255, last_seen REAL)",
    "CREATE TABLE IF NOT EXISTS memberships(group_id INTEGER NOT NULL REFERENCES owners(id) ON DELETE CASCADE,"
    " user_id INTEGER NOT NULL REFERENCES owners(id) ON DELETE CASCADE, PRIMARY KEY(group_id, user_id))",
    "CREATE TABLE IF NOT EXISTS sessions(token TEXT PRIMARY KEY,"
    " user_id INTEGER NOT NULL REFERENCES owners(id) ON DELETE CASCADE,"
    " created REAL NOT NULL, last_seen REAL NOT NULL, lang INTEGER NOT NULL DEFAULT 2)",
    "CREATE TABLE IF NOT EXISTS folders(id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " owner_id INTEGER NOT NULL REFERENCES owners(id), parent_id INTEGER NOT NULL DEFAULT 0,"
    " name TEXT NOT NULL, description TEXT NOT NULL DEFAULT '', deleted INTEGER NOT NULL DEFAULT 0, created REAL)",
    "CREATE INDEX IF NOT EXISTS folders_parent ON folders(owner_id, parent_id)",
    "CREATE TABLE IF NOT EXISTS files(key INTEGER PRIMARY KEY AUTOINCREMENT,"
    " owner_id INTEGER NOT NULL REFERENCES owners(id), folder_id INTEGER NOT NULL REFERENCES folders(id),"
    " name TEXT NOT NULL, kind INTEGER NOT NULL DEFAULT 0, description TEXT NOT NULL DEFAULT '',"
    " props TEXT NOT NULL DEFAULT '', sc INTEGER NOT NULL DEFAULT 0, deleted INTEGER NOT NULL DEFAULT 0,"
    " created_by INTEGER, created REAL)",
    "CREATE INDEX IF NOT EXISTS files_folder ON files(folder_id)",
    "CREATE TABLE IF NOT EXISTS versions(id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " file_key INTEGER NOT NULL REFERENCES files(key) ON DELETE CASCADE, ver INTEGER NOT NULL,"
    " size INTEGER NOT NULL, mtime_ticks INTEGER NOT NULL, blob TEXT NOT NULL, uploaded_by INTEGER,"
    " uploaded_at REAL, remark TEXT NOT NULL DEFAULT '', UNIQUE(file_key, ver))",
    "CREATE TABLE IF NOT EXISTS locks(file_key INTEGER PRIMARY KEY REFERENCES files(key) ON DELETE CASCADE,"
    " user_id INTEGER NOT NULL REFERENCES owners(id), kind INTEGER NOT NULL, since REAL)",
    "CREATE TABLE IF NOT EXISTS messages(id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " user_id INTEGER NOT NULL REFERENCES owners(id) ON DELETE CASCADE, text TEXT NOT NULL,"
    " created REAL, read_at REAL)",
    "CREATE TABLE IF NOT EXISTS settings(key TEXT PRIMARY KEY, value TEXT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS audit_log(id INTEGER PRIMARY KEY AUTOINCREMENT, at REAL, user_id INTEGER,"
    " opr TEXT, file_key INTEGER, text TEXT)",
    "CREATE TABLE IF NOT EXISTS archive_links(arc_id INTEGER NOT NULL,"
    " file_key INTEGER NOT NULL REFERENCES files(key) ON DELETE CASCADE, user_id INTEGER, at REAL,"
    " PRIMARY KEY(arc_id, file_key))",
    "CREATE TABLE IF NOT EXISTS web_tickets(ticket TEXT PRIMARY KEY, seen REAL)",
    "CREATE TABLE IF NOT EXISTS property_defs(id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT NOT NULL,"
    " kind TEXT NOT NULL, options TEXT NOT NULL DEFAULT '', required INTEGER NOT NULL DEFAULT 0,"
    " sort INTEGER NOT NULL DEFAULT 0)",
    // qid is known to the client's page only; scan_id is what the drawn code carries.
    "CREATE TABLE IF NOT EXISTS scan_logins(qid TEXT PRIMARY KEY, scan_id TEXT UNIQUE NOT NULL,"
    " created REAL NOT NULL, state INTEGER NOT NULL, usercode TEXT, token TEXT)",
};
} // namespace

Database::Database(const QString &file)
    : m_name(QStringLiteral("zudivuvo-%1").arg(++g_connectionSerial))
{
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    m_db.setDatabaseName(file);
    m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
    m_open = m_db.open();
    if (!m_open) {
        m_lastError = m_db.lastError().text();
        return;
    }
    run(QStringLiteral("PRAGMA foreign_keys=ON"));
    run(QStringLiteral("PRAGMA busy_timeout=10000"));
    run(QStringLiteral("PRAGMA synchronous=NORMAL"));
}

Database::~Database()
{
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_name);
}

QSqlQuery Database::exec(const QString &sql, const QVariantList &args)
{
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.prepare(sql)) {
        m_lastError = q.lastError().text();
        qCWarning(lcDb) << "prepare failed:" << m_lastError << sql;
        return q;
    }
    // A null QString would bind as SQL NULL; every text column here means "empty".
    for (const QVariant &a : args)
        q.addBindValue(a.typeId() == QMetaType::QString && a.toString().isNull() ? QVariant(QLatin1String("")) : a);
    if (!q.exec()) {
        m_lastError = q.lastError().text();
        qCWarning(lcDb) << "statement failed:" << m_lastError << sql;
    }
    return q;
}

bool Database::run(const QString &sql, const QVariantList &args)
{
    return exec(sql, args).isActive();
}

QVariant Database::value(const QString &sql, const QVariantList &args, const QVariant &def)
{
    QSqlQuery q = exec(sql, args);
    return q.isActive() && q.next() ? q.value(0) : def;
}

qint64 Database::insert(const QString &sql, const QVariantList &args)
{
    QSqlQuery q = exec(sql, args);
    return q.isActive() ? q.lastInsertId().toLongLong() : 0;
}

bool Database::begin()
{
    return run(QStringLiteral("BEGIN IMMEDIATE"));
}

bool Database::commit()
{
    return run(QStringLiteral("COMMIT"));
}

void Database::rollback()
{
    run(QStringLiteral("ROLLBACK"));
}

bool Database::createSchema(const QString &file, QString *error)
{
    Database db(file);
    if (!db.isOpen()) {
        if (error)
            *error = db.lastError();
        return false;
    }
    // WAL is a property of the file: set once, every later connection uses it.
    db.run(QStringLiteral("PRAGMA journal_mode=WAL"));
    Transaction t(db);
    for (const char *sql : kSchema) {
        if (!db.run(QString::fromLatin1(sql))) {
            if (error)
                *error = db.lastError();
            return false;
        }
    }
    // Folder ids 0 and 1 mean "top level" and "owner root" to the client.
    const QList<std::pair<QString, int>> starts{{QStringLiteral("folders"), 999}, {QStringLiteral("files"), 4999}};
    for (const auto &[table, seq] : starts) {
        if (db.value(QStringLiteral("SELECT COUNT(*) FROM sqlite_sequence WHERE name=?"), {table}).toInt() == 0)
            db.run(QStringLiteral("INSERT INTO sqlite_sequence(name, seq) VALUES(?, ?)"), {table, seq});
    }
    if (!t.commit()) {
        if (error)
            *error = db.lastError();
        return false;
    }
    return true;
}
