#!/usr/bin/env bash
# Runs a 64-bit Windows test host under wine64: headless, in a throw-away
# 64-bit prefix under /tmp that is removed afterwards, with bounded time.
# Unix paths among the arguments (those starting with /) are handed to the
# host as Windows paths through wine's Z: drive. Exits with the host's status.
#
#   tests/windows/run-wine64-test.sh HOST.exe [ARGUMENT...]
#   e.g. run-wine64-test.sh build-windows-x64/tests/windows/x64/wine64_c_host.exe \
#          "$PWD/build-windows-x64/tests/windows/x64/AviSynth.dll" \
#          "$PWD/build-windows-x64/plugin/velmoraine.dll" "$PWD/build-windows/c-expected-frames.bin"
set -uo pipefail
host=${1:?usage: run-wine64-test.sh HOST.exe [ARGUMENT...]}
shift
if [ ! -f "$host" ]; then
  echo "run-wine64-test: $host is missing" >&2
  exit 1
fi
if ! command -v wine >/dev/null; then
  echo "run-wine64-test: wine is not installed (apt-get install wine wine64)" >&2
  exit 1
fi
host=$(cd "$(dirname "$host")" && pwd)/$(basename "$host")

prefix=$(mktemp -d /tmp/velmoraine-wine64.XXXXXX)
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all
# No prompts to install Mono or Gecko, which the test does not need.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
  timeout 30 wineserver -k >/dev/null 2>&1
  rm -rf "$prefix"
}
trap cleanup EXIT

windows_path() { local p=$1; echo "Z:${p//\//\\}"; }
arguments=()
for argument in "$@"; do
  if [[ $argument == /* ]]; then arguments+=("$(windows_path "$argument")"); else arguments+=("$argument"); fi
done

timeout 240 wineboot -i >/dev/null 2>&1 || echo "run-wine64-test: wineboot did not finish cleanly; trying anyway" >&2
cd "$(dirname "$host")"
timeout 300 wine "$host" "${arguments[@]}"
status=$?
[ $status -eq 124 ] && echo "run-wine64-test: the test host timed out" >&2
exit $status
