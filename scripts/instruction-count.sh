#!/usr/bin/env bash
# Counts the instructions of InstructionCount.cpp (inserts, copying finds and
# scans on 200,000 records) under callgrind, against a release build of the
# library in BUILD_DIR (default build-release). Prints the total.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v valgrind >/dev/null || scripts/install-packages.sh valgrind
dir=${BUILD_DIR:-build-release}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DTAMBTREE_TESTS=OFF -DTAMBTREE_TOOLS=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)" --target TamBTree170NT >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
g++ -std=c++17 -O2 -DNDEBUG -ITamBTree/include -ITamBTree/external scripts/InstructionCount.cpp \
  -L"$dir/TamBTree" -lTamBTree170NT -Wl,-rpath,"$PWD/$dir/TamBTree" -o "$work/count"
valgrind --tool=callgrind --callgrind-out-file="$work/out" "$work/count" "$work/tree.bt" \
  2>"$work/log"
total=$(grep -o 'Collected : [0-9]*' "$work/log" | grep -o '[0-9]*$')
echo "instructions: $total"
