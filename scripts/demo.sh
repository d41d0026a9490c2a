#!/usr/bin/env bash
# Builds the x86-64 deliverable and the capture tool, then streams from the simulated camera:
# YUY2 frames as PNG, MJPG frames as delivered (.jpg), an RGB24 stream turned upside down by the
# driver's flips with a still image, a picture the driver turns half round on Windows 8.1 (later
# systems turn it themselves), and the privacy picture. The frames land in demo-frames/ (one folder per run).
# Arguments are passed on to one extra run of the tool when given.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
tool=build/tools/kvzcam-capture/kvzcam-capture
out=demo-frames
rm -rf "$out"
mkdir -p "$out"
# A registry file of the demo's own, so that the runs start from the camera's defaults.
reg="$out/registry.txt"
run() {
  echo
  echo "\$ kvzcam-capture $*"
  "$tool" --registry "$reg" "$@"
}
run --list-devices --list-formats-ext
run --list-ctrls
run --set-fmt-video width=640,height=480,pixelformat=YUY2 --set-parm 30 --stream-count 10 --stream-to "$out/yuy2"
run --set-fmt-video width=1280,height=720,pixelformat=MJPG --stream-count 10 --stream-to "$out/mjpg"
run --set-fmt-video width=640,height=480,pixelformat=RGB24 --set-ctrl horizontal_flip=1,vertical_flip=1 \
    --stream-count 5 --stream-to "$out/turned" --still
# The driver re-reads the orientation on its eleventh processing call: the twelfth frame is turned.
run --windows-build 9600 --set-ctrl horizontal_flip=0,vertical_flip=0 --rotate 2 \
    --set-fmt-video width=640,height=480,pixelformat=YUY2 --stream-count 12 --stream-to "$out/rotated"
find "$out/rotated" -name 'frame-*' ! -name 'frame-0011.png' -delete
run --set-ctrl rotate=0 --privacy --set-fmt-video width=640,height=480,pixelformat=YUY2 --stream-count 3 --stream-to "$out/privacy"
run --set-ctrl privacy=0 --get-ctrl privacy,digital_zoom
if [ $# -gt 0 ]; then run "$@"; fi
echo
echo "Frames to open in an image viewer: $(cd "$out" && pwd)/{yuy2,mjpg,turned,rotated,privacy}"
