#!/usr/bin/env python3
"""Makes tests/fixtures/raw_carve.img.zst and its manifest raw_carve.json.

A small raw image (3 MiB and 77 sectors, so the carving walk has a remainder after its
whole MiB blocks) with real files planted at sector-aligned offsets between runs of
random filler and zeros:

  jpg1, jpg2  JPEG by ImageMagick (two, so the first ends at the second's start)
  png         PNG built here with zlib; a tEXt chunk pads it so that its IEND chunk
              type (the ending signature 49 45 4E 44 AE 42 60 82) begins a sector
  bmp1        BMP by ImageMagick, across the 1 MiB block boundary (cut by its size field)
  gif         GIF by ImageMagick, in the sector right after bmp1's last one
  pdf         hand-written PDF with a correct cross-reference table
  zip         ZIP by Python's zipfile (fixed member times)
  bmp2        small BMP in the part after the last whole MiB

Every sector start of the image is checked against every starting and ending signature
of tools/signatures.tsv: only the planted starts and the PNG's end may match, so the
carve results are exactly what the manifest says. Filler sectors that match by chance
are drawn again. Needs ImageMagick's convert and zstd.

  tools/make_raw_fixture.py [OUTPUT_DIR]     (default tests/fixtures)
"""
import hashlib
import json
import os
import random
import struct
import subprocess
import sys
import zipfile
import io
import zlib

SECTOR = 512
MIB = 1048576
IMAGE_BYTES = 3 * MIB + 77 * SECTOR
SEED = 20261209
HERE = os.path.dirname(os.path.abspath(__file__))


def convert(*args):
    out = subprocess.run(["convert", *args], check=True, capture_output=True).stdout
    if not out:
        raise SystemExit("convert produced nothing for %r" % (args,))
    return out


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def make_png():
    width, height = 64, 48
    rows = b"".join(
        b"\x00" + bytes(v for x in range(width) for v in ((x * 4) & 255, (y * 5) & 255, ((x + y) * 3) & 255))
        for y in range(height))
    ihdr = png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
    idat = png_chunk(b"IDAT", zlib.compress(rows, 9))
    iend = png_chunk(b"IEND", b"")
    head = b"\x89PNG\r\n\x1a\n" + ihdr
    # IEND's type begins 4 bytes into its chunk; pad the tEXt chunk so that it begins a sector.
    for pad in range(SECTOR):
        text = png_chunk(b"tEXt", b"Comment\x00" + b"x" * pad)
        if (len(head) + len(text) + len(idat) + 4) % SECTOR == 0:
            return head + text + idat + iend
    raise SystemExit("no padding aligns the PNG end")


def make_pdf():
    objects = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 100] /Contents 4 0 R "
        b"/Resources << /Font << /F1 5 0 R >> >> >>",
        None,
        b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
    ]
    stream = b"BT /F1 18 Tf 20 40 Td (Carved PDF) Tj ET"
    objects[3] = b"<< /Length %d >>\nstream\n" % len(stream) + stream + b"\nendstream"
    out = b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n"
    offsets = []
    for i, body in enumerate(objects, start=1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % i + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    for off in offsets:
        out += b"%010d 00000 n \n" % off
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
    return out


def make_zip():
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", compression=zipfile.ZIP_DEFLATED) as z:
        for name, text in (("notes.txt", "Quarterly notes\n" * 40), ("readme.txt", "carving fixture\n" * 20)):
            info = zipfile.ZipInfo(name, date_time=(2024, 1, 2, 3, 4, 6))
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, text)
    return buf.getvalue()


def load_patterns():
    patterns = []
    with open(os.path.join(HERE, "signatures.tsv")) as table:
        for line in table:
            if line.startswith("#") or not line.strip():
                continue
            fields = line.rstrip("\n").split("\t")
            for kind, text in (("start", fields[1]), ("end", fields[2])):
                if text == "-":
                    continue
                pattern = bytes(int(b, 16) for b in text.split(",") if b)
                if len(pattern) >= 2:
                    patterns.append((fields[0], kind, pattern))
    return patterns


def matches(pattern, data, at):
    window = data[at:at + len(pattern)]
    if len(window) < len(pattern):
        window = window + bytes(len(pattern) - len(window))
    return all(p == 0x2A or p == b for p, b in zip(pattern, window))


def first_match(patterns, data, at):
    # Starting signatures are tried before ending ones, each in table order.
    for kind in ("start", "end"):
        for ext, k, pattern in patterns:
            if k == kind and matches(pattern, data, at):
                return ext, kind
    return None


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "tests", "fixtures")
    rng = random.Random(SEED)
    files = {
        "jpg1": ("jpg", convert("-size", "320x240", "-seed", "11", "plasma:fractal", "-strip", "-quality", "85", "jpg:-")),
        "png": ("png", make_png()),
        "jpg2": ("jpg", convert("-size", "200x150", "-seed", "12", "plasma:fractal", "-strip", "-quality", "80", "jpg:-")),
        "bmp1": ("bmp", convert("-size", "300x200", "gradient:navy-orange", "BMP3:-")),
        "gif": ("gif", convert("-size", "120x90", "-seed", "13", "plasma:fractal", "-colors", "64", "-strip", "gif:-")),
        "pdf": ("pdf", make_pdf()),
        "zip": ("zip", make_zip()),
        "bmp2": ("bmp", convert("-size", "16x16", "xc:red", "BMP3:-")),
    }
    bmp1_at = MIB - 32 * 1024
    bmp1_end = bmp1_at + len(files["bmp1"][1])
    placement = [
        ("jpg1", 64 * 1024),
        ("png", 256 * 1024),
        ("jpg2", 512 * 1024),
        ("bmp1", bmp1_at),
        ("gif", (bmp1_end + SECTOR - 1) // SECTOR * SECTOR),
        ("pdf", 3 * MIB // 2),
        ("zip", 2 * MIB + 4096),
        ("bmp2", 3 * MIB + 8192),
    ]

    image = bytearray(IMAGE_BYTES)
    filler = []  # (start, end) byte ranges of random filler
    filler.append((0, 64 * 1024))
    occupied = []
    for name, at in placement:
        data = files[name][1]
        assert at % SECTOR == 0
        occupied.append((at, at + len(data)))
    for (a, b) in sorted(occupied):
        # Slack after the file to the end of its sector, then 16 KiB, never over a file.
        stop = min([s for s, _ in occupied if s >= b] + [IMAGE_BYTES, (b + SECTOR - 1) // SECTOR * SECTOR + 16384])
        if stop > b:
            filler.append((b, stop))
    for a, b in filler:
        image[a:b] = rng.randbytes(b - a)
    for name, at in placement:
        data = files[name][1]
        image[at:at + len(data)] = data

    patterns = load_patterns()
    starts = {at: name for name, at in placement}
    png_at = dict(placement)["png"]
    png_end_sector = png_at + len(files["png"][1]) - 8
    for at in range(0, IMAGE_BYTES, SECTOR):
        for _ in range(100):
            hit = first_match(patterns, image, at)
            if at in starts:
                expected = (files[starts[at]][0], "start")
                if hit != expected:
                    raise SystemExit("%s at %d matches %r, not its own signature" % (starts[at], at, hit))
                break
            if at == png_end_sector:
                if hit != ("png", "end"):
                    raise SystemExit("PNG end sector matches %r" % (hit,))
                break
            if hit is None:
                break
            in_filler = any(a <= at < b for a, b in filler) and not any(s <= at < e for s, e in occupied)
            if not in_filler:
                raise SystemExit("sector %d inside a planted file matches %r" % (at, hit))
            stop = min(at + SECTOR, IMAGE_BYTES)
            image[at:stop] = rng.randbytes(stop - at)
        else:
            raise SystemExit("could not clear sector %d" % at)

    os.makedirs(out_dir, exist_ok=True)
    raw_path = os.path.join(out_dir, "raw_carve.img")
    with open(raw_path, "wb") as f:
        f.write(image)
    subprocess.run(["zstd", "-19", "-q", "-f", raw_path, "-o", raw_path + ".zst"], check=True)
    os.remove(raw_path)

    manifest = {
        "image": "raw_carve.img",
        "bytes": IMAGE_BYTES,
        "sector_bytes": SECTOR,
        "made_by": "tools/make_raw_fixture.py (ImageMagick convert, zlib, zipfile, hand-written PDF)",
        "png_end_match_offset": png_end_sector,
        "files": [
            {
                "name": name,
                "type": files[name][0],
                "offset": at,
                "length": len(files[name][1]),
                "sha256": hashlib.sha256(files[name][1]).hexdigest(),
            }
            for name, at in placement
        ],
    }
    with open(os.path.join(out_dir, "raw_carve.json"), "w") as f:
        json.dump(manifest, f, indent=2)
        f.write("\n")
    print("wrote", raw_path + ".zst", os.path.getsize(raw_path + ".zst"), "bytes")


if __name__ == "__main__":
    main()
