#!/usr/bin/env bash
# Measures what `qmf http` costs in memory for a large body: a server on 127.0.0.1 sends
# BYTES bytes (default 1 GiB) with a Content-Length, qmf prints them to /dev/null, and
# /usr/bin/time reports qmf's peak resident set. qmf streams the body, so the figure should
# stay flat (under LIMIT_MB, default 64) whatever BYTES is. Exits 1 when it does not.
#
#   scripts/http-memory.sh [QMF] [BYTES] [LIMIT_MB]
set -euo pipefail

qmf=${1:-build/default/tools/qmf/qmf}
bytes=${2:-1073741824}
limit_mb=${3:-64}

port_file=$(mktemp)
trap 'kill "$server" 2>/dev/null || true; rm -f "$port_file"' EXIT

# The peer: one GET answered with BYTES bytes of a repeated pattern, written as fast as the
# client reads them, then the server ends.
python3 - "$bytes" "$port_file" <<'PY' &
import socket, sys
size, port_file = int(sys.argv[1]), sys.argv[2]
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(1)
listener.settimeout(60)
with open(port_file, "w") as f:
    f.write(str(listener.getsockname()[1]))
connection, _ = listener.accept()
connection.settimeout(60)
request = b""
while b"\r\n\r\n" not in request:
    data = connection.recv(65536)
    if not data:
        sys.exit(1)
    request += data
connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                   b"Content-Length: %d\r\nConnection: close\r\n\r\n" % size)
chunk = (b"0123456789abcdefghijklmnopqrstuvwxyz\n" * 7085)[:262144]
left = size
while left > 0:
    piece = chunk[:min(left, len(chunk))]
    connection.sendall(piece)
    left -= len(piece)
connection.close()
PY
server=$!

for _ in $(seq 100); do
    [[ -s $port_file ]] && break
    sleep 0.05
done
port=$(cat "$port_file")

report=$(mktemp)
/usr/bin/time -v "$qmf" http GET "http://127.0.0.1:$port/large" >/dev/null 2>"$report" || {
    cat "$report" >&2
    exit 1
}
wait "$server"
peak_kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$report")
elapsed=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$report")
rm -f "$report"
echo "qmf http: $bytes bytes in $elapsed, peak RSS $((peak_kb / 1024)) MiB ($peak_kb KiB)"
if ((peak_kb > limit_mb * 1024)); then
    echo "peak RSS above $limit_mb MiB" >&2
    exit 1
fi
