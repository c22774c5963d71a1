#!/bin/bash
# Builds the Debian package, installs it with its dependencies, backs up and restores a small
# installation with the installed tool, and purges the package again, also when a step fails.
# Usage: package.sh <repository>
set -euo pipefail
repo=$1
[[ $(id -u) == 0 ]] || { echo "skipped: installing a package needs root"; exit 77; }
if dpkg-query -W -f '${Status}' bw-vellacor-ctl 2>/dev/null | grep -q ' installed$'; then
    echo "skipped: bw-vellacor-ctl is installed on this machine and is left alone"; exit 77
fi
tmp=$(mktemp -d /var/tmp/bwv-package.XXXXXX)
trap 'dpkg --purge bw-vellacor-ctl >/dev/null 2>&1; rm -rf "$tmp"' EXIT

deb=$(BWV_PACKAGE_BUILD=$tmp/build "$repo/scripts/package.sh" "$tmp" 2>/dev/null)
if command -v lintian >/dev/null; then lintian --fail-on error "$deb" 2>/dev/null; fi
export DEBIAN_FRONTEND=noninteractive
dpkg -i "$deb" >/dev/null || apt-get install -f -y -o DPkg::Lock::Timeout=300 >/dev/null
/usr/bin/bw-vellacor-ctl --help 2>/dev/null
/usr/bin/bw-vellacor-prune-backups --help >/dev/null && man -w bw-vellacor-prune-backups >/dev/null
if command -v systemd-analyze >/dev/null; then # unknown keys are only warnings: any output fails
    units=$(systemd-analyze verify /lib/systemd/system/bw-vellacor-backup.{service,timer} 2>&1)
    [[ -z $units ]] || { echo "FAIL: $units"; exit 1; }
fi

# A small installation with nothing on its control port (port 0 never answers).
root=$tmp/installation && data=$root/server/data
mkdir -p "$data" && cp -R "$repo/demo/media" "$root/server/media"
{ cat "$repo/demo/production.yaml" && echo "control_port: 0"; } > "$root/server/production.yaml"
for db in main reporting; do sqlite3 "$data/$db.db" < "$repo/demo/$db.sql"; done
scenes() { sqlite3 "$data/main.db" 'SELECT group_concat(title) FROM scenes'; }
before=$(scenes)
export VELLACOR_ROOT=$root
/usr/bin/bw-vellacor-ctl --backup 2>"$tmp/log" || { cat "$tmp/log"; exit 1; }
sqlite3 "$data/main.db" 'DELETE FROM scenes WHERE id = 2' && rm -r "$root/server/media/images"
/usr/bin/bw-vellacor-ctl --restore --backup-path "$(echo "$root"/backups/*_vellacor-backup)" \
    2>"$tmp/log" || { cat "$tmp/log"; exit 1; }
[[ $(scenes) == "$before" ]] || { echo "FAIL: restored scenes: $(scenes)"; exit 1; }
diff -r "$repo/demo/media" "$root/server/media"

dpkg --purge bw-vellacor-ctl >/dev/null
[[ ! -e /usr/bin/bw-vellacor-ctl && ! -e /etc/default/bw-vellacor-backup ]] || exit 1
echo "the package installs, backs up and restores, and purges cleanly"
