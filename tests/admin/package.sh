#!/bin/bash
# Builds the Debian package, installs it with its dependencies, backs up, checks and restores a
# small installation with the installed programs, and purges the package again, also when a
# step fails: the purge leaves no enabled timer.
# Usage: package.sh <repository>
set -euo pipefail
repo=$1
[[ $(id -u) == 0 ]] || { echo "skipped: installing a package needs root"; exit 77; }
if dpkg-query -W -f '${Status}' bw-vellacor-ctl 2>/dev/null | grep -q ' installed$'; then
    echo "skipped: bw-vellacor-ctl is installed on this machine and is left alone"; exit 77
fi
tmp=$(mktemp -d /var/tmp/bwv-package.XXXXXX)
timer_link=/etc/systemd/system/timers.target.wants/bw-vellacor-backup.timer
trap 'dpkg --purge bw-vellacor-ctl >/dev/null 2>&1; rm -rf "$tmp" /run/systemd/system/bw-vellacor-backup.service.d' EXIT
fail() { echo "FAIL: $*"; exit 1; }

deb=$(BWV_PACKAGE_BUILD=$tmp/build "$repo/scripts/package.sh" "$tmp" 2>/dev/null)
if command -v lintian >/dev/null; then
    tags=$(lintian --pedantic "$deb" 2>/dev/null) || true
    [[ -z $tags ]] || fail "lintian: $tags"
fi
export DEBIAN_FRONTEND=noninteractive
dpkg -i "$deb" >/dev/null || apt-get install -f -y -o DPkg::Lock::Timeout=300 >/dev/null
/usr/bin/bw-vellacor-ctl --help 2>/dev/null
/usr/bin/bw-vellacor-backups --help >/dev/null && man -w bw-vellacor-backups >/dev/null
units=(/lib/systemd/system/bw-vellacor-{backup.service,backup.timer,offsite.service})
# Unknown keys are only warnings: any output fails.
out=$(systemd-analyze verify "${units[@]}" 2>&1) || true
[[ -z $out ]] || fail "$out"
exposure=$(systemd-analyze security --offline=true "${units[0]}" 2>&1 | sed -n 's/.*Overall exposure level.*: \([0-9.]*\) .*/\1/p')
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 3.5) }' || fail "exposure of the backup service: '$exposure'"

# A small installation with nothing on its control port (port 0 never answers).
root=$tmp/installation && data=$root/server/data
mkdir -p "$data" && cp -R "$repo/demo/media" "$root/server/media"
{ cat "$repo/demo/production.yaml" && echo "control_port: 0"; } > "$root/server/production.yaml"
for db in main reporting; do sqlite3 "$data/$db.db" < "$repo/demo/$db.sql"; done
scenes() { sqlite3 "$data/main.db" 'SELECT group_concat(title) FROM scenes'; }
before=$(scenes)
export VELLACOR_ROOT=$root
if [[ -d /run/systemd/system ]]; then # the hardened service makes the backup
    mkdir -p /run/systemd/system/bw-vellacor-backup.service.d
    printf '[Service]\nEnvironment=VELLACOR_ROOT=%s\n' "$root" \
        > /run/systemd/system/bw-vellacor-backup.service.d/test.conf
    systemctl daemon-reload
    systemctl start bw-vellacor-backup.service || fail "$(journalctl -u bw-vellacor-backup.service | tail)"
else # the service's file system rules, tried in a mount namespace: all read-only but /var/tmp
    echo "systemd is not running: the service's file system rules are tried with unshare"
    unshare -m sh -ec 'mount --make-rprivate /
        for folder in $(findmnt -rno TARGET | grep -Ev "^/(proc|sys|dev)(/|$)"); do
            mount -o remount,bind,ro "$folder" 2>/dev/null || true
        done
        mount --bind /var/tmp /var/tmp && mount -o remount,bind,rw /var/tmp && umask 077
        /usr/bin/bw-vellacor-ctl --backup && /usr/bin/bw-vellacor-backups prune' \
        2>"$tmp/log" || fail "$(cat "$tmp/log")"
fi
backup=$(echo "$root"/backups/*_vellacor-backup)
/usr/bin/bw-vellacor-backups verify "$backup" 2>"$tmp/log" || fail "$(cat "$tmp/log")"
[[ $(/usr/bin/bw-vellacor-backups list --json 2>/dev/null) == *'"complete":true'* ]] || fail "list"
sqlite3 "$data/main.db" 'DELETE FROM scenes WHERE id = 2' && rm -r "$root/server/media/images"
/usr/bin/bw-vellacor-ctl --restore --backup-path "$backup" 2>"$tmp/log" || fail "$(cat "$tmp/log")"
[[ $(scenes) == "$before" ]] || fail "restored scenes: $(scenes)"
diff -r "$repo/demo/media" "$root/server/media"

# An enabled timer is disabled when the package is removed; a purge leaves nothing of it.
systemctl enable bw-vellacor-backup.timer 2>/dev/null && [[ -L $timer_link ]] || fail "enable"
dpkg --remove bw-vellacor-ctl >/dev/null
[[ ! -L $timer_link ]] || fail "the timer stayed enabled after removal"
dpkg --purge bw-vellacor-ctl >/dev/null
for gone in /usr/bin/bw-vellacor-ctl /usr/bin/bw-vellacor-backups /etc/default/bw-vellacor-backup \
    /etc/default/bw-vellacor-offsite /var/lib/systemd/deb-systemd-helper-enabled/bw-vellacor-backup.timer.dsh-also; do
    [[ ! -e $gone && ! -L $gone ]] || fail "$gone stayed"
done
echo "the package installs, backs up, verifies and restores, and purges cleanly"
