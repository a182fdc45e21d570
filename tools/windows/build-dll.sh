#!/usr/bin/env bash
# Cross-builds velmoraine.dll, the plug-in for 32-bit Windows hosts, from the
# same core/ and plugin/ sources as the Linux library.
#
#   tools/windows/build-dll.sh [OUTPUT_DIR]     (default: build-windows)
#
# Needs clang-14, lld-14 and llvm-14 (Debian packages); no Microsoft SDK.
# Every .cpp under core/ and plugin/ is compiled, so new sources are picked
# up without editing this script.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/toolchain.sh"
cd "$WINDOWS_REPO_DIR"

out=${1:-build-windows}
mkdir -p "$out"
out=$(cd "$out" && pwd)
objects_dir="$out/obj"
rm -rf "$objects_dir"
mkdir -p "$objects_dir"

mapfile -t sources < <(find core plugin -name '*.cpp' -type f | LC_ALL=C sort)
sources+=(tools/windows/runtime.cpp)

# Two compilers at a time; object names keep the source path so that equal
# file names in different folders do not collide.
objects=()
pids=()
for source in "${sources[@]}"; do
  object="$objects_dir/$(echo "${source%.cpp}" | tr '/' '_').obj"
  objects+=("$object")
  win_compile "$source" "$object" &
  pids+=($!)
  if [ ${#pids[@]} -ge 2 ]; then
    wait "${pids[0]}" || { echo "build-dll: compiling failed" >&2; wait; exit 1; }
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do
  wait "$pid" || { echo "build-dll: compiling failed" >&2; wait; exit 1; }
done

win_import_lib tools/windows/msvcrt.def "$out/msvcrt.lib"
win_import_lib tools/windows/kernel32.def "$out/kernel32.lib"

# /safeseh: every object must register its exception handlers, and the image
# gets the handler table that the load-configuration record points at.
# /Brepro: no time stamps, so the same sources give the same DLL.
"$WIN_LINK" /nologo /dll /machine:x86 /nodefaultlib /entry:DllMain /safeseh /Brepro \
  /out:"$out/velmoraine.dll" /implib:"$objects_dir/velmoraine.lib" \
  "${objects[@]}" "$out/msvcrt.lib" "$out/kernel32.lib"
echo "built $out/velmoraine.dll"
