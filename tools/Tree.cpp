// Opening trees of any layout, integer orders and the statistics report.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "CompactInPlace.h"
#include "FileFormat.h"
#include "Tool.h"

namespace TamTool {

namespace {

std::uint32_t Width(Order order) {
    return order == Order::U32 ? 4 : (order == Order::Bytes ? 0 : 8);
}

std::uint64_t ReadLittleEndian(const unsigned char* p, std::uint32_t width) {
    std::uint64_t v = 0;
    for (std::uint32_t i = width; i-- > 0;) v = v << 8 | p[i];
    return v;
}

enum class FileKind { Missing, Empty, Tree };

// Refuses a path that exists but does not hold a tree file, so that opening
// it cannot overwrite someone's data.
FileKind CheckExistingFile(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return FileKind::Missing;
        throw Failure(path + ": " + std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) throw Failure(path + ": not a regular file");
    if (st.st_size == 0) return FileKind::Empty;
    // The first word of every tree file is its format version.
    unsigned char head[sizeof(TamBTree::BTreeInfo::version)] = {};
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Failure(path + ": " + std::strerror(errno));
    in.seekg(offsetof(TamBTree::BTreeInfo, version));
    in.read(reinterpret_cast<char*>(head), sizeof head);
    if (TamBTree::Read32(head) != TamBTree::FILE_VERSION) throw Failure(path + ": not a tree file");
    return FileKind::Tree;
}

}  // namespace

bool GenericTree::Less(const Record& a, const Record& b) const {
    const std::uint32_t w = Width(order);
    if (w == 0) return ByteTree::Less(a, b);
    // Keys of the wrong size only come from damaged files; order them by size
    // first so that the order stays strict.
    if (a.keyLength != b.keyLength) return a.keyLength < b.keyLength;
    if (a.keyLength != w) return ByteTree::Less(a, b);
    const std::uint64_t x = ReadLittleEndian(a.key, w), y = ReadLittleEndian(b.key, w);
    if (order == Order::I64) return static_cast<std::int64_t>(x) < static_cast<std::int64_t>(y);
    return x < y;
}

std::unique_ptr<GenericTree> OpenTree(const std::string& path, const Layout& layout,
                                      Access access) {
    // The library creates a tree when it opens a missing or empty file.
    const FileKind kind = CheckExistingFile(path);
    if (kind == FileKind::Missing && access != Access::Create)
        throw Failure(path + ": no such file");
    if (kind == FileKind::Empty && access != Access::Create)
        throw Failure(path + ": not a tree file");
    const std::uint32_t width = Width(layout.order);
    if (layout.keySize > 0 && width != 0 && layout.keySize != width)
        throw Failure("--order needs keys of " + std::to_string(width) + " bytes", 2);
    GenericTree::Options options;
    options.allowDuplicates = layout.duplicates;
    options.readOnly = access == Access::Read;
    options.keySize = layout.keySize < 0 ? width : static_cast<std::uint32_t>(layout.keySize);
    options.values = layout.values;
    options.valueSize = layout.valueSize;
    return std::make_unique<GenericTree>(path, options, layout.order);
}

void PrintStatistics(std::FILE* out, const TamBTree::BTree& tree, bool json) {
    const TamBTree::BTree::Statistics s = tree.GetStatistics();
    std::uint64_t pages = 0;
    nlohmann::json levels = nlohmann::json::array();
    for (std::uint32_t i = 0; i < s.height; ++i) {
        pages += s.pages[i];
        levels.push_back(s.pages[i]);
    }
    // The fill factor is the share of the pages' bytes in use.
    const double fill = pages == 0 ? 0.0
                                   : static_cast<double>(s.usedBytes) /
                                         (static_cast<double>(pages) * TamBTree::PAGE_SIZE);
    const std::uint64_t compact = EstimateCompactSize(s);
    const std::uint64_t reclaimable = s.fileSize > compact ? s.fileSize - compact : 0;
    // The processes that read the file beside its writer, and what the writer
    // keeps for them.
    nlohmann::json readers = nlohmann::json::array();
    for (const TamBTree::BTree::Reader& r : tree.Readers())
        readers.push_back(
            {{"process", r.process}, {"snapshots", r.snapshots}, {"heldBytes", r.heldBytes}});
    if (json) {
        const nlohmann::json j = {{"path", tree.GetPath()},
                                  {"records", s.records},
                                  {"height", s.height},
                                  {"pagesPerLevel", levels},
                                  {"pages", pages},
                                  {"usedBytes", s.usedBytes},
                                  {"fillFactor", fill},
                                  {"fileSize", s.fileSize},
                                  {"freeBytes", s.freeBytes},
                                  {"reclaimableBytes", reclaimable},
                                  {"commitState", TamBTree::CommitStateName(s.commitState)},
                                  {"snapshots", s.snapshots},
                                  {"snapshotBytes", s.snapshotBytes},
                                  {"readers", readers}};
        std::fprintf(out, "%s\n", j.dump(2).c_str());
        return;
    }
    std::string perLevel;
    for (const auto& n : levels) perLevel += (perLevel.empty() ? "" : " ") + n.dump();
    std::fprintf(
        out,
        "path:            %s\n"
        "records:         %u\n"
        "height:          %u\n"
        "pages per level: %s (root first)\n"
        "fill factor:     %.1f%%\n"
        "file size:       %llu bytes\n"
        "free space:      %llu bytes\n"
        "reclaimable by compact: %llu bytes (estimate)\n"
        "commit state:    %s\n"
        "snapshots:       %u, holding %llu bytes\n",
        tree.GetPath().c_str(), s.records, s.height, perLevel.c_str(), fill * 100,
        static_cast<unsigned long long>(s.fileSize), static_cast<unsigned long long>(s.freeBytes),
        static_cast<unsigned long long>(reclaimable), TamBTree::CommitStateName(s.commitState),
        s.snapshots, static_cast<unsigned long long>(s.snapshotBytes));
    std::fprintf(out, "readers:         %zu\n", readers.size());
    for (const auto& r : readers)
        std::fprintf(out, "  process %s: %s snapshots, holding %s bytes\n",
                     r["process"].dump().c_str(), r["snapshots"].dump().c_str(),
                     r["heldBytes"].dump().c_str());
}

}  // namespace TamTool
