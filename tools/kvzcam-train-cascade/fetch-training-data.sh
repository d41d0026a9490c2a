#!/bin/bash
# Puts the training and evaluation pictures into $1 (default /tmp/kvzcam-face-data): the face
# crops, their background patches and face-free pictures shipped by Debian's python3-skimage.
# Only the files named here are extracted; nothing else of the package is read.
set -euo pipefail
out=${1:-/tmp/kvzcam-face-data}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get download python3-skimage >/dev/null)
files="lfw_subset.npy brick.png grass.png coffee.png rocket.jpg page.png coins.png moon.png
horse.png hubble_deep_field.jpg clock_motion.png chelsea.png ihc.png logo.png color.png
gravel.png motorcycle_left.png motorcycle_right.png retina.jpg text.png cell.png"
members=()
for f in $files; do members+=("./usr/lib/python3/dist-packages/skimage/data/$f"); done
dpkg-deb --fsys-tarfile "$work"/python3-skimage_*.deb | tar -x -C "$work" "${members[@]}"
for f in $files; do cp "$work/usr/lib/python3/dist-packages/skimage/data/$f" "$out/"; done
echo "$out"
