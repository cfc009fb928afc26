#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/AttemptRecorder.h"

class QSqlQuery;

struct HistoryLimits {
    // Kept: the records of the last two years, and of those at most this
    // many: past it the oldest failed and stopped records go first, and
    // successes only when no other record is left.
    int64_t maxRecords = 100000;
    int64_t maxAgeSeconds = 2 * 365 * 86400 + 86400;
    // Test seam: pages the database may grow to (0: no limit), to fill the disk.
    int64_t maxPageCount = 0;
};

// The database of attempts: SQLite through Qt SQL, in WAL mode, one
// transaction per record. A database that cannot be read is set aside beside
// itself (history.sqlite.damaged-<UTC time>) and a new one started.
//
// One object, one connection: every call must come from the thread that
// made the object (the history's writer thread, or a test).
class HistoryStore {
public:
    using Limits = HistoryLimits;

    explicit HistoryStore(std::string path, Limits limits = {});
    HistoryStore(std::string path, Limits limits, std::string connectionName);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // $XDG_DATA_HOME/Quorvane/Tidewell/history.sqlite ($XDG_DATA_HOME: ~/.local/share when unset or
    // relative).
    static std::string DefaultPath();

    // Opens (creating the folder and the database when needed). False when no
    // database could be opened at all; a damaged one is set aside first.
    bool Open();
    // Stores the record and drops what the limits no longer keep, in one
    // transaction. A failure that follows a failure of the same kind, cause
    // and server (and neither moved the clock) is folded into the stored one:
    // its count grows, its first time stays, the rest is the new record's.
    // False when it did not reach the database (a full disk, a folder that
    // cannot be written); a damaged database is set aside and the record
    // written to a new one.
    bool Append(const AttemptRecord& record);
    // Many records in one transaction (an import, the benchmark's filling).
    bool Append(const std::vector<AttemptRecord>& records);
    // Every record kept, oldest first.
    std::vector<AttemptRecord> LoadAll();
    int64_t Count();

    const std::string& Path() const { return m_path; }
    // The files set aside so far by this object.
    const std::vector<std::string>& SetAsideFiles() const { return m_setAside; }

private:
    enum class Result { Ok, Damaged, Failed };

    Result OpenConnection();
    // Brings a database of an earlier version up to the current columns.
    Result AddMissingColumns(QSqlQuery& query);
    Result InsertAndPrune(const AttemptRecord* records, std::size_t count);
    void Close();
    void SetAside();

    std::string m_path;
    Limits m_limits;
    std::string m_connection;
    bool m_open = false;
    std::vector<std::string> m_setAside;
};

// The names the database, the table and the CSV file use: "automatic",
// "manual", "server test", "notice"; "success", "failure", "stopped"; "server",
// "kiss-o'-death", "not allowed", ... and "" for no cause.
const char* AttemptKindName(AttemptKind kind);
const char* AttemptOutcomeName(AttemptOutcome outcome);
const char* FailureCauseName(FailureCause cause);
