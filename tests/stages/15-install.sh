#!/usr/bin/env bash
# The install as a packager makes it: a build with the test and benchmark
# options off, `cmake --install` into a staging folder (DESTDIR) and
# `cpack -G DEB`. Then the build tree goes, and the installed program must
# still run, naming no path of the build tree, and filter the demo clip to
# the same bits as the build-tree program. Checks the staged
# files and the package's file list against the layout the hosts autoload.
set -euo pipefail
source tools/lib.sh
need_packages "${PRODUCT_PACKAGES[@]}" dpkg-dev file

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake -S . -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DVELMORAINE_TESTS=OFF -DVELMORAINE_BENCH=OFF >/dev/null
cmake --build "$work/build" -j"$(nproc)" >/dev/null
DESTDIR="$work/stage" cmake --install "$work/build" >/dev/null
(cd "$work/build" && cpack -G DEB) >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; exit 1; }
deb=$(echo "$work"/build/velmoraine_*.deb)
"$work/build/tools/velmoraine" --quiet --demo "$work/demo-build" >/dev/null

# What must be installed: files (f) and links (l), nothing else.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
expected=$(
  echo "f usr/bin/velmoraine"
  echo "f usr/lib/$multiarch/avisynth/libvelmoraine.so"
  echo "l usr/lib/$multiarch/vapoursynth/libvelmoraine.so"
  echo "f usr/share/man/man1/velmoraine.1"
  echo "f usr/share/doc/velmoraine/README.md"
  (cd docs && find . -type f -printf 'f usr/share/doc/velmoraine/%P\n')
)
expected=$(echo "$expected" | sort)
staged=$(cd "$work/stage" && find . ! -type d -printf '%y %P\n' | sort)
if [ "$staged" != "$expected" ]; then
  echo "install: the staged files differ from the layout (< expected, > staged):" >&2
  diff <(echo "$expected") <(echo "$staged") >&2 || true
  exit 1
fi
[ "$(readlink "$work/stage/usr/lib/$multiarch/vapoursynth/libvelmoraine.so")" = ../avisynth/libvelmoraine.so ]
packaged=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { t = substr($1, 1, 1) == "l" ? "l" : "f"; sub(/^\.\//, "", $6); print t, $6 }' | sort)
if [ "$packaged" != "$expected" ]; then
  echo "install: the package's files differ from the layout (< expected, > packaged):" >&2
  diff <(echo "$expected") <(echo "$packaged") >&2 || true
  exit 1
fi
dpkg-deb -f "$deb" Depends | grep -q 'libstdc++6' || { echo "install: the package names no dependencies" >&2; exit 1; }

# The build tree gone, the installed program still runs.
rm -rf "$work/build"
if grep -q -F "$work/build" "$work/stage/usr/bin/velmoraine"; then
  echo "install: the program still names the build tree" >&2
  exit 1
fi
"$work/stage/usr/bin/velmoraine" --quiet --demo "$work/demo-installed" >/dev/null
for clip in clean noisy filtered; do
  cmp "$work/demo-build/$clip.y4m" "$work/demo-installed/$clip.y4m"
done
echo "install: layout, package and installed program checked ($(basename "$deb"))"
