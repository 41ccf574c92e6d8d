#!/usr/bin/env bash
# Renders the committed PNG icons from kornat2.svg. The PNGs are kept in the repository so that a
# build never needs an SVG converter; run this again after changing the SVG
# (needs rsvg-convert: sudo apt-get install librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 32 48 64 128 256; do
  rsvg-convert --width "$size" --height "$size" kornat2.svg -o "kornat2-$size.png"
done
