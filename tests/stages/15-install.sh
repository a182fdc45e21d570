#!/usr/bin/env bash
# The install as users and packagers make it, from the tree the unit stage
# configured (the default prefix, /usr/local):
#  - `--target deb` configures a tree of its own (build/package: /usr, no
#    tests or benchmarks) and packs it; its files are checked against the
#    layout the hosts autoload, and lintian must find no error, no warning
#    and no hardening note;
#  - `cmake --install` of that tree into a staging folder (DESTDIR); then the
#    package tree goes, and the installed program must still run, naming no
#    path of the build tree, and filter the demo clip to the same bits as the
#    build-tree program;
#  - `--target wheel`: the VapourSynth wheel, installed and uninstalled by
#    pip and checked file by file (tests/install/check-wheel.sh).
set -euo pipefail
source tools/lib.sh
need_packages "${PRODUCT_PACKAGES[@]}" dpkg-dev file lintian binutils unzip python3-venv

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
rm -f build/velmoraine_*.deb build/vapoursynth_velmoraine-*.whl
cmake --build build --target deb wheel -j"$(nproc)" >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }
deb=$(echo build/velmoraine_*.deb)
wheel=$(echo build/vapoursynth_velmoraine-*.whl)
DESTDIR="$work/stage" cmake --install build/package >/dev/null
build/package/tools/velmoraine --quiet --demo "$work/demo-build" >/dev/null

# What must be installed: files (f) and links (l), nothing else.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
expected=$(
  echo "f usr/bin/velmoraine"
  echo "f usr/lib/$multiarch/avisynth/libvelmoraine.so"
  echo "l usr/lib/$multiarch/vapoursynth/libvelmoraine.so"
  echo "f usr/share/man/man1/velmoraine.1.gz"
  for doc in README.md copyright changelog.gz; do echo "f usr/share/doc/velmoraine/$doc"; done
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
# Every error and warning, and the hardening notes among the infos.
lintian -I "$deb" >"$work/lintian.log" 2>/dev/null || true
if grep -E '^[EW]: |^I: .*hardening' "$work/lintian.log" >&2; then
  echo "install: lintian finds the above in $(basename "$deb")" >&2
  exit 1
fi

# The build tree gone, the installed program still runs.
rm -rf build/package
if grep -q -F "$PWD/build/package" "$work/stage/usr/bin/velmoraine"; then
  echo "install: the program still names the build tree" >&2
  exit 1
fi
"$work/stage/usr/bin/velmoraine" --quiet --demo "$work/demo-installed" >/dev/null
for clip in clean noisy filtered; do
  cmp "$work/demo-build/$clip.y4m" "$work/demo-installed/$clip.y4m"
done
echo "install: layout, package, lintian and installed program checked ($(basename "$deb"))"

bash tests/install/check-wheel.sh "$wheel"
