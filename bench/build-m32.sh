#!/usr/bin/env bash
# Builds the plane benchmark and the bit-exactness harness as 32-bit x86
# programs (-m32), and runs the harness: the kernels then have 8 vector
# registers instead of 16, as in the 32-bit Windows plug-in, and take the
# code paths written for that. Doubles in SSE2 registers, as the core requires
# (not the x87 stack).
#
#   bench/build-m32.sh [BUILD_DIR]      (default: build-m32)
#   BUILD_DIR/bench/plane_bench --benchmark_filter=avx2
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/lib.sh
dir=${1:-build-m32}
# i386 packages need the architecture enabled once.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo dpkg --add-architecture i386
  unset VELMORAINE_APT_UPDATED
fi
need_packages "${BASE_PACKAGES[@]}" g++-multilib libbenchmark1debian:i386 libgtest-dev:i386
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS="-m32 -msse2 -mfpmath=sse" -DCMAKE_C_FLAGS="-m32 -msse2 -mfpmath=sse" \
  -DVELMORAINE_TESTS=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" --target plane_bench checkasm_tests
"$dir"/tests/checkasm/checkasm_tests --gtest_brief=1
