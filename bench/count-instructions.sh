#!/usr/bin/env bash
# Executed instructions of one stage of the plane pass on a 256x256 plane,
# under qemu-aarch64, for the aarch64 build (preset linux-arm64): the plain
# kernels against the best the build has (NEON), each as the count of two runs
# less the count of one, so start-up and set-up cancel out.
#
#   bench/count-instructions.sh [BUILD_DIR]     (default: build-linux-arm64)
#
# STAGES picks the stages (default: block plane wideblock wideplane; the
# wide ones are the wide pass's on the same picture in 16-bit words).
#
# qemu logs every translated block's instructions once (in_asm) and every
# execution of a block (exec; nochain so that none is skipped); the count is
# the sum over executions of their block's length, which equals the count of
# log lines under -singlestep (one instruction a block) at a fraction of the
# log. See docs/performance.md.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-linux-arm64}
program=$dir/bench/stage_instructions
[ -x "$program" ] || { echo "build $program first (cmake --build --preset linux-arm64)" >&2; exit 1; }

count() {
  qemu-aarch64 -L /usr/aarch64-linux-gnu -d in_asm,nochain,exec -D /dev/fd/3 "$program" "$@" 3>&1 >/dev/null | awk '
    /^IN:/ { block = 1; n = 0; first = ""; next }
    block && /^0x[0-9a-f]+:/ { if (first == "") first = substr($1, 3, length($1) - 3); n++; next }
    block { block = 0; if (first != "") size[first] = n }
    /^Trace/ { split($4, f, "/"); pc = f[2]; sub(/^0+/, "", pc); total += size[pc] }
    END { printf "%d\n", total }'
}

for stage in ${STAGES:-block plane wideblock wideplane}; do
  declare -A once
  for level in plain best; do
    one=$(count "$level" "$stage" 1)
    two=$(count "$level" "$stage" 2)
    once[$level]=$((two - one))
  done
  awk -v s="$stage" -v p="${once[plain]}" -v b="${once[best]}" \
    'BEGIN { printf "%-9s plain %11d  best %10d  plain/best %.2f\n", s, p, b, p / b }'
done
