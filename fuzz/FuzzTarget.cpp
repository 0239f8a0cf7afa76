// libFuzzer entry: the input is written as a tree file and driven through the
// library (TreeFuzz.h).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "TreeFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path =
        std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/tambtree-fuzz-" +
        std::to_string(::getpid()) + ".bt";
    if (TamBTreeFuzz::WriteTreeFile(path, data, size)) TamBTreeFuzz::Exercise(path);
    std::remove(path.c_str());
    return 0;
}
