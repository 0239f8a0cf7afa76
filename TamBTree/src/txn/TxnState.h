// The state of the transaction and of the commit the head names, in one
// place: every change of it is one of the transitions below.
//
//   Idle       the head names no committed block; data operations run.
//   Ready      the head names a pre-committed block (PreCommit, or found at
//              the open): data operations wait for Commit or Rollback.
//   Applying   the head names a decided block whose install in memory has
//              not finished (it is running, or it failed): only a reload
//              finishes it.
//   Installed  the head still names the last commit as applying, but the
//              page index in memory holds it: the install is owed to the
//              disk, which the next data flush gives it, and the head leaves
//              the applying state at the next store of a head.
//
// Besides: a data operation that failed after it changed pages marks the
// transaction failed; only Rollback (a reload) clears that.
#pragma once

#include <cassert>

#include "BTree.h"
#include "FileFormat.h"

namespace TamBTree {

class TxnState {
public:
    enum Head { Idle, Ready, Applying, Installed };

    // Data operations wait while a committed block waits to be installed.
    bool Waiting() const { return head == Ready || head == Applying; }
    // A decided commit whose install did not finish.
    bool Interrupted() const { return head == Applying; }
    // The head names an install that memory already holds.
    bool IdleOwed() const { return head == Installed; }
    bool Failed() const { return failed; }
    BTree::CommitState Reported() const {
        if (head == Ready) return BTree::CommitReady;
        return head == Applying ? BTree::CommitApplying : BTree::CommitIdle;
    }

    // A file opened: the state its head names.
    void Opened(const BTreeInfo& info) {
        head = info.commitApplying ? Applying : info.commitReady ? Ready : Idle;
        failed = false;
    }
    // A new file, or one about to be read.
    void Reset() {
        head = Idle;
        failed = false;
    }
    // The transaction's block is written and a head naming it is stored:
    // decided (one phase) or ready.
    void Named(bool decided) {
        assert(head == Idle || head == Installed);
        head = decided ? Applying : Ready;
    }
    // Commit decided a ready block.
    void Decided() {
        assert(head == Ready);
        head = Applying;
    }
    // The install of the named block is complete in memory.
    void InstallDone() {
        assert(head == Applying);
        head = Installed;
    }
    // A head that names no block is stored.
    void HeadIdle() { head = Idle; }
    void Fail() { failed = true; }

private:
    Head head = Idle;
    bool failed = false;
};

}  // namespace TamBTree
