#!/usr/bin/env bash
# End to end test of the tambtree tool: load and dump round trips, get, del,
# scan, stat --json, pre-commit with commit and rollback, compact, other layouts, and
# check of a healthy and of a damaged file. Usage: cli_test.sh path/to/tambtree
set -euo pipefail
T=$(realpath "$1")
W=$(mktemp -d)
trap 'rm -rf "$W"' EXIT
cd "$W"
fail() { echo "FAIL: $*" >&2; exit 1; }
expect_status() { # expect_status CODE command...
    local want=$1 rc=0
    shift
    "$@" >out.txt 2>err.txt || rc=$?
    [ "$rc" = "$want" ] || fail "'$*' exited $rc, expected $want: $(cat err.txt)"
}

# 10000 records of random bytes in the dump text format, sorted by key as the
# tree sorts them, so that a dump of the loaded tree must equal the file; the
# expected answers of a few queries, in hex.
python3 - <<'EOF'
import random
random.seed(4711)
special = {0x5c: b'\\\\', 0x09: b'\\t', 0x0a: b'\\n', 0x0d: b'\\r'}
esc = lambda b: b''.join(special.get(c) or (b'\\x%02x' % c if c < 0x20 or c > 0x7e or
                         (c == 0x23 and i == 0) else bytes([c])) for i, c in enumerate(b))
rnd = lambda n: bytes(random.choice(b'#\\\t\n\r\x00\xffab') if random.random() < 0.3
                      else random.randrange(256) for _ in range(n))
recs = {}
while len(recs) < 10000:
    recs[rnd(random.randrange(0, 20))] = rnd(random.randrange(0, 200))
keys = sorted(recs)
head = b'# tambtree dump format=text\n'
open('records.txt', 'wb').write(head + b''.join(esc(k) + b'\t' + esc(recs[k]) + b'\n' for k in keys))
dups = sorted(((b'k%d' % (i // 7), b'v%d' % random.randrange(1000)) for i in range(700)),
              key=lambda r: r[0])
open('dups.txt', 'wb').write(head + b''.join(k + b'\t' + v + b'\n' for k, v in dups))
hexes = lambda ks: ''.join('%s\t%s\n' % (k.hex(), recs[k].hex()) for k in ks)
open('probe.txt', 'w').write(' '.join(x.hex() for x in (keys[5], recs[keys[5]], keys[7777],
                                      recs[keys[7777]], keys[3000], keys[3100])) + '\n')
open('scan.txt', 'w').write(hexes(keys[3000:3100]))
open('reverse.txt', 'w').write(hexes(keys[3099:3094:-1]))
EOF
read -r k1 v1 k2 v2 lo hi <probe.txt

# Load and dump round trips, through files and pipes, in text and in hex.
"$T" load t.tbt records.txt >load.txt
grep -q "^10000 records loaded, committed and synced to disk once at the end$" load.txt ||
    fail "load does not say what it stored and synced"
"$T" dump t.tbt dump.txt
cmp records.txt dump.txt || fail "the dump differs from the loaded file"
"$T" dump --hex t.tbt | "$T" load h.tbt
"$T" dump h.tbt | cmp - records.txt || fail "the hex round trip differs"
"$T" --dups load d.tbt dups.txt
"$T" --dups dump d.tbt | cmp - dups.txt || fail "duplicates lost their order"

# Queries.
[ "$("$T" get --hex t.tbt "$k1")" = "$v1" ] || fail "get of the 6th key"
[ "$("$T" get --hex t.tbt "$k2")" = "$v2" ] || fail "get of the 7778th key"
"$T" scan --hex --from "$lo" --to "$hi" t.tbt | cmp - scan.txt || fail "scan of a range"
"$T" scan --hex --from "$lo" --to "$hi" --reverse --limit 5 t.tbt | cmp - reverse.txt ||
    fail "reverse scan with a limit"
[ "$("$T" --dups get d.tbt k3 | wc -l)" = 7 ] || fail "get of a duplicated key"

# Erase, then check the statistics.
"$T" del --hex t.tbt "$k1" "$k2"
expect_status 1 "$T" get --hex t.tbt "$k1"
grep -q "^tambtree: t.tbt: key not found" err.txt || fail "message of a missing key"
expect_status 1 "$T" del t.tbt no-such-key
"$T" stat --json t.tbt | python3 -c '
import json, os, sys
s = json.load(sys.stdin)
assert s["records"] == 9998, s
assert s["height"] >= 2 and sum(s["pagesPerLevel"]) == s["pages"] and s["pagesPerLevel"][0] == 1, s
assert s["fileSize"] == os.path.getsize("t.tbt") and 0 < s["fillFactor"] <= 1, s
assert s["commitState"] == "idle" and s["snapshots"] == 0 == s["snapshotBytes"], s'

# A pre-committed change waits for commit or rollback and blocks other writes.
"$T" put --no-commit t.tbt waiting 1
"$T" stat --json t.tbt | python3 -c 'import json, sys; assert json.load(sys.stdin)["commitState"] == "ready"'
expect_status 1 "$T" put t.tbt other 2
expect_status 1 "$T" get t.tbt waiting
"$T" commit t.tbt >/dev/null
[ "$("$T" get t.tbt waiting)" = 1 ] || fail "commit did not install the change"
"$T" del --no-commit t.tbt waiting
"$T" rollback t.tbt >/dev/null
[ "$("$T" get t.tbt waiting)" = 1 ] || fail "rollback did not discard the erasure"

# compact: refused while a transaction waits; a copy elsewhere and in place
# keep every record, the target of --to must not exist.
"$T" put --no-commit t.tbt waiting2 2
expect_status 1 "$T" compact t.tbt
grep -q "commit or roll back first" err.txt || fail "compact of a waiting file: $(cat err.txt)"
"$T" rollback t.tbt >/dev/null
"$T" dump t.tbt before.txt
"$T" compact t.tbt --to copy.tbt >/dev/null
expect_status 1 "$T" compact t.tbt --to copy.tbt
"$T" compact t.tbt | grep -q "bytes before, t.tbt: [0-9]* bytes after" || fail "compact output"
for f in t.tbt copy.tbt; do
    "$T" dump "$f" after.txt && cmp -s before.txt after.txt || fail "compact changed $f"
    "$T" check "$f" >/dev/null || fail "compact left $f damaged"
done
[ ! -e t.tbt.compact ] || fail "compact left its temporary file"
"$T" stat t.tbt | grep -q "^reclaimable by compact: [0-9]* bytes" || fail "stat reclaimable"

# Other layouts: integer order, keys alone.
for k in 3 -5 -9223372036854775808 70000; do "$T" --order i64 put i.tbt -- "$k" "v$k"; done
[ "$("$T" --order i64 scan i.tbt | cut -f1 | tr '\n' ' ')" = "-9223372036854775808 -5 3 70000 " ] ||
    fail "i64 order"
"$T" --no-values put n.tbt b && "$T" --no-values put n.tbt a
[ "$("$T" --no-values scan n.tbt | tr '\n' ' ')" = "a b " ] || fail "keys alone"

# Files that are not trees are left alone; a missing argument is a usage error.
echo hello >plain.txt
expect_status 1 "$T" put plain.txt k v
[ "$(cat plain.txt)" = hello ] || fail "a plain file was overwritten"
expect_status 2 "$T" get t.tbt
# Reading commands never create the file they are given.
for cmd in "get absent.tbt k" "scan absent.tbt" "stat absent.tbt" "check absent.tbt"; do
    expect_status 1 "$T" $cmd
    grep -q "absent.tbt: no such file" err.txt || fail "$cmd: $(cat err.txt)"
done
[ ! -e absent.tbt ] || fail "a reading command created its file"

# check: a healthy file, then the same file with the head of every page
# overwritten by plain file I/O.
expect_status 0 "$T" check t.tbt
cp t.tbt bad.tbt
for ((g = 2; g < $(stat -c %s bad.tbt) / 65536; g++)); do
    head -c 48 /dev/zero | tr '\0' '\356' | dd of=bad.tbt bs=1 seek=$((g * 65536)) conv=notrunc status=none
done
expect_status 1 "$T" check bad.tbt
grep -q "^tambtree: .*bad.tbt" err.txt || fail "check did not report the damage: $(cat err.txt)"
# One-sided and unbounded scans against the dump of the untouched copy.
"$T" dump --hex h.tbt | tail -n +2 >all.txt
n=$(grep -n "^$lo"$'\t' all.txt | cut -d: -f1)
"$T" scan --hex --from "$lo" h.tbt | cmp - <(tail -n +"$n" all.txt) || fail "scan from a key on"
"$T" scan --hex --to "$lo" h.tbt | cmp - <(head -n $((n - 1)) all.txt) || fail "scan up to a key"
"$T" scan --hex --reverse --limit 3 h.tbt | cmp - <(tail -n 3 all.txt | tac) || fail "reverse scan"
"$T" scan --hex --limit 3 h.tbt | cmp - <(head -n 3 all.txt) || fail "scan with a limit"

# Unsigned orders and their ranges, fixed sizes, bad fields, unknown commands.
for k in 7 4294967295 256; do "$T" --order u32 put u.tbt "$k" "v$k"; done
[ "$("$T" --order u32 scan u.tbt | cut -f1 | tr '\n' ' ')" = "7 256 4294967295 " ] || fail "u32"
for k in 18446744073709551615 1; do "$T" --order u64 put w.tbt "$k"; done
[ "$("$T" --order u64 scan w.tbt | cut -f1 | tr '\n' ' ')" = "1 18446744073709551615 " ] ||
    fail "u64 order"
expect_status 2 "$T" --order u32 put u.tbt 4294967296 v
expect_status 2 "$T" --order u64 get w.tbt -- -1
grep -q "bad key" err.txt || fail "a negative u64 key: $(cat err.txt)"
expect_status 2 "$T" --order u32 --key-size 8 get u.tbt 7
"$T" --key-size 2 --value-size 3 put f.tbt ab xyz
expect_status 1 "$T" --key-size 2 --value-size 3 put f.tbt abc xyz
expect_status 2 "$T" --no-values put n.tbt c v
expect_status 2 "$T" put --hex x.tbt 0g v
expect_status 2 "$T" frobnicate t.tbt
expect_status 0 "$T" --help
grep -q "compact" out.txt || fail "help lists no commands"

# commit and rollback with nothing waiting; a pre-committed load rolled back;
# a load that fails names its line and stores nothing; check reports the count.
"$T" commit h.tbt | grep -q "^h.tbt: no pre-committed transaction$" || fail "commit of nothing"
"$T" load --no-commit h.tbt dups.txt
[ "$("$T" rollback h.tbt)" = "h.tbt: rolled back, 10000 records" ] || fail "rollback of a load"
printf 'a\tb\nno tab\n' >bad.txt
expect_status 1 "$T" load l.tbt bad.txt
grep -q "bad.txt:2: expected key<TAB>value" err.txt || fail "load error: $(cat err.txt)"
[ "$("$T" check l.tbt)" = "l.tbt: ok, 0 records" ] || fail "a failed load stored records"
[ "$("$T" check h.tbt)" = "h.tbt: ok, 10000 records" ] || fail "check output"

# The demo: 100000 records key000000.. with values "value of record N".
"$T" demo >demo.txt
for want in 'Get("key031415") *"value of record 31415"$' 'Contains("key100000") *false$' \
    '^  key050004 -> value of record 50004$' 'the last record *key099999$' \
    '(10000 records) *90000 records left$' '^Rollback *100000 records$' '^records: *100000$'; do
    grep -q "$want" demo.txt || fail "the demo printed no line like $want"
done
[ "$(grep -c ' -> ' demo.txt)" = 5 ] || fail "the demo's range"
echo "cli test passed"
