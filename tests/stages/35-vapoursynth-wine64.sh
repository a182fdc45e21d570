#!/usr/bin/env bash
# The VapourSynth entry of the 64-bit Windows DLL: builds velmoraine.dll with
# the windows-x64 preset and the freestanding 64-bit test host, writes the
# Linux library's frames for the same cases through the VapourSynth stand-in,
# and runs the host under wine64: registration, two formats compared byte for
# byte with the Linux build, two refused calls, every reference returned.
set -euo pipefail
source tools/lib.sh
need_packages clang-14 lld-14 llvm-14 wine wine64

out=build-windows/vapoursynth-x64
mkdir -p "$out"
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 -j"$(nproc)"
cp build-windows-x64/plugin/velmoraine.dll "$out/velmoraine.dll"
bash tests/windows/build-vapoursynth-host.sh "$out"

# The Linux build's frames (the tree the unit stage configured).
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target vapoursynth_expected_frames -j"$(nproc)"
build/tests/windows/vapoursynth_expected_frames "$out/vapoursynth-expected.bin"

bash tests/windows/run-vapoursynth-wine64.sh "$out"
