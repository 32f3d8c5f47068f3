#!/bin/sh
# A private PostgreSQL server for tests and benchmarks: its own cluster in a
# temporary folder, listening only on a Unix socket in that folder.
#
#   pg_server.sh start RECORD [durable]   prints the socket folder; RECORD gets it too
#   pg_server.sh stop RECORD              stops the server and removes its folder,
#                                         and those of RECORD.* too
#   pg_server.sh restart RECORD           stops the server and starts it again
#
# RECORD is a file naming the folder, so that the stop (a CTest cleanup run
# after a failed or crashed test) finds it; a start over a RECORD left by a
# killed run first stops that server. A test that needs a server of its own
# (to stop it) starts one with RECORD.<name>, which the cleanup of RECORD
# removes as well. Without "durable" the server does not flush to disk
# (tests); with it, it keeps PostgreSQL's defaults (benchmarks). Every role
# that is a member of lorvane_password_users must log in with a password;
# the others are trusted. initdb refuses to run as root: as root, the server
# runs as "postgres". Without the PostgreSQL binaries, start says so and
# exits 3.
set -eu
bin=${LORVANE_PG_BIN:-/usr/lib/postgresql/15/bin}
action=${1:-}
record=${2:-}
[ -n "$action" ] && [ -n "$record" ] || {
    echo "usage: $0 start|stop|restart RECORD [durable]" >&2
    exit 2
}

as_owner() {
    if [ "$(id -u)" -eq 0 ]; then
        runuser -u postgres -- "$@"
    else
        "$@"
    fi
}

stop() {
    stop_one "$record"
    for other in "$record".*; do
        [ -f "$other" ] && stop_one "$other"
    done
    return 0
}

stop_one() {
    [ -f "$1" ] || return 0
    dir=$(cat "$1")
    case "$dir" in
    /tmp/lorvane-pg-* | "${TMPDIR:-/tmp}"/lorvane-pg-*) ;;
    *)
        echo "pg_server.sh: $1 names no server folder of ours: $dir" >&2
        rm -f "$1"
        return 0
        ;;
    esac
    if [ -f "$dir/data/postmaster.pid" ]; then
        as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
    fi
    rm -rf "$dir"
    rm -f "$1"
}

run_server() {
    as_owner "$bin/pg_ctl" -D "$dir/data" -o "$(cat "$dir/settings")" -l "$dir/log" -w -t 60 \
        start >/dev/null || {
        cat "$dir/log" >&2
        exit 1
    }
}

case "$action" in
stop)
    stop
    ;;
start)
    if [ ! -x "$bin/initdb" ] || [ ! -x "$bin/pg_ctl" ]; then
        echo "pg_server.sh: no PostgreSQL binaries in $bin" >&2
        exit 3
    fi
    stop_one "$record"
    # Short: the socket path must fit into 107 bytes.
    dir=$(mktemp -d "${TMPDIR:-/tmp}/lorvane-pg-XXXXXX")
    echo "$dir" >"$record"
    chmod 755 "$dir"
    [ "$(id -u)" -eq 0 ] && chown postgres "$dir"
    as_owner "$bin/initdb" -D "$dir/data" -A trust -U postgres -E UTF8 --locale=C.UTF-8 \
        >"$dir/initdb.log" 2>&1 || {
        cat "$dir/initdb.log" >&2
        exit 1
    }
    hba="$dir/data/pg_hba.conf"
    { echo "local all +lorvane_password_users scram-sha-256"; cat "$hba"; } >"$hba.new"
    mv "$hba.new" "$hba"
    [ "$(id -u)" -eq 0 ] && chown postgres "$hba"
    settings="-k $dir -c listen_addresses= -c max_connections=200"
    [ "${3:-}" = durable ] || settings="$settings -c fsync=off -c full_page_writes=off"
    echo "$settings" >"$dir/settings"
    run_server
    "$bin/psql" -h "$dir" -U postgres -d postgres -q -v ON_ERROR_STOP=1 \
        -c "CREATE ROLE lorvane_password_users NOLOGIN" >/dev/null
    echo "$dir"
    ;;
restart)
    dir=$(cat "$record")
    as_owner "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null 2>&1 || true
    run_server
    ;;
*)
    echo "usage: $0 start|stop|restart RECORD [durable]" >&2
    exit 2
    ;;
esac
