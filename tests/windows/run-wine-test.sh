#!/usr/bin/env bash
# Runs the Windows test host under 32-bit wine: it loads velmoraine.dll by
# path and drives it as a host would (see wine_host.cpp).
#
#   tests/windows/run-wine-test.sh DIR
#
# DIR holds velmoraine.dll, wine_host.exe and expected-frames.bin. Headless
# (no display), in a throw-away wine prefix under /tmp that is removed
# afterwards, with bounded time. Exits with the host's status.
set -uo pipefail
dir=$(cd "${1:?usage: run-wine-test.sh DIR}" && pwd)
for file in velmoraine.dll wine_host.exe expected-frames.bin; do
  if [ ! -f "$dir/$file" ]; then
    echo "run-wine-test: $dir/$file is missing" >&2
    exit 1
  fi
done
exec bash "$(dirname "${BASH_SOURCE[0]}")/run-wine-host.sh" win32 "$dir/wine_host.exe" \
  "$dir/velmoraine.dll" "$dir/expected-frames.bin"
