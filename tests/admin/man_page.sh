#!/bin/bash
# The manual page renders without a warning and describes every option that completion offers.
# Usage: man_page.sh <manual page> <completion file>
set -uo pipefail
warnings=$(MANWIDTH=80 man --warnings -l "$1" 2>&1 >/dev/null)
[[ -z $warnings ]] || { echo "FAIL: warnings: $warnings"; exit 1; }
page=$(MANWIDTH=80 man -l "$1" 2>/dev/null)
source "$2"
COMP_WORDS=(bw-vellacor-ctl --) COMP_CWORD=1
_bw_vellacor_ctl
status=0
for word in "${COMPREPLY[@]}" VELLACOR_ROOT BW_VELLACOR_TOOL_TIMEOUT_MS; do
    grep -Eq -- "^ +$word( |$)" <<< "$page" || { echo "FAIL: $word is not described"; status=1; }
done
exit $status
