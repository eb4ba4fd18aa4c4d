#!/usr/bin/env python3
"""Makes the carving benchmark's image: a FAT32 volume (mkfs.fat, files written by mtools'
mcopy, 4 KiB clusters) holding many small files (100 B to 40 KB) of the default carving
types mixed with text and random data, and a manifest of every file (path, type, size,
SHA-256) for checking what a carver saves.

Pictures come from a pool made by ImageMagick's convert, each copy made unique with a
comment (JPEG COM segment, PNG tEXt chunk, GIF comment extension); PDFs are written here
(a third with an incremental update); ZIPs by Python's zipfile, gzip by its gzip module,
SQLite databases by its sqlite3 module, WAV by its wave module, BMPs written here.

  tools/make_carve_bench_image.py OUT_DIR [--files N] [--mib SIZE]
  (defaults: 30000 files, a 1024 MiB image; 4 KiB clusters, 512 bytes below 512 MiB)  -> OUT_DIR/image.img, OUT_DIR/manifest.json
"""
import argparse
import gzip
import hashlib
import io
import json
import os
import random
import shutil
import sqlite3
import struct
import subprocess
import tempfile
import wave
import zipfile
import zlib

WORDS = ("carving recovery sector cluster volume record entry folder report quarterly notes budget "
         "meeting draft final summary invoice project photo holiday garden river mountain city").split()


def text(rng, n):
    out = []
    size = 0
    while size < n:
        w = rng.choice(WORDS)
        out.append(w)
        size += len(w) + 1
    return (" ".join(out))[:n]


def pool(tmp, kind, count, rng):
    items = []
    for i in range(count):
        w, h = rng.randint(16, 200), rng.randint(16, 150)
        out = os.path.join(tmp, "p%d.%s" % (i, kind))
        args = ["convert", "-size", "%dx%d" % (w, h), "-seed", str(i + 1), "plasma:fractal", "-strip"]
        if kind == "jpg":
            args += ["-quality", str(rng.randint(40, 92))]
            if i % 4 == 0:
                args += ["-interlace", "Plane"]
        if kind == "gif":
            args += ["-colors", str(rng.choice([8, 16, 32, 64]))]
        subprocess.run(args + [out], check=True)
        with open(out, "rb") as f:
            items.append(f.read())
    return items


def unique_jpg(base, rng):
    note = text(rng, rng.randint(8, 1500)).encode()
    return base[:2] + b"\xFF\xFE" + struct.pack(">H", len(note) + 2) + note + base[2:]


def unique_png(base, rng):
    data = b"Comment\x00" + text(rng, rng.randint(8, 1500)).encode()
    chunk = struct.pack(">I", len(data)) + b"tEXt" + data + struct.pack(">I", zlib.crc32(b"tEXt" + data) & 0xFFFFFFFF)
    return base[:33] + chunk + base[33:]


def unique_gif(base, rng):
    note = text(rng, rng.randint(8, 250)).encode()
    return base[:-1] + b"\x21\xFE" + bytes([len(note)]) + note + b"\x00\x3B"


def make_pdf(rng):
    lines = [text(rng, rng.randint(20, 70)) for _ in range(rng.randint(2, 300))]
    stream = "BT /F1 10 Tf 20 800 Td " + " ".join("(%s) Tj 0 -12 Td" % l for l in lines) + " ET"
    stream = stream.encode()
    objs = [b"<< /Type /Catalog /Pages 2 0 R >>", b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R "
            b"/Resources << /Font << /F1 5 0 R >> >> >>",
            b"<< /Length %d >>\nstream\n" % len(stream) + stream + b"\nendstream",
            b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"]
    out = b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n"
    offsets = []
    for i, body in enumerate(objs, start=1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % i + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 6\n0000000000 65535 f \n" + b"".join(b"%010d 00000 n \n" % o for o in offsets)
    out += b"trailer\n<< /Size 6 /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % xref
    if rng.random() < 0.33:
        s2 = b"BT /F1 12 Tf 20 400 Td (" + text(rng, 60).encode() + b") Tj ET"
        at = len(out)
        out += b"4 0 obj\n<< /Length %d >>\nstream\n" % len(s2) + s2 + b"\nendstream\nendobj\n"
        x2 = len(out)
        out += b"xref\n4 1\n%010d 00000 n \ntrailer\n<< /Size 6 /Root 1 0 R /Prev %d >>\nstartxref\n%d\n%%%%EOF\n" % (
            at, xref, x2)
    return out


def make_zip(rng):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", compression=zipfile.ZIP_DEFLATED) as z:
        for k in range(rng.randint(1, 3)):
            z.writestr(zipfile.ZipInfo("doc%d.txt" % k, date_time=(2024, 1, 2, 3, 4, 6)),
                       text(rng, rng.randint(50, 30000)), compress_type=zipfile.ZIP_DEFLATED)
    return buf.getvalue()


def make_bmp(rng):
    w, h = rng.randint(2, 60), rng.randint(2, 60)
    row = (w * 3 + 3) // 4 * 4
    pixels = bytes(rng.getrandbits(8) for _ in range(row * h))
    size = 54 + len(pixels)
    return (b"BM" + struct.pack("<IHHI", size, 0, 0, 54) +
            struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(pixels), 2835, 2835, 0, 0) + pixels)


def make_wav(rng):
    buf = io.BytesIO()
    with wave.open(buf, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(8000)
        w.writeframes(bytes(rng.getrandbits(8) for _ in range(2 * rng.randint(50, 15000))))
    return buf.getvalue()


def make_gz(rng):
    return gzip.compress(text(rng, rng.randint(100, 60000)).encode(), mtime=0)


def make_db(rng, tmp):
    path = os.path.join(tmp, "t.db")
    if os.path.exists(path):
        os.remove(path)
    con = sqlite3.connect(path)
    con.execute("create table t(a integer, b text)")
    con.executemany("insert into t values (?, ?)", [(i, text(rng, 40)) for i in range(rng.randint(1, 300))])
    con.commit()
    con.close()
    with open(path, "rb") as f:
        return f.read()


MIX = [("jpg", 20), ("png", 12), ("gif", 8), ("pdf", 10), ("zip", 10), ("bmp", 4), ("wav", 3), ("gz", 4),
       ("db", 2), ("txt", 15), ("bin", 12)]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("--files", type=int, default=30000)
    ap.add_argument("--mib", type=int, default=1024)
    ap.add_argument("--seed", type=int, default=2026)
    a = ap.parse_args()
    rng = random.Random(a.seed)
    os.makedirs(a.out, exist_ok=True)
    image = os.path.join(a.out, "image.img")
    manifest = []
    with tempfile.TemporaryDirectory() as tmp:
        pools = {k: pool(tmp, k, n, rng) for k, n in (("jpg", 40), ("png", 20), ("gif", 20))}
        tree = os.path.join(tmp, "files")
        kinds = [k for k, w in MIX for _ in range(w)]
        for i in range(a.files):
            kind = rng.choice(kinds)
            if kind == "jpg":
                data = unique_jpg(rng.choice(pools["jpg"]), rng)
            elif kind == "png":
                data = unique_png(rng.choice(pools["png"]), rng)
            elif kind == "gif":
                data = unique_gif(rng.choice(pools["gif"]), rng)
            elif kind == "pdf":
                data = make_pdf(rng)
            elif kind == "zip":
                data = make_zip(rng)
            elif kind == "bmp":
                data = make_bmp(rng)
            elif kind == "wav":
                data = make_wav(rng)
            elif kind == "gz":
                data = make_gz(rng)
            elif kind == "db":
                data = make_db(rng, tmp)
            elif kind == "txt":
                data = text(rng, rng.randint(100, 40000)).encode()
            else:
                data = rng.randbytes(rng.randint(100, 40000))
            if len(data) > 40960 and kind not in ("jpg", "png", "gif"):
                data = data[:40960] if kind in ("txt", "bin") else data
            rel = os.path.join("d%03d" % (i // 500), "f%05d.%s" % (i, kind))
            path = os.path.join(tree, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
            manifest.append({"path": rel, "type": kind, "size": len(data), "sha256": hashlib.sha256(data).hexdigest()})
        if os.path.exists(image):
            os.remove(image)
        # FAT32 needs at least 65 525 clusters: 4 KiB clusters from 512 MiB, 512 bytes below.
        cluster = "8" if a.mib >= 512 else "1"
        subprocess.run(["mkfs.fat", "-F", "32", "-S", "512", "-s", cluster, "-n", "CARVEBENCH", "-C", image,
                        str(a.mib * 1024)], check=True, capture_output=True)
        dirs = sorted(os.listdir(tree))
        subprocess.run(["mcopy", "-i", image, "-s", "-Q", *[os.path.join(tree, d) for d in dirs], "::/"], check=True)
    with open(os.path.join(a.out, "manifest.json"), "w") as f:
        json.dump(manifest, f)
    total = sum(m["size"] for m in manifest)
    print("wrote %s: %d files, %d bytes" % (image, len(manifest), total))


if __name__ == "__main__":
    main()
