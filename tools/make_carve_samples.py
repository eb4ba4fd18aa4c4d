#!/usr/bin/env python3
"""Makes tests/fixtures/carve_samples.bin.zst, its manifest carve_samples.json and the seed
corpus of the structure walkers' fuzz target (fuzz/corpus/structure_walkers/).

One small real file per structured type, made by the tool that makes such files:
ImageMagick (JPEG baseline and progressive, PNG, GIF, BMP, TIFF, WebP), ffmpeg (WAV, AVI,
MP4, MOV, M4A, MKV, WebM, Ogg, MP3 with an ID3v2 tag), zip (with sizes in the headers,
and streamed, with data descriptors), sqlite3, 7z, gzip; built here where no tool makes
them: a JPEG whose APP1 segment carries a whole thumbnail JPEG (its FF D9 must not end
the file), a PDF with an incremental update, an OLE compound file. The samples are
stored back to back in one file; the manifest gives each one's type (the extension the
carver knows it by), offset, length and SHA-256.

Needs convert, ffmpeg, zip, sqlite3, 7z, gzip, zstd.
  tools/make_carve_samples.py
"""
import hashlib
import json
import os
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..")
FIXTURES = os.path.join(ROOT, "tests", "fixtures")
CORPUS = os.path.join(ROOT, "fuzz", "corpus", "structure_walkers")

# The walker numbers of FileStructure (src/core/raw/file_structure.h), for the corpus.
KIND = {"jpg": 1, "png": 2, "gif": 3, "bmp": 4, "wav": 5, "avi": 5, "webp": 5, "zip": 6, "docx": 6,
        "pdf": 7, "tif": 8, "doc": 9, "db": 10, "mp4": 11, "mov": 11, "m4a": 11, "mkv": 12,
        "webm": 12, "ogg": 13, "7z": 14, "rar": 15, "gz": 16, "mp3": 17}


def run(*args, cwd=None):
    subprocess.run(args, check=True, capture_output=True, cwd=cwd)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def convert(tmp, name, *args):
    out = os.path.join(tmp, name)
    run("convert", *args, out)
    return read(out)


def ffmpeg(tmp, name, *args):
    out = os.path.join(tmp, name)
    run("ffmpeg", "-hide_banner", "-loglevel", "error", "-y", *args, "-fflags", "+bitexact",
        "-flags", "+bitexact", "-map_metadata", "-1", out)
    return read(out)


def jpeg_with_thumbnail(main, thumb):
    # APP1 "Exif\0\0" holding the thumbnail whole, right after the SOI.
    body = b"Exif\x00\x00" + thumb
    return main[:2] + b"\xFF\xE1" + struct.pack(">H", len(body) + 2) + body + main[2:]


def pdf_with_update():
    def body(objs, start):
        out, offsets = b"", []
        for num, text in objs:
            offsets.append((num, start + len(out)))
            out += b"%d 0 obj\n" % num + text + b"\nendobj\n"
        return out, offsets

    head = b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n"
    stream = b"BT /F1 18 Tf 20 40 Td (First) Tj ET"
    objs = [(1, b"<< /Type /Catalog /Pages 2 0 R >>"),
            (2, b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>"),
            (3, b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 100] /Contents 4 0 R >>"),
            (4, b"<< /Length %d >>\nstream\n" % len(stream) + stream + b"\nendstream")]
    part, offsets = body(objs, len(head))
    out = head + part
    xref = len(out)
    out += b"xref\n0 5\n0000000000 65535 f \n" + b"".join(b"%010d 00000 n \n" % o for _, o in offsets)
    out += b"trailer\n<< /Size 5 /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % xref
    # The incremental update: a new content stream for the page, its own xref section.
    stream2 = b"BT /F1 18 Tf 20 40 Td (Second) Tj ET"
    part2, offsets2 = body([(4, b"<< /Length %d >>\nstream\n" % len(stream2) + stream2 + b"\nendstream")], len(out))
    out += part2
    xref2 = len(out)
    out += b"xref\n4 1\n%010d 00000 n \n" % offsets2[0][1]
    out += b"trailer\n<< /Size 5 /Root 1 0 R /Prev %d >>\nstartxref\n%d\n%%%%EOF\n" % (xref, xref2)
    return out


def ole_file():
    # 512-byte sectors: header, sector 0 the FAT, sector 1 the directory, sectors 2-3 a
    # 600-byte stream "Data" in regular sectors (the mini-stream cutoff is declared 0).
    sector = 512
    free, end, fatsect = 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD
    data = bytes((i * 7) & 255 for i in range(600))
    header = bytearray(512)
    header[0:8] = b"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"
    struct.pack_into("<HHHHH", header, 24, 0x3E, 3, 0xFFFE, 9, 6)
    struct.pack_into("<I", header, 44, 1)        # FAT sectors
    struct.pack_into("<I", header, 48, 1)        # first directory sector
    struct.pack_into("<I", header, 56, 0)        # mini stream cutoff: none
    struct.pack_into("<I", header, 60, end)      # no mini FAT
    struct.pack_into("<I", header, 68, end)      # no DIFAT sectors
    for i in range(109):
        struct.pack_into("<I", header, 76 + 4 * i, 0 if i == 0 else free)
    fat = bytearray(b"\xFF" * sector)
    for i, v in enumerate([fatsect, end, 3, end]):
        struct.pack_into("<I", fat, 4 * i, v)
    directory = bytearray(sector)

    def entry(index, name, kind, child, start, size):
        at = index * 128
        raw = name.encode("utf-16-le") + b"\x00\x00"
        directory[at:at + len(raw)] = raw
        struct.pack_into("<HBB", directory, at + 64, len(raw), kind, 1)
        struct.pack_into("<III", directory, at + 68, free, free, child)
        struct.pack_into("<IQ", directory, at + 116, start, size)

    entry(0, "Root Entry", 5, 1, end, 0)
    entry(1, "Data", 2, free, 2, len(data))
    for i in (2, 3):
        struct.pack_into("<III", directory, i * 128 + 68, free, free, free)
    stream = data + bytes(2 * sector - len(data))
    return bytes(header + fat + directory + stream)


def main():
    samples = []
    with tempfile.TemporaryDirectory() as tmp:
        plasma = ["-size", "96x64", "-seed", "5", "plasma:fractal"]
        thumb = convert(tmp, "t.jpg", "-size", "24x16", "-seed", "6", "plasma:fractal", "-strip", "-quality", "70")
        main_jpg = convert(tmp, "m.jpg", *plasma, "-strip", "-quality", "80")
        samples.append(("jpeg_thumbnail", "jpg", jpeg_with_thumbnail(main_jpg, thumb)))
        samples.append(("jpeg_progressive", "jpg", convert(tmp, "p.jpg", *plasma, "-strip", "-interlace", "Plane")))
        samples.append(("png", "png", convert(tmp, "a.png", *plasma, "-strip")))
        samples.append(("gif", "gif", convert(tmp, "a.gif", "-size", "40x30", "-seed", "7", "plasma:fractal",
                                              "-size", "40x30", "xc:navy", "-colors", "32", "-strip")))
        samples.append(("bmp", "bmp", convert(tmp, "a.bmp", "-size", "20x10", "gradient:red-blue")))
        samples.append(("tiff", "tif", convert(tmp, "a.tif", "-size", "40x30", "gradient:white-green",
                                               "-compress", "none", "-define", "tiff:rows-per-strip=8")))
        samples.append(("webp", "webp", convert(tmp, "a.webp", *plasma, "-quality", "50")))
        tone = ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=8000:duration=0.25"]
        video = ["-f", "lavfi", "-i", "testsrc=size=32x24:rate=5:duration=0.4"]
        samples.append(("wav", "wav", ffmpeg(tmp, "a.wav", *tone)))
        samples.append(("avi", "avi", ffmpeg(tmp, "a.avi", *video, "-c:v", "mpeg4")))
        samples.append(("mp4", "mp4", ffmpeg(tmp, "a.mp4", *video, "-c:v", "mpeg4")))
        samples.append(("mov", "mov", ffmpeg(tmp, "a.mov", *video, "-c:v", "mpeg4")))
        samples.append(("m4a", "m4a", ffmpeg(tmp, "a.m4a", *tone, "-c:a", "aac", "-b:a", "16k")))
        samples.append(("mkv", "mkv", ffmpeg(tmp, "a.mkv", *video, "-c:v", "mpeg4")))
        samples.append(("webm", "mkv", ffmpeg(tmp, "a.webm", *video, "-c:v", "libvpx", "-b:v", "50k")))
        samples.append(("ogg", "ogg", ffmpeg(tmp, "a.ogg", *tone, "-c:a", "libvorbis")))
        mp3 = os.path.join(tmp, "a.mp3")
        run("ffmpeg", "-hide_banner", "-loglevel", "error", "-y", *tone, "-c:a", "libmp3lame", "-b:a", "32k",
            "-metadata", "title=Carving", "-id3v2_version", "3", "-fflags", "+bitexact", mp3)
        samples.append(("mp3", "mp3", read(mp3)))
        with open(os.path.join(tmp, "notes.txt"), "w") as f:
            f.write("Quarterly notes\n" * 50)
        with open(os.path.join(tmp, "more.txt"), "w") as f:
            f.write("carving sample\n" * 30)
        os.utime(os.path.join(tmp, "notes.txt"), (1700000000, 1700000000))
        os.utime(os.path.join(tmp, "more.txt"), (1700000000, 1700000000))
        run("zip", "-X", "-q", "a.zip", "notes.txt", "more.txt", cwd=tmp)
        samples.append(("zip", "zip", read(os.path.join(tmp, "a.zip"))))
        streamed = subprocess.run("cat notes.txt | zip -X -q - -", shell=True, check=True, capture_output=True,
                                  cwd=tmp).stdout
        samples.append(("zip_streamed", "zip", streamed))
        samples.append(("pdf_update", "pdf", pdf_with_update()))
        samples.append(("ole", "doc", ole_file()))
        db = os.path.join(tmp, "a.db")
        run("sqlite3", db, "create table t(a, b); insert into t values (1, 'one'), (2, 'two');"
            "create index i on t(b);")
        samples.append(("sqlite", "db", read(db)))
        run("7z", "a", "-bd", "-mtm=off", "-mtc=off", "-mta=off", "a.7z", "notes.txt", "more.txt", cwd=tmp)
        samples.append(("7z", "7z", read(os.path.join(tmp, "a.7z"))))
        run("gzip", "-n", "-k", "notes.txt", cwd=tmp)
        samples.append(("gzip", "gz", read(os.path.join(tmp, "notes.txt.gz"))))

    blob = b""
    manifest = {"made_by": "tools/make_carve_samples.py", "samples": []}
    os.makedirs(CORPUS, exist_ok=True)
    for name, ext, data in samples:
        manifest["samples"].append({"name": name, "type": ext, "offset": len(blob), "length": len(data),
                                    "sha256": hashlib.sha256(data).hexdigest()})
        blob += data
        with open(os.path.join(CORPUS, name), "wb") as f:
            f.write(bytes([KIND[ext]]) + data)
    raw = os.path.join(FIXTURES, "carve_samples.bin")
    with open(raw, "wb") as f:
        f.write(blob)
    run("zstd", "-19", "-q", "-f", raw, "-o", raw + ".zst")
    os.remove(raw)
    with open(os.path.join(FIXTURES, "carve_samples.json"), "w") as f:
        json.dump(manifest, f, indent=2)
        f.write("\n")
    print("wrote", len(samples), "samples,", len(blob), "bytes")


if __name__ == "__main__":
    main()
