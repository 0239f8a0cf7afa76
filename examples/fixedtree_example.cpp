// A tree of fixed-size keys and values with the interface of an ordered map.
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>

#include "FixedTree.h"

// Day number (negative before the epoch) -> mean temperature.
using Days = TamBTree::FixedTree<std::int64_t, double>;

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : "temperatures.tbt";
    Days days(path);
    {
        Days::Transaction tx(days);
        days.insert({3, 21.5});
        days.insert({-2, 19.0});
        days.insert_or_assign(-40, 7.25);
        days.insert_or_assign(3, 22.0);  // replaces 21.5
        tx.Commit();
    }

    for (const auto& [day, celsius] : days)
        std::printf("day %lld: %.2f C\n", (long long)day, celsius);
    auto it = days.lower_bound(0);  // the first day from the epoch on
    std::printf("first day >= 0: %lld\n", (long long)it->first);
    auto last = std::make_reverse_iterator(days.end());
    std::printf("last day: %lld\n", (long long)last->first);

    {
        Days::Transaction tx(days);
        days.erase(-2);
    }  // no Commit: the guard rolls the erasure back
    const bool ok = days.size() == 3 && days.begin()->first == -40 && days.find(-2) != days.end();
    std::remove(path.c_str());
    return ok ? 0 : 1;
}
