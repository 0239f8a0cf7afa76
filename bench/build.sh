#!/usr/bin/env bash
# Builds tambtree-bench in Release, installing LMDB's and SQLite's development
# packages when they are missing. BUILD_DIR chooses the build (default
# build-bench); extra arguments go to cmake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
[ -f /usr/include/lmdb.h ] || need+=(liblmdb-dev)
[ -f /usr/include/sqlite3.h ] || need+=(libsqlite3-dev)
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
scripts/install-packages.sh ${need[@]+"${need[@]}"}

dir=${BUILD_DIR:-build-bench}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" -DTAMBTREE_BENCH=ON \
  -DTAMBTREE_TESTS=OFF "$@" >/dev/null
cmake --build "$dir" --target tambtree-bench -j"${JOBS:-$(nproc)}"
echo "built $dir/bench/tambtree-bench"
