#!/usr/bin/env bash
# Fuzzing: builds the libFuzzer targets with clang-14 under AddressSanitizer
# and UndefinedBehaviorSanitizer (every library instrumented for coverage)
# and runs each for a bounded time, starting from its seed corpus in
# tests/fuzz/corpus/. Any crash, sanitizer report, leak, hang (an input
# taking over 10 s) or single allocation over the target's limit fails the
# stage; the input that caused it is kept in build-fuzz/artifacts/.
# VELMORAINE_FUZZ_SECONDS sets the time per target (default 30).
set -euo pipefail
source tools/lib.sh
need_packages clang-14 libclang-rt-14-dev
seconds=${VELMORAINE_FUZZ_SECONDS:-30}
dir=build-fuzz

CC=clang-14 CXX=clang++-14 cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELMORAINE_FUZZ=ON -DVELMORAINE_SANITIZE=address,undefined \
  -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -DVELMORAINE_BENCH=OFF >/dev/null
targets=(fuzz_y4m fuzz_plane fuzz_invoke fuzz_noise fuzz_c_entry fuzz_vs_entry)
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
mkdir -p "$dir/artifacts"
status=0
# target, largest input, largest single allocation in MiB
for run in "fuzz_y4m 8192 64" "fuzz_plane 4096 256" "fuzz_invoke 4096 256" "fuzz_noise 4096 64" \
           "fuzz_c_entry 256 256" "fuzz_vs_entry 256 256"; do
  read -r target max_len malloc_mb <<<"$run"
  name=${target#fuzz_}
  work="$dir/corpus/$name"
  mkdir -p "$work"
  echo "--- $target for $seconds s"
  if "$dir/tests/fuzz/$target" -max_total_time="$seconds" -max_len="$max_len" \
      -malloc_limit_mb="$malloc_mb" -rss_limit_mb=2048 -timeout=10 \
      -artifact_prefix="$dir/artifacts/$name-" -print_final_stats=1 \
      "$work" "tests/fuzz/corpus/$name" >"$dir/$target.log" 2>&1; then
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$dir/$target.log" || true
    echo "--- $target: no finding"
  else
    tail -n 60 "$dir/$target.log"
    echo "--- $target FAILED: see $dir/$target.log and $dir/artifacts/"
    status=1
  fi
done
exit $status
