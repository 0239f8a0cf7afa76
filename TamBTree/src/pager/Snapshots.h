// Snapshots: the last commit, frozen for readers on other threads.
//
// Whenever the committed tree changes (a commit's install, an open, a
// rollback), the pager publishes a CommittedImage: the commit's counts, its
// page index (page number to file offset, copied block by block and sharing
// the blocks that did not change), a mapping of the file, and the set of units
// known to hold sound images. An image never changes. A snapshot pins the image
// that is current when it is taken and reads pages through it, on any thread.
//
// Contract with the writer: a page image that a pinned image names is neither
// written nor given back to the free space (RetainedImages holds it) until
// every snapshot pinned to an older image has ended, so the pages a snapshot
// reads stay as they were when it was taken. The registry's lock is held only
// to pin, unpin and publish: never across a read, a copy or a flush.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "CheckedUnits.h"
#include "FileFormat.h"
#include "TamFile.h"
#include "TreeCounts.h"

namespace TamBTree {

class FileSpace;

// The offsets of PAGE_INDEX_ENTRIES page numbers, as one page-index block
// held them when the image was published.
struct IndexChunk {
    std::uint64_t entries[PAGE_INDEX_ENTRIES];
};

class CommittedImage {
public:
    using Chunks = std::vector<std::shared_ptr<const IndexChunk>>;

    // An image the tree published itself: its index lives in `offsets`.
    CommittedImage(const TreeCounts& committed, std::uint64_t number, Chunks offsets,
                   std::shared_ptr<const TamFile::SharedMapping> file,
                   std::shared_ptr<CheckedUnits> sound)
        : counts(committed),
          sequence(number),
          index(std::move(offsets)),
          blocks(Raw(index)),
          mapping(std::move(file)),
          checked(std::move(sound)) {}
    // An image another process published: its index blocks lie in memory
    // that `keeper` holds.
    CommittedImage(const TreeCounts& committed, std::uint64_t number,
                   std::vector<const IndexChunk*> offsets, std::shared_ptr<const void> keeper,
                   std::shared_ptr<const TamFile::SharedMapping> file,
                   std::shared_ptr<CheckedUnits> sound)
        : counts(committed),
          sequence(number),
          blocks(std::move(offsets)),
          keep(std::move(keeper)),
          mapping(std::move(file)),
          checked(std::move(sound)) {}

    const TreeCounts& Counts() const { return counts; }
    // Grows by one with every image a tree publishes.
    std::uint64_t Sequence() const { return sequence; }
    // The offset of page n, below Counts().pages; NO_PAGE when unlocated.
    std::uint64_t Offset(std::uint64_t n) const {
        return blocks[static_cast<std::size_t>(n / PAGE_INDEX_ENTRIES)]
            ->entries[n % PAGE_INDEX_ENTRIES];
    }
    // The index blocks of an image the tree published itself.
    const Chunks& Index() const { return index; }
    std::size_t Blocks() const { return blocks.size(); }
    const IndexChunk* Block(std::size_t b) const { return blocks[b]; }
    std::uint64_t FileSize() const { return mapping->Size(); }
    // The bytes at `offset`, below FileSize().
    unsigned char* Address(std::uint64_t offset) const { return mapping->At(offset); }
    CheckedUnits& Checked() const { return *checked; }

private:
    static std::vector<const IndexChunk*> Raw(const Chunks& chunks) {
        std::vector<const IndexChunk*> raw;
        raw.reserve(chunks.size());
        for (const auto& chunk : chunks) raw.push_back(chunk.get());
        return raw;
    }

    const TreeCounts counts;
    const std::uint64_t sequence;
    const Chunks index;
    const std::vector<const IndexChunk*> blocks;
    const std::shared_ptr<const void> keep;
    const std::shared_ptr<const TamFile::SharedMapping> mapping;
    const std::shared_ptr<CheckedUnits> checked;
};

// Where snapshots pin images: the tree's own registry, or the reader table
// of a writer in another process. Any thread.
class ImageSource {
public:
    virtual ~ImageSource() = default;
    // The newest image, pinned until Unpin with its sequence.
    virtual std::shared_ptr<const CommittedImage> Pin() = 0;
    virtual void Unpin(std::uint64_t sequence) = 0;
};

// Shared by a tree and its snapshots (which may outlive it): the current
// image and the live snapshots by the sequence of the image they pinned.
class SnapshotRegistry : public ImageSource {
public:
    static constexpr std::uint64_t NONE_PINNED = ~std::uint64_t(0);

    SnapshotRegistry() = default;
    SnapshotRegistry(const SnapshotRegistry&) = delete;
    SnapshotRegistry& operator=(const SnapshotRegistry&) = delete;

    // Any thread: the current image, pinned until Unpin with its sequence.
    std::shared_ptr<const CommittedImage> Pin() override;
    void Unpin(std::uint64_t sequence) override;

    // The tree's thread.
    void Publish(std::shared_ptr<const CommittedImage> image);
    // The sequence of the oldest pinned image; NONE_PINNED when none is.
    std::uint64_t OldestPinned() const;
    std::uint32_t Pinned() const;

private:
    mutable std::mutex mutex;
    std::shared_ptr<const CommittedImage> current;
    std::map<std::uint64_t, std::uint32_t> pins;
    std::uint32_t pinned = 0;
};

// A snapshot's hold on an image: pinned for its lifetime. Movable.
class SnapshotPin {
public:
    explicit SnapshotPin(std::shared_ptr<ImageSource> source);
    ~SnapshotPin();
    SnapshotPin(SnapshotPin&& other) noexcept = default;
    SnapshotPin& operator=(SnapshotPin&&) = delete;
    SnapshotPin(const SnapshotPin&) = delete;
    SnapshotPin& operator=(const SnapshotPin&) = delete;

    const CommittedImage& Image() const { return *image; }

private:
    std::shared_ptr<ImageSource> source;
    std::shared_ptr<const CommittedImage> image;
};

// The tree's side: page images that commits replaced while a snapshot of an
// older image, or a head that a crash may find, might still need them. Each
// batch is tagged with the sequence of the image published with the commit
// that replaced it, and with the commit from which on a durable head no
// longer needs it; it goes back to the free space once no image older than
// its sequence is pinned and that commit is durable.
class RetainedImages {
public:
    void Retain(std::uint64_t sequence, std::uint64_t commit, std::vector<std::uint64_t> offsets);
    // Keeps every block of free space out of it until no image before
    // `sequence` is pinned: readers of an earlier writer may read anything
    // that writer left free.
    void RetainFreeSpace(std::uint64_t sequence, FileSpace& space);
    // Frees every batch that no snapshot pinned before `oldestPinned` reaches
    // and whose commit is at or before `durable`.
    void Release(std::uint64_t oldestPinned, std::uint64_t durable, FileSpace& space,
                 std::uint32_t pageSize);
    // The bytes still held for snapshots pinned at `oldestPinned` or later.
    std::uint64_t HeldBytes(std::uint64_t oldestPinned, std::uint32_t pageSize) const;
    // After the free space was rebuilt from the file: each retained image is
    // taken out of it again, or dropped when the file names it afresh.
    void Reclaim(FileSpace& space, std::uint32_t pageSize);
    template <class Visit, class VisitRange>
    void ForEach(Visit visit, VisitRange visitRange) const {
        for (const Batch& batch : batches) {
            for (const std::uint64_t offset : batch.offsets) visit(offset);
            for (const auto& range : batch.ranges) visitRange(range.first, range.second);
        }
    }

private:
    struct Batch {
        std::uint64_t sequence;
        std::uint64_t commit;
        std::vector<std::uint64_t> offsets;
        // Blocks of space as (offset, size).
        std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    };
    std::deque<Batch> batches;
};

}  // namespace TamBTree
