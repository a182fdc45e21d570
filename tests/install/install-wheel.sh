#!/usr/bin/env bash
# Installs a wheel built for another platform into DIR the way pip installs
# for a foreign machine, from a fresh virtual environment's pip (Debian's own
# pip refuses to touch the system's Python). Checks that the manifest's one
# name plus the platform's extension is a file beside it, and prints that
# file's path.
#   install-wheel.sh WHEEL PLATFORM_TAG DIR
set -euo pipefail
wheel=$1 tag=$2 dir=$3
venv=$(mktemp -d)
trap 'rm -rf "$venv"' EXIT
python3 -m venv "$venv"
"$venv/bin/pip" install -q --disable-pip-version-check --no-index --no-deps --only-binary=:all: \
  --platform "$tag" --target "$dir" "$wheel" >&2
plugins=$dir/vapoursynth/plugins/velmoraine
case $tag in win*) extension=.dll ;; *) extension=.so ;; esac
if [ "$(head -n 1 "$plugins/manifest.vs")" != "[VapourSynth Manifest V1]" ]; then
  echo "wheel: the manifest's header is wrong" >&2
  exit 1
fi
name=$(tail -n +2 "$plugins/manifest.vs" | grep -v '^$')
if [ "$(echo "$name" | wc -l)" != 1 ] || [ ! -f "$plugins/$name$extension" ]; then
  echo "wheel: the manifest names '$name', and $plugins holds: $(ls "$plugins")" >&2
  exit 1
fi
echo "$plugins/$name$extension"
