#!/usr/bin/env bash
# Peak memory of the program on pipes, measured with /usr/bin/time -v:
#   - a 52-byte input whose header claims 16384x16384 frames at 16 bits
#     (1.5 GiB each) and then sends one FRAME line: refused as truncated,
#     under 200 MB;
#   - three 8192x8192 4:4:4 16-bit frames (384 MiB each) piped in and out,
#     with --T auto holding frames back: the default budget of 1 GiB holds
#     two, so under 1000 MB (three frames would be 1.2 GB); with --memory 400
#     one, so under 500 MB. About a minute each on 2 cores.
# Prints each peak. Skipped under a sanitizer build's environment, where
# freed memory stays in quarantine.
set -euo pipefail
source tools/lib.sh
need_packages time
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target velmoraine >/dev/null
program=$PWD/build/tools/velmoraine
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# frames SIZE COUNT: a 4:4:4 16-bit stream of COUNT noise frames, SIZE x SIZE.
header() { printf 'YUV4MPEG2 W%d H%d F25:1 Ip A1:1 C444p16' "$1" "$1"; }
frames() {
  header "$1"
  printf '\n'
  for ((i = 0; i < $2; ++i)); do
    printf 'FRAME\n'
    head -c $(($1 * $1 * 6)) /dev/urandom
  done
}

# peak_kib: the peak resident memory in the report of /usr/bin/time -v.
peak_kib() { awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time"; }

# check NAME LIMIT_MB: the peak of the last run is under LIMIT_MB.
check() {
  local kib
  kib=$(peak_kib)
  echo "memory: $1: peak $((kib / 1024)) MiB (limit $2 MB)"
  if [ $((kib * 1024)) -ge $(($2 * 1000 * 1000)) ]; then
    echo "memory: $1: the peak is over the limit" >&2
    exit 1
  fi
}

status=0
printf 'YUV4MPEG2 W16384 H16384 F25:1 Ip A1:1 C444p16\nFRAME\n' |
  /usr/bin/time -v -o "$work/time" "$program" --T 20 - "$work/out.y4m" 2>"$work/err" || status=$?
if [ "$status" -ne 1 ] || ! grep -q 'frame 0 is truncated' "$work/err"; then
  echo "memory: the hostile header was not refused as truncated (status $status):" >&2
  cat "$work/err" >&2
  exit 1
fi
check "a 16384x16384 16-bit header and one FRAME line" 200

line=$(header 8192)
expected=$((${#line} + 1 + 3 * (6 + 8192 * 8192 * 6)))
for budget in "" "--memory 400"; do
  limit=$([ -z "$budget" ] && echo 1000 || echo 500)
  # shellcheck disable=SC2086 # the budget is two words or none
  bytes=$(frames 8192 3 | /usr/bin/time -v -o "$work/time" "$program" -q --T auto $budget - - | wc -c)
  if [ "$bytes" -ne "$expected" ]; then
    echo "memory: three 8192x8192 frames gave $bytes bytes, not $expected" >&2
    exit 1
  fi
  check "three 8192x8192 16-bit frames, --T auto ${budget:-with the default budget}" "$limit"
done
