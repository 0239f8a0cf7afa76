// Shared pieces of the benchmark driver: the records every engine stores, the
// store adapter, and what one timed run measures.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace TamBench {

constexpr std::uint32_t KEY_SIZE = 16;
constexpr std::uint32_t VALUE_SIZE = 100;

// The big-endian record number followed by eight zero bytes. A missing key
// ends in 1 instead, so it sorts between two stored keys and every search for
// it descends the whole tree.
struct Key {
    unsigned char bytes[KEY_SIZE];
};
Key MakeKey(std::uint64_t n, bool missing = false);

// Values are 100-byte windows into one block of seeded pseudo-random bytes;
// each record number and generation picks its own window.
class ValueSource {
public:
    explicit ValueSource(std::uint64_t seed);
    const unsigned char* Value(std::uint64_t n, std::uint32_t generation) const;

private:
    std::vector<unsigned char> bytes;
};

// A seeded permutation of 0 .. n-1.
std::vector<std::uint32_t> Permutation(std::uint32_t n, std::uint64_t seed);

// Reads bytes the way a client would, so no engine's read can be skipped.
inline void Touch(const unsigned char* bytes, std::uint32_t length, std::uint64_t& sink) {
    sink += length + (length ? bytes[0] + bytes[length - 1] : 0);
}

// A look-up copies the value out, as a client that keeps it would.
inline void Keep(const void* value, std::size_t length, std::uint64_t& sink) {
    const std::string copy(static_cast<const char*>(value), length);
    Touch(reinterpret_cast<const unsigned char*>(copy.data()),
          static_cast<std::uint32_t>(copy.size()), sink);
}

// A scan reads the key and the value of every record where they lie.
inline void TouchRecord(const void* key, std::size_t keyLength, const void* value,
                        std::size_t valueLength, std::uint64_t& sink) {
    Touch(static_cast<const unsigned char*>(key), static_cast<std::uint32_t>(keyLength), sink);
    Touch(static_cast<const unsigned char*>(value), static_cast<std::uint32_t>(valueLength), sink);
}

// What an engine counts about its own commits.
struct CommitCounters {
    std::uint64_t commits = 0;
    std::uint64_t pagesWritten = 0;  // whole pages copied or created
    std::uint64_t flushViews = 0;    // partial flushes (msync of one view)
    std::uint64_t flushes = 0;       // whole-file flushes
};

// Reads the last commit on a thread of its own while the engine's thread
// writes (readwhilewriting). Made on any thread; used, renewed and destroyed on
// one, as LMDB's read transactions must be.
class Reader {
public:
    virtual ~Reader() = default;
    // Reads the last commit from now on: ours takes a new snapshot, LMDB
    // resets and renews its read transaction, SQLite ends its read
    // transaction and begins another. The first call opens what the reader
    // needs (SQLite: its own connection).
    virtual void Renew() = 0;
    // Whether the key is stored; a hit copies the value out (Keep).
    virtual bool Get(const Key& key, std::uint64_t& sink) = 0;
};

// One store behind the common workload. Writes happen between BeginWrite and
// CommitWrite, which makes them durable; reads between BeginRead and EndRead.
class Engine {
public:
    virtual ~Engine() = default;
    virtual const char* Name() const = 0;
    // An empty store in `directory` (created anew).
    virtual void Create(const std::string& directory) = 0;
    virtual void Close() = 0;
    virtual void BeginWrite() = 0;
    virtual void Insert(const Key& key, const unsigned char* value) = 0;
    virtual void Overwrite(const Key& key, const unsigned char* value) = 0;
    virtual void Erase(const Key& key) = 0;
    virtual void CommitWrite() = 0;
    // A commit in two separate phases where the engine offers them (ours:
    // PreCommit, then Commit); a plain commit elsewhere.
    virtual void CommitWriteTwoPhase() { CommitWrite(); }
    virtual void BeginRead() = 0;
    // Whether the key is stored; a hit copies the value out (Keep).
    virtual bool Get(const Key& key, std::uint64_t& sink) = 0;
    virtual void EndRead() = 0;
    // Reads every record's key and value in key order (or backwards); returns
    // how many.
    virtual std::uint64_t Scan(bool forward, std::uint64_t& sink) = 0;
    virtual CommitCounters Counters() const { return CommitCounters(); }
    // Makes every commit durable: the end of a write workload under a mode
    // that defers flushes, timed with it. A no-op where commits are durable.
    virtual void Sync() {}
    // An engine with a second client interface (ours: the ready-made
    // ByteTree beside the derived tree) names it here; the driver measures
    // every read workload through both.
    virtual const char* SecondPathName() const { return nullptr; }
    // Reopens the store through the second interface or the first. Untimed.
    virtual void UseSecondPath(bool) {}
    // Writes a compacted copy of the last committed store into `directory`
    // (which exists and is empty) and makes it durable; false when the engine
    // offers no such copy.
    virtual bool CompactCopy(const std::string&) { return false; }
    // Opens the store that a compacted copy left in `directory` (it took the
    // place of the store the engine held, which is closed). Untimed.
    virtual void Reopen(const std::string& directory) = 0;
    // A reader of the store for another thread, valid until the store is
    // closed; the engine's thread may write and commit while it reads.
    virtual std::unique_ptr<Reader> NewReader() = 0;
};

// When an engine's commits reach the disk; each mode pairs ours with the
// peers' settings that promise about the same.
enum class Durability {
    Full,      // ours: Full; LMDB: default; SQLite WAL: synchronous=FULL
    Normal,    // ours: Normal; LMDB: MDB_NOMETASYNC; SQLite WAL: synchronous=NORMAL
    Deferred,  // ours: Deferred; LMDB: MDB_NOSYNC; SQLite WAL: synchronous=OFF
};
const char* DurabilityName(Durability mode);
// The mode of a name ("full", "normal", "deferred"); throws std::invalid_argument.
Durability ParseDurability(const std::string& name);

struct EngineSettings {
    std::uint64_t records = 0;
    std::uint32_t cacheBytes = 0;  // our view cache
    Durability durability = Durability::Full;
    std::uint32_t syncEvery = 100;  // ours under Deferred: commits between syncs
    std::uint64_t syncBytes = 0;    // ours under Deferred: changed bytes between syncs (0: default)
};

Engine* NewTamEngine(const EngineSettings& settings);
Engine* NewLmdbEngine(const EngineSettings& settings);
Engine* NewSqliteEngine(const EngineSettings& settings);

// Readers for a process of their own, which opens the store in `directory`
// by itself at the first Renew while another process holds it and writes.
// Ours opens the file read-only: through the derived tree, which each Renew
// moves to the last commit (Rollback), or through ByteTree (`bytes`), which
// each Renew takes a new snapshot of. LMDB opens an environment of its own
// (MDB_RDONLY) and renews a read transaction; SQLite opens a connection of its
// own and begins a new read transaction.
std::unique_ptr<Reader> NewTamProcessReader(const std::string& directory, bool bytes,
                                            std::uint32_t cacheBytes);
std::unique_ptr<Reader> NewLmdbProcessReader(const std::string& directory);
std::unique_ptr<Reader> NewSqliteProcessReader(const std::string& directory);

// One timed workload on one engine.
struct Measurement {
    std::string engine;
    std::string workload;
    Durability durability = Durability::Full;
    std::uint32_t batch = 0;
    std::uint64_t ops = 0;
    double seconds = 0;
    std::uint64_t fileBytes = 0;     // the store's files after the run
    std::uint64_t bytesWritten = 0;  // dirtied or written to the file system
    CommitCounters counters;
    // Batched random writes of ours: one copy-and-msync of the bytes a commit
    // copied, measured on the same disk right after the run.
    std::uint64_t floorBytes = 0;
    double floorSeconds = 0;
    // compact: the size of the copy (fileBytes is the store it was taken of).
    std::uint64_t compactBytes = 0;
    // A phase of readwhilewriting: ops are the readers' gets (the writer's
    // overwrites when no reader ran), seconds the phase's length.
    std::uint32_t readers = 0;
    std::uint64_t writerOps = 0;
    std::uint64_t slowestReaderOps = 0;  // the gets of the reader that did fewest
    std::int64_t growthBytes = 0;        // the store's files after minus before
    // CPU seconds the readers (all of them) and the writer's thread used in
    // the phase: on a shared machine, what they got of its cores.
    double readerCpuSeconds = 0;
    double writerCpuSeconds = 0;
    // CPU seconds the rest of the machine used meanwhile: other processes and
    // the kernel's threads (among them the write-back of the writer's flushes).
    double otherCpuSeconds = 0;
    // readeropen: of `ops` fresh processes that opened the store read-only
    // and got one record, the median, fastest and slowest of the times they
    // measured (open and first get), and the median time from the start of a
    // process to its report of being ready; `seconds` is the sum of the first.
    double openSeconds = 0;
    double openMinSeconds = 0;
    double openMaxSeconds = 0;
    double startSeconds = 0;
    double OpsPerSecond() const { return seconds > 0 ? ops / seconds : 0; }
};

// Total size of the regular files in a directory.
std::uint64_t DirectoryBytes(const std::string& directory);
// Bytes this process has dirtied or written to the file system so far.
std::uint64_t WrittenBytes();
// Removes a directory and everything in it.
void RemoveTree(const std::string& path);
void MakeDirectory(const std::string& path);
// Flushes a file's data to the disk.
void SyncFile(const std::string& path);

}  // namespace TamBench
