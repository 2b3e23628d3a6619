#!/usr/bin/env bash
# A throw-away PostgreSQL server for the tests.
#   postgresql-server.sh start STATE_DIR   initdb into a new temporary directory, start the server
#                                          listening on a Unix socket in that directory only (no
#                                          TCP port), and write the server's URL to STATE_DIR/url
#   postgresql-server.sh stop STATE_DIR    stop that server and remove its directory
#   postgresql-server.sh halt STATE_DIR    stop that server at once, as a crash would (no
#                                          checkpoint, connections cut), keeping its data
#   postgresql-server.sh restart STATE_DIR start the halted server again on the same data and
#                                          socket directory, so its URL stays the same
# The server refuses to run as root, so under root it runs as the unprivileged system user
# qmf-postgres (made on first use). Role "qmf" connects without a password over the socket; role
# "qmf_password" needs the password "qmf-secret" (for the password provider's tests).
set -euo pipefail

action="$1"
state="$2"
bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
if [ -z "$bindir" ] || [ ! -x "$bindir/pg_ctl" ]; then
    echo "PostgreSQL's server programs are not installed (scripts/install-deps.sh installs them)" >&2
    exit 1
fi

run=()
if [ "$(id -u)" -eq 0 ]; then
    if ! id -u qmf-postgres >/dev/null 2>&1; then
        useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin qmf-postgres
    fi
    run=(runuser -u qmf-postgres --)
fi

stop() {
    [ -f "$state/dir" ] || return 0
    local dir
    dir=$(cat "$state/dir")
    if [ -d "$dir/data" ]; then
        "${run[@]}" "$bindir/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
    fi
    rm -rf "$dir"
    rm -f "$state/dir" "$state/url"
}

# Starts the server of directory $1 and waits until it accepts connections.
serve() {
    local dir="$1"
    # fsync off: the tests stop the server, they never crash the machine under it.
    "${run[@]}" "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
        -o "-c listen_addresses='' -c unix_socket_directories='$dir' -c fsync=off \
            -c max_connections=200 -c password_encryption=scram-sha-256" start >/dev/null \
        || { cat "$dir/server.log" >&2; exit 1; }
}

# The directory of the server that STATE_DIR describes.
server_dir() {
    local dir
    dir=$(cat "$state/dir" 2>/dev/null || true)
    if [ -z "$dir" ] || [ ! -d "$dir/data" ]; then
        echo "no test server was started with the state directory $state" >&2
        exit 1
    fi
    echo "$dir"
}

case "$action" in
start)
    mkdir -p "$state"
    stop # a server a run that was interrupted left behind
    # Short: a socket's path must stay under about 100 bytes.
    dir=$(mktemp -d /tmp/qmf-pg.XXXXXX)
    echo "$dir" >"$state/dir"
    chmod 755 "$dir"
    if [ ${#run[@]} -gt 0 ]; then
        chown qmf-postgres "$dir"
    fi
    "${run[@]}" "$bindir/initdb" -D "$dir/data" -U qmf --auth-local=trust --auth-host=reject \
        -E UTF8 --locale=C.UTF-8 --no-sync >"$dir/initdb.log" 2>&1 \
        || { cat "$dir/initdb.log" >&2; exit 1; }
    # The password role authenticates with SCRAM over the socket; every other role is trusted.
    "${run[@]}" sh -c "printf '%s\n%s\n' 'local all qmf_password scram-sha-256' \
        \"\$(cat '$dir/data/pg_hba.conf')\" > '$dir/data/pg_hba.new' \
        && mv '$dir/data/pg_hba.new' '$dir/data/pg_hba.conf'"
    serve "$dir"
    "${run[@]}" "$bindir/psql" -h "$dir" -U qmf -d postgres -q -v ON_ERROR_STOP=1 \
        -c "CREATE ROLE qmf_password LOGIN PASSWORD 'qmf-secret'" \
        -c "CREATE DATABASE qmf" -c "GRANT ALL ON DATABASE qmf TO qmf_password" >/dev/null
    echo "postgresql://qmf@/qmf?host=$dir" >"$state/url"
    ;;
stop)
    stop
    ;;
halt)
    dir=$(server_dir)
    "${run[@]}" "$bindir/pg_ctl" -D "$dir/data" -m immediate -w -t 60 stop >/dev/null
    ;;
restart)
    dir=$(server_dir)
    serve "$dir"
    ;;
*)
    echo "usage: $0 start|stop|halt|restart STATE_DIR" >&2
    exit 2
    ;;
esac
