#!/bin/bash
# Starts or stops a throwaway PostgreSQL cluster: the database tests' fixture and the bench's server.
#   pg_cluster.sh start FOLDER   initdb into FOLDER/data, serve on a free port of 127.0.0.1
#                                with trust authentication, write FOLDER/env (PGPORT, PGBINDIR)
#   pg_cluster.sh stop FOLDER    stop it and remove FOLDER; safe to repeat
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 start|stop FOLDER" >&2; exit 2; }
folder=$(realpath -m -- "$2")
bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -x "$bindir/initdb" ] || { echo "pg_cluster: no PostgreSQL server installed" >&2; exit 1; }

# initdb refuses to run as root.
as_owner() { if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }

stop() {
    if [ -f "$folder/data/postmaster.pid" ] &&
        ! as_owner "$bindir/pg_ctl" stop -D "$folder/data" -m fast -w -t 60 >/dev/null; then
        kill -KILL "$(head -n 1 "$folder/data/postmaster.pid")" 2>/dev/null || true
    fi
    rm -rf -- "$folder"
}

start() {
    stop # a cluster left by an interrupted run
    mkdir -p -- "$folder/socket"
    [ "$(id -u)" -ne 0 ] || chown -R postgres: "$folder"
    as_owner "$bindir/initdb" -D "$folder/data" -U postgres -A trust -E UTF8 --locale=C \
        --no-sync >"$folder/initdb.log" 2>&1 || { cat "$folder/initdb.log" >&2; exit 1; }
    local attempt port
    for attempt in $(seq 1 20); do
        port=$((20000 + RANDOM % 40000))
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && continue # taken
        # Another process may take the port between the test and the start: try another.
        if as_owner "$bindir/pg_ctl" start -D "$folder/data" -l "$folder/server.log" -w -t 60 \
            -o "-c listen_addresses=127.0.0.1 -c port=$port -c unix_socket_directories=$folder/socket -c fsync=off" \
            >/dev/null; then
            printf 'PGPORT=%s\nPGBINDIR=%s\n' "$port" "$bindir" >"$folder/env"
            echo "pg_cluster: running on 127.0.0.1:$port (attempt $attempt)"
            return
        fi
    done
    echo "pg_cluster: could not start the server, see $folder/server.log" >&2
    exit 1
}

case $1 in
start) start ;;
stop) stop ;;
*) echo "usage: $0 start|stop FOLDER" >&2; exit 2 ;;
esac
