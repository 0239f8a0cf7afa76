// The writer's side of the reader table: it mirrors each image the tree
// publishes into the table's chunks for readers in other processes, reports
// the oldest image a live reader there pins, and reuses a chunk only once no
// reader can reach it (the same rule as for page images, see Snapshots.h).
//
// Only the tree's thread uses it. A failure to mirror (no chunk left) leaves
// the readers on the image before; the next mirror copies every block.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "BTree.h"
#include "ReaderTable.h"

namespace TamBTree {

class SharedWriter {
public:
    // Null when the table cannot be used: the tree then writes alone, as a
    // file locked against every other open.
    static std::unique_ptr<SharedWriter> Open(const std::string& treePath, std::uint64_t device,
                                              std::uint64_t inode, std::uint32_t pageSize);
    static std::unique_ptr<SharedWriter> Open(const std::string& treePath,
                                              const TamFile::MemoryMapFile& treeFile,
                                              std::uint32_t pageSize);
    // Whether the table is the one of the file (device, inode).
    bool Serves(std::uint64_t device, std::uint64_t inode) const {
        return table->Header().device == device && table->Header().inode == inode;
    }
    // Takes the image away from readers while no live reader pins one: they
    // wait for the next. False, and nothing changed, when one does.
    bool Withdraw();
    ~SharedWriter();
    SharedWriter(const SharedWriter&) = delete;
    SharedWriter& operator=(const SharedWriter&) = delete;

    // The first sequence this writer may give an image: above every one a
    // reader may still pin.
    std::uint64_t FirstSequence() const { return firstSequence; }
    // Becomes the table's writer, waiting for readers that are loading the
    // tree file meanwhile. True when readers of the state before it still
    // pin an image: what that state left free must then stay unchanged
    // until they move on.
    bool Begin();
    // The tree comes to rest (`atRest`: the file holds the last image), or
    // the writer leaves without that; readers then read the file itself.
    void End(bool atRest);
    // Mirrors `image` for readers and makes it theirs; false when it could
    // not, and they keep the one before.
    bool Publish(const CommittedImage& image);
    // The oldest sequence a live reader pins (NONE_PINNED: none); frees
    // the chunks no reader reaches any more.
    std::uint64_t OldestPinned();
    // Tells each live reader how many bytes it holds: `held(pinned)`.
    template <class Held>
    void ReportHeld(Held held) {
        for (std::uint32_t i = 0; i < ReaderTable::READER_SLOTS; ++i) {
            ReaderSlot& slot = table->Slot(i);
            const std::uint64_t pinned = slot.pinned.load();
            if (pinned != SnapshotRegistry::NONE_PINNED) slot.heldBytes.store(held(pinned));
        }
    }
    std::vector<BTree::Reader> Readers() const;

private:
    explicit SharedWriter(std::shared_ptr<ReaderTable> opened);
    std::uint32_t TakeChunk(std::vector<std::uint32_t>& taken);
    void Grow();
    void WriteImage(const CommittedImage& image, std::uint32_t directory);
    void ReleaseChunks(std::uint64_t oldestPinned);

    struct Batch {
        std::uint64_t sequence;
        std::vector<std::uint32_t> chunks;
    };

    std::shared_ptr<ReaderTable> table;
    std::uint64_t firstSequence;
    bool begun = false;
    std::vector<std::uint32_t> freeChunks;
    // Chunks replaced by the image of `sequence`: free once none before it
    // is pinned.
    std::deque<Batch> retained;
    // The blocks of the image mirrored last and the chunk of each.
    CommittedImage::Chunks mirrored;
    std::vector<std::uint32_t> blockChunks;
    std::uint32_t directory = ReaderTable::NO_CHUNK;
};

}  // namespace TamBTree
