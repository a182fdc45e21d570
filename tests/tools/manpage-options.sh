#!/usr/bin/env bash
# The hand-written man page and the program's --help list the same long
# options: each one --help shows has an entry (a .TP tag) under OPTIONS, and
# each entry there is one --help shows. Names every option that is missing
# from either side.
#   manpage-options.sh PROGRAM MANPAGE
set -euo pipefail
program=$1 page=$2
from_help=$("$program" --help | grep -oE '^ +(-[A-Za-z],)?--[A-Za-z][A-Za-z0-9-]*' | sed 's/.*--//' | sort -u)
# The tag line after each .TP between .SH OPTIONS and the next section, its
# escapes undone ("\-" is "-", fonts dropped).
from_page=$(awk '/^\.SH /{ inside = ($2 == "OPTIONS") } inside && tag { print } { tag = inside && /^\.TP/ }' "$page" |
  sed 's/\\-/-/g; s/\\f[BIRP]//g' | grep -oE -- '--[A-Za-z][A-Za-z0-9-]*' | sed 's/^--//' | sort -u)
status=0
for option in $(comm -23 <(echo "$from_help") <(echo "$from_page")); do
  echo "man page: --$option is in --help but has no entry under OPTIONS in $page" >&2
  status=1
done
for option in $(comm -13 <(echo "$from_help") <(echo "$from_page")); do
  echo "man page: --$option has an entry under OPTIONS but is not in --help" >&2
  status=1
done
[ -n "$from_help" ] || { echo "man page: --help listed no options" >&2; status=1; }
exit $status
