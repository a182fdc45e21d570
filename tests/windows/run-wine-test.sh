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
if ! command -v wine >/dev/null; then
  echo "run-wine-test: wine is not installed (apt-get install wine wine32:i386)" >&2
  exit 1
fi

prefix=$(mktemp -d /tmp/velmoraine-wine.XXXXXX)
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all
# No prompts to install Mono or Gecko, which the test does not need.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
  timeout 30 wineserver -k >/dev/null 2>&1
  rm -rf "$prefix"
}
trap cleanup EXIT

# Windows paths through wine's Z: drive, which maps the Unix root.
windows_path() { local p=$1; echo "Z:${p//\//\\}"; }

# Preparing a fresh prefix takes a while the first time; allow for it.
timeout 240 wineboot -i >/dev/null 2>&1 || echo "run-wine-test: wineboot did not finish cleanly; trying anyway" >&2
cd "$dir"
timeout 300 wine wine_host.exe "$(windows_path "$dir/velmoraine.dll")" "$(windows_path "$dir/expected-frames.bin")"
status=$?
[ $status -eq 124 ] && echo "run-wine-test: the test host timed out" >&2
exit $status
