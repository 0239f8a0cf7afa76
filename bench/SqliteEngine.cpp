// SQLite behind the common adapter: a WITHOUT ROWID table with a BLOB primary
// key, write-ahead log, synchronous=FULL; everything else at its defaults.
#include <sqlite3.h>

#include <stdexcept>
#include <string>

#include "Bench.h"

namespace TamBench {

namespace {

class SqliteEngine : public Engine {
public:
    explicit SqliteEngine(const EngineSettings&) {}
    ~SqliteEngine() override { Close(); }
    const char* Name() const override { return "sqlite"; }

    void Create(const std::string& directory) override { Open(directory, true); }
    void Reopen(const std::string& directory) override { Open(directory, false); }
    void Open(const std::string& directory, bool create) {
        Close();
        Check(sqlite3_open_v2((directory + "/data.db").c_str(), &db,
                              SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr));
        Execute("PRAGMA journal_mode=WAL");
        Execute("PRAGMA synchronous=FULL");
        if (create) Execute("CREATE TABLE kv(k BLOB PRIMARY KEY, v BLOB NOT NULL) WITHOUT ROWID");
        insert = Prepare("INSERT INTO kv(k, v) VALUES(?1, ?2)");
        update = Prepare("UPDATE kv SET v = ?2 WHERE k = ?1");
        erase = Prepare("DELETE FROM kv WHERE k = ?1");
        select = Prepare("SELECT v FROM kv WHERE k = ?1");
    }
    void Close() override {
        for (sqlite3_stmt** s : {&insert, &update, &erase, &select}) {
            sqlite3_finalize(*s);
            *s = nullptr;
        }
        if (db) sqlite3_close(db);
        db = nullptr;
    }
    void BeginWrite() override { Execute("BEGIN"); }
    void Insert(const Key& key, const unsigned char* value) override { Change(insert, key, value); }
    void Overwrite(const Key& key, const unsigned char* value) override {
        Change(update, key, value);
    }
    void Erase(const Key& key) override { Change(erase, key, nullptr); }
    void CommitWrite() override { Execute("COMMIT"); }
    void BeginRead() override { Execute("BEGIN"); }
    bool Get(const Key& key, std::uint64_t& sink) override {
        BindKey(select, key);
        const int rc = sqlite3_step(select);
        if (rc == SQLITE_ROW)
            Keep(sqlite3_column_blob(select, 0),
                 static_cast<std::size_t>(sqlite3_column_bytes(select, 0)), sink);
        sqlite3_reset(select);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) Check(rc);
        return rc == SQLITE_ROW;
    }
    void EndRead() override { Execute("COMMIT"); }
    std::uint64_t Scan(bool forward, std::uint64_t& sink) override {
        sqlite3_stmt* scan = Prepare(forward ? "SELECT k, v FROM kv ORDER BY k"
                                             : "SELECT k, v FROM kv ORDER BY k DESC");
        std::uint64_t n = 0;
        int rc;
        for (; (rc = sqlite3_step(scan)) == SQLITE_ROW; ++n)
            TouchRecord(sqlite3_column_blob(scan, 0),
                        static_cast<std::size_t>(sqlite3_column_bytes(scan, 0)),
                        sqlite3_column_blob(scan, 1),
                        static_cast<std::size_t>(sqlite3_column_bytes(scan, 1)), sink);
        sqlite3_finalize(scan);
        if (rc != SQLITE_DONE) Check(rc);
        return n;
    }

    // VACUUM INTO a new database file, flushed afterwards as ours is.
    bool CompactCopy(const std::string& directory) override {
        const std::string target = directory + "/data.db";
        sqlite3_stmt* vacuum = Prepare("VACUUM INTO ?1");
        Check(sqlite3_bind_text(vacuum, 1, target.c_str(), -1, SQLITE_TRANSIENT));
        const int rc = sqlite3_step(vacuum);
        sqlite3_finalize(vacuum);
        Check(rc);
        SyncFile(target);
        return true;
    }

private:
    void Check(int rc) const {
        if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
            throw std::runtime_error(std::string("sqlite: ") +
                                     (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
    }
    void Execute(const char* sql) { Check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr)); }
    sqlite3_stmt* Prepare(const char* sql) {
        sqlite3_stmt* s = nullptr;
        Check(sqlite3_prepare_v2(db, sql, -1, &s, nullptr));
        return s;
    }
    void BindKey(sqlite3_stmt* s, const Key& key) {
        Check(sqlite3_bind_blob(s, 1, key.bytes, KEY_SIZE, SQLITE_STATIC));
    }
    void Change(sqlite3_stmt* s, const Key& key, const unsigned char* value) {
        BindKey(s, key);
        if (value) Check(sqlite3_bind_blob(s, 2, value, VALUE_SIZE, SQLITE_STATIC));
        const int rc = sqlite3_step(s);
        sqlite3_reset(s);
        Check(rc);
        if (sqlite3_changes(db) != 1) throw std::runtime_error("sqlite: a change hit no record");
    }

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

}  // namespace TamBench
