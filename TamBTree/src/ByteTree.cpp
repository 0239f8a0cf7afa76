// The ready-made byte-string tree, built on the protected operations of BTree.
#include "ByteTree.h"

#include <algorithm>
#include <cstring>
#include <typeinfo>

#include "PageLayout.h"

namespace TamBTree {

namespace {

// A walking cursor's runs grow by this factor up to the limits, which bound
// what one cursor holds (a record larger than the byte limit is a run alone).
constexpr std::uint32_t RUN_GROWTH = 4;
constexpr std::uint32_t MOST_RUN_RECORDS = 256;
constexpr std::size_t MOST_RUN_BYTES = 16384;

const unsigned char* Bytes(std::string_view s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

}  // namespace

ByteTree::Cursor::Cursor(const ByteTree* owner, const BTreeConstIterator& at)
    : tree(owner), position(at) {
    Move(0);
}

void ByteTree::Free(RecordBytes* bytes) noexcept {
    delete bytes;
}

void ByteTree::Cursor::Move(int step) {
    // Forward from the end stays there; a cursor made at the end holds nothing.
    if (position.IsEnd() && step >= 0) return;
    if (step != 0 && StepInRun(step)) return;
    // Entries and cursor copies keep the bytes they see.
    if (!record.Alone()) record = RecordShare(new RecordBytes);
    record->used = 0;
    record->run.clear();
    // A cursor just placed may be read once; one that walks reads ahead more
    // with every run.
    runWanted = step == 0 ? 1 : std::min(runWanted * RUN_GROWTH, MOST_RUN_RECORDS);
    runChanges = tree->ChangeCount();
    tree->StepAndRead(position, step, runWanted, &Cursor::Take, record.get());
    runIndex = 0;
    runStep = step < 0 ? -1 : 1;
    if (position.IsEnd()) record = RecordShare();
}

bool ByteTree::Cursor::StepInRun(int step) {
    if (!record) return false;
    const std::int64_t next = std::int64_t{runIndex} + step * runStep;
    if (next < 0 || next >= static_cast<std::int64_t>(record->run.size())) return false;
    if (tree->ChangeCount() != runChanges) return false;
    runIndex = static_cast<std::uint32_t>(next);
    position =
        BTreeConstIterator(position.GetCurrentPage(),
                           static_cast<std::uint32_t>(position.GetCurrentRecord() + step), tree);
    return true;
}

bool ByteTree::Cursor::Take(void* bytes, const Record& r) {
    RecordBytes& to = *static_cast<RecordBytes*>(bytes);
    const std::uint32_t valueLength = r.value ? r.valueLength : 0;
    const std::size_t size = std::size_t{r.keyLength} + valueLength;
    if (!to.run.empty() && to.used + size > MOST_RUN_BYTES) return false;
    if (to.used + size > to.capacity) {
        const std::size_t capacity = std::max(to.used + size, 2 * to.capacity);
        std::unique_ptr<char[]> grown(new char[capacity]);
        if (to.used != 0) std::memcpy(grown.get(), to.bytes.get(), to.used);
        to.bytes = std::move(grown);
        to.capacity = capacity;
    }
    char* at = to.bytes.get() + to.used;
    if (r.keyLength != 0) std::memcpy(at, r.key, r.keyLength);
    if (valueLength != 0) std::memcpy(at + r.keyLength, r.value, valueLength);
    // Field by field: a whole Placed built on the stack and copied in one load
    // stalls on the narrower stores that made it.
    to.run.emplace_back();
    RecordBytes::Placed& placed = to.run.back();
    placed.at = to.used;
    placed.keyLength = r.keyLength;
    placed.valueLength = valueLength;
    to.used += size;
    return true;
}

ByteTree::Cursor& ByteTree::Cursor::operator++() {
    Move(1);
    return *this;
}

ByteTree::Cursor& ByteTree::Cursor::operator--() {
    Move(-1);
    return *this;
}

ByteTree::Cursor ByteTree::Cursor::operator++(int) {
    Cursor copy(*this);
    ++*this;
    return copy;
}

ByteTree::Cursor ByteTree::Cursor::operator--(int) {
    Cursor copy(*this);
    --*this;
    return copy;
}

ByteTree::ByteTree(const std::string& path, const Options& o)
    : BTree(path, o.allowDuplicates, o.keySize != 0, o.values, o.values && o.valueSize != 0,
            PAGE_SIZE, o.cacheSize, o.readOnly, o.temporary, o.mode),
      values(o.values) {
    keySize = o.keySize;
    valueSize = o.values ? o.valueSize : 0;
    if (o.durability != Durability::Full || o.syncEvery != DEFAULT_SYNC_EVERY ||
        o.syncBytes != DEFAULT_SYNC_BYTES)
        SetDurability(o.durability, o.syncEvery, o.syncBytes);
}

ByteTree::ByteTree(SnapshotOf of) : BTree(of) {
    const ByteTree& source = static_cast<const ByteTree&>(of.source);
    values = source.values;
    keySize = source.keySize;
    valueSize = source.valueSize;
}

ByteTree::~ByteTree() = default;

ByteTree::Snapshot::~Snapshot() = default;

std::unique_ptr<ByteTree> ByteTree::SnapshotView() const {
    if (typeid(*this) != typeid(ByteTree))
        throw BTreeException(
            L"A tree derived from ByteTree takes snapshots only once it overrides "
            L"SnapshotView with a tree of its own type. (" +
            Tam::FromMultiByte(GetPath()) + L")");
    return std::unique_ptr<ByteTree>(new ByteTree(SnapshotOf{*this}));
}

ByteTree::Snapshot ByteTree::TakeSnapshot() const {
    return Snapshot(SnapshotView());
}

bool ByteTree::Less(const Record& a, const Record& b) const {
    return PageLayout::KeyBytesLess(this, a, b);
}

void ByteTree::LearnOrder() const {
    // Only once the object is whole does its type tell whether a derived tree
    // orders by Less of its own; a ByteTree itself orders by the key bytes.
    if (orderKnown) return;
    orderKnown = true;
    if (typeid(*this) == typeid(ByteTree)) UseByteOrder();
}

BTree::Record ByteTree::MakeKey(std::string_view key) const {
    LearnOrder();
    return Record{Bytes(key), static_cast<std::uint32_t>(key.size()), nullptr, 0};
}

BTree::Record ByteTree::MakeRecord(std::string_view key, std::string_view value) const {
    LearnOrder();
    // Sizes are 32-bit in the tree; anything that large cannot be stored.
    if (key.size() + (values ? value.size() : 0) > GetMaxRecordSize())
        ThrowRecordTooLargeException(GetPath());
    if (!values) return MakeKey(key);
    return Record{Bytes(key), static_cast<std::uint32_t>(key.size()), Bytes(value),
                  static_cast<std::uint32_t>(value.size())};
}

bool ByteTree::KeyLess(std::string_view a, std::string_view b) const {
    return Less(MakeKey(a), MakeKey(b));
}

bool ByteTree::Put(std::string_view key, std::string_view value) {
    return BTree::InsertOrAssign(MakeRecord(key, value)).second;
}

bool ByteTree::Insert(std::string_view key, std::string_view value) {
    return BTree::Insert(MakeRecord(key, value)).second;
}

std::optional<std::string> ByteTree::Get(std::string_view key) const {
    // One copy, straight from the page, while the find keeps it mapped.
    std::optional<std::string> found;
    auto copy = [](void* to, const Record& r) {
        auto& value = *static_cast<std::optional<std::string>*>(to);
        if (r.value)
            value.emplace(reinterpret_cast<const char*>(r.value), r.valueLength);
        else
            value.emplace();
    };
    if (!FindAndRead(MakeKey(key), copy, &found)) return std::nullopt;
    return found;
}

bool ByteTree::Contains(std::string_view key) const {
    return !BTree::Find(MakeKey(key)).IsEnd();
}

std::uint32_t ByteTree::Erase(std::string_view key) {
    return BTree::Erase(MakeKey(key));
}

ByteTree::Cursor ByteTree::Find(std::string_view key) const {
    return Cursor(this, BTree::Find(MakeKey(key)));
}

ByteTree::Cursor ByteTree::LowerBound(std::string_view key) const {
    return Cursor(this, BTree::LowerBound(MakeKey(key)));
}

ByteTree::Cursor ByteTree::UpperBound(std::string_view key) const {
    return Cursor(this, BTree::UpperBound(MakeKey(key)));
}

ByteTree::Cursor ByteTree::begin() const {
    return Cursor(this, Begin());
}

ByteTree::Cursor ByteTree::end() const {
    return Cursor(this, End());
}

ByteTree::Range<ByteTree::Cursor> ByteTree::Records(std::string_view from,
                                                    std::string_view to) const {
    Cursor first = LowerBound(from);
    if (!KeyLess(from, to)) return Range<Cursor>(first, first);
    return Range<Cursor>(std::move(first), LowerBound(to));
}

ByteTree::Range<ByteTree::Cursor> ByteTree::Records(std::string_view from) const {
    return Range<Cursor>(LowerBound(from), end());
}

ByteTree::Range<ByteTree::ReverseCursor> ByteTree::Reversed() const {
    return Range<ReverseCursor>(ReverseCursor(--end()), ReverseCursor(end()));
}

ByteTree::Range<ByteTree::ReverseCursor> ByteTree::Reversed(std::string_view from,
                                                            std::string_view to) const {
    ReverseCursor last(--LowerBound(from));
    if (!KeyLess(from, to)) return Range<ReverseCursor>(last, last);
    return Range<ReverseCursor>(ReverseCursor(--LowerBound(to)), std::move(last));
}

ByteTree::Range<ByteTree::ReverseCursor> ByteTree::ReversedFrom(std::string_view key) const {
    // Back from the first greater key; past the first record is the end.
    return Range<ReverseCursor>(ReverseCursor(--UpperBound(key)), ReverseCursor(end()));
}

void ByteTree::Commit() {
    CommitNow();
}

}  // namespace TamBTree
