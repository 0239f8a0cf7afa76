#!/usr/bin/env bash
# Installs a build (default build/) into a temporary prefix and uses it as a
# client would: the consumer project through find_package, the same program
# compiled in one line through pkg-config; checks the number of exported
# symbols against the README; then builds the Debian package and lists it.
set -euo pipefail
cd "$(dirname "$0")/.."
need=()
command -v pkg-config >/dev/null || need+=(pkg-config)
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
scripts/install-packages.sh ${need[@]+"${need[@]}"}

build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libTamBTree170NT.so' | head -1)")

cmake -S examples/consumer -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer"

export PKG_CONFIG_PATH=$libdir/pkgconfig
g++ -std=c++17 -Wall -Wextra -Wpedantic -Wshadow -Werror examples/consumer/consumer.cpp -o "$work/consumer-pc" $(pkg-config --cflags --libs tambtree170nt)
LD_LIBRARY_PATH=$libdir "$work/consumer-pc"

"$prefix/bin/tambtree" put "$work/tool.tbt" installed yes >/dev/null
[ "$("$prefix/bin/tambtree" get "$work/tool.tbt" installed)" = yes ]
man -l "$prefix/share/man/man1/tambtree.1" >/dev/null 2>&1 || [ -s "$prefix/share/man/man1/tambtree.1" ]

exported=$(nm -D --defined-only "$libdir/libTamBTree170NT.so" | wc -l)
documented=$(sed -n 's/.*exports \*\*\([0-9]*\)\*\* dynamic symbols.*/\1/p' README.md)
if [ "$exported" != "$documented" ]; then
    echo "check-install: the library exports $exported dynamic symbols, the README says ${documented:-nothing}" >&2
    exit 1
fi
echo "check-install: $exported exported dynamic symbols, as the README says"

(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/tambtree170nt_*.deb)
dpkg-deb -c "$deb"
echo "check-install: passed"
