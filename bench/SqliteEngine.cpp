// SQLite behind the common adapter: a WITHOUT ROWID table with a BLOB primary
// key, write-ahead log, synchronous=FULL, NORMAL or OFF by the durability
// mode; everything else at its defaults.
// Readers on other threads and in other processes open connections of their own.
#include <sqlite3.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "Bench.h"

namespace TamBench {

namespace {

// A connection that meets another's lock (a reader while the writer restarts
// the log) waits for it instead of failing.
constexpr int BUSY_TIMEOUT_MS = 10000;

void Check(sqlite3* db, int rc) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
        throw std::runtime_error(std::string("sqlite: ") +
                                 (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
}

void Execute(sqlite3* db, const char* sql) {
    Check(db, sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
}

sqlite3_stmt* Prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* s = nullptr;
    Check(db, sqlite3_prepare_v2(db, sql, -1, &s, nullptr));
    return s;
}

void BindKey(sqlite3* db, sqlite3_stmt* s, const Key& key) {
    Check(db, sqlite3_bind_blob(s, 1, key.bytes, KEY_SIZE, SQLITE_STATIC));
}

sqlite3* Connect(const std::string& path, int flags) {
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        const std::string what = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close(db);
        throw std::runtime_error("sqlite: " + what);
    }
    return db;
}

// The value of `key` through the prepared SELECT; a hit copies it out.
bool Select(sqlite3* db, sqlite3_stmt* select, const Key& key, std::uint64_t& sink) {
    BindKey(db, select, key);
    const int rc = sqlite3_step(select);
    if (rc == SQLITE_ROW)
        Keep(sqlite3_column_blob(select, 0),
             static_cast<std::size_t>(sqlite3_column_bytes(select, 0)), sink);
    sqlite3_reset(select);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) Check(db, rc);
    return rc == SQLITE_ROW;
}

const char* const SELECT_VALUE = "SELECT v FROM kv WHERE k = ?1";

// A connection of its own, opened by the first Renew on the reader's thread;
// each Renew ends the read transaction and begins the next, which sees the
// last commit from its first read on.
class SqliteReader : public Reader {
public:
    explicit SqliteReader(std::string file) : path(std::move(file)) {}
    ~SqliteReader() override {
        sqlite3_finalize(select);
        if (db && !sqlite3_get_autocommit(db))
            sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    void Renew() override {
        if (!db) {
            db = Connect(path, SQLITE_OPEN_READWRITE);
            Check(db, sqlite3_busy_timeout(db, BUSY_TIMEOUT_MS));
            select = Prepare(db, SELECT_VALUE);
        } else {
            Execute(db, "COMMIT");
        }
        Execute(db, "BEGIN");
    }
    bool Get(const Key& key, std::uint64_t& sink) override { return Select(db, select, key, sink); }

private:
    std::string path;
    sqlite3* db = nullptr;
    sqlite3_stmt* select = nullptr;
};

class SqliteEngine : public Engine {
public:
    explicit SqliteEngine(const EngineSettings& settings) : durability(settings.durability) {}
    ~SqliteEngine() override { Close(); }
    const char* Name() const override { return "sqlite"; }

    void Create(const std::string& directory) override { Open(directory, true); }
    void Reopen(const std::string& directory) override { Open(directory, false); }
    void Open(const std::string& directory, bool create) {
        Close();
        path = directory + "/data.db";
        db = Connect(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        Check(db, sqlite3_busy_timeout(db, BUSY_TIMEOUT_MS));
        Execute(db, "PRAGMA journal_mode=WAL");
        Execute(db, durability == Durability::Full     ? "PRAGMA synchronous=FULL"
                    : durability == Durability::Normal ? "PRAGMA synchronous=NORMAL"
                                                       : "PRAGMA synchronous=OFF");
        if (create)
            Execute(db, "CREATE TABLE kv(k BLOB PRIMARY KEY, v BLOB NOT NULL) WITHOUT ROWID");
        insert = Prepare(db, "INSERT INTO kv(k, v) VALUES(?1, ?2)");
        update = Prepare(db, "UPDATE kv SET v = ?2 WHERE k = ?1");
        erase = Prepare(db, "DELETE FROM kv WHERE k = ?1");
        select = Prepare(db, SELECT_VALUE);
    }
    void Close() override {
        for (sqlite3_stmt** s : {&insert, &update, &erase, &select}) {
            sqlite3_finalize(*s);
            *s = nullptr;
        }
        if (db) sqlite3_close(db);
        db = nullptr;
    }
    void BeginWrite() override { Execute(db, "BEGIN"); }
    void Insert(const Key& key, const unsigned char* value) override { Change(insert, key, value); }
    void Overwrite(const Key& key, const unsigned char* value) override {
        Change(update, key, value);
    }
    void Erase(const Key& key) override { Change(erase, key, nullptr); }
    void CommitWrite() override { Execute(db, "COMMIT"); }
    void BeginRead() override { Execute(db, "BEGIN"); }
    bool Get(const Key& key, std::uint64_t& sink) override { return Select(db, select, key, sink); }
    void EndRead() override { Execute(db, "COMMIT"); }
    std::uint64_t Scan(bool forward, std::uint64_t& sink) override {
        sqlite3_stmt* scan = Prepare(
            db, forward ? "SELECT k, v FROM kv ORDER BY k" : "SELECT k, v FROM kv ORDER BY k DESC");
        std::uint64_t n = 0;
        int rc;
        for (; (rc = sqlite3_step(scan)) == SQLITE_ROW; ++n)
            TouchRecord(sqlite3_column_blob(scan, 0),
                        static_cast<std::size_t>(sqlite3_column_bytes(scan, 0)),
                        sqlite3_column_blob(scan, 1),
                        static_cast<std::size_t>(sqlite3_column_bytes(scan, 1)), sink);
        sqlite3_finalize(scan);
        if (rc != SQLITE_DONE) Check(db, rc);
        return n;
    }

    // VACUUM INTO a new database file, flushed afterwards as ours is.
    bool CompactCopy(const std::string& directory) override {
        const std::string target = directory + "/data.db";
        sqlite3_stmt* vacuum = Prepare(db, "VACUUM INTO ?1");
        Check(db, sqlite3_bind_text(vacuum, 1, target.c_str(), -1, SQLITE_TRANSIENT));
        const int rc = sqlite3_step(vacuum);
        sqlite3_finalize(vacuum);
        Check(db, rc);
        SyncFile(target);
        return true;
    }

    std::unique_ptr<Reader> NewReader() override {
        return std::unique_ptr<Reader>(new SqliteReader(path));
    }
    // synchronous=OFF never flushes: the end of a workload flushes the log
    // (which holds the commits) and the database, as ours syncs at its end.
    // NORMAL leaves the last commits in the log unflushed too, until a
    // checkpoint; flushing the log makes them durable.
    void Sync() override {
        if (durability == Durability::Full) return;
        if (::access((path + "-wal").c_str(), F_OK) == 0) SyncFile(path + "-wal");
        SyncFile(path);
    }

private:
    void Change(sqlite3_stmt* s, const Key& key, const unsigned char* value) {
        BindKey(db, s, key);
        if (value) Check(db, sqlite3_bind_blob(s, 2, value, VALUE_SIZE, SQLITE_STATIC));
        const int rc = sqlite3_step(s);
        sqlite3_reset(s);
        Check(db, rc);
        if (sqlite3_changes(db) != 1) throw std::runtime_error("sqlite: a change hit no record");
    }

    Durability durability;
    std::string path;
    sqlite3* db = nullptr;
    sqlite3_stmt* insert = nullptr;
    sqlite3_stmt* update = nullptr;
    sqlite3_stmt* erase = nullptr;
    sqlite3_stmt* select = nullptr;
};

}  // namespace

Engine* NewSqliteEngine(const EngineSettings& settings) {
    return new SqliteEngine(settings);
}

std::unique_ptr<Reader> NewSqliteProcessReader(const std::string& directory) {
    return std::unique_ptr<Reader>(new SqliteReader(directory + "/data.db"));
}

}  // namespace TamBench
