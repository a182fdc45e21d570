#!/usr/bin/env bash
# Compares the speed of this tree with an older revision, and of this tree's
# 32-bit build (-m32) with its 64-bit one, in one alternating run on one core.
#
#   bench/compare_revisions.sh OLD_REV [ROUNDS]      (default ROUNDS: 7)
#
# Builds OLD_REV in a temporary git worktree, this working tree as it is, and
# this tree with -m32 (bench/build-m32.sh), each with its own plane_bench.
# Then, ROUNDS times, runs each benchmark in turn on CPU 0 (taskset), so that
# a change in the machine's load touches all of them alike, and keeps the
# fastest figure of each. Figures are CPU time of the benchmark thread: the
# block stage of the AVX2 level (ns per sample of a 1920-wide plane, and core
# cycles per 16 block positions from the measured core clock) and a whole
# 1080p 4:2:0 frame (ms, T = 10). Prints a table and the machine's load.
#
# Environment: LEVEL (kernel level, default avx2), NEW_LEVEL (this tree's
# level; by default LEVEL, or avx512 when LEVEL is not set and this processor
# has it, so that the best kernels of each side meet), CPU (default 0),
# KEEP=1 keeps the build folders (their paths are printed).
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -ge 1 ] || { echo "usage: bench/compare_revisions.sh OLD_REV [ROUNDS]" >&2; exit 2; }
old_rev=$1
rounds=${2:-7}
level=${LEVEL:-avx2}
cpu=${CPU:-0}
source tools/lib.sh
need_packages "${BASE_PACKAGES[@]}" python3 util-linux
git rev-parse --verify -q "$old_rev^{commit}" >/dev/null || { echo "compare_revisions: no revision $old_rev" >&2; exit 2; }

work=$(mktemp -d)
cleanup() {
  git worktree remove --force "$work/old-src" 2>/dev/null || true
  if [ "${KEEP:-}" = 1 ]; then echo "builds kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

echo "== building $old_rev, this tree, and this tree with -m32 (in $work)"
git worktree add -f --detach "$work/old-src" "$old_rev" >/dev/null 2>&1
jobs=$(nproc)
build() {  # build SRC DIR [cmake args]
  local src=$1 dir=$2; shift 2
  cmake -S "$src" -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$dir" -j"$jobs" --target plane_bench >/dev/null
}
build "$work/old-src" "$work/old"
build . "$work/new"
bench/build-m32.sh "$work/new32" >/dev/null
declare -A binary=([old]="$work/old/bench/plane_bench" [new]="$work/new/bench/plane_bench"
                   [new32]="$work/new32/bench/plane_bench")

new_level=${NEW_LEVEL:-$level}
if [ -z "${NEW_LEVEL:-}" ] && [ -z "${LEVEL:-}" ] &&
   "${binary[new]}" --benchmark_list_tests | grep -qx 'StageAccumulateBlocks/avx512'; then
  new_level=avx512
fi
declare -A filter=([old]="^(StageAccumulateBlocks|Frame1080p)/$level(/|\$)"
                   [new]="^(StageAccumulateBlocks|Frame1080p)/$new_level(/|\$)"
                   [new32]="^(StageAccumulateBlocks|Frame1080p)/$new_level(/|\$)")
echo "== levels: $level ($old_rev), $new_level (this tree)"
echo "== $rounds rounds on CPU $cpu; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for round in $(seq "$rounds"); do
  for name in old new new32; do
    taskset -c "$cpu" "${binary[$name]}" --benchmark_filter="${filter[$name]}" --benchmark_min_time=0.5 \
      --benchmark_format=json >"$work/$name.$round.json" 2>/dev/null
  done
  echo "   round $round of $rounds done"
done
echo "== load after: $(cut -d' ' -f1-3 /proc/loadavg)"

python3 - "$work" "$rounds" "$old_rev" <<'EOF'
import json, sys
work, rounds, old_rev = sys.argv[1], int(sys.argv[2]), sys.argv[3]
best = {}   # (name, metric) -> fastest value
ghz = 0.0
for name in ("old", "new", "new32"):
    for r in range(1, rounds + 1):
        data = json.load(open(f"{work}/{name}.{r}.json"))
        for key, value in data.get("context", {}).items():
            if key.startswith("core clock"):
                ghz = max(ghz, float(value))
        for b in data["benchmarks"]:
            if b["name"].startswith("StageAccumulateBlocks"):
                metric, value = "block", b["ns/sample"] * 1e9
            else:
                metric, value = "frame", b["cpu_time"]  # ms
            best[(name, metric)] = min(best.get((name, metric), value), value)
# A band of 8 rows of a 1920-wide plane: 8 * 1920 samples, 8 * 1913 / 16 vectors of 16 blocks.
cycles = lambda ns: ns * (8 * 1920) / (8 * 1913 / 16) * ghz
rows = [("block stage, ns per sample", "block", lambda v: v),
        ("block stage, cycles per 16 blocks", "block", cycles),
        ("1080p 4:2:0 frame, ms", "frame", lambda v: v)]
print(f"\ncore clock {ghz:.2f} GHz (measured); fastest of {rounds} alternating rounds, CPU time\n")
print(f"| figure | {old_rev} | this tree | ratio | this tree, -m32 | -m32 / 64-bit |")
print("|---|---|---|---|---|---|")
for label, metric, f in rows:
    o, n, n32 = (f(best[(k, metric)]) for k in ("old", "new", "new32"))
    print(f"| {label} | {o:.2f} | {n:.2f} | {n / o:.3f} | {n32:.2f} | {n32 / n:.3f} |")
EOF
