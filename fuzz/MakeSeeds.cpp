// Writes the fuzzer's seeds: small valid trees of every layout, committed
// (one leaf, and a few leaves under a root), left waiting after a pre-commit,
// and left half way through a commit's install. Each file is cut after its
// last used granule and carries its layout in the byte the fuzz target reads.
#include <cstdio>
#include <string>

#include "TreeFuzz.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s directory\n", argv[0]);
        return 2;
    }
    using TamBTreeFuzz::Ending;
    std::uint32_t count = 0;
    const TamBTreeTest::Options* layouts = TamBTreeFuzz::Layouts(count);
    for (std::uint32_t layout = 0; layout < count; ++layout) {
        const TamBTreeTest::Options& o = layouts[layout];
        const bool large = !o.fixedKeySize && (!o.hasValue || !o.fixedValueSize);
        // A dozen records, or just enough to split the root once.
        const struct {
            const char* name;
            int records, more;
            Ending ending;
        } kinds[] = {{"leaf", 12, 0, Ending::Committed},
                     {"two-levels", large ? 40 : 2500, 0, Ending::Committed},
                     {"waiting", 12, 10, Ending::Waiting},
                     {"installing", 12, 10, Ending::Installing}};
        for (const auto& kind : kinds)
            TamBTreeFuzz::MakeTree(
                std::string(argv[1]) + "/seed-" + std::to_string(layout) + "-" + kind.name + ".bt",
                layout, kind.records, kind.more, large ? 2000 : 16, kind.ending);
    }
    return 0;
}
