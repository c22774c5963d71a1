#!/bin/bash
# bw-vellacor-prune-backups on a prepared backup root: exactly the old complete backups go.
# Usage: prune_backups.sh <configured bw-vellacor-prune-backups>
set -euo pipefail
prune=$1 meta=bw-vellacor-backup-metadata.json
tmp=$(mktemp -d) && root=$tmp/root
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
backup() { # <folder> [metadata]: a backup folder, complete when the metadata file is named
    mkdir -p "$1/assets" && echo data > "$1/db_dump.db"
    [[ -z ${2-} ]] || echo '{"version":"1.0.0"}' > "$1/$2"
}
mkdir -p "$tmp/outside/real" && echo keep > "$tmp/outside/precious"
backup "$tmp/outside/real" $meta
# Removed: the three oldest complete ones (999 is older than 1000, whatever the text order).
for ms in 999 1000 2000; do backup "$root/${ms}_2026_01_01_1.0.0_vellacor-backup" $meta; done
ln -s "$tmp/outside/precious" "$root/2000_2026_01_01_1.0.0_vellacor-backup/assets/link"
# Kept: the two newest complete ones, and everything that is not a complete backup.
for ms in 3000 4000; do backup "$root/${ms}_2026_01_03_1.0.0_vellacor-backup" $meta; done
backup "$root/2500_2026_01_02_1.0.0_vellacor-backup"                       # no metadata
backup "$root/1500_2026_01_01_1.0.0_vellacor-backup" $meta                 # being written
mkdir "$root/1500_2026_01_01_1.0.0_vellacor-backup/vellacor-backup-tmpXy12"
backup "$root/1200_2026_01_01_1.0.0_vellacor-backup"                       # metadata a link
ln -s "$tmp/outside/real/$meta" "$root/1200_2026_01_01_1.0.0_vellacor-backup/$meta"
ln -s "$tmp/outside/real" "$root/1100_2026_01_01_1.0.0_vellacor-backup"    # folder a link
backup "$root/1300_2026_1_01_1.0.0_vellacor-backup" $meta                  # foreign names
backup "$root/notes" $meta
echo x > "$root/1600_2026_01_01_1.0.0_vellacor-backup"

kept=$(cd "$root" && ls -A | grep -v '^999_\|^1000_\|^2000_')
out=$("$prune" --backup-root "$root" --keep 2)
[[ $out == "Removed $root/999_2026_01_01_1.0.0_vellacor-backup
Removed $root/1000_2026_01_01_1.0.0_vellacor-backup
Removed $root/2000_2026_01_01_1.0.0_vellacor-backup" ]] || fail "unexpected output: $out"
[[ -z $("$prune" --backup-root "$root" --keep 2) ]] || fail "a second run removed more"
[[ -f $tmp/outside/precious && -f $tmp/outside/real/$meta ]] || fail "removed through a link"

# Bad input: one clear line and a status, nothing removed.
while IFS='|' read -r status args; do
    code=0 && err=$("$prune" $args 2>&1 >/dev/null) || code=$?
    [[ $code == "$status" && $err == bw-vellacor-prune-backups:* && $err != *$'\n'* ]] \
        || fail "$args: status $code, '$err'"
done <<ROWS
1|--backup-root $root --keep 0
1|--backup-root $root --keep two --bogus
2|--backup-root $tmp/missing
ROWS
[[ $(cd "$root" && ls -A) == "$kept" ]] || fail "kept only $(cd "$root" && ls -A | xargs)"

# Without --backup-root: the configuration as the tool reads it (last key wins, quotes and
# blanks cleaned, relative to the server folder), N from the environment. A dry run only.
[[ -e /etc/Brantwell/bw-vellacor/server/production_users.yaml ]] && exit 0
mkdir -p "$tmp/inst/server"
printf 'backup_root: /nonexistent\nbackup:\n\t backup_root:   "../bk"\r\n' \
    > "$tmp/inst/server/production.yaml"
for ms in 5 6; do backup "$tmp/inst/bk/${ms}_2026_01_01_1.0.0_vellacor-backup" $meta; done
out=$(VELLACOR_ROOT=$tmp/inst BW_VELLACOR_KEEP_BACKUPS=1 "$prune" --dry-run)
[[ $out == "Would remove $tmp/inst/bk/5_2026_01_01_1.0.0_vellacor-backup" ]] || fail "dry run: $out"
[[ -d $tmp/inst/bk/5_2026_01_01_1.0.0_vellacor-backup ]] || fail "the dry run removed"
