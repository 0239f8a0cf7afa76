// Opening, building and removing the reader table.
#include "ReaderTable.h"

#include <cstring>

namespace TamBTree {

constexpr char ReaderTable::MAGIC[8];

std::shared_ptr<ReaderTable> ReaderTable::Open(const std::string& treePath, std::uint64_t device,
                                               std::uint64_t inode, std::uint32_t pageSize) {
    std::shared_ptr<ReaderTable> table(new ReaderTable(PathOf(treePath)));
    // A retry follows a file that its last user removed between our open and
    // our lock.
    for (int attempt = 0; attempt < 100; ++attempt) {
        try {
            switch (table->TryOpen(device, inode, pageSize)) {
                case Opened::Ready:
                    return table;
                case Opened::Unusable:
                    return nullptr;
                case Opened::Retry:
                    break;
            }
        } catch (const TamFile::FileException&) {
            table->Unmap();
            table->file.Close();
            return nullptr;
        }
    }
    return nullptr;
}

ReaderTable::Opened ReaderTable::TryOpen(std::uint64_t device, std::uint64_t inode,
                                         std::uint32_t pageSize) {
    Unmap();
    if (!file.Open()) return Opened::Unusable;
    file.Lock(LOCK_USERS, false);
    if (!file.StillAtPath()) {
        file.Close();
        return Opened::Retry;
    }
    base = file.Map(RESERVED);
    // With no other user, whatever the file holds is stale: it is built
    // anew. A table in use that does not match serves another file that this
    // path named before (one replaced while its readers live): sharing this
    // one must wait until they are done.
    if (file.TryLock(LOCK_USERS, true)) {
        Build(device, inode, pageSize);
        file.Lock(LOCK_USERS, false);
        return Opened::Ready;
    }
    if (Matches(device, inode, pageSize)) return Opened::Ready;
    Unmap();
    file.Close();
    return Opened::Unusable;
}

bool ReaderTable::Matches(std::uint64_t device, std::uint64_t inode, std::uint32_t pageSize) const {
    if (file.Size() < CHUNKS_OFFSET) return false;
    const TableHeader& header = Header();
    return std::memcmp(header.magic, MAGIC, sizeof MAGIC) == 0 && header.version == VERSION &&
           header.pageSize == pageSize && header.device == device && header.inode == inode &&
           header.slotCount == READER_SLOTS &&
           file.Size() >= CHUNKS_OFFSET + std::uint64_t{header.chunkCount.load()} * CHUNK_BYTES &&
           header.chunkCount.load() <= MAX_CHUNKS;
}

void ReaderTable::Build(std::uint64_t device, std::uint64_t inode, std::uint32_t pageSize) {
    // Emptied first, so every byte reads as zero.
    file.Resize(0);
    file.Resize(CHUNKS_OFFSET);
    TableHeader& header = Header();
    header.version = VERSION;
    header.pageSize = pageSize;
    header.device = device;
    header.inode = inode;
    header.slotCount = READER_SLOTS;
    for (std::uint32_t i = 0; i < READER_SLOTS; ++i)
        Slot(i).pinned.store(SnapshotRegistry::NONE_PINNED);
    std::memcpy(header.magic, MAGIC, sizeof MAGIC);
}

bool ReaderTable::SlotAlive(std::uint32_t i) {
    if (!file.TryLock(SlotLock(i), true)) return true;
    ReaderSlot& slot = Slot(i);
    slot.pinned.store(SnapshotRegistry::NONE_PINNED);
    slot.pid.store(0);
    slot.snapshots.store(0);
    slot.heldBytes.store(0);
    file.Unlock(SlotLock(i));
    return false;
}

void ReaderTable::Unmap() {
    if (base) file.Unmap(base, RESERVED);
    base = nullptr;
}

ReaderTable::~ReaderTable() {
    try {
        if (file.IsOpen() && file.TryLock(LOCK_USERS, true) && file.StillAtPath()) file.Unlink();
    } catch (const TamFile::FileException&) {
        // The next open builds a stale table anew.
    }
    Unmap();
    file.Close();
}

std::vector<BTree::Reader> LiveReaders(ReaderTable& table, std::uint32_t except) {
    std::vector<BTree::Reader> readers;
    for (std::uint32_t i = 0; i < ReaderTable::READER_SLOTS; ++i) {
        const ReaderSlot& slot = table.Slot(i);
        if (i == except || slot.pid.load() == 0 || !table.SlotAlive(i)) continue;
        readers.push_back(
            BTree::Reader{slot.pid.load(), slot.snapshots.load(), slot.heldBytes.load()});
    }
    return readers;
}

}  // namespace TamBTree
