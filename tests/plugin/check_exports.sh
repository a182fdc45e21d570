#!/bin/sh
# Usage: check_exports.sh LIBRARY
# Passes when the library's dynamic symbol table defines exactly the host
# entries: each host looks up its own name and nothing else is visible.
set -eu
lib=$1
expected=$(printf '%s\n' AvisynthPluginInit2 VapourSynthPluginInit2 | sort)
symbols=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort)
if [ "$symbols" = "$expected" ]; then
  echo "exports:" $symbols
  exit 0
fi
echo "expected exactly" $expected "in $lib, found:" >&2
echo "$symbols" >&2
exit 1
