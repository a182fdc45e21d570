#!/usr/bin/env bash
# Runs the VapourSynth test host under wine64: it loads the 64-bit
# velmoraine.dll by path and drives its VapourSynth entry as a host would
# (see vapoursynth_wine_host.cpp).
#
#   tests/windows/run-vapoursynth-wine64.sh DIR
#
# DIR holds velmoraine.dll (64-bit), vapoursynth_wine_host.exe and
# vapoursynth-expected.bin. Headless, in a throw-away 64-bit wine prefix
# under /tmp that is removed afterwards, with bounded time. Exits with the
# host's status.
set -uo pipefail
dir=$(cd "${1:?usage: run-vapoursynth-wine64.sh DIR}" && pwd)
for file in velmoraine.dll vapoursynth_wine_host.exe vapoursynth-expected.bin; do
  if [ ! -f "$dir/$file" ]; then
    echo "run-vapoursynth-wine64: $dir/$file is missing" >&2
    exit 1
  fi
done
if ! command -v wine >/dev/null || [ ! -e /usr/lib/wine/wine64 ]; then
  echo "run-vapoursynth-wine64: 64-bit wine is not installed (apt-get install wine wine64)" >&2
  exit 1
fi

prefix=$(mktemp -d /tmp/velmoraine-wine64.XXXXXX)
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
  timeout 30 wineserver -k >/dev/null 2>&1
  rm -rf "$prefix"
}
trap cleanup EXIT

windows_path() { local p=$1; echo "Z:${p//\//\\}"; }

timeout 240 wineboot -i >/dev/null 2>&1 || echo "run-vapoursynth-wine64: wineboot did not finish cleanly; trying anyway" >&2
cd "$dir"
timeout 300 wine vapoursynth_wine_host.exe "$(windows_path "$dir/velmoraine.dll")" \
  "$(windows_path "$dir/vapoursynth-expected.bin")"
status=$?
[ $status -eq 124 ] && echo "run-vapoursynth-wine64: the test host timed out" >&2
exit $status
