#!/usr/bin/env bash
# Installs the dependencies, builds the library and the qmf tool, and runs the tool's tour.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target qmf -j "$(nproc)" >/dev/null
exec build/default/tools/qmf/qmf tour
