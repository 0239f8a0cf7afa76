// A fixed workload whose instruction count instruction-count.sh measures:
// 200,000 inserts in random key order, a copying find of every key and a scan
// forward and backward, through ByteTree as a client uses it. Its output is a
// checksum, so the work cannot be optimised away.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "ByteTree.h"

namespace {

constexpr std::uint32_t RECORDS = 200000;

// A fixed sequence, the same on every host and standard library.
std::uint32_t Next(std::uint64_t& state) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(state >> 33);
}

std::vector<std::string> Keys() {
    std::vector<std::string> keys;
    std::uint64_t state = 7;
    for (std::uint32_t i = 0; i < RECORDS; ++i) {
        char key[16];
        std::snprintf(key, sizeof key, "k%09u", Next(state));
        keys.push_back(key);
    }
    return keys;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s tree-file\n", argv[0]);
        return 2;
    }
    std::remove(argv[1]);
    const std::vector<std::string> keys = Keys();
    std::uint64_t sum = 0;
    {
        TamBTree::ByteTree::Options options;
        options.temporary = true;
        TamBTree::ByteTree tree(argv[1], options);
        std::uint64_t state = 11;
        for (const std::string& key : keys) tree.Put(key, std::string(16 + Next(state) % 32, 'v'));
        tree.Commit();
        for (const std::string& key : keys) {
            const std::optional<std::string> value = tree.Get(key);
            sum += value ? value->size() : 0;
        }
        for (const auto& record : tree) sum += record.first.size() + record.second.size();
        for (const auto& record : tree.Reversed()) sum += record.second.size();
    }
    std::printf("checksum %llu\n", static_cast<unsigned long long>(sum));
    return 0;
}
