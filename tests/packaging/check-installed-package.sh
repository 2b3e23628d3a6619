#!/usr/bin/env bash
# check-installed-package.sh BUILD_DIR SOURCE_DIR WORK_DIR CXX WITH_TOOLS [WITH_EXAMPLES]
#
# Installs the build into a scratch prefix and uses it as a user would: runs the installed qmf,
# asks find_package(QMFoundation) for components, builds a consumer through find_package and
# through pkg-config, and compiles the documentation's code snippets against the package.
# Nothing comes from LD_LIBRARY_PATH: every binary must find the installed library by itself,
# and the one it finds must be the prefix's (not a copy installed elsewhere on the machine).
set -euo pipefail
build_dir=$1
source_dir=$2
work=$3
cxx=$4
with_tools=$5
with_examples=${6:-0}
consumer="$source_dir/consumer"

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
    # The German translation is installed beside qmf, where it looks first.
    [ -f "$(dirname "$qmf")/../share/QMFoundation/translations/qmfoundation_de.qm" ] ||
        fail "no qmfoundation_de.qm installed beside $qmf"
    words=$("$qmf" date words --locale de --now 2021-03-04T05:06:07.891Z +3h) ||
        fail "$qmf date words --locale de failed"
    [ "$words" = "3 Stunden" ] || fail "qmf date words --locale de printed '$words'"
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

if [ "$with_examples" = 1 ]; then
    echo "-- installed qmf-explorer"
    explorer="$prefix/bin/qmf-explorer"
    [ -x "$explorer" ] || fail "qmf-explorer is not installed in $prefix/bin"
    runpath=$(readelf -d "$explorer" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
    case "$runpath" in
    "\$ORIGIN"/*) ;;
    *) fail "installed qmf-explorer has no run path relative to itself: '$runpath'" ;;
    esac
    expect_library_from "$explorer" "$libdir"
    help=$(QT_QPA_PLATFORM=offscreen "$explorer" --help) || fail "qmf-explorer --help failed"
    grep -q "Usage: .*qmf-explorer" <<<"$help" || fail "qmf-explorer --help printed: $help"
fi

# probe NAME PREFIX "ARGUMENTS" [CMAKE_ARGUMENT...]: runs find_package(QMFoundation ARGUMENTS)
# in the find-components project (build directory probe-NAME) against PREFIX.
probe() {
    probe_arguments=$3
    probe_status=0
    probe_output=$(cmake -S "$source_dir/find-components" -B "$work/probe-$1" -G Ninja \
        -DCMAKE_PREFIX_PATH="$2" -DCMAKE_CXX_COMPILER="$cxx" \
        -DQMF_FIND_ARGUMENTS="$probe_arguments" "${@:4}" 2>&1) || probe_status=$?
}

# expect_probe ok|failure TEXT...: how the last probe ended, and what it printed. CMake
# indents and may wrap the reason a package gives, so texts are looked for with spacing evened.
expect_probe() {
    local expected=$1 text flat
    shift
    local call="find_package(QMFoundation $probe_arguments)"
    if [ "$expected" = ok ] && [ "$probe_status" -ne 0 ]; then
        fail "$call failed: $probe_output"
    elif [ "$expected" = failure ] && [ "$probe_status" -eq 0 ]; then
        fail "$call succeeded: $probe_output"
    fi
    flat=$(tr -s ' \n' ' ' <<<"$probe_output")
    for text in "$@"; do
        grep -qF -- "$text" <<<"$flat" || fail "$call did not print '$text': $probe_output"
    done
    if grep -q "probe: left behind" <<<"$probe_output"; then
        fail "$call left variables behind: $probe_output"
    fi
}

echo "-- find_package(QMFoundation) components"
probe installed "$prefix" "0.1 REQUIRED COMPONENTS Core"
expect_probe ok "probe: QMFoundation_Core_FOUND=TRUE" "probe: target QMFoundation::Core"
# Without COMPONENTS: every installed component.
probe installed "$prefix" "0.1 REQUIRED"
expect_probe ok "probe: QMFoundation_Core_FOUND=TRUE" "probe: target QMFoundation::Core"
# Network brings Core, which it links to.
probe installed "$prefix" "REQUIRED COMPONENTS Network"
expect_probe ok "probe: QMFoundation_Network_FOUND=TRUE" "probe: QMFoundation_Core_FOUND=TRUE" \
    "probe: target QMFoundation::Network"
# Storage brings Core too; libsecret and libsodium, linked privately, are not looked for.
probe installed "$prefix" "REQUIRED COMPONENTS Storage"
expect_probe ok "probe: QMFoundation_Storage_FOUND=TRUE" "probe: QMFoundation_Core_FOUND=TRUE" \
    "probe: target QMFoundation::Storage"
probe installed "$prefix" "REQUIRED COMPONENTS Core Bogus"
expect_probe failure "QMFoundation_FOUND to FALSE" \
    'unknown component "Bogus". The components of this package are: Core, Network, Storage.'
probe installed "$prefix" "COMPONENTS Core OPTIONAL_COMPONENTS Bogus"
expect_probe ok "probe: QMFoundation_FOUND=1" "probe: QMFoundation_Core_FOUND=TRUE" \
    "probe: QMFoundation_Bogus_FOUND=FALSE" "probe: target QMFoundation::Core"
# Not REQUIRED: a missing component leaves the package not found, without stopping.
probe installed "$prefix" "COMPONENTS Bogus"
expect_probe ok "probe: QMFoundation_FOUND=0" "probe: QMFoundation_Bogus_FOUND=FALSE"

# A component whose own dependency is missing (Qt hidden from the lookup) fails the package
# when required and is only reported missing when optional.
probe no-qt "$prefix" "COMPONENTS Core" -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON
expect_probe ok "probe: QMFoundation_FOUND=0" \
    "component Core needs Qt6 6.4 COMPONENTS Core, which could not be found"
probe no-qt "$prefix" "OPTIONAL_COMPONENTS Core"
expect_probe ok "probe: QMFoundation_FOUND=1" "probe: QMFoundation_Core_FOUND=FALSE"
grep -q "probe: target QMFoundation::Core" <<<"$probe_output" &&
    fail "an optional component without its dependencies still defined its target"
# libcrypto, which Core's digests link to privately, is not a consumer's concern: the package
# is found without it.
probe no-openssl "$prefix" "COMPONENTS Core" -DCMAKE_DISABLE_FIND_PACKAGE_OpenSSL=ON
expect_probe ok "probe: QMFoundation_FOUND=1" "probe: target QMFoundation::Core"

# A component the package knows but whose targets file is not installed (a split package).
partial="$work/partial"
mkdir -p "$partial/lib/cmake"
cp -r "$(dirname "$(find "$prefix" -name QMFoundationConfig.cmake)")" "$partial/lib/cmake/"
rm "$partial"/lib/cmake/QMFoundation/QMFoundationCoreTargets*.cmake
probe partial "$partial" "REQUIRED COMPONENTS Core"
expect_probe failure "component Core is not installed"

echo "-- find_package(QMFoundation) consumer"
cmake -S "$consumer" -B "$work/cmake-consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$work/cmake-consumer" >/dev/null
# CMake gives a consumer in its build tree the run path to the imported library.
expect_library_from "$work/cmake-consumer/consumer" "$libdir"
"$work/cmake-consumer/consumer"
"$work/cmake-consumer/network-consumer"
"$work/cmake-consumer/storage-consumer"

# The documentation's code snippets (README.md, docs/guide/*.md) as one more consumer: each
# must compile against the installed package, so the documentation cannot drift from the API.
echo "-- documentation snippets"
snippets_started=$SECONDS
python3 "$source_dir/../../scripts/extract-snippets.py" "$work/snippets" >"$work/snippets.log" ||
    fail "the documentation's snippets could not be extracted: $(cat "$work/snippets.log")"
cmake -S "$source_dir/snippets" -B "$work/snippets-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_COMPILER="$cxx" -DQMF_SNIPPETS_DIR="$work/snippets" >>"$work/snippets.log" 2>&1 ||
    fail "the snippets project could not be configured: $(cat "$work/snippets.log")"
cmake --build "$work/snippets-build" >>"$work/snippets.log" 2>&1 ||
    fail "a documentation snippet does not compile (errors name the page and line): $(cat "$work/snippets.log")"
echo "$(tail -n 1 <<<"$(grep 'snippets extracted' "$work/snippets.log")"), compiled in $((SECONDS - snippets_started)) s"

echo "-- pkg-config consumer"
pcdir=$(dirname "$(find "$prefix" -name QMFoundationCore.pc | head -n 1)")
flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs QMFoundationCore)
pc_libdir=$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=libdir QMFoundationCore)
[ "$(realpath "$pc_libdir")" = "$(realpath "$libdir")" ] ||
    fail "pkg-config's libdir $pc_libdir is not $libdir"
pc_translations=$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=translationsdir QMFoundationCore)
[ -f "$pc_translations/qmfoundation_de.qm" ] ||
    fail "pkg-config's translationsdir $pc_translations holds no qmfoundation_de.qm"
# pkg-config hands out no run path: a program built against a prefix outside the system
# directories brings its own, as this one does from the .pc file's libdir.
# shellcheck disable=SC2086
"$cxx" -fPIC "$consumer/main.cpp" -o "$work/pkgconfig-consumer" -I"$consumer/host" $flags \
    -Wl,-rpath,"$pc_libdir"
expect_library_from "$work/pkgconfig-consumer" "$libdir"
"$work/pkgconfig-consumer"
network_flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs QMFoundationNetwork)
# shellcheck disable=SC2086
"$cxx" -fPIC "$consumer/network.cpp" -o "$work/pkgconfig-network-consumer" $network_flags \
    -Wl,-rpath,"$pc_libdir"
expect_library_from "$work/pkgconfig-network-consumer" "$libdir"
"$work/pkgconfig-network-consumer"
storage_flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs QMFoundationStorage)
# shellcheck disable=SC2086
"$cxx" -fPIC "$consumer/storage.cpp" -o "$work/pkgconfig-storage-consumer" $storage_flags \
    -Wl,-rpath,"$pc_libdir"
expect_library_from "$work/pkgconfig-storage-consumer" "$libdir"
"$work/pkgconfig-storage-consumer"

if [ "$with_tools" = 1 ]; then
    echo "-- installed qmf, prefix moved"
    moved="$work/moved-prefix"
    mv "$prefix" "$moved"
    run_qmf "$moved/bin/qmf" "$moved/${libdir#"$prefix"/}"
fi
