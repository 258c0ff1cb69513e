#!/usr/bin/env bash
# Renders the icon (packaging/icons/h8sx-writer.svg) to the PNG sizes the desktops and the
# package use and to the Windows icon file, beside it. The results are checked in; run this
# again after changing the drawing. Needs rsvg-convert (librsvg2-bin) and ImageMagick.
set -euo pipefail
cd "$(dirname "$0")/../packaging/icons"
sizes=(16 24 32 48 64 128 256)
for s in "${sizes[@]}"; do
  # No time stamps or other text chunks: the same drawing gives the same bytes.
  rsvg-convert -w "$s" -h "$s" h8sx-writer.svg | convert - -strip "PNG32:h8sx-writer-$s.png"
done
# Windows takes 16, 24, 32, 48 and 256 from one file (256 stored as PNG by ImageMagick).
convert h8sx-writer-{16,24,32,48,256}.png h8sx-writer.ico
