#!/usr/bin/env bash
# Builds vapoursynth_wine_host.exe, the 64-bit Windows test host of the
# VapourSynth entry, with the compiler mode of the 64-bit DLL: clang for
# x86_64-pc-windows-msvc, freestanding, our interface header, msvcrt.dll
# underneath.
#
#   tests/windows/build-vapoursynth-host.sh OUTPUT_DIR
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
out=${1:?usage: build-vapoursynth-host.sh OUTPUT_DIR}
mkdir -p "$out/vapoursynth-host-obj"
out=$(cd "$out" && pwd)
obj=$out/vapoursynth-host-obj
cd "$repo"
clang++-14 --target=x86_64-pc-windows-msvc -std=c++20 -O2 -ffreestanding -nostdlibinc -nostdinc++ \
  -fms-extensions -fms-compatibility -fno-exceptions -fno-rtti -fno-stack-protector -Wall -Wextra \
  -isystem tools/windows/include -I . \
  -c tests/windows/vapoursynth_wine_host.cpp -o "$obj/vapoursynth_wine_host.obj"
llvm-dlltool-14 -m i386:x86-64 -d tests/windows/vapoursynth-host-msvcrt.def -l "$obj/msvcrt.lib"
llvm-dlltool-14 -m i386:x86-64 -d tests/windows/vapoursynth-host-kernel32.def -l "$obj/kernel32.lib"
lld-link-14 /nologo /machine:x64 /subsystem:console /nodefaultlib /entry:HostStart /Brepro \
  /out:"$out/vapoursynth_wine_host.exe" "$obj/vapoursynth_wine_host.obj" "$obj/msvcrt.lib" \
  "$obj/kernel32.lib"
echo "built $out/vapoursynth_wine_host.exe"
