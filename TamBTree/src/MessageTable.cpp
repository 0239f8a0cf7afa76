// The library's message table, registered with the process-wide message
// registry while the library is loaded.
#include <array>
#include <cstddef>
#include <cstdint>

#include "BTreeException.h"

namespace TamBTree {

namespace {

constexpr const char* kTableName = "TamBTreeMsg-I";
constexpr char kModule[] = "TamBTree";
constexpr std::size_t kModuleLength = sizeof(kModule) - 1;

// Indexed by message number.
constexpr const char16_t* kTexts[] = {
    u"The B-Tree %1 is invalid.",
    u"The B-Tree %1 is invalid.",
    u"The fixed record size is not valid for B-Tree %1.",
    u"The B-Tree file size (%1) has reach its limit.",
    u"Not enough disk space to perform the B-Tree operation on %1.",
    u"This operation cannot be performed on a read-only B-Tree. (%1)",
    u"The record is too large for B-Tree %1.",
};
constexpr std::size_t kEntries = sizeof(kTexts) / sizeof(kTexts[0]);

constexpr std::size_t Length(const char16_t* text) {
    std::size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

// An entry: name length, name, number, the word 2, the byte 1, text length,
// UTF-16LE text, the byte 0.
constexpr std::size_t EntrySize(const char16_t* text) {
    return 4 + kModuleLength + 4 + 4 + 1 + 4 + 2 * Length(text) + 1;
}

constexpr std::size_t TableSize() {
    std::size_t total = 4;
    for (const char16_t* text : kTexts) total += EntrySize(text);
    return total;
}

static_assert(TableSize() == 796, "the message table has a fixed size");

using Table = std::array<unsigned char, TableSize()>;

class TableWriter {
public:
    constexpr explicit TableWriter(Table& target) : table(target) {}
    constexpr void Byte(unsigned value) { table[at++] = static_cast<unsigned char>(value); }
    constexpr void Word(std::uint32_t value) {
        for (int shift = 0; shift < 32; shift += 8) Byte(value >> shift & 0xFF);
    }

private:
    Table& table;
    std::size_t at = 0;
};

constexpr Table BuildTable() {
    Table table{};
    TableWriter out(table);
    out.Word(kEntries);
    for (std::uint32_t number = 0; number < kEntries; ++number) {
        out.Word(kModuleLength);
        for (std::size_t i = 0; i < kModuleLength; ++i)
            out.Byte(static_cast<unsigned char>(kModule[i]));
        out.Word(number);
        out.Word(2);
        out.Byte(1);
        const char16_t* text = kTexts[number];
        out.Word(static_cast<std::uint32_t>(2 * Length(text)));
        for (std::size_t i = 0; text[i] != 0; ++i) {
            out.Byte(text[i] & 0xFF);
            out.Byte(text[i] >> 8);
        }
        out.Byte(0);
    }
    return table;
}

constexpr Table kTable = BuildTable();

// Every library that registers counts itself in TamMessagesInit::ms_Cnt; the
// first one prepares the registry and the last one to leave releases it.
struct MessageTableRegistration {
    MessageTableRegistration() {
        if (Tam::TamMessagesInit::ms_Cnt++ == 0) Tam::TamMessages::Init();
        Tam::TamMessages::Load(kTable.data(), static_cast<std::uint32_t>(kTable.size()),
                               kTableName);
    }
    ~MessageTableRegistration() {
        if (--Tam::TamMessagesInit::ms_Cnt == 0) Tam::TamMessages::Free();
    }
    MessageTableRegistration(const MessageTableRegistration&) = delete;
    MessageTableRegistration& operator=(const MessageTableRegistration&) = delete;
};

const MessageTableRegistration registration;

}  // namespace

}  // namespace TamBTree
