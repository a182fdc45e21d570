#!/usr/bin/env bash
# Makes docs/demo-before-after.png from the demo's files: frame 15, a
# 160x200 crop at (120,20) magnified twice, noisy | filtered | clean.
# Run the demo first (bash tools/demo.sh); needs ffmpeg and DejaVu fonts.
#   bash tools/demo-picture.sh [DEMO_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/lib.sh
need_packages ffmpeg fonts-dejavu-core
dir=${1:-out/demo}
font=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for clip in noisy filtered clean; do
  ffmpeg -v error -y -i "$dir/$clip.y4m" \
    -vf "select=eq(n\,15),crop=160:200:120:20,scale=320:400:flags=neighbor" \
    -frames:v 1 "$tmp/$clip.png"
done
label() { echo "drawtext=fontfile=$font:text='$1':x=8:y=8:fontsize=18:fontcolor=white:box=1:boxcolor=black@0.6"; }
ffmpeg -v error -y -i "$tmp/noisy.png" -i "$tmp/filtered.png" -i "$tmp/clean.png" -filter_complex \
  "[0]$(label 'noisy  28.1 dB')[a];[1]$(label 'filtered T=28  40.3 dB')[b];[2]$(label clean)[c];[a][b][c]hstack=inputs=3" \
  docs/demo-before-after.png
echo "wrote docs/demo-before-after.png"
