#include "history/HistoryStore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>
#include <algorithm>
#include <atomic>
#include <optional>

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

const char* const kKindNames[] = {"automatic", "manual", "server test", "notice"};
const char* const kOutcomeNames[] = {"success", "failure", "stopped"};
// In the order of FailureCause; None is stored as an empty name.
const char* const kCauseNames[] = {"",
                                   "server",
                                   "kiss-o'-death",
                                   "not allowed",
                                   "service unreachable",
                                   "system sync on",
                                   "service timed out",
                                   "no route",
                                   "paced",
                                   "late set",
                                   "set failed",
                                   "unconfirmed"};
// A cause added to FailureCause needs a name here: the stored names never change.
static_assert(std::size(kCauseNames) == static_cast<std::size_t>(FailureCause::Unconfirmed) + 1);

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
    " outcome TEXT NOT NULL,"
    " cause TEXT NOT NULL DEFAULT '',"
    " attempt_count INTEGER NOT NULL DEFAULT 1,"
    " first_time_utc_us INTEGER,"
    " confirmed_by TEXT NOT NULL DEFAULT '')",
    "CREATE INDEX IF NOT EXISTS attempts_time ON attempts (time_utc_us)",
    // The rows retention drops first when there are too many.
    "CREATE INDEX IF NOT EXISTS attempts_unsuccessful ON attempts (id) WHERE outcome <> 'success'",
};

// Columns that databases of earlier versions lack, added in place; their
// defaults read as a record of one attempt with no cause.
const char* const kAddedColumns[][2] = {
    {"cause", "cause TEXT NOT NULL DEFAULT ''"},
    {"attempt_count", "attempt_count INTEGER NOT NULL DEFAULT 1"},
    {"first_time_utc_us", "first_time_utc_us INTEGER"},
    {"confirmed_by", "confirmed_by TEXT NOT NULL DEFAULT ''"},
};

const char kColumns[] =
    "time_utc_us, server_title, server_host, offset_s, delay_s, correction_s, shift_s, authenticated, status,"
    " kind, outcome, cause, attempt_count, first_time_utc_us, confirmed_by";

void BindRecord(QSqlQuery& query, const AttemptRecord& record) {
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
    query.addBindValue(QString::fromLatin1(FailureCauseName(record.cause)));
    query.addBindValue(QVariant::fromValue<qlonglong>(std::max<int64_t>(record.count, 1)));
    query.addBindValue(record.firstTimeUtc
                           ? QVariant::fromValue<qlonglong>(MicrosecondsOf(*record.firstTimeUtc))
                           : QVariant(QMetaType(QMetaType::LongLong)));
    query.addBindValue(QString::fromStdString(record.confirmedBy));
}

// The record in the columns of kColumns, from the query's column `from` on.
AttemptRecord RecordOf(const QSqlQuery& query, int from) {
    const auto value = [&](int column) { return query.value(from + column); };
    AttemptRecord record;
    record.timeUtc = ClockTimeOf(value(0).toLongLong());
    record.serverTitle = value(1).toString().toStdString();
    record.serverHost = value(2).toString().toStdString();
    record.offsetSeconds = OptionalOf(value(3));
    record.delaySeconds = OptionalOf(value(4));
    record.correctionSeconds = OptionalOf(value(5));
    record.shiftSeconds = value(6).toDouble();
    record.authenticated = value(7).toInt() != 0;
    record.statusText = value(8).toString().toStdString();
    record.kind = FromName(value(9).toString(), kKindNames, AttemptKind::Automatic);
    record.outcome = FromName(value(10).toString(), kOutcomeNames, AttemptOutcome::Failure);
    record.cause = FromName(value(11).toString(), kCauseNames, FailureCause::None);
    record.count = std::max<qlonglong>(value(12).toLongLong(), 1);
    if (!value(13).isNull()) {
        record.firstTimeUtc = ClockTimeOf(value(13).toLongLong());
    }
    record.confirmedBy = value(14).toString().toStdString();
    return record;
}

// A failure that moved the clock stays a record of its own: the drift
// estimate must see where the clock was left wrong.
bool Folds(const AttemptRecord& newest, const AttemptRecord& next) {
    return newest.outcome == AttemptOutcome::Failure && next.outcome == AttemptOutcome::Failure &&
           newest.kind == next.kind && newest.cause == next.cause && newest.serverHost == next.serverHost &&
           !newest.correctionSeconds && !next.correctionSeconds;
}

// next, standing for the failures of newest as well.
AttemptRecord Folded(const AttemptRecord& newest, const AttemptRecord& next) {
    AttemptRecord folded = next;
    folded.count = std::max<int64_t>(newest.count, 1) + std::max<int64_t>(next.count, 1);
    folded.firstTimeUtc = newest.firstTimeUtc.value_or(newest.timeUtc);
    return folded;
}

}  // namespace

const char* AttemptKindName(AttemptKind kind) {
    const auto index = static_cast<std::size_t>(kind);
    return index < std::size(kKindNames) ? kKindNames[index] : "automatic";
}

const char* AttemptOutcomeName(AttemptOutcome outcome) {
    const auto index = static_cast<std::size_t>(outcome);
    return index < std::size(kOutcomeNames) ? kOutcomeNames[index] : "failure";
}

const char* FailureCauseName(FailureCause cause) {
    const auto index = static_cast<std::size_t>(cause);
    return index < std::size(kCauseNames) ? kCauseNames[index] : "";
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
    const Result migrated = AddMissingColumns(query);
    if (migrated != Result::Ok) {
        return migrated;
    }
    m_open = true;
    return Result::Ok;
}

HistoryStore::Result HistoryStore::AddMissingColumns(QSqlQuery& query) {
    const auto missing = [&](QStringList& names) {
        if (!query.exec(QStringLiteral("PRAGMA table_info(attempts)"))) {
            return false;
        }
        QStringList present;
        while (query.next()) {
            present << query.value(1).toString();
        }
        names.clear();
        for (const auto& [name, definition] : kAddedColumns) {
            if (!present.contains(QLatin1String(name))) {
                names << QLatin1String(definition);
            }
        }
        return true;
    };
    const auto fail = [&](bool inTransaction) {
        const QSqlError error = query.lastError();
        if (inTransaction) {
            query.exec(QStringLiteral("ROLLBACK"));
        }
        return IsDamage(error) ? Result::Damaged : Result::Failed;
    };
    QStringList definitions;
    if (!missing(definitions)) {
        return fail(false);
    }
    if (definitions.isEmpty()) {
        return Result::Ok;
    }
    // Immediate, and the columns looked at again: a second copy of the
    // program adding them at the same time waits, then finds them there.
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        return fail(false);
    }
    if (!missing(definitions)) {
        return fail(true);
    }
    for (const QString& definition : definitions) {
        if (!query.exec(QStringLiteral("ALTER TABLE attempts ADD COLUMN ") + definition)) {
            return fail(true);
        }
    }
    if (!query.exec(QStringLiteral("COMMIT"))) {
        return fail(true);
    }
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
    // The newest record stored, which a failure may be folded into.
    std::optional<std::pair<qlonglong, AttemptRecord>> newest;
    if (!query.exec(QStringLiteral("SELECT id, %1 FROM attempts ORDER BY id DESC LIMIT 1")
                        .arg(QLatin1String(kColumns)))) {
        return fail(query.lastError());
    }
    if (query.next()) {
        newest.emplace(query.value(0).toLongLong(), RecordOf(query, 1));
    }
    for (std::size_t i = 0; i < count; ++i) {
        const AttemptRecord& record = records[i];
        if (newest && Folds(newest->second, record)) {
            newest->second = Folded(newest->second, record);
            query.prepare(
                QStringLiteral("UPDATE attempts SET (%1) = (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
                               " WHERE id = ?")
                    .arg(QLatin1String(kColumns)));
            BindRecord(query, newest->second);
            query.addBindValue(newest->first);
            if (!query.exec()) {
                return fail(query.lastError());
            }
            continue;
        }
        query.prepare(
            QStringLiteral("INSERT INTO attempts (%1) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
                .arg(QLatin1String(kColumns)));
        BindRecord(query, record);
        if (!query.exec()) {
            return fail(query.lastError());
        }
        newest.emplace(query.lastInsertId().toLongLong(), record);
    }
    const AttemptRecord& record = records[count - 1];
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
    // Too many: the oldest failed and stopped records go first, successes
    // only when no other record is left to drop.
    if (!query.exec(QStringLiteral("SELECT COUNT(*) FROM attempts")) || !query.next()) {
        return fail(query.lastError());
    }
    int64_t excess = query.value(0).toLongLong() - std::max<int64_t>(m_limits.maxRecords, 0);
    const QString drops[] = {
        QStringLiteral("DELETE FROM attempts WHERE id IN"
                       " (SELECT id FROM attempts WHERE outcome <> 'success' ORDER BY id LIMIT ?)"),
        QStringLiteral("DELETE FROM attempts WHERE id IN (SELECT id FROM attempts ORDER BY id LIMIT ?)"),
    };
    for (const QString& drop : drops) {
        if (excess <= 0) {
            break;
        }
        query.prepare(drop);
        query.addBindValue(QVariant::fromValue<qlonglong>(excess));
        if (!query.exec()) {
            return fail(query.lastError());
        }
        excess -= query.numRowsAffected();
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
    if (!query.exec(QStringLiteral("SELECT %1 FROM attempts ORDER BY id").arg(QLatin1String(kColumns)))) {
        return records;
    }
    while (query.next()) {
        records.push_back(RecordOf(query, 0));
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
