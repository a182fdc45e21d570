#!/usr/bin/env bash
# Installs what the build needs, builds the program and its plug-in into
# build/ and runs the demo: a synthetic noisy clip filtered through the
# plug-in, with PSNR before and after. The files stay in DIR (default
# out/demo).
#   bash tools/demo.sh [DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/lib.sh
need_packages "${BASE_PACKAGES[@]}"
build=${VELMORAINE_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target velmoraine
"$build"/tools/velmoraine --demo "${1:-out/demo}"
