#!/bin/sh
# Usage: check_exports.sh LIBRARY SYMBOL...
# Passes when the library's dynamic symbol table defines exactly the given
# symbols (in any order) and nothing else, and refers to no host function
# (avs_*) by name: those are looked up at run time in the loaded host.
set -eu
lib=$1
shift
symbols=$(nm -D --defined-only "$lib" | awk '{print $NF}' | LC_ALL=C sort | tr '\n' ' ')
expected=$(printf '%s\n' "$@" | LC_ALL=C sort | tr '\n' ' ')
host_references=$(nm -D --undefined-only "$lib" | awk '$NF ~ /^avs_/ {print $NF}' | tr '\n' ' ')
if [ -n "$host_references" ]; then
  echo "$lib refers to host functions by name: $host_references" >&2
  exit 1
fi
if [ "$symbols" = "$expected" ]; then
  echo "exports: $symbols"
  exit 0
fi
echo "expected exactly: $expected" >&2
echo "found in $lib: $symbols" >&2
exit 1
