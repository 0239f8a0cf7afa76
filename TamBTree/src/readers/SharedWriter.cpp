// Mirroring images into the reader table, and the writer's view of readers.
#include "SharedWriter.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace TamBTree {

std::unique_ptr<SharedWriter> SharedWriter::Open(const std::string& treePath,
                                                 const TamFile::MemoryMapFile& treeFile,
                                                 std::uint32_t pageSize) {
    std::uint64_t device, inode;
    if (!treeFile.Identity(device, inode)) return nullptr;
    return Open(treePath, device, inode, pageSize);
}

std::unique_ptr<SharedWriter> SharedWriter::Open(const std::string& treePath, std::uint64_t device,
                                                 std::uint64_t inode, std::uint32_t pageSize) {
    std::shared_ptr<ReaderTable> table = ReaderTable::Open(treePath, device, inode, pageSize);
    if (!table) return nullptr;
    return std::unique_ptr<SharedWriter>(new SharedWriter(std::move(table)));
}

SharedWriter::SharedWriter(std::shared_ptr<ReaderTable> opened)
    : table(std::move(opened)), firstSequence(table->Header().lastSequence.load() + 1) {}

SharedWriter::~SharedWriter() {
    if (begun) End(false);
}

bool SharedWriter::Begin() {
    TableHeader& header = table->Header();
    // Readers that find a writer wait for its first image: the image left
    // by the writer before may hold commits that a crash took back.
    header.current.store(0);
    table->File().Lock(ReaderTable::LOCK_WRITER, true);
    header.writerOpen.store(1);
    header.writerPid.store(static_cast<std::uint32_t>(::getpid()));
    begun = true;
    bool earlierPins = false;
    for (std::uint32_t i = 0; i < ReaderTable::READER_SLOTS; ++i)
        if (table->Slot(i).pinned.load() != SnapshotRegistry::NONE_PINNED && table->SlotAlive(i))
            earlierPins = true;
    // Which chunks those readers reach, no one knows any more: all stay.
    std::vector<std::uint32_t> all(header.chunkCount.load());
    for (std::uint32_t c = 0; c < all.size(); ++c) all[c] = c;
    if (earlierPins)
        retained.push_back(Batch{firstSequence, std::move(all)});
    else
        freeChunks = std::move(all);
    return earlierPins;
}

bool SharedWriter::Withdraw() {
    TableHeader& header = table->Header();
    const std::uint64_t current = header.current.exchange(0);
    // A reader pins and then reads the image; seeing no pin after the image
    // is gone means none will read it.
    for (std::uint32_t i = 0; i < ReaderTable::READER_SLOTS; ++i) {
        if (table->Slot(i).pinned.load() != SnapshotRegistry::NONE_PINNED && table->SlotAlive(i)) {
            header.current.store(current);
            return false;
        }
    }
    mirrored.clear();
    return true;
}

void SharedWriter::End(bool atRest) {
    TableHeader& header = table->Header();
    if (!atRest) header.current.store(0);
    header.writerOpen.store(atRest ? 0 : 1);
    table->File().Unlock(ReaderTable::LOCK_WRITER);
    begun = false;
}

void SharedWriter::Grow() {
    TableHeader& header = table->Header();
    const std::uint32_t count = header.chunkCount.load();
    const std::uint32_t grown = std::min(ReaderTable::MAX_CHUNKS, count + std::max(16u, count / 2));
    if (grown == count) throw std::bad_alloc();
    table->File().Resize(ReaderTable::CHUNKS_OFFSET + grown * ReaderTable::CHUNK_BYTES);
    header.chunkCount.store(grown);
    for (std::uint32_t c = grown; c > count; --c) freeChunks.push_back(c - 1);
}

std::uint32_t SharedWriter::TakeChunk(std::vector<std::uint32_t>& taken) {
    if (freeChunks.empty()) Grow();
    const std::uint32_t chunk = freeChunks.back();
    freeChunks.pop_back();
    taken.push_back(chunk);
    return chunk;
}

bool SharedWriter::Publish(const CommittedImage& image) {
    if (!begun) return false;
    std::vector<std::uint32_t> taken;
    bool done = false;
    try {
        const std::size_t blocks = image.Blocks();
        if (blocks > PAGE_INDEX_ENTRIES) throw std::bad_alloc();
        std::vector<std::uint32_t> chunks(blocks);
        std::vector<std::uint32_t> replaced;
        for (std::size_t b = 0; b < blocks; ++b) {
            if (b < mirrored.size() && mirrored[b] == image.Index()[b]) {
                chunks[b] = blockChunks[b];
                continue;
            }
            chunks[b] = TakeChunk(taken);
            std::memcpy(table->Chunk(chunks[b]), image.Block(b), ReaderTable::CHUNK_BYTES);
            if (b < blockChunks.size()) replaced.push_back(blockChunks[b]);
        }
        for (std::size_t b = blocks; b < blockChunks.size(); ++b)
            replaced.push_back(blockChunks[b]);
        const std::uint32_t newDirectory = TakeChunk(taken);
        IndexChunk* list = table->Chunk(newDirectory);
        for (std::size_t b = 0; b < blocks; ++b) list->entries[b] = chunks[b];
        if (directory != ReaderTable::NO_CHUNK) replaced.push_back(directory);
        WriteImage(image, newDirectory);
        retained.push_back(Batch{image.Sequence(), std::move(replaced)});
        mirrored = image.Index();
        blockChunks = std::move(chunks);
        directory = newDirectory;
        done = true;
    } catch (const std::bad_alloc&) {
    } catch (const TamFile::FileException&) {
    }
    if (done) {
        OldestPinned();
        return true;
    }
    // Nothing was made current: every chunk taken goes back, and the next
    // image is copied whole.
    freeChunks.insert(freeChunks.end(), taken.begin(), taken.end());
    mirrored.clear();
    return false;
}

void SharedWriter::WriteImage(const CommittedImage& image, std::uint32_t list) {
    // A reader copies an entry between two reads of its sequence: a zero
    // sequence while it is rewritten tells it to look again.
    const std::uint64_t sequence = image.Sequence();
    ImageEntry& entry = table->Image(sequence);
    entry.sequence.store(0);
    entry.root.store(image.Counts().root);
    entry.pages.store(image.Counts().pages);
    entry.records.store(image.Counts().records);
    entry.fileSize.store(image.FileSize());
    entry.directory.store(list);
    entry.blocks.store(static_cast<std::uint32_t>(image.Blocks()));
    entry.sequence.store(sequence);
    TableHeader& header = table->Header();
    header.lastSequence.store(sequence);
    header.current.store(sequence);
}

std::uint64_t SharedWriter::OldestPinned() {
    const std::uint64_t current = table->Header().current.load();
    std::uint64_t oldest = SnapshotRegistry::NONE_PINNED;
    for (std::uint32_t i = 0; i < ReaderTable::READER_SLOTS; ++i) {
        const std::uint64_t pinned = table->Slot(i).pinned.load();
        if (pinned == SnapshotRegistry::NONE_PINNED) continue;
        // Only a pin that holds something back is worth a look at its holder.
        if (pinned < current && !table->SlotAlive(i)) continue;
        oldest = std::min(oldest, pinned);
    }
    ReleaseChunks(oldest);
    return oldest;
}

void SharedWriter::ReleaseChunks(std::uint64_t oldestPinned) {
    for (auto batch = retained.begin(); batch != retained.end();) {
        if (batch->sequence > oldestPinned) {
            ++batch;
            continue;
        }
        freeChunks.insert(freeChunks.end(), batch->chunks.begin(), batch->chunks.end());
        batch = retained.erase(batch);
    }
}

std::vector<BTree::Reader> SharedWriter::Readers() const {
    return LiveReaders(*table, ReaderTable::READER_SLOTS);
}

}  // namespace TamBTree
