#!/usr/bin/env bash
# Times `qmf diff` as a whole program on two files of N distinct lines with 1% changes (a third
# each deletes, inserts and moves), written by make_diff_lists: user and system CPU seconds,
# wall seconds and peak resident memory, as /usr/bin/time reports them, for the plain, --json
# and --steps outputs (--steps only up to 20,000 lines: its output is the whole list once per
# step, about 45 MB at 20,000 lines).
#
#   scripts/measure-diff.sh [BUILD_DIR] [N...]     (defaults: build/release, 20000 100000)
#
# Build first: cmake --build --preset release --target qmf make_diff_lists
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/release}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(20000 100000)
qmf=$build/tools/qmf/qmf
make_lists=$build/benchmarks/make_diff_lists
for program in "$qmf" "$make_lists"; do
    [ -x "$program" ] || { echo "missing $program: build it first" >&2; exit 2; }
done
[ -x /usr/bin/time ] || { echo "missing /usr/bin/time (apt-get install time)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '%-8s %-16s %8s %8s %8s %10s\n' lines output user_s sys_s wall_s peak_MiB
for n in "${sizes[@]}"; do
    "$make_lists" "$n" "$work/old.txt" "$work/new.txt"
    for options in "" "--json" "--steps"; do
        if [ "$options" = "--steps" ] && [ "$n" -gt 20000 ]; then
            continue
        fi
        # shellcheck disable=SC2086 # the options are words
        /usr/bin/time -f '%U %S %e %M' -o "$work/time" \
            "$qmf" diff $options "$work/old.txt" "$work/new.txt" > /dev/null
        read -r user sys wall peak < "$work/time"
        printf '%-8s %-16s %8s %8s %8s %10.1f\n' "$n" "${options:-changes}" "$user" "$sys" \
            "$wall" "$(awk -v kib="$peak" 'BEGIN { print kib / 1024 }')"
    done
done
