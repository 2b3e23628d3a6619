#!/usr/bin/env bash
# check-installed-package.sh BUILD_DIR CONSUMER_SOURCE WORK_DIR CXX
set -euo pipefail
build_dir=$1
consumer=$2
work=$3
cxx=$4

rm -rf "$work"
mkdir -p "$work"
prefix="$work/prefix"

cmake --install "$build_dir" --prefix "$prefix" >/dev/null

echo "-- find_package(QMFoundation) consumer"
cmake -S "$consumer" -B "$work/cmake-consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$work/cmake-consumer" >/dev/null
LD_LIBRARY_PATH="$prefix/lib:$prefix/lib/x86_64-linux-gnu:${LD_LIBRARY_PATH:-}" \
    "$work/cmake-consumer/consumer"

echo "-- pkg-config consumer"
pcdir=$(dirname "$(find "$prefix" -name QMFoundationCore.pc | head -n 1)")
flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs QMFoundationCore)
# shellcheck disable=SC2086
"$cxx" -fPIC "$consumer/main.cpp" -o "$work/pkgconfig-consumer" $flags
LD_LIBRARY_PATH="$prefix/lib:$prefix/lib/x86_64-linux-gnu:${LD_LIBRARY_PATH:-}" \
    "$work/pkgconfig-consumer"
