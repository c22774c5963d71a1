#!/bin/sh
# Builds bw-vellacor-ctl and its companion bw-vellacor-backups, and runs a backup, a check of it
# and a restore on a demo installation made from the files in demo/: two SQLite databases and a
# small media library. No server is needed.
set -eu
cd "$(dirname "$0")/.."
repo=$(pwd)

if ! dpkg -s cmake g++ make qtbase5-dev libqt5sql5-sqlite libqt5sql5-psql libsqlite3-dev sqlite3 >/dev/null 2>&1; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends \
        cmake g++ make qtbase5-dev libqt5sql5-sqlite libqt5sql5-psql libsqlite3-dev sqlite3
fi

cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DBWV_BUILD_TESTS=OFF >/dev/null
cmake --build build-demo -j2 >/dev/null
tool="$repo/build-demo/bw-vellacor-ctl"
companion="$repo/build-demo/bw-vellacor-backups"

# A fresh installation: <root>/server/{production.yaml,data/*.db,media/}.
root="$repo/demo-run/installation"
rm -rf "$repo/demo-run"
mkdir -p "$root/server/data"
cp demo/production.yaml "$root/server/"
sqlite3 "$root/server/data/main.db" < demo/main.sql
sqlite3 "$root/server/data/reporting.db" < demo/reporting.sql
cp -R demo/media "$root/server/media"
export VELLACOR_ROOT="$root"

show() {
    echo "    scenes:   $(sqlite3 "$root/server/data/main.db" 'SELECT group_concat(title, ", ") FROM scenes')"
    echo "    sessions: $(sqlite3 "$root/server/data/reporting.db" 'SELECT count(*) FROM sessions')"
    echo "    media:    $(cd "$root/server/media" && find . -type f | sort | tr '\n' ' ')"
}

echo "== The demo installation ($root)"
show

echo
echo "== bw-vellacor-ctl --backup"
"$tool" --backup
backup=$(ls -d "$root"/backups/*_vellacor-backup)

echo
echo "== What the backup folder holds"
(cd "$backup" && find . -type f -printf '    %s\t%p\n' | sort -k 2)
echo "== Its metadata file"
echo "    $(cat "$backup/bw-vellacor-backup-metadata.json")"
echo "== bw-vellacor-backups list, then verify"
"$companion" list 2>/dev/null
"$companion" verify "$backup"

echo
echo "== Changing the data: a scene deleted, a session added, a media file removed"
sqlite3 "$root/server/data/main.db" "DELETE FROM scenes WHERE id = 2"
sqlite3 "$root/server/data/reporting.db" "INSERT INTO sessions VALUES (4, 2, '2026-12-06 03:00', 5)"
rm "$root/server/media/images/crane.svg"
show

echo
echo "== bw-vellacor-ctl --restore --backup-path $backup"
"$tool" --restore --backup-path "$backup"

echo
echo "== After the restore"
show
if diff -r demo/media "$root/server/media" >/dev/null; then
    echo "    the media library matches the original byte for byte"
else
    echo "    the media library differs from the original" >&2
    exit 1
fi
