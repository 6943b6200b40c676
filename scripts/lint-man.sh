#!/usr/bin/env bash
# Lints every man page in man/: mandoc's warnings, groff's warnings and
# man's own rendering must all be silent. Prints what it found and exits 1
# if any page said anything.
set -uo pipefail
cd "$(dirname "$0")/.."
shopt -s nullglob
pages=(man/*.1)
if [ ${#pages[@]} -eq 0 ]; then
  echo "lint-man: no man pages in man/" >&2
  exit 1
fi
status=0
for page in "${pages[@]}"; do
  out=$(
    mandoc -T lint -W warning "$page" 2>&1
    groff -ww -man -Tutf8 -z "$page" 2>&1
    # man -l renders through the system's own pipeline (preconv, tbl, groff)
    # at a terminal's usual width.
    MANWIDTH=80 MAN_KEEP_FORMATTING=1 man -l "$page" 2>&1 >/dev/null
  )
  if [ -n "$out" ]; then
    echo "$page:" >&2
    echo "$out" >&2
    status=1
  fi
done
[ $status -eq 0 ] && echo "lint-man: ${#pages[@]} pages clean"
exit $status
