#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number of seconds.
# Usage: scripts/fuzz.sh [seconds]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
bash scripts/install-deps.sh
cmake --preset fuzz -DQMF_WARNINGS_AS_ERRORS="${QMF_WARNINGS_AS_ERRORS:-OFF}" \
    -DQMF_LINE_TABLES_ONLY="${QMF_LINE_TABLES_ONLY:-OFF}" >/dev/null
cmake --build --preset fuzz -j "$(nproc)" >/dev/null
for target in option_parser xml_entities definition searching versions data_inspection base64 list_diff \
    separator timestamps error_catalog tree model_mapping query_params link_header system_version \
    keychain_file keychain_payload netlink predicate model xml_store postgresql_cell; do
    work="build/fuzz/corpus-$target"
    mkdir -p "$work"
    echo "== fuzz_$target for ${seconds}s"
    log="build/fuzz/fuzz_$target.log"
    status=0
    build/fuzz/fuzz/fuzz_$target -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix=build/fuzz/ "$work" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|==[0-9]+==|SUMMARY|Done)' "$log" || true
    grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | sed 's/^/final: /' || true
    if [ "$status" -ne 0 ]; then
        echo "fuzz_$target found a problem (exit $status); see $log and build/fuzz/ for the input"
        exit 1
    fi
done
