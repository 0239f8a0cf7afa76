// The words of Tree(...) and the options they give.
#include "Settings.h"

#include <pybind11/pybind11.h>

#include <limits>
#include <string>

namespace TamPy {

namespace {

struct Word {
    const char* name;
    int value;
};

constexpr Word MODES[] = {{"open_or_create", TamBTree::BTree::OpenOrCreate},
                          {"create", TamBTree::BTree::CreateOnly},
                          {"open", TamBTree::BTree::OpenOnly}};
constexpr Word ORDERS[] = {{"bytes", static_cast<int>(Order::Bytes)},
                           {"u32", static_cast<int>(Order::U32)},
                           {"u64", static_cast<int>(Order::U64)},
                           {"i64", static_cast<int>(Order::I64)}};

// The value of `word` in `words`; ValueError naming the words allowed.
template <std::size_t N>
int Parse(const Word (&words)[N], const char* argument, const std::string& word) {
    std::string allowed;
    for (const Word& w : words) {
        if (word == w.name) return w.value;
        allowed += (allowed.empty() ? "\"" : ", \"") + std::string(w.name) + "\"";
    }
    throw pybind11::value_error(std::string(argument) + " must be one of " + allowed + ", not \"" +
                                word + "\"");
}

template <std::size_t N>
const char* Name(const Word (&words)[N], int value) {
    for (const Word& w : words)
        if (w.value == value) return w.name;
    return "?";
}

}  // namespace

TamBTree::BTree::OpenMode ParseMode(const std::string& word) {
    return static_cast<TamBTree::BTree::OpenMode>(Parse(MODES, "mode", word));
}

Order ParseOrder(const std::string& word) {
    return static_cast<Order>(Parse(ORDERS, "order", word));
}

std::uint32_t ParseCacheSize(long long bytes) {
    if (bytes <= 0 || bytes > static_cast<long long>(std::numeric_limits<std::uint32_t>::max()))
        throw pybind11::value_error(
            "cache_size must be a number of bytes from 1 to 4 GiB - 1, not " +
            std::to_string(bytes));
    return static_cast<std::uint32_t>(bytes);
}

const char* ModeName(TamBTree::BTree::OpenMode mode) {
    return Name(MODES, mode);
}

const char* OrderName(Order order) {
    return Name(ORDERS, static_cast<int>(order));
}

TamBTree::ByteTree::Options LibraryOptions(const Settings& settings) {
    TamBTree::ByteTree::Options options;
    options.allowDuplicates = settings.duplicates;
    options.readOnly = settings.readOnly;
    options.mode = settings.mode;
    options.keySize = KeyWidth(settings.order);
    options.cacheSize = settings.cacheSize;
    ApplyDurability(options, settings.durability);
    return options;
}

}  // namespace TamPy
