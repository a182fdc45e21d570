#!/usr/bin/env bash
# Cross-builds both Windows DLLs through the CMake presets, from the same core
# library and plane driver as the Linux library:
#   OUTPUT_DIR/x86/velmoraine.dll  32-bit hosts of the 2.5 interface
#   OUTPUT_DIR/x64/velmoraine.dll  64-bit hosts of the plain-C interface
#
#   plugin/windows/build-dll.sh [OUTPUT_DIR]     (default: build-windows)
#
# The same as `cmake --preset windows-x86 && cmake --build --preset
# windows-x86` (and windows-x64) followed by a copy. Needs clang-14, lld-14
# and llvm-14 (Debian packages); no Microsoft SDK.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
out=${1:-build-windows}
mkdir -p "$out"
out=$(cd "$out" && pwd)
cd "$repo"
for arch in x86 x64; do
  cmake --preset "windows-$arch" >/dev/null
  cmake --build --preset "windows-$arch" -j"${JOBS:-$(nproc)}"
  mkdir -p "$out/$arch"
  cp "build-windows-$arch/plugin/velmoraine.dll" "$out/$arch/velmoraine.dll"
  echo "built $out/$arch/velmoraine.dll"
done
