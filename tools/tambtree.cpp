// The tambtree command-line tool.
#include <cstdio>
#include <cstring>
#include <string>

#include <unistd.h>

#include "TamBTree.h"

namespace {

class DemoTree : public TamBTree::BTree {
public:
    explicit DemoTree(const std::string& path)
        : BTree(path, false, false, true, false, 65536, 64 * 65536, false, true) {}
    using BTree::Size;

protected:
    bool Less(const Record& a, const Record& b) const override {
        const std::uint32_t n = a.keyLength < b.keyLength ? a.keyLength : b.keyLength;
        const int c = std::memcmp(a.key, b.key, n);
        return c < 0 || (c == 0 && a.keyLength < b.keyLength);
    }
};

int Demo() {
    char dir[] = "/tmp/tambtree-demo-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string path = std::string(dir) + "/demo.tbt";
    {
        DemoTree tree(path);
        std::printf("created %s\n", path.c_str());
        std::printf("max record size: %u bytes\n", tree.GetMaxRecordSize());
        std::printf("file size: %llu bytes\n",
                    static_cast<unsigned long long>(tree.GetDiskSpaceUsed()));
        std::printf("records: %u\n", tree.Size());
    }
    rmdir(dir);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc >= 2 && std::strcmp(argv[1], "demo") == 0) return Demo();
        std::fprintf(stderr, "usage: tambtree demo\n");
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tambtree: %s\n", e.what());
        return 1;
    }
}
