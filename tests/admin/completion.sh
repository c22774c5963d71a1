#!/bin/bash
# bash completion of both programs: what it offers for the word under the cursor.
# Usage: completion.sh <completion file>...
set -uo pipefail
for file; do source "$file"; done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/folder" && touch "$tmp/file"
status=0
# Each row: the words of the line, the last one being completed | what is offered, sorted.
while IFS='|' read -r line expected; do
    read -ra COMP_WORDS <<< "$line"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    "_${COMP_WORDS[0]//-/_}"
    offered=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
    [[ $offered == "$expected" ]] || { echo "FAIL '$line': '$offered', not '$expected'"; status=1; }
done <<ROWS
bw-vellacor-ctl --|--backup --backup-path --backup-skip --delete --dry-run --help --minidump-path --minidump-upload-url --restore --restore-skip --server-config
bw-vellacor-ctl --backup --|--backup-path --backup-skip --delete --dry-run --help --minidump-path --minidump-upload-url --restore-skip --server-config
bw-vellacor-ctl --restore-skip |assets db reporting
bw-vellacor-ctl --backup-skip db,rep|db,reporting
bw-vellacor-ctl --backup-skip db,|db,assets db,reporting
bw-vellacor-ctl --restore-skip = a|assets
bw-vellacor-ctl --backup-path $tmp/|$tmp/folder
bw-vellacor-ctl --server-config $tmp/|$tmp/file $tmp/folder
bw-vellacor-ctl --minidump-upload-url |
bw-vellacor-backups |--help list metrics offsite prune verify
bw-vellacor-backups p|prune
bw-vellacor-backups prune --|--backup-root --dry-run --help --keep --server-config
bw-vellacor-backups prune --keep 3 --dry-run --|--backup-root --help --server-config
bw-vellacor-backups list --backup-root = $tmp/ --|--help --json --server-config
bw-vellacor-backups offsite --k|--keep-daily --keep-monthly --keep-weekly
bw-vellacor-backups metrics --textfile-folder $tmp/|$tmp/folder
bw-vellacor-backups metrics --output = $tmp/f|$tmp/file $tmp/folder
bw-vellacor-backups verify $tmp/|$tmp/folder
bw-vellacor-backups verify $tmp/folder --|--help --load-postgres --server-config
bw-vellacor-backups prune --keep |
ROWS
exit $status
