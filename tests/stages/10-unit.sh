#!/usr/bin/env bash
# The whole test suite on an optimised build.
set -euo pipefail
source tools/lib.sh
configure_build build -DCMAKE_BUILD_TYPE=Release
ctest --test-dir build --output-on-failure -j"$(nproc)"
