#!/usr/bin/env bash
# The archive for Windows users: cross-builds both DLLs (through
# plugin/windows/build-dll.sh; clang-14, lld-14 and llvm-14 needed) and packs
#   x64/velmoraine.dll   64-bit hosts: AviSynth+ (plain-C entry), VapourSynth
#   x86/velmoraine.dll   32-bit hosts: AviSynth 2.5 and 2.6, 32-bit AviSynth+
#   README.md, LICENSE
# into OUTPUT_DIR/velmoraine-<version>-windows.zip. Needs no git: the version
# comes from core/version.h.
#
#   bash tools/windows-zip.sh [OUTPUT_DIR]     (default: build-windows)
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${1:-build-windows}
mkdir -p "$out"
out=$(cd "$out" && pwd)
cd "$repo"
version=$(sed -n 's/^#define VELMORAINE_VERSION_STRING "\([0-9.]*\)"$/\1/p' core/version.h)
[ -n "$version" ] || { echo "windows-zip: no version in core/version.h" >&2; exit 1; }
bash plugin/windows/build-dll.sh "$out"

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
for arch in x64 x86; do
  mkdir -p "$stage/$arch"
  cp "$out/$arch/velmoraine.dll" "$stage/$arch/"
done
cp README.md LICENSE "$stage/"
zip=$out/velmoraine-$version-windows.zip
rm -f "$zip"
(cd "$stage" && cmake -E tar cf "$zip" --format=zip x64 x86 README.md LICENSE)
echo "built $zip"
