#!/usr/bin/env bash
# Installs the dependencies, configures, builds and runs every test. Exit code = result.
# Usage: scripts/test.sh [preset]   (default: "default"; also "asan", "tsan")
# QMF_WARNINGS_AS_ERRORS=ON (set by CI) turns compiler warnings into errors.
set -euo pipefail
cd "$(dirname "$0")/.."

preset="${1:-default}"
bash scripts/install-deps.sh
cmake --preset "$preset" -DQMF_WARNINGS_AS_ERRORS="${QMF_WARNINGS_AS_ERRORS:-OFF}" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset" --output-on-failure
