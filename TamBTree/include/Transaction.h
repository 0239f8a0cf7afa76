// A scope guard over a tree's open transaction: Commit makes the changes
// durable, and leaving the scope any other way (return, exception) rolls them
// back. The typed trees name it ByteTree::Transaction and
// FixedTree::Transaction.
//
//     ByteTree::Transaction tx(tree);
//     tree.Put("a", "1");
//     tree.Put("b", "2");  // throws? then neither record stays
//     tx.Commit();
//
// A tree has one open transaction, not one per guard: the guard commits or
// rolls back every change made since the last commit, including those made
// before it was taken. The tree must outlive the guard and stay where it is
// while the guard is held.
#pragma once

#include <stdexcept>
#include <utility>

#include "BTree.h"

namespace TamBTree {

class Transaction {
public:
    explicit Transaction(BTree& owner) noexcept : tree(&owner) {}

    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    // The moved-from guard is released: only the new one commits or rolls back.
    Transaction(Transaction&& other) noexcept : tree(std::exchange(other.tree, nullptr)) {}
    // Rolls back what this guard held before taking over the other's.
    Transaction& operator=(Transaction&& other) noexcept {
        if (this != &other) {
            RollbackQuietly();
            tree = std::exchange(other.tree, nullptr);
        }
        return *this;
    }

    ~Transaction() { RollbackQuietly(); }

    // Makes the changes durable in one call (BTree::CommitNow) and releases
    // the guard. When the commit throws, the guard stays held, so leaving the
    // scope rolls the changes back.
    void Commit() {
        Held().CommitNow();
        tree = nullptr;
    }
    // Discards the changes now and releases the guard.
    void Rollback() {
        BTree& t = Held();
        tree = nullptr;
        t.Rollback();
    }
    // False once committed, rolled back or moved from.
    bool Active() const noexcept { return tree != nullptr; }

private:
    BTree& Held() const {
        if (!tree) throw std::logic_error("Transaction: committed, rolled back or moved from");
        return *tree;
    }
    // A destructor that throws while an exception unwinds the stack ends the
    // program, so a failed rollback is swallowed. The changes then stay
    // uncommitted in the tree object, but the file still holds the last commit,
    // and a reopened tree reads exactly that.
    void RollbackQuietly() noexcept {
        if (!tree) return;
        try {
            std::exchange(tree, nullptr)->Rollback();
        } catch (...) {
        }
    }

    BTree* tree;
};

}  // namespace TamBTree
