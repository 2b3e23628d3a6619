#!/usr/bin/env bash
# Installs the dependencies, configures, builds and runs every test. Exit code = result.
# Usage: scripts/test.sh [preset]   (default: "default"; also "asan", "tsan")
# QMF_WARNINGS_AS_ERRORS=ON (set by CI) turns compiler warnings into errors; QMF_LINE_TABLES_ONLY=ON
# (also set by CI) compiles debug information as line tables only, which is faster.
set -euo pipefail
cd "$(dirname "$0")/.."

preset="${1:-default}"
bash scripts/install-deps.sh
cmake --preset "$preset" -DQMF_WARNINGS_AS_ERRORS="${QMF_WARNINGS_AS_ERRORS:-OFF}" \
    -DQMF_LINE_TABLES_ONLY="${QMF_LINE_TABLES_ONLY:-OFF}" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
# The keychain tests start their own D-Bus session and gnome-keyring (tests/keychain/with-keyring.sh).
ctest --preset "$preset" --output-on-failure

# ctest runs qmf-explorer's widget tests on the offscreen platform; once more in a real X server
# (Xvfb), where windows are mapped, focused and painted as on a desktop. Not under tsan, which
# does not build the example (the distribution's Qt is not instrumented).
explorer_tests="build/$preset/examples/explorer/tests/explorer_tests"
if [ "$preset" != tsan ] && [ -x "$explorer_tests" ]; then
    echo "== qmf-explorer widget tests under Xvfb"
    ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        LSAN_OPTIONS="suppressions=$PWD/examples/explorer/tests/lsan.supp" \
        xvfb-run -a env QT_QPA_PLATFORM=xcb "$explorer_tests"
fi
