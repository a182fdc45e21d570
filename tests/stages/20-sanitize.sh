#!/usr/bin/env bash
# The test suite again under AddressSanitizer and UndefinedBehaviorSanitizer:
# any report stops the test that made it.
set -euo pipefail
source tools/lib.sh
configure_build build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORAINE_SANITIZE=address,undefined -DVELMORAINE_BENCH=OFF
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --test-dir build-asan --output-on-failure -j"$(nproc)"
