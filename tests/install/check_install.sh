#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, then builds and runs a
# small consumer against it twice: through find_package and through pkg-config.
# Usage: check_install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in include/quorl_kernel.h include/quorl_verify.h lib/libquorl_verify.so bin/qkmine share/qkmine/plot_bench.py; do
  test -e "$prefix/$f" || { echo "missing $f in the installed tree" >&2; exit 1; }
done
"$prefix/bin/qkmine" --help >/dev/null

cmake -S "$source/tests/install/consumer" -B "$work/cmake-build" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_RPATH="$prefix/lib" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer"

# pkg-config, with the tree moved: the .pc files must not hold the old prefix.
mv "$prefix" "$work/moved"
export PKG_CONFIG_PATH=$work/moved/lib/pkgconfig
cc "$source/tests/install/consumer/embed.c" -o "$work/pc-consumer" \
  $(pkg-config --cflags --libs quorl_kernel quorl_verify) -Wl,-rpath,"$(pkg-config --variable=libdir quorl_kernel)"
"$work/pc-consumer"

# The Python module, in the moved tree too: it finds the library from its own place.
module=$(find "$work/moved" -path '*/quorl_verify/__init__.py' | head -1)
test -n "$module" || { echo "missing the quorl_verify Python module in the installed tree" >&2; exit 1; }
env -u QUORL_VERIFY_LIBRARY PYTHONPATH="$(dirname "$(dirname "$module")")" PYTHONDONTWRITEBYTECODE=1 python3 -c '
import quorl_verify as qv
r = qv.check_share(qv.Job("full", 128, 256, 256, "00" * 32, "ff" * 32, 5), qv.Share.full(5 << 32, 1, 0))
assert r.accepted and len(r.hash) == 32, r
'
