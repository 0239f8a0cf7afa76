#!/usr/bin/env bash
# Fails when a tracked C++ source differs from what clang-format makes of it.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || scripts/install-packages.sh clang-format
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
echo "formatting: every tracked source as clang-format leaves it"
