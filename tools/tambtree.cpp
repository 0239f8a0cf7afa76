// tambtree: inspect and edit tree files from the shell.
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <vector>

#include "CompactInPlace.h"
#include "TextFormat.h"
#include "Tool.h"

namespace TamTool {

namespace {

// What the command line asked for.
struct Arguments {
    Layout layout;
    std::string order = "bytes";
    std::string file;
    std::string key;
    std::vector<std::string> keys;
    std::string value;
    bool valueGiven = false;
    std::string from, to;
    bool fromGiven = false, toGiven = false;
    bool reverse = false;
    std::string destination;
    std::uint64_t limit = 0;
    std::string stream = "-";
    bool hex = false;
    bool json = false;
    bool noCommit = false;
};

// Keys and values between the command line and the tree: integer keys as
// decimal numbers, other fields as bytes (escaped on output), or hex.
class Codec {
public:
    Codec(Order keyOrder, bool asHex) : order(keyOrder), hex(asHex) {}

    std::string Key(const std::string& text) const {
        if (order == Order::Bytes || hex) return Field(text);
        std::string bytes(order == Order::U32 ? 4 : 8, '\0');
        std::uint64_t v = 0;
        const char* end = text.data() + text.size();
        std::from_chars_result r;
        if (order == Order::I64) {
            std::int64_t s = 0;
            r = std::from_chars(text.data(), end, s);
            v = static_cast<std::uint64_t>(s);
        } else {
            r = std::from_chars(text.data(), end, v);
            if (order == Order::U32 && v > 0xffffffffu) r.ec = std::errc::result_out_of_range;
        }
        if (r.ec != std::errc() || r.ptr != end || text.empty())
            throw Failure("bad key '" + text + "': expected a number for --order", 2);
        for (char& c : bytes) {
            c = static_cast<char>(v & 0xff);
            v >>= 8;
        }
        return bytes;
    }
    std::string Field(const std::string& text) const {
        std::string bytes;
        if (!hex) return text;
        if (!FromHex(text, bytes)) throw Failure("bad hex field '" + text + "'", 2);
        return bytes;
    }
    std::string ShowKey(std::string_view key) const {
        const std::size_t width = order == Order::U32 ? 4 : 8;
        if (order == Order::Bytes || hex || key.size() != width) return ShowField(key);
        std::uint64_t v = 0;
        for (std::size_t i = width; i-- > 0;) v = v << 8 | static_cast<unsigned char>(key[i]);
        if (order == Order::I64) return std::to_string(static_cast<std::int64_t>(v));
        return std::to_string(v);
    }
    std::string ShowField(std::string_view bytes) const {
        return hex ? ToHex(bytes) : Escape(bytes);
    }

private:
    Order order;
    bool hex;
};

std::FILE* OpenStream(const std::string& name, bool output) {
    if (name == "-") return output ? stdout : stdin;
    std::FILE* f = std::fopen(name.c_str(), output ? "wb" : "rb");
    if (!f) throw Failure(name + ": " + std::strerror(errno));
    return f;
}

void CloseStream(std::FILE* f, const std::string& name) {
    const bool failed = std::ferror(f) != 0;
    if ((f != stdout && f != stdin && std::fclose(f) != 0) || failed ||
        (f == stdout && std::fflush(f) != 0))
        throw Failure(name == "-" ? std::string("write error") : name + ": read or write error");
}

// Write commands end by committing, or with --no-commit by pre-committing:
// the changes then wait on disk for `tambtree commit` or `tambtree rollback`.
void Finish(GenericTree& tree, const Arguments& a) {
    if (a.noCommit)
        tree.PreCommit();
    else
        tree.Commit();
}

std::unique_ptr<GenericTree> OpenForWriting(const Arguments& a, Access access) {
    std::unique_ptr<GenericTree> tree = OpenTree(a.file, a.layout, access);
    if (tree->GetCommitState() == TamBTree::BTree::CommitReady)
        throw Failure(a.file +
                      ": a pre-committed transaction is waiting; run 'tambtree commit' or "
                      "'tambtree rollback' first");
    return tree;
}

int Put(const Arguments& a) {
    const Codec codec(a.layout.order, a.hex);
    if (a.valueGiven && !a.layout.values) throw Failure("the tree has no values (--no-values)", 2);
    auto tree = OpenForWriting(a, Access::Create);
    tree->Put(codec.Key(a.key), codec.Field(a.value));
    Finish(*tree, a);
    return 0;
}

int Get(const Arguments& a) {
    const Codec codec(a.layout.order, a.hex);
    auto tree = OpenTree(a.file, a.layout, Access::Read);
    const std::string key = codec.Key(a.key);
    const GenericTree::Cursor last = tree->UpperBound(key);
    GenericTree::Cursor at = tree->Find(key);
    if (at.IsEnd()) throw Failure(a.file + ": key not found: " + a.key);
    // Every value of the key, one per line: raw bytes, or hex.
    for (; at != last; ++at) {
        const std::string value = a.hex ? ToHex(at.Value()) : std::string(at.Value());
        std::fwrite(value.data(), 1, value.size(), stdout);
        std::fputc('\n', stdout);
    }
    CloseStream(stdout, "-");
    return 0;
}

int Delete(const Arguments& a) {
    const Codec codec(a.layout.order, a.hex);
    auto tree = OpenForWriting(a, Access::Write);
    std::string missing;
    for (const std::string& key : a.keys)
        if (tree->Erase(codec.Key(key)) == 0) missing += (missing.empty() ? "" : ", ") + key;
    Finish(*tree, a);
    if (!missing.empty()) throw Failure(a.file + ": key not found: " + missing);
    return 0;
}

void PrintRecord(std::FILE* out, const Codec& codec, bool values, std::string_view key,
                 std::string_view value) {
    std::string line = codec.ShowKey(key);
    if (values) line += '\t' + codec.ShowField(value);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), out);
}

int Scan(const Arguments& a) {
    const Codec codec(a.layout.order, a.hex);
    auto tree = OpenTree(a.file, a.layout, Access::Read);
    // Keys in [from, to); a missing bound is the end of the tree.
    GenericTree::Cursor first = tree->begin(), last = tree->end();
    if (a.fromGiven && a.toGiven) {
        const auto range = tree->Records(codec.Key(a.from), codec.Key(a.to));
        first = range.begin();
        last = range.end();
    } else if (a.fromGiven) {
        first = tree->LowerBound(codec.Key(a.from));
    } else if (a.toGiven) {
        last = tree->LowerBound(codec.Key(a.to));
    }
    std::uint64_t n = 0;
    if (a.reverse) {
        // Stepping back from the first record gives the end: the order is
        // circular through it.
        GenericTree::ReverseCursor at(--GenericTree::Cursor(last)), stop(--first);
        for (; at != stop && (a.limit == 0 || n < a.limit); ++at, ++n)
            PrintRecord(stdout, codec, a.layout.values, at.Key(), at.Value());
    } else {
        for (; first != last && (a.limit == 0 || n < a.limit); ++first, ++n)
            PrintRecord(stdout, codec, a.layout.values, first.Key(), first.Value());
    }
    CloseStream(stdout, "-");
    return 0;
}

// A progress bar on stderr while a file of known size is read, only when
// stderr is a terminal.
class Progress {
public:
    explicit Progress(std::FILE* in) {
        struct stat st;
        if (isatty(STDERR_FILENO) && fstat(fileno(in), &st) == 0 && S_ISREG(st.st_mode))
            total = static_cast<std::uint64_t>(st.st_size);
    }
    void Update(std::uint64_t done, std::uint64_t records) {
        if (total == 0) return;
        const int percent = static_cast<int>(done * 100 / total);
        if (percent == shown) return;
        shown = percent;
        const int width = 40, filled = percent * width / 100;
        std::fprintf(stderr, "\r[%s%s] %3d%%  %llu records", std::string(filled, '#').c_str(),
                     std::string(width - filled, '.').c_str(), percent,
                     static_cast<unsigned long long>(records));
    }
    ~Progress() {
        if (shown >= 0) std::fputc('\n', stderr);
    }

private:
    std::uint64_t total = 0;
    int shown = -1;
};

// Reads one record line of the dump format into key and value.
void ParseLine(std::string_view line, bool hex, bool values, std::string& key, std::string& value) {
    const std::size_t tab = line.find('\t');
    if (values && tab == std::string_view::npos) throw Failure("expected key<TAB>value");
    if (!values && tab != std::string_view::npos)
        throw Failure("expected a key alone (--no-values)");
    const std::string_view k = line.substr(0, tab);
    const std::string_view v = values ? line.substr(tab + 1) : std::string_view();
    const bool ok =
        hex ? FromHex(k, key) && FromHex(v, value) : Unescape(k, key) && Unescape(v, value);
    if (!ok) throw Failure(hex ? "bad hex digits" : "bad escape sequence");
}

// Stores a run of equal keys so that they keep the order of the input: the
// tree puts a new duplicate before the stored ones.
void StoreRun(GenericTree& tree, std::vector<std::pair<std::string, std::string>>& run) {
    for (auto r = run.rbegin(); r != run.rend(); ++r)
        (void)tree.Insert(r->first, r->second);  // duplicates: always stored
    run.clear();
}

int Load(const Arguments& a) {
    auto tree = OpenForWriting(a, Access::Create);
    // One transaction, all or nothing, and one sync when it is done: no
    // commit on the way needs to reach the disk by itself.
    if (!a.noCommit) tree->SetDurability(TamBTree::Durability::Deferred);
    std::FILE* in = OpenStream(a.stream, false);
    const std::string name = a.stream == "-" ? "<stdin>" : a.stream;
    Progress progress(in);
    bool hex = a.hex;
    char* buffer = nullptr;
    std::size_t capacity = 0;
    std::uint64_t lineNumber = 0, bytes = 0, records = 0;
    std::string key, value;
    std::vector<std::pair<std::string, std::string>> run;
    try {
        for (ssize_t n; (n = getline(&buffer, &capacity, in)) != -1;) {
            ++lineNumber;
            bytes += static_cast<std::uint64_t>(n);
            std::string_view line(buffer, static_cast<std::size_t>(n));
            if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            if (!line.empty() && line[0] == '#') {
                if (line.find("format=hex") != std::string_view::npos) hex = true;
                if (line.find("format=text") != std::string_view::npos) hex = false;
                continue;
            }
            ParseLine(line, hex, a.layout.values, key, value);
            if (!a.layout.duplicates) {
                tree->Put(key, value);
            } else {
                if (!run.empty() && run.back().first != key) StoreRun(*tree, run);
                run.emplace_back(key, value);
            }
            progress.Update(bytes, ++records);
        }
        StoreRun(*tree, run);
    } catch (const std::exception& e) {
        std::free(buffer);
        throw Failure(name + ":" + std::to_string(lineNumber) + ": " + e.what());
    }
    std::free(buffer);
    CloseStream(in, a.stream);
    Finish(*tree, a);
    if (!a.noCommit) {
        tree->Sync();
        std::printf("%llu records loaded, committed and synced to disk once at the end\n",
                    static_cast<unsigned long long>(records));
    }
    return 0;
}

int Dump(const Arguments& a) {
    // Keys are written as bytes whatever the order, so that load restores them.
    const Codec codec(Order::Bytes, a.hex);
    auto tree = OpenTree(a.file, a.layout, Access::Read);
    std::FILE* out = OpenStream(a.stream, true);
    std::fprintf(out, "# tambtree dump format=%s\n", a.hex ? "hex" : "text");
    for (const auto& [key, value] : *tree) PrintRecord(out, codec, a.layout.values, key, value);
    CloseStream(out, a.stream);
    return 0;
}

int Stat(const Arguments& a) {
    auto tree = OpenTree(a.file, a.layout, Access::Read);
    PrintStatistics(stdout, *tree, a.json);
    CloseStream(stdout, "-");
    return 0;
}

int Check(const Arguments& a) {
    auto tree = OpenTree(a.file, a.layout, Access::Read);
    tree->Validate();
    std::printf("%s: ok, %u records\n", a.file.c_str(), tree->Size());
    return 0;
}

// A progress line on stderr while a compact copy grows toward its estimated
// size, only when stderr is a terminal.
std::function<void(std::uint64_t)> CopyProgress(const TamBTree::BTree& tree) {
    if (!isatty(STDERR_FILENO)) return nullptr;
    const std::uint64_t total = EstimateCompactSize(tree.GetStatistics());
    return [total](std::uint64_t written) {
        const std::uint64_t percent = written >= total ? 99 : written * 100 / total;
        std::fprintf(stderr, "\rcopying: %3llu%%", static_cast<unsigned long long>(percent));
    };
}

int Compact(const Arguments& a) {
    const std::uint64_t before = FileSize(a.file);
    const bool inPlace = a.destination.empty();
    // In place, the write lock keeps every other program out until the copy
    // has replaced the file; a copy elsewhere only needs to read.
    auto tree = OpenTree(a.file, a.layout, inPlace ? Access::Write : Access::Read);
    if (tree->GetCommitState() == TamBTree::BTree::CommitReady)
        throw Failure(a.file +
                      ": a transaction waits: commit or roll back first ('tambtree commit' or "
                      "'tambtree rollback')");
    const auto progress = CopyProgress(*tree);
    if (inPlace) {
        CompactInPlace(*tree, progress);
    } else {
        WatchCopy(
            a.destination, [&] { tree->CopyTo(a.destination); }, progress);
    }
    if (progress) std::fputs("\rcopying: 100%\n", stderr);
    tree.reset();
    const std::string& result = inPlace ? a.file : a.destination;
    const std::uint64_t after = FileSize(result);
    std::printf("%s: %llu bytes before, %s: %llu bytes after\n", a.file.c_str(),
                static_cast<unsigned long long>(before), result.c_str(),
                static_cast<unsigned long long>(after));
    return 0;
}

int CommitOrRollback(const Arguments& a, bool commit) {
    auto tree = OpenTree(a.file, a.layout, Access::Write);
    if (tree->GetCommitState() != TamBTree::BTree::CommitReady) {
        std::printf("%s: no pre-committed transaction\n", a.file.c_str());
        return 0;
    }
    if (commit)
        tree->Commit();
    else
        tree->Rollback();
    std::printf("%s: %s, %u records\n", a.file.c_str(), commit ? "committed" : "rolled back",
                tree->Size());
    return 0;
}

// Every library message names the tree file; the kinds a user can act on get
// the command that helps.
std::string Message(const std::exception& e) {
    std::string text = e.what();
    if (dynamic_cast<const TamBTree::BTreeDamagedException*>(&e))
        text += "\n'tambtree check FILE' reports the damage";
    else if (dynamic_cast<const TamBTree::BTreeTransactionWaitingException*>(&e))
        text += "\n'tambtree commit FILE' or 'tambtree rollback FILE' ends the waiting transaction";
    return text;
}

Order ParseOrder(const std::string& name) {
    if (name == "u32") return Order::U32;
    if (name == "u64") return Order::U64;
    if (name == "i64") return Order::I64;
    return Order::Bytes;
}

}  // namespace

int Run(int argc, char** argv) {
    Arguments a;
    bool noValues = false;
    CLI::App app{"Inspect and edit tree files.", "tambtree"};
    app.require_subcommand(1, 1);
    app.fallthrough();
    app.footer(
        "Keys that begin with '-' follow '--'.\n"
        "Exit status: 0 success, 1 failure (or damage found by check), 2 wrong usage.");
    app.failure_message([](const CLI::App*, const CLI::Error& e) {
        return "tambtree: " + std::string(e.what()) + "\nRun 'tambtree --help' for usage.\n";
    });
    const char* layoutGroup = "Layout of the tree file (must match its creator)";
    app.add_flag("--dups", a.layout.duplicates, "Equal keys may be stored side by side")
        ->group(layoutGroup);
    app.add_option(
           "--key-size", a.layout.keySize,
           "Fixed key size in bytes; 0: keys of any size (default, or the width of --order)")
        ->check(CLI::NonNegativeNumber)
        ->group(layoutGroup);
    auto* noValuesFlag =
        app.add_flag("--no-values", noValues, "Records are keys alone")->group(layoutGroup);
    app.add_option("--value-size", a.layout.valueSize, "Fixed value size in bytes (default: any)")
        ->excludes(noValuesFlag)
        ->group(layoutGroup);
    app.add_option("--order", a.order, "Key order: bytes (default), or little-endian u32, u64, i64")
        ->check(CLI::IsMember({"bytes", "u32", "u64", "i64"}))
        ->group(layoutGroup);

    auto command = [&](const char* name, const char* help, bool withFile = true) {
        CLI::App* c = app.add_subcommand(name, help);
        if (withFile) c->add_option("FILE", a.file, "The tree file")->required();
        return c;
    };
    auto hex = [&](CLI::App* c) { c->add_flag("--hex", a.hex, "Keys and values in hex"); };
    auto noCommit = [&](CLI::App* c) {
        c->add_flag("--no-commit", a.noCommit,
                    "Pre-commit only: the changes wait for 'tambtree commit' or 'rollback'");
    };
    CLI::App* demo =
        command("demo", "Build, query and check a sample tree of 100000 records", false);
    CLI::App* put = command("put", "Store a record, replacing the value of its key");
    put->add_option("KEY", a.key, "The key")->required();
    put->add_option("VALUE", a.value, "The value (default: empty)");
    hex(put);
    noCommit(put);
    CLI::App* get = command("get", "Print the value of a key (every value, with --dups)");
    get->add_option("KEY", a.key, "The key")->required();
    hex(get);
    CLI::App* del = command("del", "Erase every record of the keys");
    del->add_option("KEY", a.keys, "The keys")->required();
    hex(del);
    noCommit(del);
    CLI::App* scan = command("scan", "Print records in key order, as dump does");
    auto* from = scan->add_option("--from", a.from, "First key (included)");
    auto* to = scan->add_option("--to", a.to, "Last key (excluded)");
    scan->add_flag("--reverse", a.reverse, "Print in descending key order");
    scan->add_option("--limit", a.limit, "Print at most this many records");
    hex(scan);
    CLI::App* load = command("load", "Store the records of a dump file (default: stdin)");
    load->add_option("INPUT", a.stream, "The dump file, - for stdin");
    hex(load);
    noCommit(load);
    CLI::App* dump = command("dump", "Write every record as text (default: stdout)");
    dump->add_option("OUTPUT", a.stream, "The output file, - for stdout");
    hex(dump);
    CLI::App* stat = command("stat", "Print the tree's statistics");
    stat->add_flag("--json", a.json, "As JSON");
    CLI::App* check = command("check", "Validate the tree: exit status 0 healthy, 1 damaged");
    CLI::App* compact =
        command("compact", "Rewrite the tree compactly, in place or (--to) into a new file");
    compact->add_option("--to", a.destination, "Write the copy to this new file instead");
    CLI::App* commit = command("commit", "Install a pre-committed transaction");
    CLI::App* rollback = command("rollback", "Discard a pre-committed transaction");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    a.layout.values = !noValues;
    a.layout.order = ParseOrder(a.order);
    a.fromGiven = from->count() > 0;
    a.toGiven = to->count() > 0;
    a.valueGiven = put->get_option("VALUE")->count() > 0;
    try {
        if (demo->parsed()) return Demo();
        if (put->parsed()) return Put(a);
        if (get->parsed()) return Get(a);
        if (del->parsed()) return Delete(a);
        if (scan->parsed()) return Scan(a);
        if (load->parsed()) return Load(a);
        if (dump->parsed()) return Dump(a);
        if (stat->parsed()) return Stat(a);
        if (check->parsed()) return Check(a);
        if (compact->parsed()) return Compact(a);
        if (commit->parsed()) return CommitOrRollback(a, true);
        if (rollback->parsed()) return CommitOrRollback(a, false);
    } catch (const Failure& e) {
        std::fprintf(stderr, "tambtree: %s\n", e.what());
        return e.Code();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tambtree: %s\n", Message(e).c_str());
        return 1;
    }
    return 2;
}

}  // namespace TamTool

int main(int argc, char** argv) {
    return TamTool::Run(argc, argv);
}
