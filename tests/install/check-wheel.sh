#!/usr/bin/env bash
# The Linux wheel of this machine's architecture, checked with tools other
# than the one that wrote it:
#  - RECORD lists every other file of the zip once, with the sha256 (base64url,
#    no padding) and the size of its bytes (pip does not check them);
#  - the tag's N is the highest GLIBC_2.N that objdump finds in the library;
#  - pip installs it, offline and alone, into a fresh venv; the library and
#    manifest.vs land in site-packages/vapoursynth/plugins/velmoraine/, the
#    manifest's header is right and its one name plus .so is a file there, a
#    library that loads and has the VapourSynth entry;
#  - pip uninstall leaves no file behind, nor the plug-in's folder.
#   check-wheel.sh WHEEL
set -euo pipefail
wheel=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "wheel: $*" >&2; exit 1; }

# RECORD against the zip's own entries.
record=$(unzip -Z1 "$wheel" | grep -E '^[^/]+\.dist-info/RECORD$') || fail "no RECORD"
[ "$(unzip -p "$wheel" "$record" | grep -c -F "$record,,")" = 1 ] || fail "RECORD does not list itself once, unhashed"
diff <(unzip -Z1 "$wheel" | sort) <(unzip -p "$wheel" "$record" | cut -d, -f1 | sort) >&2 ||
  fail "RECORD and the zip hold different files"
while IFS=, read -r path hash size; do
  [ "$path" = "$record" ] && continue
  hex=$(unzip -p "$wheel" "$path" | sha256sum | cut -c1-64)
  expected="sha256=$(printf "$(echo "$hex" | sed 's/../\\x&/g')" | basenc --base64url | tr -d =)"
  [ "$hash" = "$expected" ] || fail "$path: RECORD says $hash, the file has $expected"
  [ "$size" = "$(unzip -p "$wheel" "$path" | wc -c)" ] || fail "$path: RECORD gives the size $size"
done < <(unzip -p "$wheel" "$record")

# The platform tag against the library's symbol versions.
unzip -q -d "$work/zip" "$wheel"
library=$work/zip/vapoursynth/plugins/velmoraine/libvelmoraine.so
glibc=$(objdump -T "$library" | grep -oE 'GLIBC_2\.[0-9]+' | cut -d. -f2 | sort -n | tail -n 1)
case $(basename "$wheel") in
  vapoursynth_velmoraine-*-py3-none-manylinux_2_${glibc}_$(uname -m).whl) ;;
  *) fail "$(basename "$wheel"): the library needs GLIBC_2.$glibc" ;;
esac

# Installed, loaded, uninstalled.
python3 -m venv "$work/venv"
site=$("$work/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
# Files only: pip leaves the empty folders above the plug-in's own, which a
# real install shares with the vapoursynth package.
before=$(cd "$site" && find . ! -type d | sort)
"$work/venv/bin/pip" install -q --disable-pip-version-check --no-index --no-deps "$wheel"
plugins=$site/vapoursynth/plugins/velmoraine
[ "$(ls "$plugins")" = "$(printf 'libvelmoraine.so\nmanifest.vs')" ] || fail "the plug-in folder holds: $(ls "$plugins")"
[ "$(head -n 1 "$plugins/manifest.vs")" = "[VapourSynth Manifest V1]" ] || fail "the manifest's header"
names=$(tail -n +2 "$plugins/manifest.vs" | grep -v '^$')
[ "$(echo "$names" | wc -l)" = 1 ] && [ -f "$plugins/$names.so" ] || fail "the manifest names '$names'"
"$work/venv/bin/python" -c 'import ctypes, sys; ctypes.CDLL(sys.argv[1]).VapourSynthPluginInit2' \
  "$plugins/$names.so" || fail "$plugins/$names.so does not load with its entry"
"$work/venv/bin/pip" uninstall -q -y vapoursynth-velmoraine
after=$(cd "$site" && find . ! -type d | sort)
[ ! -e "$plugins" ] || fail "pip uninstall left $plugins"
[ "$before" = "$after" ] || { diff <(echo "$before") <(echo "$after") >&2; fail "pip uninstall left files behind"; }
echo "wheel: $(basename "$wheel") checked"
