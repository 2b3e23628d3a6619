#!/usr/bin/env bash
# check-core-only.sh PROJECT_DIR WORK_DIR CXX
#
# Configures, builds and installs the library with QMF_BUILD_NETWORK and QMF_BUILD_STORAGE off,
# where Qt Network, Qt SQL, libsecret, libsodium and SQLite are hidden from the configuration:
# Core needs only Qt Core, libcrypto and ICU. The installed package then offers Core alone, and a
# consumer builds against it through find_package and pkg-config.
set -euo pipefail
project_dir=$1
work=$2
cxx=$3
consumer="$project_dir/tests/packaging/consumer"

unset LD_LIBRARY_PATH

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

rm -rf "$work"
mkdir -p "$work"
build="$work/build"
prefix="$work/prefix"

echo "-- configure without Network and Storage, their dependencies hidden"
# CMAKE_DISABLE_FIND_PACKAGE_* makes any lookup of Qt Network, Qt SQL or SQLite fail, and an
# empty pkg-config search path any lookup of libsecret or libsodium.
# No build type: the build only has to be complete, not fast or debuggable.
PKG_CONFIG_LIBDIR="$work/nowhere" PKG_CONFIG_PATH= cmake -S "$project_dir" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE= \
    -DQMF_BUILD_NETWORK=OFF -DQMF_BUILD_STORAGE=OFF \
    -DCMAKE_DISABLE_FIND_PACKAGE_Qt6Network=ON -DCMAKE_DISABLE_FIND_PACKAGE_Qt6Sql=ON \
    -DCMAKE_DISABLE_FIND_PACKAGE_SQLite3=ON \
    >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "a Core-only build does not configure"; }
for part in TESTS TOOLS EXAMPLES; do
    grep -q "QMF_BUILD_$part is set aside" "$work/configure.log" ||
        fail "the configuration did not say that QMF_BUILD_$part is set aside"
done

echo "-- build and install"
cmake --build "$build" >"$work/build.log" 2>&1 || { tail -50 "$work/build.log"; fail "Core does not build alone"; }
cmake --install "$build" --prefix "$prefix" >/dev/null

libdir=$(dirname "$(find "$prefix" -name 'libQMFoundationCore.so.*' -type f | head -n 1)")
[ -d "$libdir" ] || fail "no libQMFoundationCore installed under $prefix"
if find "$prefix" -name 'libQMFoundationNetwork*' -o -name 'libQMFoundationStorage*' \
    -o -name 'QMFoundationNetwork*' -o -name 'QMFoundationStorage*' | grep -q .; then
    fail "a Core-only package installs Network or Storage files: $(find "$prefix" -name '*Network*' -o -name '*Storage*')"
fi
for area in network keychain persistence; do
    [ ! -e "$prefix/include/QMFoundation/$area" ] || fail "the Core-only package installs $area/ headers"
done
[ -f "$prefix/include/QMFoundation/rest/QMRESTAPIModel.h" ] || fail "Core's rest/ headers are missing"

echo "-- find_package(QMFoundation) knows only Core"
probe_output=$(cmake -S "$project_dir/tests/packaging/find-components" -B "$work/probe" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" \
    -DQMF_FIND_ARGUMENTS="COMPONENTS Network" 2>&1) || fail "the probe failed: $probe_output"
flat=$(tr -s ' \n' ' ' <<<"$probe_output")
grep -qF "unknown component \"Network\". The components of this package are: Core." <<<"$flat" ||
    fail "find_package(QMFoundation COMPONENTS Network) on a Core-only package: $probe_output"

echo "-- find_package(QMFoundation) consumer of Core"
cmake -S "$consumer" -B "$work/cmake-consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_COMPILER="$cxx" -DCONSUMER_COMPONENTS=Core >/dev/null
cmake --build "$work/cmake-consumer" >/dev/null
"$work/cmake-consumer/consumer"

echo "-- pkg-config consumer of Core"
pcdir="$libdir/pkgconfig"
flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs QMFoundationCore)
# shellcheck disable=SC2086
"$cxx" -fPIC "$consumer/main.cpp" -o "$work/pkgconfig-consumer" -I"$consumer/host" $flags \
    -Wl,-rpath,"$libdir"
"$work/pkgconfig-consumer"
