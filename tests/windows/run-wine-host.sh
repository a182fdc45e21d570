#!/usr/bin/env bash
# Runs a Windows test host under wine (win32) or wine64 (win64): headless, in
# a throw-away prefix of that architecture under /tmp that is removed
# afterwards, with bounded time. Unix paths among the arguments (those
# starting with /) are handed to the host as Windows paths through wine's Z:
# drive. Exits with the host's status.
#
#   tests/windows/run-wine-host.sh win32|win64 HOST.exe [ARGUMENT...]
#   e.g. run-wine-host.sh win64 build-windows-x64/tests/windows/x64/wine64_c_host.exe \
#          "$PWD/build-windows-x64/tests/windows/x64/AviSynth.dll" \
#          "$PWD/build-windows-x64/plugin/velmoraine.dll" "$PWD/build-windows/x64/c-expected-frames.bin"
set -uo pipefail
usage="usage: run-wine-host.sh win32|win64 HOST.exe [ARGUMENT...]"
arch=${1:?$usage}
host=${2:?$usage}
shift 2
case $arch in win32 | win64) ;; *) echo "$usage" >&2; exit 2 ;; esac
if [ ! -f "$host" ]; then
  echo "run-wine-host: $host is missing" >&2
  exit 1
fi
if ! command -v wine >/dev/null; then
  echo "run-wine-host: wine is not installed (apt-get install wine wine32:i386 wine64)" >&2
  exit 1
fi
host=$(cd "$(dirname "$host")" && pwd)/$(basename "$host")

prefix=$(mktemp -d /tmp/velmoraine-$arch.XXXXXX)
export WINEPREFIX=$prefix WINEARCH=$arch WINEDEBUG=-all
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

timeout 240 wineboot -i >/dev/null 2>&1 || echo "run-wine-host: wineboot did not finish cleanly; trying anyway" >&2
cd "$(dirname "$host")"
timeout 300 wine "$host" "${arguments[@]}"
status=$?
[ $status -eq 124 ] && echo "run-wine-host: the test host timed out" >&2
exit $status
