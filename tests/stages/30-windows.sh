#!/usr/bin/env bash
# The 32-bit Windows plug-in: cross-builds velmoraine.dll with clang in
# Microsoft mode (both DLLs, packed by tools/windows-zip.sh into the archive
# users download, whose listing is checked), checks the archive's DLLs as
# files (exports, imports, load configuration, entry point), and runs the
# 32-bit one under 32-bit wine in a test host that speaks the hosts' ABI,
# comparing its frames with the Linux build's byte for byte.
set -euo pipefail
source tools/lib.sh
x86_64_only "the Windows DLLs under wine"

# The build's tools (clang-14, lld-link-14, llvm-dlltool-14, llvm-ar-14,
# llvm-rc-14) and the file checks' (llvm-readobj-14, llvm-objdump-14, and
# binutils' objdump for the DLL's own name).
need_packages clang-14 lld-14 llvm-14 binutils unzip

# 32-bit wine needs the i386 architecture, whose package lists only exist
# after an update that follows adding it; wine64 runs the 64-bit test hosts.
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
if ! command -v wine >/dev/null || ! installed wine32:i386 || ! installed wine64; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update -qq
  echo "installing: wine wine32:i386 wine64" >&2
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    wine wine32:i386 wine64 >&2
fi

# What each DLL exports, exactly.
x86_exports=(_AvisynthPluginInit2@4)
x64_exports=(avisynth_c_plugin_init avisynth_c_plugin_init2 VapourSynthPluginInit2)

out=build-windows
rm -f "$out"/velmoraine-*-windows.zip
bash tools/windows-zip.sh "$out"
zip=$(echo "$out"/velmoraine-*-windows.zip)
listing=$(unzip -Z1 "$zip" | grep -v '/$' | LC_ALL=C sort | tr '\n' ' ')
if [ "$listing" != "LICENSE README.md x64/velmoraine.dll x86/velmoraine.dll " ]; then
  echo "windows: $zip holds: $listing" >&2
  exit 1
fi
unzipped=$(mktemp -d)
trap 'rm -rf "$unzipped"' EXIT
unzip -q -d "$unzipped" "$zip"
# The test hosts, built by the presets beside each DLL.
x86_hosts=$PWD/build-windows-x86/tests/windows/x86
x64_hosts=$PWD/build-windows-x64/tests/windows/x64
cp "$x86_hosts/wine_host.exe" "$out/x86/"

# The Linux build's planes for the same frames (the tree the unit stage
# configured; only this one program is built here).
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target windows_expected_frames windows_c_expected_frames -j"$(nproc)"
build/tests/windows/windows_expected_frames "$out/x86/expected-frames.bin"
build/tests/windows/windows_c_expected_frames "$out/x64/c-expected-frames.bin"

status=0
bash tests/windows/check-dll.sh "$unzipped/x86/velmoraine.dll" x86 "${x86_exports[@]}" || status=1
bash tests/windows/check-dll.sh "$unzipped/x64/velmoraine.dll" x64 "${x64_exports[@]}" || status=1
bash tests/windows/run-wine-test.sh "$out/x86" || status=1
bash tests/windows/run-wine-host.sh win64 "$x64_hosts/wine64_c_host.exe" "$x64_hosts/AviSynth.dll" \
  "$PWD/$out/x64/velmoraine.dll" "$PWD/$out/x64/c-expected-frames.bin" || status=1
exit $status
