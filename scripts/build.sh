#!/usr/bin/env bash
# Installs what the build needs when it is missing (the Python module's too),
# then configures and builds. BUILD_DIR (default build), SANITIZE=1
# (AddressSanitizer + UBSan) and TSAN=1 (ThreadSanitizer) choose the build;
# TARGETS, when set, builds only those.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/CLI/CLI.hpp ] || need+=(libcli11-dev)
[ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
command -v cmake >/dev/null || need+=(cmake)
command -v help2man >/dev/null || need+=(help2man)
command -v g++ >/dev/null || need+=(g++)
# The Python module and its tests, for the Debian interpreter /usr/bin/python3.
[ -f /usr/include/pybind11/pybind11.h ] || need+=(pybind11-dev)
compgen -G '/usr/include/python3*/Python.h' >/dev/null || need+=(python3-dev)
/usr/bin/python3 -c 'import pytest' 2>/dev/null || need+=(python3-pytest)
/usr/bin/python3 -c 'import hypothesis' 2>/dev/null || need+=(python3-hypothesis)
scripts/install-packages.sh ${need[@]+"${need[@]}"}

dir=${BUILD_DIR:-build}
sanitize=OFF
[ "${SANITIZE:-0}" = 1 ] && sanitize=ON
tsan=OFF
[ "${TSAN:-0}" = 1 ] && tsan=ON
type=${BUILD_TYPE:-RelWithDebInfo}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DTAMBTREE_SANITIZE="$sanitize" \
    -DTAMBTREE_TSAN="$tsan" >/dev/null
targets=()
for target in ${TARGETS:-}; do targets+=(--target "$target"); done
cmake --build "$dir" -j"$(nproc)" ${targets[@]+"${targets[@]}"}
