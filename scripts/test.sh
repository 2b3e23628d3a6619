#!/usr/bin/env bash
# Installs the dependencies, configures, builds and runs every test. Exit code = result.
# Usage: scripts/test.sh [preset]   (default: "default"; also "asan", "tsan")
set -euo pipefail
cd "$(dirname "$0")/.."

preset="${1:-default}"
bash scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset" --output-on-failure
