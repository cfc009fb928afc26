#include "history/HistoryStore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <atomic>

namespace {

// SQLite's primary result codes that say the file is not a sound database.
constexpr int kSqliteCorrupt = 11;
constexpr int kSqliteNotADatabase = 26;

constexpr int64_t kMicrosecondsPerSecond = 1000000;

std::string UniqueConnectionName() {
    static std::atomic<uint64_t> counter{0};
    return "tidewell-history-" + std::to_string(++counter);
}

bool IsDamage(const QSqlError& error) {
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    if (!ok) {
        return false;
    }
    const int primary = code & 0xff;
    return primary == kSqliteCorrupt || primary == kSqliteNotADatabase;
}

int64_t MicrosecondsOf(const ClockTime& t) {
    return t.seconds * kMicrosecondsPerSecond + t.nanoseconds / 1000;
}

ClockTime ClockTimeOf(int64_t microseconds) {
    int64_t seconds = microseconds / kMicrosecondsPerSecond;
    int64_t rest = microseconds % kMicrosecondsPerSecond;
    if (rest < 0) {
        --seconds;
        rest += kMicrosecondsPerSecond;
    }
    return {seconds, static_cast<int32_t>(rest * 1000)};
}

QVariant Optional(const std::optional<double>& value) {
    return value ? QVariant(*value) : QVariant(QMetaType(QMetaType::Double));
}

std::optional<double> OptionalOf(const QVariant& value) {
    if (value.isNull()) {
        return std::nullopt;
    }
    return value.toDouble();
}

template <class E, std::size_t N>
E FromName(const QString& name, const char* const (&names)[N], E fallback) {
    for (std::size_t i = 0; i < N; ++i) {
        if (name == QLatin1String(names[i])) {
            return static_cast<E>(i);
        }
    }
    return fallback;
}

const char* const kKindNames[] = {"automatic", "manual", "server test"};
const char* const kOutcomeNames[] = {"success", "failure", "stopped"};

const char* const kSchema[] = {
    "CREATE TABLE IF NOT EXISTS attempts ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " time_utc_us INTEGER NOT NULL,"
    " server_title TEXT NOT NULL,"
    " server_host TEXT NOT NULL,"
    " offset_s REAL,"
    " delay_s REAL,"
    " correction_s REAL,"
    " shift_s REAL NOT NULL DEFAULT 0,"
    " authenticated INTEGER NOT NULL DEFAULT 0,"
    " status TEXT NOT NULL,"
    " kind TEXT NOT NULL,"
    " outcome TEXT NOT NULL)",
    "CREATE INDEX IF NOT EXISTS attempts_time ON attempts (time_utc_us)",
};

}  // namespace

const char* AttemptKindName(AttemptKind kind) {
    const auto index = static_cast<std::size_t>(kind);
    return index < std::size(kKindNames) ? kKindNames[index] : "automatic";
}

const char* AttemptOutcomeName(AttemptOutcome outcome) {
    const auto index = static_cast<std::size_t>(outcome);
    return index < std::size(kOutcomeNames) ? kOutcomeNames[index] : "failure";
}

HistoryStore::HistoryStore(std::string path, Limits limits)
    : HistoryStore(std::move(path), limits, UniqueConnectionName()) {}

HistoryStore::HistoryStore(std::string path, Limits limits, std::string connectionName)
    : m_path(std::move(path)), m_limits(limits), m_connection(std::move(connectionName)) {}

HistoryStore::~HistoryStore() {
    Close();
}

std::string HistoryStore::DefaultPath() {
    QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (dataHome.isEmpty() || QDir::isRelativePath(dataHome)) {
        dataHome = QDir::homePath() + QStringLiteral("/.local/share");
    }
    return (dataHome + QStringLiteral("/Quorvane/Tidewell/history.sqlite")).toStdString();
}

void HistoryStore::Close() {
    const QString name = QString::fromStdString(m_connection);
    if (QSqlDatabase::contains(name)) {
        {
            QSqlDatabase db = QSqlDatabase::database(name, false);
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
    }
    m_open = false;
}

HistoryStore::Result HistoryStore::OpenConnection() {
    Close();
    const QString path = QString::fromStdString(m_path);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSqlDatabase db =
        QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QString::fromStdString(m_connection));
    db.setDatabaseName(path);
    // Another writer (a second copy of the program) is waited for a moment, not failed at once.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=2000"));
    if (!db.open()) {
        return IsDamage(db.lastError()) ? Result::Damaged : Result::Failed;
    }
    QSqlQuery query(db);
    // The whole file is checked once per start: a damaged page would otherwise
    // surface only when a later write or read happens to touch it.
    if (!query.exec(QStringLiteral("PRAGMA quick_check"))) {
        return IsDamage(query.lastError()) ? Result::Damaged : Result::Failed;
    }
    if (!query.next() || query.value(0).toString() != QLatin1String("ok")) {
        return Result::Damaged;
    }
    query.finish();
    const QString pragmas[] = {
        QStringLiteral("PRAGMA journal_mode=WAL"),
        // In WAL mode a crash may lose the last record but never damages the file.
        QStringLiteral("PRAGMA synchronous=NORMAL"),
    };
    for (const QString& pragma : pragmas) {
        if (!query.exec(pragma)) {
            return IsDamage(query.lastError()) ? Result::Damaged : Result::Failed;
        }
    }
    if (m_limits.maxPageCount > 0 &&
        !query.exec(QStringLiteral("PRAGMA max_page_count=%1").arg(m_limits.maxPageCount))) {
        return Result::Failed;
    }
    for (const char* statement : kSchema) {
        if (!query.exec(QString::fromLatin1(statement))) {
            return IsDamage(query.lastError()) ? Result::Damaged : Result::Failed;
        }
    }
    m_open = true;
    return Result::Ok;
}

void HistoryStore::SetAside() {
    Close();
    const QString path = QString::fromStdString(m_path);
    const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss"));
    QString aside = path + QStringLiteral(".damaged-") + stamp;
    for (int n = 2; QFile::exists(aside); ++n) {
        aside = path + QStringLiteral(".damaged-") + stamp + QLatin1Char('-') + QString::number(n);
    }
    if (QFile::rename(path, aside)) {
        m_setAside.push_back(aside.toStdString());
    } else {
        QFile::remove(path);
    }
    // The journal files belong to the damaged database, not to the new one.
    for (const char* suffix : {"-wal", "-shm"}) {
        const QString journal = path + QLatin1String(suffix);
        if (QFile::exists(journal) && !QFile::rename(journal, aside + QLatin1String(suffix))) {
            QFile::remove(journal);
        }
    }
}

bool HistoryStore::Open() {
    Result result = OpenConnection();
    if (result == Result::Damaged) {
        SetAside();
        result = OpenConnection();
    }
    if (result != Result::Ok) {
        Close();
        return false;
    }
    return true;
}

HistoryStore::Result HistoryStore::InsertAndPrune(const AttemptRecord* records, std::size_t count) {
    QSqlDatabase db = QSqlDatabase::database(QString::fromStdString(m_connection), false);
    if (!db.transaction()) {
        return IsDamage(db.lastError()) ? Result::Damaged : Result::Failed;
    }
    QSqlQuery query(db);
    const auto fail = [&](const QSqlError& error) {
        query.finish();
        db.rollback();
        return IsDamage(error) ? Result::Damaged : Result::Failed;
    };
    qlonglong id = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const AttemptRecord& record = records[i];
        query.prepare(QStringLiteral(
            "INSERT INTO attempts (time_utc_us, server_title, server_host, offset_s, delay_s, correction_s,"
            " shift_s, authenticated, status, kind, outcome) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
        query.addBindValue(QVariant::fromValue<qlonglong>(MicrosecondsOf(record.timeUtc)));
        query.addBindValue(QString::fromStdString(record.serverTitle));
        query.addBindValue(QString::fromStdString(record.serverHost));
        query.addBindValue(Optional(record.offsetSeconds));
        query.addBindValue(Optional(record.delaySeconds));
        query.addBindValue(Optional(record.correctionSeconds));
        query.addBindValue(record.shiftSeconds);
        query.addBindValue(record.authenticated ? 1 : 0);
        query.addBindValue(QString::fromStdString(record.statusText));
        query.addBindValue(QString::fromLatin1(AttemptKindName(record.kind)));
        query.addBindValue(QString::fromLatin1(AttemptOutcomeName(record.outcome)));
        if (!query.exec()) {
            return fail(query.lastError());
        }
        id = query.lastInsertId().toLongLong();
    }
    const AttemptRecord& record = records[count - 1];
    // Ids only grow, so the newest maxRecords are those above this one.
    query.prepare(QStringLiteral("DELETE FROM attempts WHERE id <= ?"));
    query.addBindValue(id - m_limits.maxRecords);
    if (!query.exec()) {
        return fail(query.lastError());
    }
    // Age is judged only by a clock just set right: a wrong clock must not
    // empty the history.
    if (record.outcome == AttemptOutcome::Success && record.correctionSeconds) {
        query.prepare(QStringLiteral("DELETE FROM attempts WHERE time_utc_us < ?"));
        query.addBindValue(QVariant::fromValue<qlonglong>(MicrosecondsOf(record.timeUtc) -
                                                          m_limits.maxAgeSeconds * kMicrosecondsPerSecond));
        if (!query.exec()) {
            return fail(query.lastError());
        }
    }
    query.finish();
    if (!db.commit()) {
        const QSqlError error = db.lastError();
        db.rollback();
        return IsDamage(error) ? Result::Damaged : Result::Failed;
    }
    return Result::Ok;
}

bool HistoryStore::Append(const AttemptRecord& record) {
    return Append(std::vector<AttemptRecord>{record});
}

bool HistoryStore::Append(const std::vector<AttemptRecord>& records) {
    if (records.empty()) {
        return true;
    }
    if (!m_open && !Open()) {
        return false;
    }
    const Result result = InsertAndPrune(records.data(), records.size());
    if (result == Result::Damaged) {
        SetAside();
        return Open() && InsertAndPrune(records.data(), records.size()) == Result::Ok;
    }
    return result == Result::Ok;
}

std::vector<AttemptRecord> HistoryStore::LoadAll() {
    std::vector<AttemptRecord> records;
    if (!m_open && !Open()) {
        return records;
    }
    QSqlDatabase db = QSqlDatabase::database(QString::fromStdString(m_connection), false);
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral(
            "SELECT time_utc_us, server_title, server_host, offset_s, delay_s, correction_s, shift_s,"
            " authenticated, status, kind, outcome FROM attempts ORDER BY id"))) {
        return records;
    }
    while (query.next()) {
        AttemptRecord record;
        record.timeUtc = ClockTimeOf(query.value(0).toLongLong());
        record.serverTitle = query.value(1).toString().toStdString();
        record.serverHost = query.value(2).toString().toStdString();
        record.offsetSeconds = OptionalOf(query.value(3));
        record.delaySeconds = OptionalOf(query.value(4));
        record.correctionSeconds = OptionalOf(query.value(5));
        record.shiftSeconds = query.value(6).toDouble();
        record.authenticated = query.value(7).toInt() != 0;
        record.statusText = query.value(8).toString().toStdString();
        record.kind = FromName(query.value(9).toString(), kKindNames, AttemptKind::Automatic);
        record.outcome = FromName(query.value(10).toString(), kOutcomeNames, AttemptOutcome::Failure);
        records.push_back(std::move(record));
    }
    return records;
}

int64_t HistoryStore::Count() {
    if (!m_open && !Open()) {
        return 0;
    }
    QSqlQuery query(QSqlDatabase::database(QString::fromStdString(m_connection), false));
    if (!query.exec(QStringLiteral("SELECT COUNT(*) FROM attempts")) || !query.next()) {
        return 0;
    }
    return query.value(0).toLongLong();
}
