#!/bin/bash
# Kills real `--backup --delete` runs with SIGKILL at many moments and checks, after each kill,
# what an administrator relies on: the backup folder holds the complete earlier backup, or no
# metadata file, or the complete new backup (never a metadata file beside entries of another
# backup), and the next run leaves one complete backup, finishing a replace that was cut short.
#
# Kill points: just before each rename and before a spread of removals the run makes (strace
# injects the SIGKILL at that call), then at random moments of the run.
#
# Usage: scripts/kill_during_backup.sh [tool] [random kills] [media files]
#        (defaults: build/bw-vellacor-ctl 60 3000). Needs strace and sqlite3. Status 1 when a
#        kill point broke the rule.
set -u
tool=$(realpath "${1:-build/bw-vellacor-ctl}")
random_kills=${2:-60}
files=${3:-3000}
work=$(mktemp -d /tmp/bwv-kill-XXXXXX)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=detect_leaks=0 # LeakSanitizer cannot run under strace
export VELLACOR_ROOT=$work/installation
server=$VELLACOR_ROOT/server
backup=$work/backup
metadata=bw-vellacor-backup-metadata.json

mkdir -p "$server/data" "$server/media"
# Port 1: nothing answers there, so no editor is suspended.
printf 'server:\n  db: sqlite://data/main.db\n  reporting_db: sqlite://data/reporting.db\n  asset_root: media\n  control_port: 1\n' \
    >"$server/production.yaml"
sqlite3 "$server/data/main.db" 'CREATE TABLE t (x); INSERT INTO t VALUES ("earlier");'
sqlite3 "$server/data/reporting.db" 'CREATE TABLE r (x); INSERT INTO r VALUES (1);'
for ((i = 0; i < files; i++)); do
    mkdir -p "$server/media/$((i % 40))"
    printf 'file %d %0512d\n' "$i" 0 >"$server/media/$((i % 40))/$i.txt"
done

run() { "$tool" --backup --delete --backup-path "$backup" "$@" 2>>"$work/log"; }

# One line per entry (type and path), the content of every media file, the rows of each dump;
# temporary folders and the metadata file left out.
manifest() {
    (
        cd "$1" || exit 1
        find . -mindepth 1 \( -path './vellacor-backup-tmp*' -o -path './.vellacor-backup-*' \
            -o -path "./$metadata" \) -prune -o -printf '%y %p\n' | LC_ALL=C sort
        find assets -type f -print0 2>/dev/null | LC_ALL=C sort -z | xargs -0r md5sum
        for dump in *_dump.db; do
            [ -f "$dump" ] && echo "$dump $(sqlite3 "$dump" .dump | md5sum)"
        done
    )
}

# earlier, new, none (no metadata file) or broken.
state() {
    if [ ! -e "$backup/$metadata" ]; then
        echo none
    elif cmp -s "$backup/$metadata" "$work/earlier/$metadata"; then
        [ "$(manifest "$backup")" = "$earlier_manifest" ] && echo earlier || echo broken
    else
        [ "$(manifest "$backup")" = "$new_manifest" ] && echo new || echo broken
    fi
}

run || exit 1
echo "foreign content" >"$backup/notes.txt"
cp -a "$backup" "$work/earlier"
earlier_manifest=$(manifest "$backup")
# What the new backup must hold: other rows, files gone, changed and added.
sqlite3 "$server/data/main.db" 'UPDATE t SET x = "new";'
rm -r "$server/media/7"
echo changed >"$server/media/3/3.txt"
mkdir -p "$server/media/added" && echo added >"$server/media/added/a.txt"
mkdir "$work/reference" && cp "$backup/notes.txt" "$work/reference/"
"$tool" --backup --backup-path "$work/reference" 2>>"$work/log" || exit 1
new_manifest=$(manifest "$work/reference")

started=$(date +%s%N)
run || exit 1
duration_ns=$(($(date +%s%N) - started))
# The calls of one whole run, to place the kill points on.
rm -rf "$backup" && cp -a "$work/earlier" "$backup"
strace -f -qq -o "$work/calls" -e trace=renameat2,rename,renameat,unlinkat,unlink,rmdir "$tool" \
    --backup --delete --backup-path "$backup" 2>>"$work/log" || exit 1
renames=$(grep -c ' renameat2(' "$work/calls")
removals=$(grep -cE ' (unlink|unlinkat|rmdir)\(' "$work/calls")

tried=0
failed=0
finished=0
declare -A seen
# Kills at call number $2 of the calls $1 (or, with $1 empty, after a random delay of $2 ns),
# checks the state, runs the next backup and checks again. A run that ended before its kill
# point is not counted.
trial() {
    rm -rf "$backup" && cp -a "$work/earlier" "$backup"
    local status
    if [ -n "$1" ]; then
        # In a subshell, whose stderr takes the shell's note about the killed strace.
        (strace -f -qq -o /dev/null -e "trace=$1" -e "inject=$1:signal=SIGKILL:when=$2" \
            "$tool" --backup --delete --backup-path "$backup" 2>>"$work/log"; exit $?) 2>/dev/null
        status=$?
    else
        "$tool" --backup --delete --backup-path "$backup" 2>>"$work/log" &
        local pid=$!
        sleep "$(printf '%d.%09d' $(($2 / 1000000000)) $(($2 % 1000000000)))"
        kill -KILL $pid 2>/dev/null
        wait $pid 2>/dev/null
        status=$?
    fi
    [ $status = 137 ] || { finished=$((finished + 1)); return; }
    local after_kill after_next leftovers verdict=ok
    after_kill=$(state)
    # Skipping everything ends the next run right after it has dealt with what the kill left.
    "$tool" --backup --delete --backup-path "$backup" --backup-skip db,reporting,assets 2>"$work/next"
    after_next=$(state)
    leftovers=$(find "$backup" -mindepth 1 -maxdepth 1 \( -name 'vellacor-backup-tmp*' -o -name '.vellacor-backup-*' \) | wc -l)
    case "$after_kill/$after_next" in
    earlier/earlier | new/new) ;;
    none/new) grep -q "Completed the backup left unfinished in $backup\$" "$work/next" || verdict=bad ;;
    *) verdict=bad ;;
    esac
    [ "$leftovers" = 0 ] || verdict=bad
    tried=$((tried + 1))
    seen[$after_kill]=$((${seen[$after_kill]:-0} + 1))
    if [ $verdict = bad ]; then
        failed=$((failed + 1))
        echo "kill point ${1:-after} $2: after the kill $after_kill, after the next run $after_next, $leftovers leftovers"
    fi
}

echo "A whole run: $((duration_ns / 1000000)) ms, $renames renames, $removals removals"
for ((n = 1; n <= renames; n++)); do
    trial renameat2 $n
done
for ((k = 0; k < 20; k++)); do
    n=$((1 + k * removals / 20))
    trial unlinkat,unlink,rmdir $n
done
for ((k = 0; k < random_kills; k++)); do
    trial "" $(((RANDOM * 32768 + RANDOM) % (duration_ns * 11 / 10)))
done
echo "$tried kill points tried ($finished runs ended before theirs), $failed broke the rule"
echo "States after the kills: ${seen[earlier]:-0} earlier, ${seen[none]:-0} without metadata, ${seen[new]:-0} new, ${seen[broken]:-0} broken"
[ "$failed" = 0 ]
