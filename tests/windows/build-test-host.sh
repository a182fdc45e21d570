#!/usr/bin/env bash
# Builds wine_host.exe, the 32-bit Windows test host, with the toolchain of
# the DLL: same compiler mode, same interface header, msvcrt.dll underneath.
#
#   tests/windows/build-test-host.sh OUTPUT_DIR
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../tools/windows/toolchain.sh"
cd "$WINDOWS_REPO_DIR"

out=${1:?usage: build-test-host.sh OUTPUT_DIR}
mkdir -p "$out/host-obj"
win_compile tests/windows/wine_host.cpp "$out/host-obj/wine_host.obj"
win_compile tools/windows/runtime.cpp "$out/host-obj/runtime.obj"
win_import_lib tests/windows/host-msvcrt.def "$out/host-obj/msvcrt.lib"
win_import_lib tests/windows/host-kernel32.def "$out/host-obj/kernel32.lib"
"$WIN_LINK" /nologo /machine:x86 /subsystem:console /nodefaultlib /entry:HostStart /safeseh \
  /out:"$out/wine_host.exe" \
  "$out/host-obj/wine_host.obj" "$out/host-obj/runtime.obj" \
  "$out/host-obj/msvcrt.lib" "$out/host-obj/kernel32.lib"
echo "built $out/wine_host.exe"
