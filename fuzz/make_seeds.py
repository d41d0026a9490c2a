#!/usr/bin/env python3
"""Writes a seed corpus for every fuzz target into OUT/<target>/ from the tree's own material.

Descriptor dumps (tests/simcam/dumps/*.txt, hex text) seed the descriptor and camera-stream
targets; JPEG streams come from cjpeg (libjpeg-turbo) over the face test pictures in several
samplings and modes; the overlay target gets a 640 x 480 24-bit BMP; the configuration target a
few FORMAT.CFG texts. Targets that need no seeds get an empty folder.
"""
import os
import struct
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def dump_bytes(path):
    out = bytearray()
    with open(path) as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                out.extend(int(tok, 16) for tok in line.split())
    return bytes(out)


def write(folder, name, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def descriptor_seeds(out):
    dumps = os.path.join(ROOT, "tests", "simcam", "dumps")
    for name in sorted(os.listdir(dumps)):
        if not name.endswith(".txt"):
            continue
        data = dump_bytes(os.path.join(dumps, name))
        stem = name[:-4]
        write(os.path.join(out, "descriptors"), stem, data)
        if len(data) <= 4096:
            # The camera-stream target reads the dump's length from the input's last two bytes
            # (high byte last) and its attack settings from the bytes before them.
            n = len(data)
            write(os.path.join(out, "camera_stream"), stem, data + bytes(64) + bytes([n & 0xFF, n >> 8]))


def ppm_from_pgm(pgm_path, ppm_path):
    with open(pgm_path, "rb") as f:
        raw = f.read()
    parts = raw.split(maxsplit=4)
    width, height, maxval = int(parts[1]), int(parts[2]), int(parts[3])
    pixels = parts[4][: width * height]
    rgb = bytearray()
    for i, v in enumerate(pixels):
        rgb.extend((v, (v + 40 * (i % width) // max(width, 1)) & 0xFF, 255 - v))
    with open(ppm_path, "wb") as f:
        f.write(b"P6\n%d %d\n%d\n" % (width, height, maxval))
        f.write(bytes(rgb))


def jpeg_seeds(out):
    data = os.path.join(ROOT, "tests", "face", "data")
    pictures = sorted(p for p in os.listdir(data) if p.endswith(".pgm"))[:2]
    variants = [
        ("420", ["-sample", "2x2"]),
        ("422", ["-sample", "2x1"]),
        ("444", ["-sample", "1x1"]),
        ("prog", ["-progressive"]),
        ("restart", ["-restart", "1", "-sample", "2x1"]),
        ("grey", ["-grayscale"]),
        ("opt", ["-optimize", "-quality", "40"]),
    ]
    with tempfile.TemporaryDirectory() as tmp:
        for pic in pictures:
            ppm = os.path.join(tmp, pic[:-4] + ".ppm")
            ppm_from_pgm(os.path.join(data, pic), ppm)
            for tag, args in variants:
                jpeg = subprocess.run(["cjpeg"] + args + [ppm], check=True, capture_output=True).stdout
                name = "%s-%s" % (pic[:-4], tag)
                # The decode target's first byte picks the output format.
                for fmt in range(3):
                    write(os.path.join(out, "jpeg_decode"), "%s-%d" % (name, fmt), bytes([fmt]) + jpeg)
    # The Huffman target: 16 code counts, a mode, a band, the values, then coded bits.
    counts = [0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0]
    values = bytes(range(12))
    for mode in range(6):
        write(os.path.join(out, "huffman_decode"), "dc-%d" % mode,
              bytes(counts) + bytes([mode, 63]) + values + bytes([0x5A, 0xC3, 0xFF, 0x00, 0x12, 0x34, 0xFF, 0xD9]))


def bmp_seed(out):
    width, height = 640, 480
    row = bytearray()
    for x in range(width):
        row.extend((x & 0xFF, (x * 3) & 0xFF, 0xFF if x < 320 else 0))
    image = bytes(row) * height
    header = struct.pack("<2sIHHI", b"BM", 54 + len(image), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(image), 2835, 2835, 0, 0)
    write(os.path.join(out, "bmp_overlay"), "overlay", header + info + image + bytes([0x7F, 0x02, 0xDF, 0x01]))


def config_seeds(out):
    texts = {
        "yuy2": "[INTERPOSITION_YUY2]\r\nCOUNT=2\r\n[INTERPOSITION_YUY2_0]\r\nWIDTH=1920\r\nHEIGHT=1080\r\n"
                "FRAMERATE=30\r\n[INTERPOSITION_YUY2_1]\r\nWIDTH=320\r\nHEIGHT=240\r\nFRAMERATE=15\r\n",
        "flags": "[OUTPUT_FORMAT]\r\nYUY2=1\r\nMJPG=0\r\nRGB24=1\r\n[KSPROPERTY_VIDCAP_CAMERACONTROL]\r\n"
                 "ZOOM=1\r\nPAN=0\r\n[KSPROPERTY_VIDCAP_VIDEOPROCAMP]\r\nBRIGHTNESS=0\r\nGAIN=1\r\n",
        "still": "[INTERPOSITION_STILL_RGB24]\nCOUNT=1\n[INTERPOSITION_STILL_RGB24_0]\nWIDTH=2592\nHEIGHT=1944\n",
    }
    for name, text in texts.items():
        write(os.path.join(out, "config_file"), name, text.encode())


def main():
    out = sys.argv[1]
    descriptor_seeds(out)
    jpeg_seeds(out)
    bmp_seed(out)
    config_seeds(out)
    os.makedirs(os.path.join(out, "stream_assembly"), exist_ok=True)


if __name__ == "__main__":
    main()
