#!/usr/bin/env bash
# Fails when a tracked C++ file is not formatted with the project's .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."

git ls-files -z -- '*.h' '*.cpp' | xargs -0 -r clang-format --dry-run -Werror
