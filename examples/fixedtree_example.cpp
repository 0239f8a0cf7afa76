// A tree of fixed-size keys and values with the interface of an ordered map.
#include <cstdint>
#include <cstdio>
#include <string>

#include "FixedTree.h"

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : "temperatures.tbt";
    // Day number (negative before the epoch) -> mean temperature.
    TamBTree::FixedTree<std::int64_t, double> days(path);
    days.insert({3, 21.5});
    days.insert({-2, 19.0});
    days.insert_or_assign(-40, 7.25);
    days.insert_or_assign(3, 22.0);  // replaces 21.5
    days.Commit();

    for (const auto& [day, celsius] : days)
        std::printf("day %lld: %.2f C\n", (long long)day, celsius);
    auto it = days.lower_bound(0);  // the first day from the epoch on
    std::printf("first day >= 0: %lld\n", (long long)it->first);

    days.erase(-2);
    days.Rollback();  // the erasure is undone
    const bool ok = days.size() == 3 && days.begin()->first == -40 && days.find(-2) != days.end();
    std::remove(path.c_str());
    return ok ? 0 : 1;
}
