// The read side of the module, written once over the object read from. A
// Source has ByteTree's read interface (Get, Contains, Size, LowerBound,
// begin, end and their Cursor); the tree is one, and a snapshot of the tree,
// which offers the same interface, binds this same code with BindReads.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "BytesArg.h"
#include "Guarded.h"

namespace TamPy {

// What an iteration yields for each record.
enum class Yield { Keys, Values, Items };

// Which records an iteration walks, and in which direction.
struct Bounds {
    std::optional<std::string> start;  // the first key included; none: from the first record
    std::optional<std::string> stop;   // the first key excluded; none: to the last record
    bool reverse = false;
};

template <class Source>
py::object GetValue(Guarded<Source>& g, py::handle key, py::object fallback) {
    const KeyArg k(key, g.order);
    Locked<Source> source(g);
    std::optional<std::string> value = WithoutGil([&] { return source->Get(k.View()); });
    if (!value) return fallback;
    return ToBytes(*value);
}

template <class Source>
py::object GetItem(Guarded<Source>& g, py::handle key) {
    py::object value = GetValue(g, key, py::none());
    if (value.is_none()) {
        PyErr_SetObject(PyExc_KeyError, key.ptr());
        throw py::error_already_set();
    }
    return value;
}

template <class Source>
bool Contains(Guarded<Source>& g, py::handle key) {
    const KeyArg k(key, g.order);
    Locked<Source> source(g);
    return WithoutGil([&] { return source->Contains(k.View()); });
}

template <class Source>
std::size_t Size(Guarded<Source>& g) {
    Locked<Source> source(g);
    return source->Size();
}

// The values of every record with the key, in the tree's order (the newest
// of equal keys first).
template <class Source>
py::list GetAll(Guarded<Source>& g, py::handle key) {
    const KeyArg k(key, g.order);
    std::vector<std::string> values;
    {
        Locked<Source> source(g);
        WithoutGil([&] {
            for (auto at = source->LowerBound(k.View()); !at.IsEnd() && at.Key() == k.View(); ++at)
                values.emplace_back(at.Value());
        });
    }
    py::list out;
    for (const std::string& v : values) out.append(ToBytes(v));
    return out;
}

// Contract: an iteration over the records within Bounds, which reads them
// ahead in runs (the GIL released while it copies a run) and yields one per
// call of Next. It holds its source alive but takes no lock between calls; a
// source that changed (a write, a rollback, a reopen) or closed since the
// iteration began makes Next raise instead of reading positions that may be
// gone. Once exhausted it stays exhausted. Its own state is touched only with
// the GIL held, or by the one refill that runs at a time.
template <class Source>
class Walk {
public:
    using Cursor = decltype(std::declval<const Source&>().begin());

    Walk(std::shared_ptr<Guarded<Source>> from, const Bounds& bounds, Yield what)
        : guarded(std::move(from)), yield(what), reverse(bounds.reverse) {
        Locked<Source> source(*guarded);
        generation = guarded->Generation();
        WithoutGil([&] { Place(*source, bounds); });
    }

    // The next record; a null object once the walk is exhausted.
    py::object Next() {
        // Refill releases the GIL: another thread stepping the same walk
        // meanwhile is refused, as a generator refuses a second caller.
        if (refilling) throw py::value_error("the iterator is already running in another thread");
        if (next == lengths.size()) {
            if (finished) return py::object();
            CheckUnchanged();
            refilling = true;
            try {
                Refill();
            } catch (...) {
                refilling = false;
                throw;
            }
            refilling = false;
            if (lengths.empty()) return py::object();
        } else {
            CheckUnchanged();
        }
        return Take();
    }

private:
    // Records read in one run: few at first, so that taking one record reads
    // little; more as the walk goes on, within a byte budget.
    static constexpr std::uint32_t MOST_RUN_RECORDS = 256;
    static constexpr std::size_t MOST_RUN_BYTES = 256 * 1024;

    void Place(const Source& source, const Bounds& bounds) {
        const bool empty =
            bounds.start && bounds.stop && !KeyLess(guarded->order, *bounds.start, *bounds.stop);
        if (empty) {
            finished = true;
            return;
        }
        if (!reverse) {
            at = bounds.start ? source.LowerBound(*bounds.start) : source.begin();
            last = bounds.stop ? source.LowerBound(*bounds.stop) : source.end();
            return;
        }
        // Backward from the record before the stop to the one before the
        // start; before the first record is the end position.
        at = bounds.stop ? source.LowerBound(*bounds.stop) : source.end();
        --at;
        last = bounds.start ? source.LowerBound(*bounds.start) : source.begin();
        --last;
    }

    void CheckUnchanged() const {
        if (guarded->Closed()) guarded->RaiseClosed();
        if (guarded->Generation() != generation)
            throw std::runtime_error(
                "the tree changed during iteration (a write, rollback or compact): iterate "
                "over a list of the records to change them");
    }

    void Refill() {
        lengths.clear();
        bytes.clear();
        next = 0;
        offset = 0;
        Locked<Source> source(*guarded);
        CheckUnchanged();
        WithoutGil([&] { ReadRun(); });
        wanted = std::min(wanted * 4, MOST_RUN_RECORDS);
        if (at == last || at.IsEnd()) Finish();
    }

    void ReadRun() {
        while (lengths.size() < wanted && at != last && !at.IsEnd() &&
               bytes.size() < MOST_RUN_BYTES) {
            const std::string_view key = yield == Yield::Values ? std::string_view() : at.Key();
            const std::string_view value = yield == Yield::Keys ? std::string_view() : at.Value();
            bytes.append(key).append(value);
            lengths.emplace_back(static_cast<std::uint32_t>(key.size()),
                                 static_cast<std::uint32_t>(value.size()));
            if (reverse)
                --at;
            else
                ++at;
        }
    }

    // The walk read its last run: the cursors' copies are not needed any more.
    void Finish() {
        finished = true;
        at = Cursor();
        last = Cursor();
    }

    py::object Take() {
        const auto [keyLength, valueLength] = lengths[next++];
        const char* p = bytes.data() + offset;
        offset += std::size_t{keyLength} + valueLength;
        switch (yield) {
            case Yield::Keys:
                return ToBytes(std::string_view(p, keyLength));
            case Yield::Values:
                return ToBytes(std::string_view(p, valueLength));
            case Yield::Items:
                break;
        }
        return Pair(ToBytes(std::string_view(p, keyLength)),
                    ToBytes(std::string_view(p + keyLength, valueLength)));
    }

    // The (key, value) tuple. A loop that unpacks each pair drops it before
    // the next step: the walk then refills the same tuple, as dict.items()
    // does, instead of making a new one per record.
    py::object Pair(py::bytes key, py::bytes value) {
        if (pair && Py_REFCNT(pair.ptr()) == 1) {
            PyObject* oldKey = PyTuple_GET_ITEM(pair.ptr(), 0);
            PyObject* oldValue = PyTuple_GET_ITEM(pair.ptr(), 1);
            PyTuple_SET_ITEM(pair.ptr(), 0, key.release().ptr());
            PyTuple_SET_ITEM(pair.ptr(), 1, value.release().ptr());
            Py_DECREF(oldKey);
            Py_DECREF(oldValue);
            return pair;
        }
        pair = py::reinterpret_steal<py::object>(PyTuple_New(2));
        if (!pair) throw py::error_already_set();
        PyTuple_SET_ITEM(pair.ptr(), 0, key.release().ptr());
        PyTuple_SET_ITEM(pair.ptr(), 1, value.release().ptr());
        return pair;
    }

    std::shared_ptr<Guarded<Source>> guarded;
    std::uint64_t generation = 0;
    Yield yield;
    bool reverse;
    bool finished = false;
    // Set, with the GIL held, while a refill runs without it.
    bool refilling = false;
    Cursor at;
    Cursor last;
    // The run read ahead: each record's key then value (what the walk
    // yields of them), their lengths, and how far the walk has taken.
    std::string bytes;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> lengths;
    std::size_t next = 0;
    std::size_t offset = 0;
    std::uint32_t wanted = 1;
    // The last pair handed out (items() only).
    py::object pair;
};

}  // namespace TamPy
