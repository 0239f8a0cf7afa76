// A reader's side of the reader table: the images of a tree that a writer in
// another process (or no one) writes, pinned in a slot of this reader's own.
//
// Pin gives the newest committed image: the one the writer published last
// when a writer lives, else the one its clean close left, else the tree file
// read as recovery would leave it (`load`). The slot's pin is the oldest
// sequence this reader holds; the writer honours it for chunks and page
// images alike. Any thread; one mutex guards the pins.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BTree.h"
#include "ReaderTable.h"

namespace TamBTree {

class SharedReader : public ImageSource, public std::enable_shared_from_this<SharedReader> {
public:
    // Reads the tree file at `path` with no writer: an image of sequence
    // `sequence` of what it holds.
    using Loader = std::function<std::shared_ptr<const CommittedImage>(const std::string& path,
                                                                       std::uint64_t sequence)>;
    // How long a reader waits for a writer that is opening the file.
    static constexpr int WAIT_MILLISECONDS = 30000;
    // How long it waits for a file that needs an interrupted commit
    // finished while another open holds it.
    static constexpr int LOCKED_MILLISECONDS = 2000;

    // Opens the tree file for reading beside a writer (throws as an open of
    // the file does when it is missing) and takes a slot; null when the
    // table cannot be used, or all its slots are taken.
    static std::shared_ptr<SharedReader> Open(const std::string& treePath, std::uint32_t pageSize,
                                              Loader load);
    ~SharedReader() override;
    SharedReader(const SharedReader&) = delete;
    SharedReader& operator=(const SharedReader&) = delete;

    std::shared_ptr<const CommittedImage> Pin() override;
    void Unpin(std::uint64_t sequence) override;
    // The other live readers of the table, and whether a writer lives.
    std::vector<BTree::Reader> Readers();
    bool WriterLives();

private:
    SharedReader(const std::string& treePath, Loader load);
    bool ClaimSlot();
    std::shared_ptr<const CommittedImage> PinNewest();
    std::shared_ptr<const CommittedImage> PinWithoutWriter();
    bool PinInSlot(std::uint64_t sequence);
    std::shared_ptr<const CommittedImage> ImageOf(std::uint64_t sequence);
    void UpdateSlot();
    [[noreturn]] void ThrowDamaged() const;

    const std::string path;
    const Loader loader;
    std::mutex mutex;
    TamFile::MemoryMapFile treeFile;
    std::shared_ptr<ReaderTable> table;
    std::uint32_t slot = ReaderTable::READER_SLOTS;
    // Pinned sequences and how many hold each.
    std::map<std::uint64_t, std::uint32_t> pins;
    std::uint32_t pinned = 0;
    // Units known sound, for every image read from the table.
    std::shared_ptr<CheckedUnits> checked;
};

}  // namespace TamBTree
