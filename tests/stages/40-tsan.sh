#!/usr/bin/env bash
# The frame-parallel paths under ThreadSanitizer: builds build-tsan/ with
# -fsanitize=thread and runs the tests labelled "concurrency" (the program's
# --threads pipeline against one thread, and concurrent frame requests to
# the plug-in through the host), plus the plug-in's own thread tests, and
# the whole suites of the plain-C entry (one filter instance serving several
# threads, as AviSynth+ runs a "nice filter") and of the VapourSynth entry
# (its parallel mode), each in its stand-in host. Any race report fails the
# test that made it; the outputs must equal one thread's.
set -euo pipefail
source tools/lib.sh
dir=build-tsan
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORAINE_SANITIZE=thread \
  -DVELMORAINE_BENCH=OFF >/dev/null
targets=(concurrency_test interrupt_test velmoraine velmoraine_plugin avisynth_c_tests vapoursynth_tests)
# The plug-in's tests hold concurrent requests as well, when they exist.
if cmake --build "$dir" --target help | grep '\bplugin_tests\b' >/dev/null; then targets+=(plugin_tests); fi
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]}"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" -L concurrency
if [[ " ${targets[*]} " == *" plugin_tests "* ]]; then
  "$dir/tests/plugin/plugin_tests" --gtest_filter='*Concurren*:*Thread*'
fi
"$dir/tests/avisynth_c/avisynth_c_tests"
# The VapourSynth entry in the host's parallel mode: several threads asking
# for the same and different frames, `free` on a thread of its own.
"$dir/tests/vapoursynth/vapoursynth_tests"
