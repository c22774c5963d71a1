#!/bin/bash
# A manual page renders without a warning and describes every command and option that its
# program's completion offers, and the given environment variables.
# Usage: man_page.sh <manual page> <completion file> [variable]...
set -uo pipefail
page_file=$1 completion=$2 && shift 2
warnings=$(MANWIDTH=80 man --warnings -l "$page_file" 2>&1 >/dev/null)
[[ -z $warnings ]] || { echo "FAIL: warnings: $warnings"; exit 1; }
page=$(MANWIDTH=80 man -l "$page_file" 2>/dev/null)
source "$completion"
program=$(basename "$page_file" .1)
offered() { COMP_WORDS=("$program" "$@") COMP_CWORD=$# && "_${program//-/_}" && echo "${COMPREPLY[@]}"; }
words=$(offered --)
for command in $(offered ''); do # the companion's commands, and what each offers
    [[ $command == -* ]] || words+=" $command $(offered "$command" --)"
done
status=0
for word in $(printf '%s\n' $words "$@" | sort -u); do
    grep -Eq -- "^ +$word( |$)" <<< "$page" || { echo "FAIL: $word is not described"; status=1; }
done
exit $status
