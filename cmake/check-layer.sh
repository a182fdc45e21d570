#!/usr/bin/env bash
# Checks that the files of one layer open no header of a folder the layer may
# not use, whatever path the #include takes (through an include directory,
# relative like "../plugin/x.h", or absolute). The compiler lists every header
# a file opens (-MM); each one inside the source tree must lie in an allowed
# folder.
#
#   check-layer.sh COMPILER SOURCE_ROOT LAYER "ALLOWED FOLDERS" [-I DIR]... -- FILE...
#
# Exits 1 naming each file and the header it may not open, or when a file
# does not preprocess (a header of another layer that its include
# directories do not show is not found).
set -euo pipefail
compiler=$1 root=$(realpath "$2") layer=$3 allowed=$4
shift 4
flags=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do flags+=("$1"); shift; done
[ $# -gt 0 ] && shift

status=0
for file in "$@"; do
  if ! deps=$("$compiler" -std=c++20 -x c++ -MM -MT layer-check "${flags[@]}" "$file" 2>&1); then
    echo "layer $layer: $file does not preprocess with the include directories of its layer:" >&2
    echo "$deps" >&2
    status=1
    continue
  fi
  self=$(realpath -m "$file")
  for dep in $(echo "$deps" | sed -e 's/^layer-check://' -e 's/\\$//'); do
    path=$(realpath -m "$dep")
    [ "$path" = "$self" ] && continue
    case $path in "$root"/*) ;; *) continue ;; esac
    relative=${path#"$root"/}
    ok=0
    for folder in $allowed; do
      case $relative in "$folder"/*) ok=1 ;; esac
    done
    if [ $ok -eq 0 ]; then
      echo "layer $layer: $file includes $relative; $layer may use only: $allowed" >&2
      status=1
    fi
  done
done
exit $status
