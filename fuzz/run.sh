#!/usr/bin/env bash
# Builds the fuzz target with clang++-14 (libFuzzer, ASan, UBSan), writes the
# seeds and fuzzes for FUZZ_SECONDS (default 60). The corpus grows in
# $BUILD_DIR/corpus; inputs that found a fault land in $BUILD_DIR/artifacts
# and belong in fuzz/regressions once the fault is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v clang++-14 >/dev/null || need+=(clang-14)
ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
  need+=(libclang-rt-14-dev)
command -v cmake >/dev/null || need+=(cmake)
scripts/install-packages.sh ${need[@]+"${need[@]}"}

dir=${BUILD_DIR:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
cmake -S fuzz -B "$dir" -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$dir" -j"$(nproc)"

rm -rf "$dir/seeds"
mkdir -p "$dir/seeds" "$dir/corpus" "$dir/artifacts"
"$dir/make_seeds" "$dir/seeds"

# Seeds are a few granules of 64 KiB each; inputs may grow to twice the
# largest of them.
max_len=$(( $(ls -l "$dir"/seeds | awk 'NR > 1 && $5 > m { m = $5 } END { print m }') * 2 ))
"$dir/fuzz_tree" -max_total_time="$seconds" -max_len="$max_len" -timeout=20 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$dir/artifacts/" \
  "$dir/corpus" "$dir/seeds" fuzz/regressions
