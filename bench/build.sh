#!/usr/bin/env bash
# Builds tambtree-bench in Release, installing LMDB's and SQLite's development
# packages when they are missing, and the Python module with the Python
# bindings of LMDB and LevelDB that bench/python/bench.py compares it with.
# BUILD_DIR chooses the build (default build-bench); extra arguments go to
# cmake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
[ -f /usr/include/lmdb.h ] || need+=(liblmdb-dev)
[ -f /usr/include/sqlite3.h ] || need+=(libsqlite3-dev)
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
[ -f /usr/include/pybind11/pybind11.h ] || need+=(pybind11-dev)
compgen -G '/usr/include/python3*/Python.h' >/dev/null || need+=(python3-dev)
/usr/bin/python3 -c 'import lmdb' 2>/dev/null || need+=(python3-lmdb)
/usr/bin/python3 -c 'import plyvel' 2>/dev/null || need+=(python3-plyvel)
scripts/install-packages.sh ${need[@]+"${need[@]}"}

dir=${BUILD_DIR:-build-bench}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" -DTAMBTREE_BENCH=ON \
  -DTAMBTREE_TESTS=OFF "$@" >/dev/null
cmake --build "$dir" --target tambtree-bench -j"${JOBS:-$(nproc)}"
echo "built $dir/bench/tambtree-bench"
if grep -q '^TAMBTREE_PYTHON:BOOL=ON' "$dir/CMakeCache.txt"; then
    cmake --build "$dir" --target tambtree_python -j"$(nproc)"
    echo "built $dir/python/tambtree (PYTHONPATH=$dir/python)"
fi
