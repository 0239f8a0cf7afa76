// Update in place when the page can hold the new record, else by erase and
// insert.
#include <cstring>

#include "Damage.h"
#include "PageLayout.h"
#include "PageTree.h"

namespace TamBTree {

BTreeIterator PageTree::Update(const BTreeIterator& it, const Record& r) {
    SecureRoomForWrite();
    Bracket bracket(*pager);
    const Record record = CopyAside(r, insertBuffer + geometry.pageSize / 2);
    const std::uint64_t p = it.GetCurrentPage();
    const std::uint32_t n = it.GetCurrentRecord();
    const PageHeader* current = pager->LoadPage(p);
    if (!current->isLeaf || n == 0 || n > current->count)
        ThrowInvalid(L"the iterator does not designate a record");
    // The record keeps its place in the page, so its key must not change.
    const Record old = layout.GetRecord(current, n);
    if (old.keyLength != record.keyLength || std::memcmp(old.key, record.key, old.keyLength) != 0)
        throw BTreeException(WithPath(pager->Space().Path(),
                                      L"The record's key differs from the key at the iterator."));
    const std::int32_t delta =
        static_cast<std::int32_t>(geometry.hasValue ? record.valueLength : 0) -
        static_cast<std::int32_t>(geometry.hasValue ? old.valueLength : 0);
    PageHeader* page = pager->LoadPageForUpdate(p);
    if (delta < 0 || static_cast<std::uint32_t>(delta) <= layout.GetPageFreeSpace(page)) {
        layout.DeleteRecord(page, n);
        layout.InsertRecord(record, page, n);
        return it;
    }
    bool nextValid;
    BTreeIterator next;
    Erase(it, nextValid, next);
    return Insert(record).first;
}

}  // namespace TamBTree
