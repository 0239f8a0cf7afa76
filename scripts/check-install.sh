#!/usr/bin/env bash
# Installs a build (default build/) into a temporary prefix and uses it as a
# client would: the consumer project through find_package, the same program
# compiled in one line through pkg-config, the Python module from the prefix
# (when the build has it); checks the number of exported symbols against the
# README; then builds the Debian package, lists it and checks that it carries
# the module.
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

python=no
grep -q '^TAMBTREE_PYTHON:BOOL=ON' "$build/CMakeCache.txt" && python=yes
if [ "$python" = yes ]; then
    interpreter=$(sed -n 's/^TAMBTREE_PYTHON_EXECUTABLE:FILEPATH=//p' "$build/CMakeCache.txt")
    (cd "$work" && PYTHONPATH="$prefix/lib/python3/dist-packages" "$interpreter" -c "
import tambtree
assert tambtree.__file__.startswith('$prefix/'), tambtree.__file__
with tambtree.Tree('python.tbt') as tree:
    tree[b'installed'] = b'yes'
    tree.commit()
with tambtree.Tree('python.tbt', mode='open', readonly=True) as tree:
    assert tree[b'installed'] == b'yes'
")
    echo "check-install: the installed Python module works"
fi

exported=$(nm -D --defined-only "$libdir/libTamBTree170NT.so" | wc -l)
documented=$(sed -n 's/.*exports \*\*\([0-9]*\)\*\* dynamic symbols.*/\1/p' README.md)
if [ "$exported" != "$documented" ]; then
    echo "check-install: the library exports $exported dynamic symbols, the README says ${documented:-nothing}" >&2
    exit 1
fi
echo "check-install: $exported exported dynamic symbols, as the README says"

(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/tambtree170nt_*.deb)
contents=$(dpkg-deb -c "$deb")
echo "$contents"
if [ "$python" = yes ] && ! grep -q '/usr/lib/python3/dist-packages/tambtree/_tambtree' <<<"$contents"; then
    echo "check-install: the package lacks the Python module" >&2
    exit 1
fi
echo "check-install: passed"
