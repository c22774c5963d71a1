#!/bin/bash
# Starts or stops the throwaway PostgreSQL cluster that the database tests run against.
#
#   pg_cluster.sh start FOLDER   initdb into FOLDER/data, start on a free port of 127.0.0.1,
#                                write FOLDER/env (KEY=VALUE lines, see below)
#   pg_cluster.sh stop FOLDER    stop the server and remove FOLDER; safe to repeat
#
# FOLDER/env holds PGHOST, PGPORT, PGUSER (trust authentication, no password), PGSOCKETDIR
# and PGBINDIR. As root the server runs as the user postgres, which initdb requires.
# PG_BINDIR overrides where initdb and pg_ctl are looked for.
set -euo pipefail

usage() {
    echo "usage: $0 start|stop FOLDER" >&2
    exit 2
}

[ $# -eq 2 ] || usage
command=$1
folder=$(realpath -m -- "$2")

fail() {
    echo "pg_cluster: $*" >&2
    exit 1
}

find_bindir() {
    if [ -n "${PG_BINDIR:-}" ]; then
        echo "$PG_BINDIR"
        return
    fi
    # The newest server installed from the distribution's packages.
    local dir
    for dir in $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V -r); do
        if [ -x "$dir/initdb" ] && [ -x "$dir/pg_ctl" ]; then
            echo "$dir"
            return
        fi
    done
    local initdb
    initdb=$(command -v initdb || true)
    [ -n "$initdb" ] || fail "no PostgreSQL server found (install postgresql)"
    dirname "$(realpath "$initdb")"
}

# Runs a server program as the cluster's owner.
as_owner() {
    if [ "$(id -u)" -eq 0 ]; then
        runuser -u postgres -- "$@"
    else
        "$@"
    fi
}

# True when something already listens on 127.0.0.1:$1.
port_in_use() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

stop_cluster() {
    local data=$folder/data
    if [ -f "$data/postmaster.pid" ]; then
        local bindir
        bindir=$(find_bindir)
        if ! as_owner "$bindir/pg_ctl" stop -D "$data" -m fast -w -t 60 >/dev/null; then
            # A server that does not stop in time must not outlive the test run.
            local pid
            pid=$(head -n 1 "$data/postmaster.pid" 2>/dev/null || true)
            if [ -n "$pid" ]; then
                kill -KILL "$pid" 2>/dev/null || true
            fi
        fi
    fi
    rm -rf -- "$folder"
}

start_cluster() {
    local bindir data socket log
    bindir=$(find_bindir)
    data=$folder/data
    socket=$folder/socket
    log=$folder/server.log

    # A cluster left over from an interrupted run goes first.
    stop_cluster
    mkdir -p -- "$folder" "$socket"
    if [ "$(id -u)" -eq 0 ]; then
        getent passwd postgres >/dev/null || fail "user postgres does not exist"
        chown postgres: "$folder" "$socket"
    fi
    chmod 755 "$folder"

    if ! as_owner "$bindir/initdb" -D "$data" -U postgres -A trust -E UTF8 --locale=C \
        --no-sync >"$folder/initdb.log" 2>&1; then
        cat "$folder/initdb.log" >&2
        fail "initdb failed"
    fi

    local attempt port
    for attempt in $(seq 1 20); do
        port=$((20000 + RANDOM % 40000))
        port_in_use "$port" && continue
        if as_owner "$bindir/pg_ctl" start -D "$data" -l "$log" -w -t 60 \
            -o "-c listen_addresses=127.0.0.1 -c port=$port -c unix_socket_directories=$socket -c fsync=off" \
            >/dev/null; then
            cat >"$folder/env" <<EOF
PGHOST=127.0.0.1
PGPORT=$port
PGUSER=postgres
PGSOCKETDIR=$socket
PGBINDIR=$bindir
EOF
            echo "pg_cluster: running on 127.0.0.1:$port (attempt $attempt)"
            return
        fi
        # Most likely another process took the port between the check and the start.
        tail -n 5 "$log" >&2 || true
    done
    fail "could not start the server, see $log"
}

case $command in
start) start_cluster ;;
stop) stop_cluster ;;
*) usage ;;
esac
