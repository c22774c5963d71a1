#!/bin/bash
# Measures a backup and a restore of a large media library against the plain tools on the
# same data in the same run: cp -R for the copy, rm -rf + cp -R for the restore. Prints the
# wall times, the ratios and the tool's peak memory.
#
# Sizes: BENCH_SMALL_FILES (default 20000 files of 4-64 KiB in 200 folders) and
# BENCH_LARGE_MB (default 2048, in files of 256 MiB). BENCH_FOLDER (default a temp folder).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

small=${BENCH_SMALL_FILES:-20000}
large_mb=${BENCH_LARGE_MB:-2048}
work=${BENCH_FOLDER:-$(mktemp -d /var/tmp/bwv-bench.XXXXXX)}
trap 'rm -rf "$work"' EXIT

command -v /usr/bin/time >/dev/null || apt-get install -y --no-install-recommends time >/dev/null
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBWV_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j2 >/dev/null
tool="$repo/build-bench/bw-vellacor-ctl"

root="$work/installation"
media="$root/server/media"
mkdir -p "$root/server/data" "$media"
cat > "$root/server/production.yaml" <<YAML
db: sqlite://data/main.db
reporting_db: sqlite://data/reporting.db
asset_root: media
YAML
head -c $((64 * 1024 * 1024)) /dev/urandom > "$root/server/data/main.db"
head -c $((16 * 1024 * 1024)) /dev/urandom > "$root/server/data/reporting.db"

echo "making $small small files and ${large_mb} MiB of large files in $media"
for ((d = 0; d < 200; d++)); do mkdir -p "$media/folder$d"; done
head -c $((64 * 1024 * 1024)) /dev/urandom > "$work/pool"
for ((i = 0; i < small; i++)); do
    size=$(((i * 7919 % 61 + 4) * 1024))
    dd if="$work/pool" of="$media/folder$((i % 200))/file$i.bin" bs=$size count=1 \
        skip=$((i % 200)) iflag=skip_bytes status=none
done
for ((i = 0; i < large_mb / 256; i++)); do
    head -c $((256 * 1024 * 1024)) /dev/urandom > "$media/large$i.bin"
done
rm "$work/pool"
sync

export VELLACOR_ROOT="$root"
seconds() { /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null 2>&1; cat "$work/time"; }

# Warm the page cache once, so neither side pays for the first read alone.
cat "$media"/large*.bin > /dev/null 2>&1 || true
find "$media" -type f -exec cat {} + > /dev/null

read -r cp_s _ < <(seconds sh -c "cp -R '$media' '$work/plain' && cp '$root'/server/data/*.db '$work/plain/'")
rm -rf "$work/plain"; sync
read -r backup_s backup_kb < <(seconds "$tool" --backup --backup-path "$work/backup")
sync

read -r cp_restore_s _ < <(seconds sh -c "rm -rf '$media' && cp -R '$work/backup/assets' '$media'")
sync
read -r restore_s restore_kb < <(seconds "$tool" --restore --backup-path "$work/backup")
diff -rq "$work/backup/assets" "$media" > /dev/null || { echo "restored library differs" >&2; exit 1; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
echo "backup:  ${backup_s}s vs cp -R ${cp_s}s, ratio $(ratio "$backup_s" "$cp_s"), peak ${backup_kb} KiB"
echo "restore: ${restore_s}s vs rm+cp -R ${cp_restore_s}s, ratio $(ratio "$restore_s" "$cp_restore_s"), peak ${restore_kb} KiB"
