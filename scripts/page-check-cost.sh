#!/usr/bin/env bash
# Measures what the checks of committed pages cost a random Find: builds
# PageCheckCost.cpp against the library as it is and against a copy whose
# LoadPage maps a committed page without checking it, runs both in turns and
# prints nanoseconds per Find (the best of each) and the difference.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/unchecked"
cp -r TamBTree support tests "$work/unchecked/"
python3 - "$work/unchecked/TamBTree/src/pager/PageIndex.cpp" <<'PY'
import re, sys
path = sys.argv[1]
text = open(path).read()
start = text.index("PageHeader* Pager::LoadPageSlow(")
body = text.index("PageHeader* page = MapPage(n, offset, entry);", start)
end = text.index("return page;", body)
text = text[:body] + "PageHeader* page = MapPage(n, offset, entry);\n    " + text[end:]
open(path, "w").write(text)
PY

build() {
  local root=$1 out=$2
  g++ -std=c++17 -O2 -DNDEBUG -DTAMBTREE_BUILDING -I"$root/TamBTree/include" \
    -I"$root/TamBTree/external" -I"$root/TamBTree/src" -I"$root/TamBTree/src/file" \
    -I"$root/tests/common" scripts/PageCheckCost.cpp "$root"/TamBTree/src/*.cpp \
    "$root"/TamBTree/src/{pager,txn,tree,file}/*.cpp "$root"/support/*.cpp -o "$out"
}
build . "$work/checked" &
build "$work/unchecked" "$work/plain" &
wait

file=${TMPDIR:-/tmp}/page-check-cost-$$.bt
"$work/checked" make "$file"
checked=()
plain=()
for round in 1 2 3 4 5; do
  checked+=("$("$work/checked" find "$file")")
  plain+=("$("$work/plain" find "$file")")
done
rm -f "$file"
best() { printf '%s\n' "$@" | sort -n | head -1; }
c=$(best "${checked[@]}")
p=$(best "${plain[@]}")
echo "random Find, 200000 records: ${p} ns without the page checks, ${c} ns with them"
awk -v c="$c" -v p="$p" 'BEGIN { printf "cost of the checks: %+.1f %%\n", (c - p) * 100 / p }'
