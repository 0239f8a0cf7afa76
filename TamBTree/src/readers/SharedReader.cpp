// Pinning images of a tree that another process writes.
#include "SharedReader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "Damage.h"

namespace TamBTree {

namespace {

// Pins for reading without a writer: no writer can start meanwhile (the
// reader holds the writer's lock shared), so a pin stored here is seen by
// the next writer's first look at the slots.
class WriterLockShared {
public:
    explicit WriterLockShared(TamFile::SharedFile& held) : file(held) {}
    ~WriterLockShared() { file.Unlock(ReaderTable::LOCK_WRITER); }
    WriterLockShared(const WriterLockShared&) = delete;
    WriterLockShared& operator=(const WriterLockShared&) = delete;

private:
    TamFile::SharedFile& file;
};

}  // namespace

std::shared_ptr<SharedReader> SharedReader::Open(const std::string& treePath,
                                                 std::uint32_t pageSize, Loader load) {
    std::shared_ptr<SharedReader> reader(new SharedReader(treePath, std::move(load)));
    reader->treeFile.Open(TamFile::OpenReadShared);
    std::uint64_t device, inode;
    if (!reader->treeFile.Identity(device, inode)) return nullptr;
    reader->table = ReaderTable::Open(treePath, device, inode, pageSize);
    if (!reader->table || !reader->ClaimSlot()) return nullptr;
    return reader;
}

SharedReader::SharedReader(const std::string& treePath, Loader load)
    : path(treePath),
      loader(std::move(load)),
      treeFile(treePath),
      checked(std::make_shared<CheckedUnits>()) {}

SharedReader::~SharedReader() {
    if (slot == ReaderTable::READER_SLOTS) return;
    ReaderSlot& mine = table->Slot(slot);
    mine.pinned.store(SnapshotRegistry::NONE_PINNED);
    mine.pid.store(0);
    mine.snapshots.store(0);
    table->File().Unlock(ReaderTable::SlotLock(slot));
}

bool SharedReader::ClaimSlot() {
    for (std::uint32_t i = 0; i < ReaderTable::READER_SLOTS; ++i) {
        if (!table->File().TryLock(ReaderTable::SlotLock(i), true)) continue;
        ReaderSlot& mine = table->Slot(i);
        mine.pinned.store(SnapshotRegistry::NONE_PINNED);
        mine.heldBytes.store(0);
        mine.snapshots.store(0);
        mine.pid.store(static_cast<std::uint32_t>(::getpid()));
        slot = i;
        return true;
    }
    return false;
}

std::shared_ptr<const CommittedImage> SharedReader::Pin() {
    std::lock_guard<std::mutex> lock(mutex);
    std::shared_ptr<const CommittedImage> image;
    try {
        image = PinNewest();
    } catch (...) {
        UpdateSlot();
        throw;
    }
    ++pins[image->Sequence()];
    ++pinned;
    UpdateSlot();
    return image;
}

void SharedReader::Unpin(std::uint64_t sequence) {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = pins.find(sequence);
    if (found != pins.end() && --found->second == 0) pins.erase(found);
    --pinned;
    UpdateSlot();
}

void SharedReader::UpdateSlot() {
    ReaderSlot& mine = table->Slot(slot);
    mine.pinned.store(pins.empty() ? SnapshotRegistry::NONE_PINNED : pins.begin()->first);
    mine.snapshots.store(pinned);
}

std::shared_ptr<const CommittedImage> SharedReader::PinNewest() {
    const auto start = std::chrono::steady_clock::now();
    auto deadline = start + std::chrono::milliseconds(WAIT_MILLISECONDS);
    for (;;) {
        if (table->File().TryLock(ReaderTable::LOCK_WRITER, false)) {
            WriterLockShared held(table->File());
            if (std::shared_ptr<const CommittedImage> image = PinWithoutWriter()) return image;
            // The file needs its interrupted commit finished and someone
            // holds it: a writer that is opening becomes the table's writer
            // soon; an older reader's lock may stay for long.
            deadline = std::min(deadline, start + std::chrono::milliseconds(LOCKED_MILLISECONDS));
        } else {
            const std::uint64_t current = table->Header().current.load();
            if (current != 0 && PinInSlot(current)) {
                if (std::shared_ptr<const CommittedImage> image = ImageOf(current)) return image;
                continue;
            }
        }
        // A writer is opening the file: its first image comes soon.
        if (std::chrono::steady_clock::now() > deadline)
            throw TamFile::FileException(TamFile::ActionLock, path, EWOULDBLOCK);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::shared_ptr<const CommittedImage> SharedReader::PinWithoutWriter() {
    TableHeader& header = table->Header();
    const std::uint64_t current = header.current.load();
    // A writer that closed cleanly left the file as its last image shows.
    if (header.writerOpen.load() == 0 && current != 0) {
        PinInSlot(current);
        if (std::shared_ptr<const CommittedImage> image = ImageOf(current)) return image;
    }
    const std::uint64_t last = header.lastSequence.load();
    PinInSlot(last);
    try {
        return loader(path, last);
    } catch (const TamFile::FileException& e) {
        // A writer that is opening holds the file while it finishes an
        // interrupted commit; its first image comes soon.
        if (e.GetAction() == TamFile::ActionLock) return nullptr;
        throw;
    }
}

bool SharedReader::PinInSlot(std::uint64_t sequence) {
    // The slot already holds an older pin, which keeps this image too.
    if (!pins.empty() && pins.begin()->first <= sequence) return true;
    table->Slot(slot).pinned.store(sequence);
    // The writer stores its image and then reads the pins; the reader stores
    // its pin and then reads the image: one of the two sees the other.
    return table->Header().current.load() == sequence;
}

std::shared_ptr<const CommittedImage> SharedReader::ImageOf(std::uint64_t sequence) {
    const ImageEntry& entry = table->Image(sequence);
    if (entry.sequence.load() != sequence) return nullptr;
    const TreeCounts counts{entry.records.load(), entry.root.load(), entry.pages.load()};
    const std::uint64_t fileSize = entry.fileSize.load();
    const std::uint32_t list = entry.directory.load();
    const std::uint32_t blocks = entry.blocks.load();
    if (entry.sequence.load() != sequence) return nullptr;
    const std::uint32_t chunks = table->Header().chunkCount.load();
    if (list >= chunks || blocks > PAGE_INDEX_ENTRIES || counts.pages == 0 ||
        counts.pages > std::uint64_t{blocks} * PAGE_INDEX_ENTRIES || counts.root >= counts.pages)
        ThrowDamaged();
    std::vector<const IndexChunk*> index(blocks);
    const IndexChunk* directory = table->Chunk(list);
    for (std::uint32_t b = 0; b < blocks; ++b) {
        const std::uint64_t chunk = directory->entries[b];
        if (chunk >= chunks) ThrowDamaged();
        index[b] = table->Chunk(static_cast<std::uint32_t>(chunk));
    }
    treeFile.Follow(fileSize);
    return std::make_shared<const CommittedImage>(counts, sequence, std::move(index), table,
                                                  treeFile.Share(), checked);
}

void SharedReader::ThrowDamaged() const {
    ThrowMessage<BTreeDamagedException>(MsgInvalid, __LINE__, ReaderTable::PathOf(path));
}

std::vector<BTree::Reader> SharedReader::Readers() {
    std::lock_guard<std::mutex> lock(mutex);
    return LiveReaders(*table, slot);
}

bool SharedReader::WriterLives() {
    std::lock_guard<std::mutex> lock(mutex);
    if (!table->File().TryLock(ReaderTable::LOCK_WRITER, false)) return true;
    table->File().Unlock(ReaderTable::LOCK_WRITER);
    return false;
}

}  // namespace TamBTree
