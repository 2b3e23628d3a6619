#!/bin/sh
# Peak memory of `qmf run` against what the program writes: `yes` for SECONDS (default 10) and
# 200 MB in one go, each to /dev/null. The figure is qmf's own peak resident set (GNU time's
# %M, in KB); the program's is a few MB.
#
#   scripts/run-memory.sh [QMF] [SECONDS]
set -eu
qmf=${1:-build/default/tools/qmf/qmf}
seconds=${2:-10}
time=/usr/bin/time
[ -x "$time" ] || { echo "run-memory.sh: needs GNU time at $time" >&2; exit 2; }

# SIGINT ends the run as a Ctrl-C would; the status is then timeout's 124.
$time -f "yes for ${seconds} s: peak %M KB" timeout -s INT "$seconds" "$qmf" run yes >/dev/null || true
$time -f "200 MB of output: peak %M KB, %e s" "$qmf" run head -c 200000000 /dev/zero >/dev/null
# The same bytes through a slow reader: what waits for the reader is bounded too.
$time -f "200 MB to a slow reader: peak %M KB, %e s" sh -c \
    "'$qmf' run head -c 200000000 /dev/zero | (sleep 2; cat >/dev/null)"
