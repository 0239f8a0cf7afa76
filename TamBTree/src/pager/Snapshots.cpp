// The snapshot registry, pins and the images retained for snapshots.
#include "Snapshots.h"

#include "FileSpace.h"

namespace TamBTree {

std::shared_ptr<const CommittedImage> SnapshotRegistry::Pin() {
    std::lock_guard<std::mutex> lock(mutex);
    if (current) {
        ++pins[current->Sequence()];
        ++pinned;
    }
    return current;
}

void SnapshotRegistry::Unpin(std::uint64_t sequence) {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = pins.find(sequence);
    if (found != pins.end() && --found->second == 0) pins.erase(found);
    --pinned;
}

void SnapshotRegistry::Publish(std::shared_ptr<const CommittedImage> image) {
    // The image replaced is released after the lock: it may be the last
    // holder of mappings, which are then unmapped.
    std::shared_ptr<const CommittedImage> previous = std::move(image);
    std::lock_guard<std::mutex> lock(mutex);
    std::swap(current, previous);
}

std::uint64_t SnapshotRegistry::OldestPinned() const {
    std::lock_guard<std::mutex> lock(mutex);
    return pins.empty() ? NONE_PINNED : pins.begin()->first;
}

std::uint32_t SnapshotRegistry::Pinned() const {
    std::lock_guard<std::mutex> lock(mutex);
    return pinned;
}

SnapshotPin::SnapshotPin(std::shared_ptr<ImageSource> pinned)
    : source(std::move(pinned)), image(source->Pin()) {
    // A tree publishes when it opens: an image is always there.
    if (!image) std::terminate();
}

SnapshotPin::~SnapshotPin() {
    if (source) source->Unpin(image->Sequence());
}

void RetainedImages::Retain(std::uint64_t sequence, std::uint64_t commit,
                            std::vector<std::uint64_t> offsets) {
    if (!offsets.empty()) batches.push_back(Batch{sequence, commit, std::move(offsets), {}});
}

void RetainedImages::RetainFreeSpace(std::uint64_t sequence, FileSpace& space) {
    Batch batch{sequence, 0, {}, {}};
    for (const auto& block : space.FreeList().BlocksByOffset())
        batch.ranges.emplace_back(block.first, block.second);
    for (const auto& range : batch.ranges) space.Claim(range.second, range.first);
    if (!batch.ranges.empty()) batches.push_back(std::move(batch));
}

void RetainedImages::Release(std::uint64_t oldestPinned, std::uint64_t durable, FileSpace& space,
                             std::uint32_t pageSize) {
    // Batch s was replaced by image s: only images before s name it.
    for (auto batch = batches.begin(); batch != batches.end();) {
        if (batch->sequence > oldestPinned || batch->commit > durable) {
            ++batch;
            continue;
        }
        for (const std::uint64_t offset : batch->offsets) space.Free(pageSize, offset);
        for (const auto& range : batch->ranges) space.Free(range.second, range.first);
        batch = batches.erase(batch);
    }
}

std::uint64_t RetainedImages::HeldBytes(std::uint64_t oldestPinned, std::uint32_t pageSize) const {
    std::uint64_t bytes = 0;
    for (const Batch& batch : batches)
        if (batch.sequence > oldestPinned) {
            bytes += std::uint64_t{pageSize} * batch.offsets.size();
            for (const auto& range : batch.ranges) bytes += range.second;
        }
    return bytes;
}

void RetainedImages::Reclaim(FileSpace& space, std::uint32_t pageSize) {
    for (Batch& batch : batches) {
        std::vector<std::uint64_t> kept;
        for (const std::uint64_t offset : batch.offsets)
            if (space.TryClaim(pageSize, offset)) kept.push_back(offset);
        batch.offsets = std::move(kept);
        // A range may lie across several free blocks of the rebuilt list:
        // it is taken back unit by unit.
        std::vector<std::pair<std::uint64_t, std::uint64_t>> keptRanges;
        for (const auto& range : batch.ranges)
            for (std::uint64_t at = range.first; at - range.first < range.second; at += pageSize) {
                if (!space.TryClaim(pageSize, at)) continue;
                if (!keptRanges.empty() && keptRanges.back().first + keptRanges.back().second == at)
                    keptRanges.back().second += pageSize;
                else
                    keptRanges.emplace_back(at, pageSize);
            }
        batch.ranges = std::move(keptRanges);
    }
}

}  // namespace TamBTree
