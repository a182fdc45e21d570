#!/usr/bin/env bash
# The VapourSynth entry of the 64-bit Windows DLL: the windows-x64 preset
# builds velmoraine.dll and the freestanding 64-bit test hosts, the Linux
# library writes its frames for the same cases through the VapourSynth
# stand-in, and wine64_vapoursynth_host.exe runs under wine64: registration,
# three formats (one of 16-bit samples) compared byte for byte with the Linux build's, two refused
# calls, every reference given back. The DLL it loads is the one the
# win_amd64 wheel installs, with pip's --platform win_amd64 --target DIR.
set -euo pipefail
source tools/lib.sh
x86_64_only "the 64-bit Windows DLL under wine64"
need_packages clang-14 lld-14 llvm-14 wine wine64 python3-venv

cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 -j"$(nproc)"
rm -f build-windows-x64/vapoursynth_velmoraine-*.whl
cmake --build --preset windows-x64 --target wheel >/dev/null
wheel=$(echo build-windows-x64/vapoursynth_velmoraine-*-py3-none-win_amd64.whl)
rm -rf build-windows/wheel-win_amd64
dll=$(bash tests/install/install-wheel.sh "$wheel" win_amd64 "$PWD/build-windows/wheel-win_amd64")

# The Linux build's frames (the tree the unit stage configured).
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target vapoursynth_expected_frames -j"$(nproc)"
mkdir -p build-windows
build/tests/windows/vapoursynth_expected_frames "$PWD/build-windows/vapoursynth-expected-frames.bin"

bash tests/windows/run-wine-host.sh win64 build-windows-x64/tests/windows/x64/wine64_vapoursynth_host.exe \
  "$dll" "$PWD/build-windows/vapoursynth-expected-frames.bin"
