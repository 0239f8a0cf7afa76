// Uses both ready-made trees through the installed headers and the shared
// library alone; exits with status 1 at the first result that is wrong.
#include <TamBTree/ByteTree.h>
#include <TamBTree/FixedTree.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>

// Every member of the typed tree, so that all the library functions its
// inline code calls must be exported.
template class TamBTree::FixedTree<std::int64_t, double>;

namespace {

int failures = 0;

void Expect(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "consumer: wrong: %s\n", what);
        ++failures;
    }
}

void UseByteTree(const std::string& path) {
    {
        TamBTree::ByteTree tree(path);
        for (int i = 0; i < 2000; ++i)
            tree.Put("key" + std::to_string(10000 + i), std::to_string(i));
        tree.Commit();
        Expect(tree.Erase("key10005") == 1, "erasure of key10005");
        tree.Rollback();  // the erasure is undone
    }
    TamBTree::ByteTree tree(path);  // reopened: the commit survived
    Expect(tree.Size() == 2000, "records after reopening");
    Expect(tree.Get("key10005") == std::optional<std::string>("5"), "value of key10005");
    Expect(!tree.Contains("key"), "a key never stored");
    std::string keys;
    for (auto [key, value] : tree.Records("key10998", "key11001")) keys += std::string(key) + ",";
    Expect(keys == "key10998,key10999,key11000,", "a range in key order");
    Expect(tree.Reversed().begin().Key() == "key11999", "the last key read backward");
    Expect(tree.Erase("key10000") == 1 && tree.LowerBound("key1").Key() == "key10001",
           "erase then lower bound");
    try {
        tree.Validate();
    } catch (const TamBTree::BTreeException& e) {
        std::fprintf(stderr, "consumer: %s\n", e.what());
        ++failures;
    }
}

void UseFixedTree(const std::string& path) {
    TamBTree::FixedTree<std::int64_t, double> days(path, {}, {});
    days.insert({3, 21.5});
    days.insert_or_assign(-40, 7.25);
    days.insert_or_assign(3, 22.0);
    days.Commit();
    Expect(days.size() == 2 && days.begin()->first == -40, "fixed tree order");
    Expect(days.find(3) != days.end() && days.find(3)->second == 22.0, "fixed tree value");
    Expect(days.lower_bound(0)->first == 3 && !days.contains(0), "fixed tree bounds");
}

}  // namespace

int main() {
    char dir[] = "/tmp/tambtree-consumer-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string base = dir;
    try {
        UseByteTree(base + "/bytes.tbt");
        UseFixedTree(base + "/days.tbt");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "consumer: %s\n", e.what());
        ++failures;
    }
    std::remove((base + "/bytes.tbt").c_str());
    std::remove((base + "/days.tbt").c_str());
    rmdir(dir);
    if (failures == 0) std::puts("consumer: all checks passed");
    return failures == 0 ? 0 : 1;
}
