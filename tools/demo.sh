#!/usr/bin/env bash
# Installs what the build needs, builds the program into build/ and runs
# the demo: a synthetic noisy clip filtered, with PSNR before and after. The files stay in DIR (default
# out/demo), taken from the folder the script is run from.
#   bash tools/demo.sh [DIR]
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
source "$repo/tools/lib.sh"
need_packages "${BASE_PACKAGES[@]}"
build=${VELMORAINE_BUILD_DIR:-build}
[[ $build == /* ]] || build=$repo/$build
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target velmoraine
# In the caller's folder, so that DIR and the paths printed are where the
# caller stands.
"$build"/tools/velmoraine --demo "${1:-out/demo}"
