// How the module shares a source of records (the tree; later also a snapshot
// of it) between Python threads, and the GIL rules around the library's calls.
//
// The library lets one thread at a time use a tree. Each source sits behind a
// mutex that every call takes, so two Python threads using one object are
// serialized, never racing. The GIL is released inside the library's calls so
// that other threads run meanwhile. No thread ever waits for the mutex while
// it holds the GIL: a thread that holds the mutex and waits for the GIL back
// therefore always gets it, and neither lock waits on the other for good.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

#include "OrderedTree.h"

namespace TamPy {

namespace py = pybind11;

// Contract: `source` is used only by a thread that holds `mutex` (through
// Locked), and is null once closed. `generation` moves (under the mutex)
// whenever positions in the source may have changed: a write, a rollback, a
// reopen, closing. Iterators read it without the mutex to notice that.
template <class Source>
class Guarded {
public:
    explicit Guarded(Order keyOrder) : order(keyOrder) {}
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;
    virtual ~Guarded() = default;

    // Raises ValueError once closed; the message names what was closed.
    [[noreturn]] virtual void RaiseClosed() const = 0;
    bool Closed() const { return closed.load(std::memory_order_acquire); }
    std::uint64_t Generation() const { return generation.load(std::memory_order_acquire); }
    // Voids every position taken so far; call it holding the mutex.
    void Moved() { generation.fetch_add(1, std::memory_order_acq_rel); }
    // The mutex, waited for with the GIL released.
    std::unique_lock<std::mutex> Lock() {
        std::unique_lock<std::mutex> lock(mutex, std::try_to_lock);
        if (!lock.owns_lock()) {
            py::gil_scoped_release unlocked;
            lock.lock();
        }
        return lock;
    }

    std::mutex mutex;
    std::unique_ptr<Source> source;
    const Order order;

protected:
    // Drops the source for good; call it holding the mutex.
    std::unique_ptr<Source> TakeSource() {
        closed.store(true, std::memory_order_release);
        Moved();
        return std::move(source);
    }

private:
    std::atomic<std::uint64_t> generation{0};
    std::atomic<bool> closed{false};
};

// Holds a guarded source's mutex for a call: waits for it with the GIL
// released, and raises ValueError when the source is closed.
template <class Source>
class Locked {
public:
    explicit Locked(Guarded<Source>& g) : guarded(g), lock(g.Lock()) {
        if (!g.source) g.RaiseClosed();
    }
    Source& operator*() const { return *guarded.source; }
    Source* operator->() const { return guarded.source.get(); }

private:
    Guarded<Source>& guarded;
    std::unique_lock<std::mutex> lock;
};

// Runs `call` with the GIL released: for the library's calls, which touch no
// Python object.
template <class Call>
auto WithoutGil(Call&& call) {
    py::gil_scoped_release unlocked;
    return std::forward<Call>(call)();
}

}  // namespace TamPy
