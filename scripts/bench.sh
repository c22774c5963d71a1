#!/bin/bash
# Times backups and restores of generated installations against the plain tools on the same
# data, in the same run, in alternating rounds: the media library against cp -r, rm -rf + cp -r
# and rsync --link-dest, a PostgreSQL database against pg_dump followed by sync and against
# psql, and, when asked for, a database of several gigabytes made by pgbench, with the default
# tool time limit, and a small backup beside another program's unflushed writes. Prints a
# Markdown table (median time, ratio, files/s, MB/s, peak memory, processor time) and draws a
# plot of time against the size of the library. Processor time shows what a busy machine hides: the
# tool copies on one thread per core (16 on a disk), the plain tools on one.
#
# Usage: scripts/bench.sh [options]
#   --size X       scales the defaults below (X may be a fraction)               default 1
#   --files N      small files in the largest library                            20000 x size
#   --file-kb A-B  their sizes in KiB                                            1-64
#   --large N      large files in the largest library, --large-mb M their MiB    4, 64
#   --rows N       rows of the PostgreSQL database (0: leave it out)             100000 x size
#   --points N     library sizes measured, the largest divided evenly (0: none)  3
#   --pgbench-scale S  pgbench's tables at scale S plus three indexes (0: none)   0
#                  (200 is about 3 GB of tables, a 2 GB dump; needs 25 GB free x S / 200)
#   --rounds N     rounds of each comparison                                     3
#   --dirty-gb N   a SQLite backup beside N GB of another program's unflushed    0
#                  writes on the same file system vs cp + sync of the same files (0: none)
#   --folder D     where the installations are made     a new folder on tmpfs (/dev/shm)
#   --cold         drop the page cache before every timed run (root), and end each plain
#                  copy with sync -f, as the tool ends with its copy on disk
#   --plot FILE    the plot                                        build-bench/bench.png
# The defaults take about two minutes on two cores. Needs root for apt-get when rsync,
# gnuplot-nox, sqlite3 or /usr/bin/time are missing, and for the PostgreSQL cluster.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

size=1 files= file_kb=1-64 large= large_mb=64 rows= points=3 rounds=3 folder= plot= pgbench_scale=0 cold= dirty_gb=0
while [ $# -gt 0 ]; do
    case $1 in
    --size) size=$2 ;;
    --files) files=$2 ;;
    --file-kb) file_kb=$2 ;;
    --large) large=$2 ;;
    --large-mb) large_mb=$2 ;;
    --rows) rows=$2 ;;
    --points) points=$2 ;;
    --pgbench-scale) pgbench_scale=$2 ;;
    --rounds) rounds=$2 ;;
    --dirty-gb) dirty_gb=$2 ;;
    --folder) folder=$2 ;;
    --plot) plot=$2 ;;
    --cold) cold=1; shift; continue ;;
    *) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
    esac
    shift 2
done
scaled() { awk -v a="$1" -v x="$size" 'BEGIN { printf "%d", a * x + 0.5 }'; }
files=${files:-$(scaled 20000)}
large=${large:-$(scaled 4)}
rows=${rows:-$(scaled 100000)}
plot=${plot:-$repo/build-bench/bench.png}

missing=()
command -v rsync >/dev/null || missing+=(rsync)
command -v gnuplot >/dev/null || missing+=(gnuplot-nox)
command -v sqlite3 >/dev/null || missing+=(sqlite3)
[ -x /usr/bin/time ] || missing+=(time)
if [ ${#missing[@]} -gt 0 ]; then
    echo "bench: installing ${missing[*]}" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null
fi

echo "bench: building a release binary in build-bench" >&2
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBWV_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j2 >/dev/null
tool=$repo/build-bench/bw-vellacor-ctl

if [ -z "$folder" ]; then
    folder=/var/tmp
    [ -d /dev/shm ] && [ -w /dev/shm ] && folder=/dev/shm
fi
work=$(mktemp -d "$folder/bwv-bench.XXXXXX")
chmod 755 "$work" # the cluster's own user must reach its folder
pg_started=
start_cluster() { # once; sets PGPORT and PGBINDIR
    if [ -z "$pg_started" ]; then
        scripts/pg_cluster.sh start "$work/pg" >/dev/null
        pg_started=1
    fi
    . "$work/pg/env"
}
saved_vm=
cleanup() {
    # The kernel's own limits for unwritten data, as they were: bytes where bytes were set.
    if [ -n "$saved_vm" ]; then
        set -- $saved_vm
        if [ "$3" -gt 0 ]; then sysctl -q vm.dirty_bytes="$3"; else sysctl -q vm.dirty_ratio="$1"; fi
        if [ "$4" -gt 0 ]; then sysctl -q vm.dirty_background_bytes="$4"; else sysctl -q vm.dirty_background_ratio="$2"; fi
        sysctl -q vm.dirty_expire_centisecs="$5"
    fi
    [ -z "$pg_started" ] || scripts/pg_cluster.sh stop "$work/pg" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

# A port nothing answers on: the tool then finds no running server.
while :; do
    control_port=$((20000 + RANDOM % 40000))
    (exec 3<>"/dev/tcp/127.0.0.1/$control_port") 2>/dev/null || break
done

# The library: nested folders of 100 small files each, mixed names, and a few large files.
make_library() { # folder files large
    perl -e '
        use File::Path qw(make_path);
        my ($root, $files, $kb, $large, $large_mb) = @ARGV;
        my ($lo, $hi) = split /-/, $kb; $hi //= $lo;
        srand(42);
        open(my $u, "<", "/dev/urandom") or die; read($u, my $pool, 8 << 20); close $u;
        for my $i (0 .. $files - 1) {
            my $dir = sprintf("%s/Album %03d/day-%02d", $root, int($i / 1000), int($i / 100) % 10);
            make_path($dir) if $i % 100 == 0;
            my $size = ($lo + int(rand($hi - $lo + 1))) * 1024;
            my $name = sprintf($i % 3 ? "IMG_%06d.jpg" : "scan %d.PDF", $i);
            open(my $f, ">", "$dir/$name") or die "$dir/$name: $!";
            print $f substr($pool, int(rand(length($pool) - $size)), $size); close $f;
        }
        make_path("$root/video");
        for my $i (0 .. $large - 1) {
            open(my $f, ">", "$root/video/clip $i.mp4") or die;
            for (1 .. $large_mb / 8) { print $f $pool; }
            print $f substr($pool, 0, ($large_mb % 8) << 20); close $f;
        }' "$1" "$2" "$file_kb" "$3" "$large_mb"
}

samples=$work/samples # one line per timed run: case side microseconds peak-KiB cpu-seconds
timed() { # case side command...
    local name=$1 side=$2 start end
    shift 2
    start=$(date +%s%N)
    if ! /usr/bin/time -f "%M %U %S" -o "$work/usage" "$@" >"$work/run.log" 2>&1; then
        echo "bench: $name failed: $*" >&2
        cat "$work/run.log" >&2
        exit 1
    fi
    end=$(date +%s%N)
    echo "$name $side $(((end - start) / 1000)) $(tail -n 1 "$work/usage" | awk '{ print $1, $2 + $3 }')" >>"$samples"
}

# compare CASE: rounds of prep_a + cmd_a (the tool) and prep_b + cmd_b (the plain tools), the
# order turned around every round so that neither side always runs on a warmer machine.
compare() {
    local name=$1 r
    echo "bench: $name" >&2
    for ((r = 0; r < rounds; r++)); do
        local side
        for side in $( ((r % 2)) && echo b a || echo a b); do
            "prep_$side"
            if [ -n "$cold" ]; then sync && echo 3 >/proc/sys/vm/drop_caches; fi
            if [ $side = a ]; then timed "$name" a "${cmd_a[@]}"; else timed "$name" b "${cmd_b[@]}"; fi
        done
    done
}

# plain DEST COMMAND...: the plain side; with --cold it ends with sync -f DEST.
plain() {
    local dest=$1
    shift
    if [ -n "$cold" ]; then cmd_b=(sh -c '"$@" && exec sync -f "$0"' "$dest" "$@"); else cmd_b=("$@"); fi
}
synced=${cold:+ + sync -f}

# extra CASE TEXT: a note shown with the case.
notes=$work/notes
note() { echo "$1 $2" >>"$notes"; }

make_installation() { # folder files large db-url
    local root=$1/installation
    mkdir -p "$root/server/data"
    cat >"$root/server/production.yaml" <<YAML
db: ${4:-sqlite://data/main.db}
reporting_db: sqlite://data/reporting.db
asset_root: media
backup_root: $1/backups
control_port: $control_port
YAML
    for db in main reporting; do
        sqlite3 "$root/server/data/$db.db" "CREATE TABLE events (id INTEGER PRIMARY KEY, at TEXT, what TEXT);
            WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000)
            INSERT INTO events SELECT i, datetime('now', '-' || i || ' minutes'), hex(randomblob(32)) FROM n;"
    done
    make_library "$root/server/media" "$2" "$3"
}

for ((p = 1; p <= points; p++)); do
    n=$((files * p / points)) l=$((large * p / points))
    point=$work/point$p
    echo "bench: library $p of $points: $n small files, $l large files" >&2
    make_installation "$point" "$n" "$l"
    export VELLACOR_ROOT=$point/installation
    media=$VELLACOR_ROOT/server/media
    backups=$point/backups
    mkdir -p "$backups"
    count=$(find "$media" -type f | wc -l)
    bytes=$(du -sb "$media" | cut -f1)
    label="$count files, $((bytes / 1000000)) MB"
    echo "$p $count $bytes" >>"$work/points"
    sync

    name="backup:$p"
    note "$name" "media backup ($label${cold:+, cold cache}) vs cp -r --preserve=mode$synced"
    prep_a() { rm -rf "$backups/new"; }
    cmd_a=("$tool" --backup --backup-path "$backups/new" --backup-skip db,reporting)
    prep_b() { rm -rf "$backups/cp"; }
    plain "$backups/cp" cp -r --preserve=mode "$media" "$backups/cp"
    compare "$name"
    rm -rf "$backups/cp"
    mv "$backups/new" "$backups/full"

    name="restore:$p"
    note "$name" "media restore ($label${cold:+, cold cache}) vs rm -rf + cp -r$synced"
    prep_a() { :; }
    cmd_a=("$tool" --restore --backup-path "$backups/full" --restore-skip db,reporting)
    prep_b() { :; }
    plain "$media" sh -c 'rm -rf "$0" && cp -r "$1" "$0"' "$media" "$backups/full/assets"
    compare "$name"
    diff -rq "$backups/full/assets" "$media" >/dev/null || { echo "bench: restored library differs" >&2; exit 1; }

    # The tool's own default folders under backup_root: a new one each time, next to the
    # earlier complete backup made here first.
    name="again:$p"
    note "$name" "second backup of the unchanged library ($label${cold:+, cold cache}) vs rsync -a --link-dest$synced"
    "$tool" --backup --backup-skip db,reporting >/dev/null 2>&1
    earlier=$(ls -d "$backups"/*_vellacor-backup)
    newest() { ls -d "$backups"/*_vellacor-backup | grep -vxF "$earlier" || true; }
    prep_a() { newest | xargs -r rm -rf; }
    cmd_a=("$tool" --backup --backup-skip db,reporting)
    prep_b() { rm -rf "$backups/rsync"; }
    plain "$backups/rsync" rsync -a --link-dest="$earlier/assets" "$media/" "$backups/rsync/"
    compare "$name"
    # New space: du counts a file linked from the earlier backup only under the earlier one.
    library_kb=$(du -sk "$earlier" | cut -f1)
    ours_kb=$(du -sk "$earlier" "$(newest)" | tail -n 1 | cut -f1)
    rsync_kb=$(du -sk "$earlier/assets" "$backups/rsync" | tail -n 1 | cut -f1)
    note "$name:space" "$(awk -v o="$ours_kb" -v r="$rsync_kb" -v l="$library_kb" \
        'BEGIN { printf "new space %.2f%% of the library (rsync %.2f%%)", 100 * o / l, 100 * r / l }')"
    if [ $p -lt $points ]; then rm -rf "$point"; fi
done

# compare_pg_backup NAME FOLDER: an installation in FOLDER whose main database is $url, backed
# up by the tool into FOLDER/full, against pg_dump into FOLDER/plain.sql followed by sync.
compare_pg_backup() {
    local into=$2
    mkdir -p "$into/installation/server/data"
    make_installation "$into" 0 0 "$url"
    export VELLACOR_ROOT=$into/installation
    name=$1
    prep_a() { rm -rf "$into/new"; }
    cmd_a=("$tool" --backup --backup-path "$into/new" --backup-skip reporting,assets)
    prep_b() { rm -f "$into/plain.sql"; }
    cmd_b=(sh -c 'pg_dump -w -f "$1" -x "$0" && sync "$1"' "$url" "$into/plain.sql")
    compare "$name"
    mv "$into/new" "$into/full"
}

if [ "$rows" -gt 0 ] && ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1; then
    echo "bench: PostgreSQL database of $rows rows" >&2
    start_cluster
    url="postgres://postgres@127.0.0.1:$PGPORT/bench"
    psql_quiet() { "$PGBINDIR/psql" -XqAt -v ON_ERROR_STOP=1 "$@" >/dev/null; }
    psql_quiet -c "CREATE DATABASE bench" "postgres://postgres@127.0.0.1:$PGPORT/postgres"
    psql_quiet "$url" <<SQL
CREATE TABLE media_items (id bigint PRIMARY KEY, title text NOT NULL, path text NOT NULL,
    created timestamptz NOT NULL, bytes bigint, checksum text);
INSERT INTO media_items SELECT g, 'Item ' || g, 'Album ' || g / 1000 || '/IMG_' || g || '.jpg',
    now() - g * interval '1 minute', g::bigint * 7919 % 10000000, md5(g::text) FROM generate_series(1, $rows) g;
CREATE INDEX ON media_items (created);
CREATE TABLE tags (id serial PRIMARY KEY, item bigint REFERENCES media_items, tag text);
INSERT INTO tags (item, tag) SELECT g, 'tag' || g % 50 FROM generate_series(1, $rows / 4) g;
CREATE VIEW recent AS SELECT * FROM media_items WHERE created > now() - interval '1 day';
SQL
    pg=$work/pgdb
    compare_pg_backup pg-backup "$pg"
    note "$name" "PostgreSQL backup ($rows rows, $(($(stat -c %s "$pg/plain.sql") / 1000000)) MB dump) vs pg_dump -w -f F -x URL; sync F"
    echo "size pg-backup $(stat -c %s "$pg/plain.sql")" >>"$work/points"
    echo "size pg-restore $(stat -c %s "$pg/plain.sql")" >>"$work/points"

    name="pg-restore"
    note "$name" "PostgreSQL restore ($rows rows) vs DROP TABLE + psql -w -f F URL"
    prep_a() { :; }
    cmd_a=("$tool" --restore --backup-path "$pg/full" --restore-skip reporting,assets)
    prep_b() { :; }
    cmd_b=(sh -c 'psql -w -X -q -c "DROP TABLE IF EXISTS media_items, tags CASCADE" "$0" >/dev/null &&
        psql -w -X -q -f "$1" "$0" >/dev/null' "$url" "$pg/plain.sql")
    compare "$name"
    rm -rf "$pg"
fi

# Another program's unflushed writes on the same file system, written anew before each run
# (the kernel told to keep them in memory meanwhile) and removed after: a small SQLite backup
# against cp of the same files and sync of those files and their folder. Never cold.
if [ "$dirty_gb" -gt 0 ]; then
    dirty=$work/dirty
    make_installation "$dirty" 0 0
    export VELLACOR_ROOT=$dirty/installation
    data=$VELLACOR_ROOT/server/data
    saved_vm=$(sysctl -n vm.dirty_ratio vm.dirty_background_ratio vm.dirty_bytes \
        vm.dirty_background_bytes vm.dirty_expire_centisecs | paste -sd ' ')
    sysctl -q vm.dirty_bytes=$(((dirty_gb + 2) << 30)) vm.dirty_background_bytes=$(((dirty_gb + 1) << 30)) \
        vm.dirty_expire_centisecs=360000
    sync
    other_writes() { # the file is removed first: dd truncating it would flush it
        rm -f "$dirty/other.dat"
        dd if=/dev/zero of="$dirty/other.dat" bs=1M count=$((dirty_gb * 1024)) status=none
        awk '/^(Dirty|Writeback):/ { kb += $2 } END { printf " %d", kb / 1024 }' /proc/meminfo >>"$dirty/unwritten"
    }
    name="dirty-backup"
    warm_cold=$cold cold= # a sync before each run would write out what the case is about
    prep_a() { rm -rf "$dirty/new"; other_writes; }
    cmd_a=("$tool" --backup --backup-path "$dirty/new" --backup-skip assets)
    prep_b() { rm -rf "$dirty/plain"; other_writes; }
    cmd_b=(sh -c 'mkdir "$0" && cp "$1" "$2" "$0" && sync "$0"/* "$0"' "$dirty/plain" "$data/main.db" "$data/reporting.db")
    compare "$name"
    cold=$warm_cold
    rm -f "$dirty/other.dat"
    note "$name" "SQLite backup ($(du -sk "$data" | cut -f1) KB) beside $dirty_gb GB of another program's unflushed writes (MB unwritten at each start:$(cat "$dirty/unwritten")) vs cp + sync of the files"
    echo "size $name $(du -sb "$data" | cut -f1)" >>"$work/points"
fi

# A database of gigabytes: both runs must succeed with the default time limit of pg_dump and
# psql, however long they take. The bare backup is pg_dump followed by sync of its file, as the
# tool's backup ends with its dump on disk.
if [ "$pgbench_scale" -gt 0 ]; then
    big=$work/big
    mkdir -p "$big"
    need_kb=$((25 * 1024 * 1024 * pgbench_scale / 200))
    free_kb=$(df -Pk "$big" | awk 'NR == 2 { print $4 }')
    if [ "$free_kb" -lt "$need_kb" ]; then
        echo "bench: pgbench scale $pgbench_scale needs $((need_kb / 1048576)) GB free in $big, there are $((free_kb / 1048576))" >&2
        exit 1
    fi
    echo "bench: pgbench database at scale $pgbench_scale" >&2
    start_cluster
    url="postgres://postgres@127.0.0.1:$PGPORT/big"
    "$PGBINDIR/psql" -XqAt -v ON_ERROR_STOP=1 -c "CREATE DATABASE big" "postgres://postgres@127.0.0.1:$PGPORT/postgres" >/dev/null
    "$PGBINDIR/pgbench" -q -i -s "$pgbench_scale" -I dtGvp "$url" >"$work/pgbench.log" 2>&1 || { cat "$work/pgbench.log" >&2; exit 1; }
    "$PGBINDIR/psql" -XqAt -v ON_ERROR_STOP=1 "$url" >/dev/null <<SQL
CREATE INDEX ON pgbench_accounts (bid, abalance);
CREATE INDEX ON pgbench_accounts (abalance);
CREATE INDEX ON pgbench_tellers (bid);
SQL
    db_mb=$("$PGBINDIR/psql" -XqAt -c "SELECT pg_database_size('big') / 1000000" "$url")
    unset BW_VELLACOR_TOOL_TIMEOUT_MS
    compare_pg_backup big-backup "$big"
    dump_bytes=$(stat -c %s "$big/plain.sql")
    rm -f "$big/plain.sql"
    note "$name" "PostgreSQL backup (pgbench scale $pgbench_scale, $db_mb MB database, $((dump_bytes / 1000000)) MB dump) vs pg_dump -w -f F -x URL; sync F"
    echo "size $name $dump_bytes" >>"$work/points"

    # Both sides load onto a database whose tables are gone: the tool drops them itself.
    name="big-restore"
    prep_a() { :; }
    cmd_a=("$tool" --restore --backup-path "$big/full" --restore-skip reporting,assets)
    prep_b() { "$PGBINDIR/psql" -XqAt -c "DROP TABLE pgbench_accounts, pgbench_branches, pgbench_history, pgbench_tellers CASCADE" "$url" >/dev/null; }
    cmd_b=(psql -w -X -q -f "$big/full/db_dump.sql" "$url")
    compare "$name"
    note "$name" "PostgreSQL restore (pgbench scale $pgbench_scale, $((dump_bytes / 1000000)) MB dump) vs psql -w -f F URL"
    echo "size $name $dump_bytes" >>"$work/points"
    accounts=$("$PGBINDIR/psql" -XqAt -c "SELECT count(*) FROM pgbench_accounts" "$url")
    indexes=$("$PGBINDIR/psql" -XqAt -c "SELECT count(*) FROM pg_indexes WHERE tablename LIKE 'pgbench%'" "$url")
    [ "$accounts" -eq $((pgbench_scale * 100000)) ] && [ "$indexes" -eq 6 ] ||
        { echo "bench: restored database has $accounts accounts and $indexes indexes" >&2; exit 1; }
    rm -rf "$big/full"

    # A limit far below one run: only time without progress counts, and an index build shows
    # its progress through the session alone.
    for command in backup restore; do
        start=$(date +%s%N)
        BW_VELLACOR_TOOL_TIMEOUT_MS=5000 "$tool" --$command --backup-path "$big/short" --$command-skip reporting,assets \
            >"$work/run.log" 2>&1 || { echo "bench: $command with a 5 s limit failed" >&2; cat "$work/run.log" >&2; exit 1; }
        echo "bench: $command with a 5 s limit: $((($(date +%s%N) - start) / 1000000)) ms" >&2
    done
    rm -rf "$big"
fi

# The table: medians over the rounds, the ratio as the median of the round-by-round ratios.
echo
echo "| case | tool (s) | plain tools (s) | ratio | files/s | MB/s | peak RSS tool / plain (MB) | CPU tool / plain (s) |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|"
awk -v notes="$notes" -v points="$work/points" '
    function median(list, n,   i, j, t, v) {
        for (i = 1; i <= n; i++) v[i] = list[i]
        for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
        return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
    }
    BEGIN {
        while ((getline line < notes) > 0) { split(line, f, " "); sub(/^[^ ]+ /, "", line); text[f[1]] = line }
        while ((getline line < points) > 0) { split(line, f, " "); if (f[1] == "size") { sizes[f[2]] = f[3] } else { nfiles[f[1]] = f[2]; nbytes[f[1]] = f[3] } }
    }
    {
        if (!($1 in seen)) { seen[$1] = 1; order[++cases] = $1 }
        k = $1 SUBSEP $2; n[k]++; t[k, n[k]] = $3 / 1e6; cpu[k, n[k]] = $5
        if ($4 > rss[k]) rss[k] = $4
    }
    END {
        for (c = 1; c <= cases; c++) {
            name = order[c]; a = name SUBSEP "a"; b = name SUBSEP "b"
            delete la; delete lb; delete lr; delete ca; delete cb
            for (i = 1; i <= n[a]; i++) { la[i] = t[a, i]; lb[i] = t[b, i]; lr[i] = t[a, i] / t[b, i]; ca[i] = cpu[a, i]; cb[i] = cpu[b, i] }
            ma = median(la, n[a]); mb = median(lb, n[b]); mr = median(lr, n[a])
            split(name, part, ":"); p = part[2]
            fps = p != "" ? sprintf("%.0f", nfiles[p] / ma) : "-"
            mbs = sprintf("%.0f", (p != "" ? nbytes[p] : sizes[name]) / 1e6 / ma)
            extra = (name ":space" in text) ? "; " text[name ":space"] : ""
            printf "| %s%s | %.3f | %.3f | %.2f | %s | %s | %.1f / %.1f | %.2f / %.2f |\n", text[name], extra, ma, mb, mr, fps, mbs, rss[a] / 1024, rss[b] / 1024, median(ca, n[a]), median(cb, n[b])
            if (p != "") printf "%s %s %s %.4f %.4f\n", part[1], p, nfiles[p], ma, mb > "/dev/stderr"
        }
    }' "$samples" 2>"$work/plot.dat"

# Time against library size, one line per operation and its plain counterpart.
[ "$points" -gt 0 ] || exit 0
mkdir -p "$(dirname "$plot")"
for kind in backup restore again; do
    awk -v k="$kind" '$1 == k { print $3, $4, $5 }' "$work/plot.dat" | sort -n >"$work/$kind.dat"
done
gnuplot <<GNUPLOT
set terminal pngcairo size 900,560 font ",10"
set output "$plot"
set title "Media library: time against size (median of $rounds rounds, $(nproc) cores)"
set xlabel "files in the library"
set ylabel "seconds"
set key top left
set yrange [0:*]
set grid
plot "$work/backup.dat" using 1:2 with linespoints lw 2 lc rgb "#1f77b4" title "backup", \
     "$work/backup.dat" using 1:3 with linespoints dt 2 lc rgb "#1f77b4" title "cp -r --preserve=mode", \
     "$work/restore.dat" using 1:2 with linespoints lw 2 lc rgb "#d62728" title "restore", \
     "$work/restore.dat" using 1:3 with linespoints dt 2 lc rgb "#d62728" title "rm -rf + cp -r", \
     "$work/again.dat" using 1:2 with linespoints lw 2 lc rgb "#2ca02c" title "second backup, unchanged", \
     "$work/again.dat" using 1:3 with linespoints dt 2 lc rgb "#2ca02c" title "rsync -a --link-dest"
GNUPLOT
echo
echo "Plot: $plot"
