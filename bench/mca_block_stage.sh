#!/usr/bin/env bash
# llvm-mca's estimate of the AVX2 block stage, 8-bit and 16-bit, per 16 block
# positions, for a processor of each vendor (icelake-server, znver3 by
# default; CPUS="..." for others). The kernels are compiled as the build
# compiles them (g++ -O3), with VELMORAINE_MCA_REGIONS, which marks in the
# assembly the loops of the hot path: one column (forward transform,
# shrinkage, inverse transform), the weights of a block row, and the weighted
# sums of a full band (8 block rows) for one frequency u.
#
# A block row of a chunk is 8 columns and one lookup of weights; a band adds
# its sums 8 times (u) for 8 block rows. So per block row of a chunk:
#   8 x column + weights + sums,
# and a chunk holds 16 block positions at 8 bits, 8 at 16 bits (two chunks).
# Printed: llvm-mca's block throughput (cycles, resources only) and its
# simulated cycles per iteration (dependencies included) of each region.
set -euo pipefail
cd "$(dirname "$0")/.."
cxx=${CXX:-g++}
mca=${MCA:-llvm-mca-14}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/view" && ln -s "$PWD/core" "$work/view/core"
for file in stream_avx2 wide_avx2; do
  "$cxx" -O3 -DNDEBUG -fPIC -std=c++20 -DVELMORAINE_KERNELS_X86 -DVELMORAINE_MCA_REGIONS -I"$work/view" \
    -S -o "$work/$file.s" "core/x86/$file.cpp"
done
for cpu in ${CPUS:-icelake-server znver3}; do
  for file in stream_avx2 wide_avx2; do
    "$mca" -mcpu="$cpu" -iterations=100 "$work/$file.s" > "$work/$file.$cpu.txt" 2>/dev/null
  done
  python3 - "$cpu" "$work/stream_avx2.$cpu.txt" "$work/wide_avx2.$cpu.txt" <<'PY'
import re, sys
cpu, byte_report, wide_report = sys.argv[1:]
pattern = re.compile(r"Code Region - (\w+)\n\nIterations:\s+(\d+)\nInstructions:\s+(\d+)\nTotal Cycles:\s+(\d+)"
                     r"\n.*?Block RThroughput:\s+([\d.]+)", re.S)
def regions(path):
    found = {}
    for name, iterations, instructions, cycles, throughput in pattern.findall(open(path).read()):
        n = int(iterations)
        found.setdefault(name, (int(instructions) / n, int(cycles) / n, float(throughput)))
    return found
byte, wide = regions(byte_report), regions(wide_report)
print(f"{cpu}: region: instructions, block throughput, simulated cycles (8-bit | 16-bit)")
for name in ("column", "weights", "sums"):
    b, w = byte[name], wide[name]
    print(f"  {name:8s} {b[0]:5.0f} {b[2]:6.1f} {b[1]:6.1f} | {w[0]:5.0f} {w[2]:6.1f} {w[1]:6.1f}")
for index, what in ((2, "block throughput"), (1, "simulated cycles")):
    per_byte = 8 * byte["column"][index] + byte["weights"][index] + byte["sums"][index]
    per_wide = 2 * (8 * wide["column"][index] + wide["weights"][index] + wide["sums"][index])
    print(f"  per 16 blocks, {what}: 8-bit {per_byte:.0f}, 16-bit {per_wide:.0f}, ratio {per_wide / per_byte:.2f}")
PY
done
