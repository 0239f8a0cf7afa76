// The exported tree: every call goes to the core, which holds the state.
#include "BTree.h"

#include "TreeCore.h"

namespace TamBTree {

BTree::BTree(const std::string& path, bool allowDuplicates, bool fixedKeySize, bool hasValue,
             bool fixedValueSize, std::uint32_t pageSize, std::uint32_t cacheSize, bool readOnly,
             bool deleteOnDestroy)
    : BTree(path, allowDuplicates, fixedKeySize, hasValue, fixedValueSize, pageSize, cacheSize,
            readOnly, deleteOnDestroy, OpenOrCreate) {}

BTree::BTree(const std::string& path, bool allowDuplicates, bool fixedKeySize, bool hasValue,
             bool fixedValueSize, std::uint32_t pageSize, std::uint32_t cacheSize, bool readOnly,
             bool deleteOnDestroy, OpenMode mode)
    : recordBuffers{nullptr, nullptr}, keySize(0), valueSize(0), core(nullptr) {
    core = new TreeCore(*this, path, allowDuplicates, fixedKeySize, hasValue, fixedValueSize,
                        pageSize, cacheSize, readOnly, deleteOnDestroy, mode);
}

BTree::BTree(SnapshotOf of)
    : recordBuffers{nullptr, nullptr}, keySize(0), valueSize(0), core(nullptr) {
    core = new TreeCore(*this, *of.source.core);
}

BTree::~BTree() {
    delete core;
}

BTree::BTree(BTree&& other) noexcept
    : recordBuffers{other.recordBuffers[0], other.recordBuffers[1]},
      keySize(other.keySize),
      valueSize(other.valueSize),
      core(other.core) {
    other.recordBuffers[0] = other.recordBuffers[1] = nullptr;
    other.core = nullptr;
    if (core) core->Rebind(*this);
}

BTree& BTree::operator=(BTree&& other) noexcept {
    if (this == &other) return *this;
    delete core;
    recordBuffers[0] = other.recordBuffers[0];
    recordBuffers[1] = other.recordBuffers[1];
    keySize = other.keySize;
    valueSize = other.valueSize;
    core = other.core;
    other.recordBuffers[0] = other.recordBuffers[1] = nullptr;
    other.core = nullptr;
    if (core) core->Rebind(*this);
    return *this;
}

void BTree::ThrowRecordTooLargeException(const std::string& path) {
    TAMBTREE_THROW(BTreeRecordTooLargeException, MsgRecordTooLarge, path);
}

std::uint32_t BTree::GetMaxRecordSize() const {
    return core->GetMaxRecordSize();
}

std::uint64_t BTree::GetDiskSpaceUsed() const {
    return core->GetDiskSpaceUsed();
}

void BTree::SetEnoughSpaceCheckInterval(std::uint32_t n) {
    core->SetEnoughSpaceCheckInterval(n);
}

bool BTree::ReadOnly() const {
    return core->ReadOnly();
}

void BTree::ReadOnly(bool readOnly) {
    core->ReadOnly(readOnly);
}

const std::string& BTree::GetPath() const {
    return core->GetPath();
}

std::vector<BTree::Reader> BTree::Readers() const {
    return core->Readers();
}

BTree::Record BTree::GetRecord(std::uint64_t page, std::uint32_t index) const {
    return core->Tree().GetRecord(page, index);
}

void BTree::UseByteOrder() const {
    core->UseByteOrder();
}

bool BTree::FindAndRead(const Record& r, RecordReader read, void* context) const {
    return core->Tree().FindAndRead(r, read, context);
}

std::uint32_t BTree::StepAndRead(BTreeConstIterator& at, int step, std::uint32_t most,
                                 RunReader read, void* context) const {
    std::uint64_t page = at.GetCurrentPage();
    std::uint32_t record = at.GetCurrentRecord();
    const std::uint32_t taken = core->Tree().StepAndRead(page, record, step, most, read, context);
    at = BTreeConstIterator(page, record, this);
    return taken;
}

std::uint64_t BTree::ChangeCount() const {
    return core->ChangeCount();
}

void BTree::CommitNow() {
    core->CommitNow();
}

void BTree::SetDurability(Durability mode, std::uint32_t syncEvery, std::uint64_t syncBytes) {
    core->SetDurability(mode, syncEvery, syncBytes);
}

Durability BTree::GetDurability() const {
    return core->GetDurability();
}

void BTree::Sync() {
    core->Sync();
}

void BTree::PreCommit() {
    core->PreCommit();
}

void BTree::Commit() {
    core->Commit();
}

void BTree::Rollback() {
    core->Rollback();
}

void BTree::ValidateTree() {
    core->ValidateTree();
}

void BTree::CopyTo(const std::string& path) const {
    core->CopyTo(path);
}

BTree::Statistics BTree::GetStatistics() const {
    return core->GetStatistics();
}

BTree::CommitState BTree::GetCommitState() const {
    return core->GetCommitState();
}

BTreeIterator BTree::Find(const Record& r) {
    return core->Tree().Find(r);
}

BTreeConstIterator BTree::Find(const Record& r) const {
    return core->Tree().Find(r);
}

BTreeIterator BTree::FindEx(const BTreeIterator& hint, const Record& r) {
    return core->Tree().FindEx(hint, r);
}

BTreeIterator BTree::LowerBound(const Record& r) {
    return core->Tree().LowerBound(r);
}

BTreeConstIterator BTree::LowerBound(const Record& r) const {
    return core->Tree().LowerBound(r);
}

BTreeIterator BTree::UpperBound(const Record& r) {
    return core->Tree().UpperBound(r);
}

BTreeConstIterator BTree::UpperBound(const Record& r) const {
    return core->Tree().UpperBound(r);
}

BTreeIterator BTree::Begin() {
    return core->Tree().Begin();
}

BTreeConstIterator BTree::Begin() const {
    return core->ConstBegin();
}

const BTreeIterator& BTree::End() {
    return core->End();
}

const BTreeConstIterator& BTree::End() const {
    return core->ConstEnd();
}

std::uint32_t BTree::Size() const {
    return core->Size();
}

int BTree::Count() const {
    return core->Depth();
}

std::pair<BTreeIterator, bool> BTree::Insert(const Record& r) {
    return core->Insert(r);
}

std::pair<BTreeIterator, bool> BTree::InsertOrAssign(const Record& r) {
    return core->InsertOrAssign(r);
}

bool BTree::Erase(const BTreeIterator& it, bool& nextValid, BTreeIterator& next) {
    return core->Erase(it, nextValid, next);
}

std::uint32_t BTree::Erase(const Record& r) {
    return core->Erase(r);
}

BTreeIterator BTree::Update(const BTreeIterator& it, const Record& r) {
    return core->Update(it, r);
}

void BTree::Clear() {
    core->Clear();
}

int BTree::Add() const {
    return core->Add();
}

int BTree::Remove() const {
    return core->Remove();
}

}  // namespace TamBTree
