#!/usr/bin/env bash
# The 64-bit ARM build (aarch64) on an x86-64 machine: the preset linux-arm64
# cross-builds everything with clang and lld (cmake/linux-arm64.cmake), and
# the test suite runs under qemu-aarch64: the bit-exactness harness checks the
# NEON level and the production table against the plain kernels, guard bytes
# included; the plane tests; the entries through their stand-in hosts built
# for aarch64 (the plain-C entry's host lookup among them). Then the aarch64
# wheel: its tag's glibc floor against the library's symbol versions, and
# the library pip installs from it (--platform, --target) loaded by the
# VapourSynth stand-in's tests. On an ARM machine the unit stage runs all of
# this natively.
set -euo pipefail
source tools/lib.sh
case "$(uname -m)" in
  aarch64 | arm64) echo "native aarch64: the unit stage covers this" >&2; exit 0 ;;
esac
need_packages clang-14 lld-14 llvm-14 qemu-user libstdc++-12-dev-arm64-cross libc6-dev-arm64-cross \
  binutils-aarch64-linux-gnu googletest libcli11-dev unzip python3-venv

cmake --preset linux-arm64 >/dev/null
cmake --build --preset linux-arm64 -j"$(nproc)"
# ctest runs every test under qemu-aarch64 (the toolchain's emulator), except
# the program's (tests/tools, tests/hostile: the suites below): they start the
# program as a child process, which qemu-user cannot follow into without
# binfmt_misc. A new suite of those fails here until it is added.
program_tests='^(Cli|Layouts|HostileInput|ValidOddities|Interrupts|UsedWrongly)\.|^Concurrency\.TheProgram'
ctest --test-dir build-linux-arm64 --output-on-failure -j"$(nproc)" -E "$program_tests"

rm -f build-linux-arm64/vapoursynth_velmoraine-*.whl
cmake --build --preset linux-arm64 --target wheel >/dev/null
wheel=$(echo build-linux-arm64/vapoursynth_velmoraine-*-py3-none-manylinux_2_*_aarch64.whl)
glibc=$(unzip -p "$wheel" vapoursynth/plugins/velmoraine/libvelmoraine.so >build-linux-arm64/wheel-library.so &&
  aarch64-linux-gnu-objdump -T build-linux-arm64/wheel-library.so | grep -oE 'GLIBC_2\.[0-9]+' | cut -d. -f2 | sort -n | tail -n 1)
case $wheel in
  *-manylinux_2_${glibc}_aarch64.whl) ;;
  *) echo "arm64: $wheel, and the library needs GLIBC_2.$glibc" >&2; exit 1 ;;
esac
tag=${wheel##*-py3-none-}
tag=${tag%.whl}
rm -rf build-linux-arm64/wheel-installed
library=$(bash tests/install/install-wheel.sh "$wheel" "$tag" "$PWD/build-linux-arm64/wheel-installed")
VELMORAINE_PLUGIN_UNDER_TEST=$library qemu-aarch64 -L /usr/aarch64-linux-gnu \
  build-linux-arm64/tests/vapoursynth/vapoursynth_tests --gtest_brief=1 \
  --gtest_filter='*AcceptedFormat*:VapourSynthEntry.RegistersDenoise*'
echo "arm64: $(basename "$wheel") installed and its library checked"
