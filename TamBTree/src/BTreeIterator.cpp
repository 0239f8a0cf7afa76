// The iterators' steps go to the tree that the iterator names.
#include "BTreeIterator.h"

#include "TreeCore.h"

namespace TamBTree {

BTreeIterator& BTreeIterator::operator++() {
    tree->core->Tree().StepForward(page, record);
    return *this;
}

BTreeIterator BTreeIterator::operator++(int) {
    BTreeIterator copy(*this);
    ++*this;
    return copy;
}

BTreeIterator& BTreeIterator::operator--() {
    tree->core->Tree().StepBackward(page, record);
    return *this;
}

BTreeIterator BTreeIterator::operator--(int) {
    BTreeIterator copy(*this);
    --*this;
    return copy;
}

std::uint32_t BTreeIterator::operator-(const BTreeIterator& other) const {
    return tree->core->Tree().Distance(page, record, other.page, other.record);
}

BTreeConstIterator& BTreeConstIterator::operator++() {
    tree->core->Tree().StepForward(page, record);
    return *this;
}

BTreeConstIterator BTreeConstIterator::operator++(int) {
    BTreeConstIterator copy(*this);
    ++*this;
    return copy;
}

BTreeConstIterator& BTreeConstIterator::operator--() {
    tree->core->Tree().StepBackward(page, record);
    return *this;
}

BTreeConstIterator BTreeConstIterator::operator--(int) {
    BTreeConstIterator copy(*this);
    --*this;
    return copy;
}

std::uint32_t BTreeConstIterator::operator-(const BTreeConstIterator& other) const {
    return tree->core->Tree().Distance(page, record, other.page, other.record);
}

}  // namespace TamBTree
