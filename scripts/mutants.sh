#!/usr/bin/env bash
# Applies a fixed list of one-line faults to the library, one at a time, and
# reports for each whether the test programs catch it (a failing test, a crash
# or a timeout) or not. A developer's check of the tests' strength, not part
# of CI.
#
#   scripts/mutants.sh [NAME...]     # all faults, or only the named ones
#   MUTANTS_PLANT_ONLY=1 scripts/mutants.sh   # only checks that each fault plants
#
# The faults are this file's list, scripts/mutants-api.tsv (one for each
# public operation that had no test), scripts/mutants-blind.tsv (planted by a
# reviewer who had not read the tests), and the file MUTANTS_EXTRA names, if
# any (faults being tried out). Each fault is a tab-separated line:
#   name  file  original fragment  replacement  [anchor]
# A fragment matches whatever the whitespace between its tokens (so that
# reformatting does not break it; an indented one begins a line with that
# indentation) and must occur once in the file, or once
# after the first occurrence of the optional anchor (a function's name, say).
#
# Works on a copy of the sources in build-mutants/tree (MUTANTS_BUILD_DIR), so
# the working tree is never touched and may be edited meanwhile; stops at the
# first test program that fails and gives each MUTANTS_TIMEOUT seconds
# (default 120). MUTANTS_QUICK lists the test programs to run first.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dir=${MUTANTS_BUILD_DIR:-build-mutants}
limit=${MUTANTS_TIMEOUT:-120}

# name <TAB> file <TAB> original fragment <TAB> replacement
faults=$(
    cat <<'EOF'
split-leaf-drops-last	TamBTree/src/tree/Insert.cpp	for (std::uint32_t j = m + 1; j <= count; ++j) layout.InsertRecord(page, j, right, j - m);	for (std::uint32_t j = m + 1; j < count; ++j) layout.InsertRecord(page, j, right, j - m);
split-median-off-by-one	TamBTree/src/tree/Insert.cpp	const std::uint32_t m = layout.FindMedianRecord(page, position, need);	const std::uint32_t m = layout.FindMedianRecord(page, position, need) + 1;
split-append-point	TamBTree/src/tree/Insert.cpp	if (page->isLeaf && page->count >= 1) return page->count;	if (page->isLeaf && page->count >= 1) return page->count - 1;
split-stale-back-link	TamBTree/src/tree/Insert.cpp	LoadPageForUpdate(page->nextPage)->previousPage = n;	LoadPageForUpdate(page->nextPage)->previousPage = p;
split-child-slot	TamBTree/src/tree/Insert.cpp	layout.SetChild(parent, pos + 1, n);	layout.SetChild(parent, pos, n);
split-parent-side	TamBTree/src/tree/Insert.cpp	if (parent->count < pos) {	if (parent->count <= pos) {
insert-duplicate-test	TamBTree/src/tree/Insert.cpp	if (!it.IsEnd() && !Less(r, IteratorRecord(it)))	if (!it.IsEnd() && Less(r, IteratorRecord(it)))
insert-count-always	TamBTree/src/tree/Insert.cpp	if (result.second) pager->AddRecord();	pager->AddRecord();
insert-fixed-size-check	TamBTree/src/tree/Insert.cpp	(geometry.fixedKeySize && r.keyLength != owner.KeySize())	(geometry.fixedKeySize && r.keyLength > owner.KeySize())
insert-too-large-bound	TamBTree/src/tree/Insert.cpp	if (r.keyLength > geometry.maxRecordSize ||	if (r.keyLength > geometry.maxRecordSize + 1 ||
insert-change-guard-dropped	TamBTree/src/TreeCore.cpp	ChangeGuard guard(*this); return tree.Insert(r);	return tree.Insert(r);
erase-count-kept	TamBTree/src/tree/Erase.cpp	    pager->RemoveRecord();	
erase-next-iterator	TamBTree/src/tree/Erase.cpp	if (index <= page->count)	if (index < page->count)
erase-borrow-left-slot	TamBTree/src/tree/Erase.cpp	layout.InsertRecord(left, left->count, page, 1);	layout.InsertRecord(left, left->count - 1, page, 1);
erase-borrow-right-separator	TamBTree/src/tree/Erase.cpp	layout.ReplaceKey(page, page->count, parent, pos + 1);	layout.ReplaceKey(page, page->count, parent, pos);
erase-merge-into-full-left	TamBTree/src/tree/Erase.cpp	if (left && layout.GetPageFreeSpace(left) >= needL) {	if (left && layout.GetPageFreeSpace(left) + 64 >= needL) {
underflow-threshold-never	TamBTree/src/Geometry.h	underflowThreshold = (pageSize - PAGE_HEADER_SIZE) / 2;	underflowThreshold = pageSize;
update-in-place-bound	TamBTree/src/tree/Update.cpp	static_cast<std::uint32_t>(delta) <= layout.GetPageFreeSpace(page)	static_cast<std::uint32_t>(delta) <= layout.GetPageFreeSpace(page) + 64
copy-on-write-missing	TamBTree/src/pager/PageIndex.cpp	if (writable) return const_cast<PageHeader*>(committed);	return const_cast<PageHeader*>(committed);
page-check-skipped	TamBTree/src/pager/PageIndex.cpp	if (!TestBit(checkedUnits, unit)) {	if (false) {
page-number-check-skipped	TamBTree/src/pager/PageIndex.cpp	if (page->pageNumber != n)	if (page->pageNumber == NO_PAGE)
insert-data-size	TamBTree/src/PageEdit.cpp	page->dataSize += length;	page->dataSize += length + 1;
insert-slot-move	TamBTree/src/PageEdit.cpp	page->directorySize - LEAF_SLOT_SIZE * (i - 1));	page->directorySize - LEAF_SLOT_SIZE * i);
delete-slot-move	TamBTree/src/PageEdit.cpp	std::memmove(bottom + slotSize, bottom, movedBytes);	std::memmove(bottom + slotSize, bottom, movedBytes / 2);
replace-key-data-size	TamBTree/src/PageEdit.cpp	destination->dataSize -= t - s;	destination->dataSize -= s - t;
free-merge-next-lost	TamBTree/src/file/EmptyList.h	            size += nextSize;	
free-merge-prev-skipped	TamBTree/src/file/EmptyList.h	if (prev->first + prev->second == offset && prev->second <= maxBlockSize - size) {	if (prev->first + prev->second == offset + 1 && prev->second <= maxBlockSize - size) {
flush-decision-skipped	TamBTree/src/txn/Commit.cpp	Flush(decided ? DecisionFlush : ReadyFlush);	if (!decided) Flush(ReadyFlush);
flush-data-skipped	TamBTree/src/txn/Commit.cpp	    Flush(DataFlush);	
flush-idle-data-skipped	TamBTree/src/txn/Commit.cpp	    Flush(IdleDataFlush);	
rollback-keeps-waiting-block	TamBTree/src/txn/Commit.cpp	        head.committedBlockOffset = NO_PAGE;	
install-leaks-replaced-pages	TamBTree/src/pager/Install.cpp	if (freeReplaced && *stable != NO_PAGE) space.Free(pageSize, *stable);	if (false) space.Free(pageSize, *stable);
recovery-step-skipped	TamBTree/src/TreeFile.cpp	        txn.FinishInterruptedCommit();	
head-root-bound	TamBTree/src/pager/PageIndex.cpp	head.rootPage >= head.pageCount)	head.rootPage > head.pageCount)
lower-bound-past-page	TamBTree/src/tree/Search.cpp	if (i < page->count) return BTreeIterator(page->pageNumber, i + 1, owner.Tree());	if (i <= page->count) return BTreeIterator(page->pageNumber, i + 1, owner.Tree());
upper-bound-equal-keys	TamBTree/src/tree/Search.cpp	while (!it.IsEnd() && !Less(r, IteratorRecord(it))) ++it;	while (!it.IsEnd() && Less(IteratorRecord(it), r)) ++it;
validate-order-skipped	TamBTree/src/tree/Validation.cpp	if (!InOrder(CheckedRecord(page, i - 1), CheckedRecord(page, i)))	if (false)
validate-data-size-skipped	TamBTree/src/tree/Validation.cpp	if (live != page->dataSize)	if (false)
validate-unused-tail-skipped	TamBTree/src/pager/SpaceClaims.h	if (expected < fileSize) Throw(	if (false) Throw(
byte-order-for-derived-trees	TamBTree/src/ByteTree.cpp	if (typeid(*this) == typeid(ByteTree)) UseByteOrder();	UseByteOrder();
entry-end-unchecked	TamBTree/src/PageLayout.h	return valid && at <= end;	return valid;
cursor-run-direction	TamBTree/src/ByteTree.cpp	std::int64_t{runIndex} + step * runStep;	std::int64_t{runIndex} + step;
cursor-run-stale	TamBTree/src/ByteTree.cpp	if (tree->ChangeCount() != runChanges) return false;	if (false) return false;
append-hint-unchecked	TamBTree/src/tree/Insert.cpp	if (appending && count != 0 && Less(layout.GetRecord(page, count), r)) return count;	if (appending && count != 0) return count;
assign-same-size-offset	TamBTree/src/tree/Insert.cpp	std::memmove(bytes + (old.value - bytes), r.value, r.valueLength);	std::memmove(bytes + (old.key - bytes), r.value, r.valueLength);
erase-unique-stops-early	TamBTree/src/tree/Erase.cpp	if (!geometry.allowDuplicates) break;	break;
copy-directory-dropped	TamBTree/src/pager/PageIndex.cpp	file.Write(to + pageSize - tail, from + pageSize - tail, tail);	(void)tail;
space-check-every-store	TamBTree/src/pager/FileSpace.cpp	storesUntilSpaceCheck = spaceCheckInterval - 1;	storesUntilSpaceCheck = 0;
key-prefix-short-keys	TamBTree/src/PageEdit.cpp	prefixed && x.keyLength >= 8 ? KeyPrefix(x.key) : rPrefix;	prefixed ? KeyPrefix(x.key) : rPrefix;
copy-level-separator-first-child	TamBTree/src/tree/CompactingCopy.cpp	level.push_back(Built{below[starts[g + 1] - 1].lastKey, n});	level.push_back(Built{below[starts[g]].lastKey, n});
reopened-waiting-block-unclaimed	TamBTree/src/txn/Heads.cpp	    pager->Space().Claim(size, offset);	    (void)size;
EOF
)

names=("$@")
wanted() {
    [ ${#names[@]} -eq 0 ] && return 0
    local n
    for n in "${names[@]}"; do [ "$n" = "$1" ] && return 0; done
    return 1
}

mkdir -p "$dir"
tree=$root/$dir/tree
rm -rf "$tree"
mkdir -p "$tree"
# (tar keeps the times of the files, so the build after a copy is incremental.)
tar -C "$root" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$tree" -xf -
cd "$tree"

if [ "${MUTANTS_PLANT_ONLY:-0}" = 1 ]; then
    build() { :; }
else
cmake -S . -B ../build -DCMAKE_BUILD_TYPE=Release -DTAMBTREE_TOOLS=ON -DTAMBTREE_TESTS=ON \
    -DTAMBTREE_WERROR=OFF >/dev/null || exit 1
programs=$(cd tests && ls test_*.cpp | sed 's/\.cpp$//')
# The quick programs first: a fault usually fails one of them.
quick=${MUTANTS_QUICK:-"test_containers test_file_format test_damage test_transactions test_api test_tree_model test_compaction"}
order=$(for p in $quick $programs; do [ -f "tests/$p.cpp" ] && echo "$p"; done | awk '!seen[$0]++')
build() { cmake --build ../build -j2 >../build/mutant-build.log 2>&1; }
build || {
    echo "the unchanged tree does not build"
    exit 1
}
fi

# Applies one fault and prints the file it changed, after keeping the
# original beside it as FILE.orig. The fragment is looked for in the named
# file or, when that file is gone (code moves between files), in every source
# of the library, the platform layer and the tool; exits 2 unless it is found
# once.
plant() {
    FILE=$1 FROM=$2 TO=$3 ANCHOR=$4 python3 - <<'PY'
import glob, os, re, shutil, sys
named, frm, to, anchor = (os.environ[k] for k in ("FILE", "FROM", "TO", "ANCHOR"))
tokens = re.findall(r"\w+|\S", frm)
indent = frm[: len(frm) - len(frm.lstrip())]
# An indented fragment stands at the start of a line with that indentation.
lead = "^" + re.escape(indent) if indent else ""
pattern = re.compile(lead + r"\s*".join(re.escape(t) for t in tokens), re.M)

def matches(path):
    s = open(path).read()
    start = s.find(anchor) if anchor else 0
    return s, ([] if start < 0 else list(pattern.finditer(s, start)))

# Only a file that is gone sends the search elsewhere: a fragment changed in
# its own file must be fixed, not found again in some other code.
candidates = [named] if os.path.isfile(named) else [
    p for d in ("TamBTree", "support", "tools") for p in glob.glob(d + "/**/*.[ch]*", recursive=True)]
hits = [(p, *matches(p)) for p in candidates]
hits = [(p, s, m) for p, s, m in hits if len(m) == 1]
if len(hits) != 1:
    sys.exit("fragment found in %d files" % len(hits))
path, s, m = hits[0]
shutil.copy2(path, path + ".orig")
open(path, "w").write(s[: m[0].start()] + to + s[m[0].end():])
print(path)
PY
}

caught=0
survived=0
total=0
while IFS=$'\t' read -r name file from to anchor; do
    [ -z "$name" ] && continue
    case $name in \#*) continue ;; esac
    wanted "$name" || continue
    total=$((total + 1))
    if ! changed=$(plant "$file" "$from" "$to" "${anchor:-}"); then
        echo "FRAGMENT $name in $file: $from" >&2
        [ "${MUTANTS_PLANT_ONLY:-0}" = 1 ] && continue
        exit 2
    fi
    file=$changed
    if [ "${MUTANTS_PLANT_ONLY:-0}" = 1 ]; then
        cp "$file.orig" "$file"
        rm "$file.orig"
        continue
    fi
    start=$SECONDS
    verdict="survived"
    if ! build; then
        verdict="caught (build)"
    else
        for p in $order; do
            # (The braces keep the shell's report of a crashed program out of the list.)
            if ! { timeout "$limit" "../build/tests/$p" --gtest_brief=1 >../build/mutant-test.log 2>&1; } 2>/dev/null; then
                verdict="caught by $p"
                break
            fi
        done
        if [ "$verdict" = survived ] && [ -f tests/cli_test.sh ]; then
            timeout "$limit" bash tests/cli_test.sh ../build/tools/tambtree >../build/mutant-test.log 2>&1 ||
                verdict="caught by cli_test"
        fi
    fi
    # A copy, not a move: the restored file must be newer than the faulty
    # objects, or the next build would keep them.
    cp "$file.orig" "$file"
    rm "$file.orig"
    case $verdict in
        caught*) caught=$((caught + 1)) ;;
        *) survived=$((survived + 1)) ;;
    esac
    printf '%-32s %s (%ds)\n' "$name" "$verdict" $((SECONDS - start))
done < <(
    printf '%s\n' "$faults"
    cat "$root"/scripts/mutants-*.tsv
    [ -n "${MUTANTS_EXTRA:-}" ] && cat "$MUTANTS_EXTRA"
)
build
if [ "${MUTANTS_PLANT_ONLY:-0}" = 1 ]; then
    echo "plant check: $total faults tried"
else
    echo "summary: $caught of $total caught, $survived survived"
fi
