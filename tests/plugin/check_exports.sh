#!/bin/sh
# Usage: check_exports.sh LIBRARY
# Passes when the library's dynamic symbol table defines exactly one symbol,
# AvisynthPluginInit2.
set -eu
lib=$1
symbols=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort)
if [ "$symbols" = "AvisynthPluginInit2" ]; then
  echo "exports: $symbols"
  exit 0
fi
echo "expected only AvisynthPluginInit2 in $lib, found:" >&2
echo "$symbols" >&2
exit 1
