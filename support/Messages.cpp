// Message descriptors, the process-wide message registry and the text
// conversions used by the exceptions.
#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "TamBase.h"

namespace Tam {

namespace {

// Texts are kept as UTF-32 in wchar_t.
static_assert(sizeof(wchar_t) == 4, "wide characters are expected to hold UTF-32");

struct TableInfo {
    std::uint32_t size;
    std::uint32_t entries;
};

using MessageKey = std::pair<std::string, std::uint32_t>;
using TextMap = std::map<MessageKey, std::wstring, std::less<MessageKey>,
                         TamMem::PoolAllocator<std::pair<const MessageKey, std::wstring>>>;
using TableMap = std::map<std::string, TableInfo, std::less<std::string>,
                          TamMem::PoolAllocator<std::pair<const std::string, TableInfo>>>;

struct Registry : TamMem::PoolObject {
    TableMap tables;
    TextMap texts;
};

// Null until Init; constant-initialised so that tables may be registered from
// any static initialiser.
Registry* g_registry = nullptr;
std::mutex g_registryMutex;

struct ParsedEntry {
    MessageKey key;
    std::wstring text;
};

// Reads a table from untrusted bytes; every read is bounds-checked.
class TableReader {
public:
    TableReader(const unsigned char* table, std::uint32_t size) : data(table), left(size) {}

    std::uint32_t Word() {
        const unsigned char* p = Take(4);
        return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
               std::uint32_t(p[3]) << 24;
    }
    unsigned char Byte() { return *Take(1); }
    const unsigned char* Take(std::uint32_t n) {
        if (n > left) throw std::invalid_argument("message table is truncated");
        const unsigned char* p = data;
        data += n;
        left -= n;
        return p;
    }
    bool AtEnd() const { return left == 0; }

private:
    const unsigned char* data;
    std::uint32_t left;
};

void Expect(bool condition, const char* what) {
    if (!condition) throw std::invalid_argument(what);
}

std::wstring DecodeUtf16Le(const unsigned char* p, std::uint32_t bytes) {
    std::wstring out;
    out.reserve(bytes / 2);
    for (std::uint32_t i = 0; i + 1 < bytes; i += 2) {
        std::uint32_t unit = p[i] | std::uint32_t(p[i + 1]) << 8;
        const bool high = unit >= 0xD800 && unit < 0xDC00;
        if (high && i + 3 < bytes) {
            const std::uint32_t low = p[i + 2] | std::uint32_t(p[i + 3]) << 8;
            if (low >= 0xDC00 && low < 0xE000) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        out.push_back(static_cast<wchar_t>(unit));
    }
    return out;
}

ParsedEntry ReadEntry(TableReader& reader) {
    const std::uint32_t moduleLength = reader.Word();
    const unsigned char* module = reader.Take(moduleLength);
    ParsedEntry entry;
    entry.key.first.assign(reinterpret_cast<const char*>(module), moduleLength);
    entry.key.second = reader.Word();
    Expect(reader.Word() == 2, "message table entry lacks its word 2");
    Expect(reader.Byte() == 1, "message table entry lacks its byte 1");
    const std::uint32_t textLength = reader.Word();
    Expect(textLength % 2 == 0, "message text is not UTF-16");
    entry.text = DecodeUtf16Le(reader.Take(textLength), textLength);
    Expect(reader.Byte() == 0, "message table entry lacks its byte 0");
    return entry;
}

std::vector<ParsedEntry> ParseTable(const unsigned char* data, std::uint32_t size) {
    Expect(data != nullptr || size == 0, "message table without data");
    TableReader reader(data, size);
    const std::uint32_t count = reader.Word();
    std::vector<ParsedEntry> entries;
    for (std::uint32_t i = 0; i < count; ++i) entries.push_back(ReadEntry(reader));
    Expect(reader.AtEnd(), "message table has trailing bytes");
    return entries;
}

void AppendUtf8(std::string& out, std::uint32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) c = 0xFFFD;
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | c >> 6));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | c >> 12));
        out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | c >> 18));
        out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// Replaces %1, %2, ... by the parameters; a marker without a parameter stays.
std::wstring FillParameters(const std::wstring& text, const std::vector<std::wstring>& params) {
    std::wstring out;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t end = i + 1;
        if (text[i] != L'%' || end >= text.size() || !IsDigit(text[end])) {
            out.push_back(text[i++]);
            continue;
        }
        std::size_t index = 0;
        while (end < text.size() && IsDigit(text[end]) && index < params.size() + 1)
            index = index * 10 + std::size_t(text[end++] - L'0');
        if (index >= 1 && index <= params.size())
            out += params[index - 1];
        else
            out.append(text, i, end - i);
        i = end;
    }
    return out;
}

}  // namespace

const std::wstring MessageInfo::EMPTY_PARAM_VALUE = L"<empty>";

MessageInfo::MessageInfo(const std::string& moduleName, std::uint32_t messageNumber,
                         const std::string& file, std::uint32_t line)
    : module(moduleName), number(messageNumber), sourceFile(file), sourceLine(line) {}

MessageInfo::~MessageInfo() = default;

int TamMessagesInit::ms_Cnt = 0;

void TamMessages::Init() {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    if (!g_registry) g_registry = new Registry;
}

void TamMessages::Load(const unsigned char* data, std::uint32_t size, const char* name) {
    // Parsed completely before anything is registered, so that a malformed
    // table leaves the registry as it was.
    const std::vector<ParsedEntry> entries = ParseTable(data, size);
    Init();
    std::lock_guard<std::mutex> lock(g_registryMutex);
    for (const ParsedEntry& entry : entries) g_registry->texts[entry.key] = entry.text;
    g_registry->tables[name ? name : ""] = TableInfo{size, std::uint32_t(entries.size())};
}

void TamMessages::Free() {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    delete g_registry;
    g_registry = nullptr;
}

std::wstring TamMessages::Text(const std::string& module, std::uint32_t number) {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    if (!g_registry) return std::wstring();
    const auto it = g_registry->texts.find(MessageKey(module, number));
    return it == g_registry->texts.end() ? std::wstring() : it->second;
}

std::wstring TamMessages::Format(const MessageInfo& message) {
    const std::wstring text = Text(message.GetModule(), message.GetNumber());
    if (text.empty())
        return FromMultiByte(message.GetModule()) + L" message " +
               std::to_wstring(message.GetNumber());
    return FillParameters(text, message.GetParams());
}

std::uint32_t TamMessages::TableSize(const std::string& name) {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    if (!g_registry) return 0;
    const auto it = g_registry->tables.find(name);
    return it == g_registry->tables.end() ? 0 : it->second.size;
}

std::uint32_t TamMessages::TableEntries(const std::string& name) {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    if (!g_registry) return 0;
    const auto it = g_registry->tables.find(name);
    return it == g_registry->tables.end() ? 0 : it->second.entries;
}

std::string ToUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) AppendUtf8(out, static_cast<std::uint32_t>(c));
    return out;
}

std::wstring FromMultiByte(const std::string& text) {
    const std::size_t length = std::mbstowcs(nullptr, text.c_str(), 0);
    if (length == static_cast<std::size_t>(-1)) {
        // Not valid in the current locale: keep each byte as one character
        // rather than lose the text.
        std::wstring bytes;
        for (unsigned char c : text) bytes.push_back(static_cast<wchar_t>(c));
        return bytes;
    }
    std::wstring out(length, L'\0');
    std::mbstowcs(&out[0], text.c_str(), length);
    return out;
}

}  // namespace Tam
