#!/usr/bin/env bash
# Shows that the GUI thread keeps turning: runs qmf_gui_thread_tests (tests/async) with the full
# workload, in a QGuiApplication on the offscreen platform, and prints for each scenario the
# longest wait between two ticks of the main thread's 10 ms timer, through the futures and through
# the synchronous calls. Exits non-zero when a future ends with the wrong value or error.
#
#   scripts/gui-gaps.sh [BUILD_DIR]
#
# Without BUILD_DIR it configures build/gui-gaps from the release preset with the tests on (and
# ccache when installed), once, and builds the program alone. A BUILD_DIR given must hold the
# program already.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-}
if [[ -z $build ]]; then
    build=build/gui-gaps
    if [[ ! -f $build/CMakeCache.txt ]]; then
        launcher=()
        if command -v ccache >/dev/null; then
            launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
        fi
        cmake --preset release -B "$build" -DQMF_BUILD_TESTS=ON -DQMF_BUILD_BENCHMARKS=OFF \
            "${launcher[@]}" >/dev/null
    fi
    cmake --build "$build" --target qmf_gui_thread_tests
fi
program=$build/tests/async/qmf_gui_thread_tests
if [[ ! -x $program ]]; then
    echo "no $program: build the target qmf_gui_thread_tests in $build first" >&2
    exit 2
fi
QT_QPA_PLATFORM=offscreen "$program" --full --gtest_brief=1
