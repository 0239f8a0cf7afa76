// LMDB behind the common adapter, no write map. Under Full its default
// durable settings (every commit syncs data and meta page); under Normal
// MDB_NOMETASYNC (the meta page is not flushed at commit, so a power loss may
// undo the last commit); under Deferred MDB_NOSYNC, with Sync flushing. Readers on other threads
// hold read transactions of their own, reset and renewed; readers in other
// processes open environments of their own.
#include <lmdb.h>

#include <stdexcept>
#include <string>
#include <utility>

#include "Bench.h"

namespace TamBench {

namespace {

void Check(int rc, const char* what) {
    if (rc != MDB_SUCCESS)
        throw std::runtime_error(std::string("lmdb ") + what + ": " + mdb_strerror(rc));
}

MDB_val Bytes(const void* data, std::size_t size) {
    MDB_val v;
    v.mv_data = const_cast<void*>(data);
    v.mv_size = size;
    return v;
}

// A look-up in an open transaction; a hit copies the value out.
bool Lookup(MDB_txn* txn, MDB_dbi dbi, const Key& key, std::uint64_t& sink) {
    MDB_val k = Bytes(key.bytes, KEY_SIZE);
    MDB_val v;
    const int rc = mdb_get(txn, dbi, &k, &v);
    if (rc == MDB_NOTFOUND) return false;
    Check(rc, "get");
    Keep(v.mv_data, v.mv_size, sink);
    return true;
}

// A read transaction of its own, begun by the first Renew on the thread that
// uses it (a read transaction belongs to its thread) and ended there.
class LmdbReader : public Reader {
public:
    LmdbReader(MDB_env* environment, MDB_dbi database) : env(environment), dbi(database) {}
    ~LmdbReader() override {
        if (txn) mdb_txn_abort(txn);
    }
    void Renew() override {
        if (!txn) {
            Check(mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn), "txn_begin");
            return;
        }
        mdb_txn_reset(txn);
        Check(mdb_txn_renew(txn), "txn_renew");
    }
    bool Get(const Key& key, std::uint64_t& sink) override { return Lookup(txn, dbi, key, sink); }

private:
    MDB_env* env;
    MDB_dbi dbi;
    MDB_txn* txn = nullptr;
};

// A reader in a process of its own: an environment of its own, opened
// read-only (the map size is the one the writer stored), and a read
// transaction that each Renew after the first resets and renews.
class LmdbProcessReader : public Reader {
public:
    explicit LmdbProcessReader(std::string directory) : path(std::move(directory)) {}
    ~LmdbProcessReader() override {
        if (txn) mdb_txn_abort(txn);
        if (env) mdb_env_close(env);
    }
    void Renew() override {
        if (!env) {
            Check(mdb_env_create(&env), "env_create");
            Check(mdb_env_open(env, path.c_str(), MDB_RDONLY, 0644), "env_open");
            Check(mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn), "txn_begin");
            Check(mdb_dbi_open(txn, nullptr, 0, &dbi), "dbi_open");
            return;
        }
        mdb_txn_reset(txn);
        Check(mdb_txn_renew(txn), "txn_renew");
    }
    bool Get(const Key& key, std::uint64_t& sink) override { return Lookup(txn, dbi, key, sink); }

private:
    std::string path;
    MDB_env* env = nullptr;
    MDB_txn* txn = nullptr;
    MDB_dbi dbi = 0;
};

class LmdbEngine : public Engine {
public:
    explicit LmdbEngine(const EngineSettings& settings)
        // Room for every record several times over; the map is only reserved.
        : mapSize((std::uint64_t(1) << 30) + settings.records * 1024),
          durability(settings.durability) {}
    ~LmdbEngine() override { Close(); }
    const char* Name() const override { return "lmdb"; }

    // Opening an existing environment is what Create does.
    void Reopen(const std::string& directory) override { Create(directory); }
    void Create(const std::string& directory) override {
        Close();
        Check(mdb_env_create(&env), "env_create");
        Check(mdb_env_set_mapsize(env, mapSize), "set_mapsize");
        Check(mdb_env_open(env, directory.c_str(), Flags(), 0644), "env_open");
        BeginWrite();
        Check(mdb_dbi_open(txn, nullptr, 0, &dbi), "dbi_open");
        CommitWrite();
    }
    void Close() override {
        if (txn) mdb_txn_abort(txn);
        txn = nullptr;
        if (env) mdb_env_close(env);
        env = nullptr;
    }
    void BeginWrite() override { Check(mdb_txn_begin(env, nullptr, 0, &txn), "txn_begin"); }
    void Insert(const Key& key, const unsigned char* value) override { Put(key, value); }
    void Overwrite(const Key& key, const unsigned char* value) override { Put(key, value); }
    void Erase(const Key& key) override {
        MDB_val k = Bytes(key.bytes, KEY_SIZE);
        Check(mdb_del(txn, dbi, &k, nullptr), "del");
    }
    void CommitWrite() override {
        const int rc = mdb_txn_commit(txn);
        txn = nullptr;
        Check(rc, "txn_commit");
    }
    void BeginRead() override { Check(mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn), "txn_begin"); }
    bool Get(const Key& key, std::uint64_t& sink) override { return Lookup(txn, dbi, key, sink); }
    void EndRead() override {
        mdb_txn_abort(txn);
        txn = nullptr;
    }
    std::uint64_t Scan(bool forward, std::uint64_t& sink) override {
        BeginRead();
        MDB_cursor* cursor = nullptr;
        Check(mdb_cursor_open(txn, dbi, &cursor), "cursor_open");
        const std::uint64_t n = Walk(cursor, forward, sink);
        mdb_cursor_close(cursor);
        EndRead();
        return n;
    }

    std::unique_ptr<Reader> NewReader() override {
        return std::unique_ptr<Reader>(new LmdbReader(env, dbi));
    }
    void Sync() override {
        if (durability != Durability::Full) Check(mdb_env_sync(env, 1), "env_sync");
    }

    // The compacting copy; the flush after it makes the copy as durable as
    // ours, which CopyTo flushes before it returns.
    bool CompactCopy(const std::string& directory) override {
        Check(mdb_env_copy2(env, directory.c_str(), MDB_CP_COMPACT), "env_copy2");
        SyncFile(directory + "/data.mdb");
        return true;
    }

private:
    unsigned Flags() const {
        if (durability == Durability::Normal) return MDB_NOMETASYNC;
        if (durability == Durability::Deferred) return MDB_NOSYNC;
        return 0;
    }
    void Put(const Key& key, const unsigned char* value) {
        MDB_val k = Bytes(key.bytes, KEY_SIZE);
        MDB_val v = Bytes(value, VALUE_SIZE);
        Check(mdb_put(txn, dbi, &k, &v, 0), "put");
    }
    static std::uint64_t Walk(MDB_cursor* cursor, bool forward, std::uint64_t& sink) {
        MDB_val k, v;
        std::uint64_t n = 0;
        int rc = mdb_cursor_get(cursor, &k, &v, forward ? MDB_FIRST : MDB_LAST);
        for (; rc == MDB_SUCCESS; ++n) {
            TouchRecord(k.mv_data, k.mv_size, v.mv_data, v.mv_size, sink);
            rc = mdb_cursor_get(cursor, &k, &v, forward ? MDB_NEXT : MDB_PREV);
        }
        if (rc != MDB_NOTFOUND) Check(rc, "cursor_get");
        return n;
    }

    std::uint64_t mapSize;
    Durability durability;
    MDB_env* env = nullptr;
    MDB_txn* txn = nullptr;
    MDB_dbi dbi = 0;
};

}  // namespace

Engine* NewLmdbEngine(const EngineSettings& settings) {
    return new LmdbEngine(settings);
}

std::unique_ptr<Reader> NewLmdbProcessReader(const std::string& directory) {
    return std::unique_ptr<Reader>(new LmdbProcessReader(directory));
}

}  // namespace TamBench
