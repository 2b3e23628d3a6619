#!/usr/bin/env bash
# check-installed-package.sh BUILD_DIR CONSUMER_SOURCE WORK_DIR CXX WITH_TOOLS
#
# Installs the build into a scratch prefix and uses it as a user would: runs the installed qmf
# and builds a consumer through find_package(QMFoundation) and through pkg-config. Nothing
# comes from LD_LIBRARY_PATH: every binary must find the installed library by itself, and the
# one it finds must be the prefix's (not a copy installed elsewhere on the machine).
set -euo pipefail
build_dir=$1
consumer=$2
work=$3
cxx=$4
with_tools=$5

unset LD_LIBRARY_PATH

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# expect_library_from BINARY DIR: the binary loads libQMFoundationCore from DIR.
expect_library_from() {
    local resolved
    resolved=$(ldd "$1" | awk '/libQMFoundationCore\.so/ { print $3 }')
    if [ -z "$resolved" ] || [ ! -e "$resolved" ] ||
        [ "$(realpath "$(dirname "$resolved")")" != "$(realpath "$2")" ]; then
        fail "$1 loads libQMFoundationCore from '${resolved:-nowhere}', not from $2"
    fi
}

rm -rf "$work"
mkdir -p "$work"
prefix="$work/prefix"

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
library=$(find "$prefix" -name 'libQMFoundationCore.so.*' -type f | head -n 1)
[ -n "$library" ] || fail "no libQMFoundationCore installed under $prefix"
libdir=$(dirname "$library")

run_qmf() {
    local qmf=$1 prefix_dir=$2 version tour
    expect_library_from "$qmf" "$prefix_dir"
    version=$("$qmf" --version) || fail "$qmf --version failed"
    case "$version" in
    "qmf (QMFoundation) "*) ;;
    *) fail "unexpected qmf --version output: $version" ;;
    esac
    tour=$("$qmf" tour) || fail "$qmf tour failed"
    grep -q "Usage: arc" <<<"$tour" || fail "qmf tour printed no usage text"
}

if [ "$with_tools" = 1 ]; then
    echo "-- installed qmf"
    qmf="$prefix/bin/qmf"
    [ -x "$qmf" ] || fail "qmf is not installed in $prefix/bin"
    # The run path is relative to the program: nothing may point back into the build tree.
    runpath=$(readelf -d "$qmf" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
    case "$runpath" in
    *"$build_dir"*) fail "installed qmf has a run path into the build tree: $runpath" ;;
    "\$ORIGIN"/*) ;;
    *) fail "installed qmf has no run path relative to itself: '$runpath'" ;;
    esac
    run_qmf "$qmf" "$libdir"
fi

echo "-- find_package(QMFoundation) consumer"
cmake -S "$consumer" -B "$work/cmake-consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$work/cmake-consumer" >/dev/null
# CMake gives a consumer in its build tree the run path to the imported library.
expect_library_from "$work/cmake-consumer/consumer" "$libdir"
"$work/cmake-consumer/consumer"

echo "-- pkg-config consumer"
pcdir=$(dirname "$(find "$prefix" -name QMFoundationCore.pc | head -n 1)")
flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs QMFoundationCore)
pc_libdir=$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=libdir QMFoundationCore)
[ "$(realpath "$pc_libdir")" = "$(realpath "$libdir")" ] ||
    fail "pkg-config's libdir $pc_libdir is not $libdir"
# pkg-config hands out no run path: a program built against a prefix outside the system
# directories brings its own, as this one does from the .pc file's libdir.
# shellcheck disable=SC2086
"$cxx" -fPIC "$consumer/main.cpp" -o "$work/pkgconfig-consumer" $flags -Wl,-rpath,"$pc_libdir"
expect_library_from "$work/pkgconfig-consumer" "$libdir"
"$work/pkgconfig-consumer"

if [ "$with_tools" = 1 ]; then
    echo "-- installed qmf, prefix moved"
    moved="$work/moved-prefix"
    mv "$prefix" "$moved"
    run_qmf "$moved/bin/qmf" "$moved/${libdir#"$prefix"/}"
fi
