#!/bin/bash
# Builds the NTFS test images with mkntfs and ntfs-3g and writes a manifest of what each
# holds. Run as root on a machine with /dev/fuse (never in CI; the images are committed):
#   tools/make_ntfs_fixtures.sh [output folder, default tests/fixtures]
#
# Images:
#   ntfs_basic.img     16 MiB, 4096-byte clusters: nested folders, empty/resident/multi-
#                      cluster files, a fragmented file whose runs overflow into an
#                      attribute list, a sparse file, files in a compressed folder (LZNT1),
#                      a file with many hard links, a long Unicode name, deleted files and a
#                      deleted folder.
#   ntfs_512.img       8 MiB, 512-byte clusters: a few files incl. a compressed and a sparse one.
#   ntfs_64k.img      16 MiB, 65536-byte clusters (64 MFT records per cluster): a few files.
#   ntfs_noboot.img    ntfs_basic.img with its boot sector zeroed (fallback MFT scan).
#   ntfs_mftdamaged.img ntfs_basic.img with MFT record 0 zeroed (deep scan).
# Manifest: ntfs_fixtures.json (per image: files with path, size, sha256, deleted).
set -euo pipefail
OUT=$(realpath "${1:-$(dirname "$0")/../tests/fixtures}")
WORK=$(mktemp -d)
MNT=$WORK/mnt
mkdir -p "$MNT"
trap 'umount "$MNT" 2>/dev/null || true; rm -rf "$WORK"' EXIT

gen() {  # gen SEED SIZE FILE: deterministic, moderately compressible bytes
    python3 - "$@" <<'PY'
import random, sys
seed, size, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
r = random.Random(seed)
words = [b"alpha", b"bravo", b"charlie", b"delta", b"echo", b"foxtrot", b"golf", b"hotel"]
out = bytearray()
while len(out) < size:
    out += r.choice(words) + b" " + str(r.randrange(100000)).encode() + (b"\n" if r.random() < .1 else b" ")
open(path, "wb").write(out[:size])
PY
}
setattr_compressed() {  # FILE_ATTRIBUTE_COMPRESSED (0x800) through ntfs-3g's attribute xattr
    python3 -c 'import os,sys; os.setxattr(sys.argv[1], "system.ntfs_attrib_be", (0x10|0x800).to_bytes(4,"big"))' "$1"
}

# ---------- ntfs_basic.img ----------
IMG=$WORK/ntfs_basic.img
truncate -s 16M "$IMG"
mkntfs -q -F -f -c 4096 -L BASIC "$IMG"
ntfs-3g -o compression "$IMG" "$MNT"
mkdir -p "$MNT/dir1/dir2/dir3"
gen deep 5000 "$MNT/dir1/dir2/dir3/deep.txt"
: > "$MNT/empty.txt"
gen resident 300 "$MNT/resident.txt"
gen multi 10000 "$MNT/multi.bin"
# Sparse: 64 KiB hole, 4 KiB data, 64 KiB hole, 100 bytes data.
python3 - "$MNT/sparse.bin" <<'PY'
import sys
with open(sys.argv[1], "wb") as f:
    f.seek(65536); f.write(b"S" * 4096); f.seek(65536 + 4096 + 65536); f.write(b"end-of-sparse" * 7 + b"!")
PY
mkdir "$MNT/compressed"
setattr_compressed "$MNT/compressed"
gen comp 200000 "$MNT/compressed/packed.txt"
# A unit that does not compress (stored raw) followed by compressible units.
python3 - "$MNT/compressed/mixed.bin" <<'PY'
import random, sys
r = random.Random(7)
# 8 KiB of noise repeated: LZNT1 (4 KiB chunks) cannot shrink it, so the first unit is
# stored raw; the image compressor still sees the repeats.
noise = bytes(r.randrange(256) for _ in range(8192))
open(sys.argv[1], "wb").write(noise * 8 + b"Z" * 60000 + b"tail")
PY
# Fragmentation: fill free space with 4 KiB files, delete every other one, then write a
# file into the holes; its run list overflows the record into an attribute list.
# A zero-filled ballast file takes all but about 4.5 MiB of the free space first.
AVAIL=$(python3 -c 'import os,sys; s=os.statvfs(sys.argv[1]); print(s.f_bavail*s.f_frsize)' "$MNT")
dd if=/dev/zero of="$MNT/ballast.bin" bs=4096 count=$(( (AVAIL - 4500000) / 4096 )) status=none
mkdir "$MNT/filler"
# Fill every cluster left (until the volume is full), then free every other one.
for i in $(seq 1 3000); do
    head -c 4096 /dev/zero 2>/dev/null | tr '\0' 'f' > "$MNT/filler/f$i" 2>/dev/null || break
done
for f in "$MNT"/filler/f*; do n=${f##*/f}; if (( n % 2 )); then rm "$f"; fi; done
python3 - "$MNT/fragmented.bin" <<'PY2'
import sys
# Each 4 KiB block names its own number, so a misplaced cluster shows in the hash.
open(sys.argv[1], "wb").write(b"".join((b"fragment block %06d " % i) * 186 + b"\n" * 4 for i in range(300)))
PY2
rm -rf "$MNT/filler"
# Many hard links: the file names overflow the base record into an attribute list.
mkdir "$MNT/links"
gen linked 9000 "$MNT/links/target.bin"
for i in $(seq 1 120); do ln "$MNT/links/target.bin" "$MNT/links/link_with_a_rather_long_name_$i.bin"; done
gen unicode 1234 "$MNT/Ünïcødé_名前_файл_with_a_long_name_for_testing_the_parser_αβγδ.txt"
# Deleted entries: a file, and a folder with two files.
gen gone 7000 "$MNT/gone.txt"
mkdir "$MNT/deldir"
gen d1 3000 "$MNT/deldir/inside1.txt"
gen d2 400 "$MNT/deldir/inside2.txt"
sync
# Record the manifest before deleting (the deleted files' data stays on disk).
python3 - "$MNT" "$WORK/basic_files.json" <<'PY'
import hashlib, json, os, sys
root = sys.argv[1]; files = []
for dp, dn, fn in os.walk(root):
    for n in dn:
        p = os.path.join(dp, n); files.append({"path": os.path.relpath(p, root), "folder": True})
    for n in fn:
        p = os.path.join(dp, n); d = open(p, "rb").read()
        files.append({"path": os.path.relpath(p, root), "size": len(d), "sha256": hashlib.sha256(d).hexdigest()})
json.dump(files, open(sys.argv[2], "w"))
PY
rm "$MNT/gone.txt"
rm -rf "$MNT/deldir"
umount "$MNT"
# Nothing is written to the images after this point except by the damage steps below.
cp "$IMG" "$OUT/ntfs_basic.img"

# ---------- ntfs_512.img ----------
IMG5=$WORK/ntfs_512.img
truncate -s 8M "$IMG5"
mkntfs -q -F -f -c 512 -L SMALL "$IMG5"
ntfs-3g -o compression "$IMG5" "$MNT"
mkdir -p "$MNT/folder/sub"
gen small1 2600 "$MNT/folder/sub/two_records.txt"
gen small2 200 "$MNT/tiny.txt"
gen small3 50000 "$MNT/folder/plain.bin"
python3 - "$MNT/holes.bin" <<'PY'
import sys
with open(sys.argv[1], "wb") as f:
    f.write(b"H" * 700); f.seek(20000); f.write(b"after-the-hole")
PY
mkdir "$MNT/cfolder"
setattr_compressed "$MNT/cfolder"
gen small4 40000 "$MNT/cfolder/packed512.txt"
sync
python3 - "$MNT" "$WORK/small_files.json" <<'PY'
import hashlib, json, os, sys
root = sys.argv[1]; files = []
for dp, dn, fn in os.walk(root):
    for n in dn:
        p = os.path.join(dp, n); files.append({"path": os.path.relpath(p, root), "folder": True})
    for n in fn:
        p = os.path.join(dp, n); d = open(p, "rb").read()
        files.append({"path": os.path.relpath(p, root), "size": len(d), "sha256": hashlib.sha256(d).hexdigest()})
json.dump(files, open(sys.argv[2], "w"))
PY
umount "$MNT"
cp "$IMG5" "$OUT/ntfs_512.img"

# ---------- ntfs_64k.img ----------
IMG64=$WORK/ntfs_64k.img
truncate -s 16M "$IMG64"
mkntfs -q -F -f -c 65536 -L LARGE "$IMG64"
ntfs-3g "$IMG64" "$MNT"
mkdir -p "$MNT/big/inner"
gen large1 200000 "$MNT/big/inner/wide.txt"
gen large2 100 "$MNT/note.txt"
gen large3 70000 "$MNT/big/two_clusters.bin"
sync
python3 - "$MNT" "$WORK/large_files.json" <<'PY'
import hashlib, json, os, sys
root = sys.argv[1]; files = []
for dp, dn, fn in os.walk(root):
    for n in dn:
        p = os.path.join(dp, n); files.append({"path": os.path.relpath(p, root), "folder": True})
    for n in fn:
        p = os.path.join(dp, n); d = open(p, "rb").read()
        files.append({"path": os.path.relpath(p, root), "size": len(d), "sha256": hashlib.sha256(d).hexdigest()})
json.dump(files, open(sys.argv[2], "w"))
PY
umount "$MNT"
cp "$IMG64" "$OUT/ntfs_64k.img"

# ---------- damaged copies ----------
cp "$IMG" "$OUT/ntfs_noboot.img"
dd if=/dev/zero of="$OUT/ntfs_noboot.img" bs=512 count=1 conv=notrunc status=none
cp "$IMG" "$OUT/ntfs_mftdamaged.img"
MFT_CLUSTER=$(python3 -c 'import struct,sys; b=open(sys.argv[1],"rb").read(512); print(struct.unpack_from("<Q",b,0x30)[0]*struct.unpack_from("<H",b,0x0B)[0]*b[0x0D])' "$IMG")
dd if=/dev/zero of="$OUT/ntfs_mftdamaged.img" bs=1 seek="$MFT_CLUSTER" count=1024 conv=notrunc status=none

# ---------- manifest ----------
python3 - "$WORK/basic_files.json" "$WORK/small_files.json" "$OUT/ntfs_fixtures.json" "$MFT_CLUSTER" "$WORK/large_files.json" <<'PY'
import json, sys
basic = json.load(open(sys.argv[1])); small = json.load(open(sys.argv[2])); large = json.load(open(sys.argv[5]))
deleted = ("gone.txt", "deldir")
for f in basic:
    f["deleted"] = f["path"] == "gone.txt" or f["path"].startswith("deldir")
for f in small + large:
    f["deleted"] = False
man = {
  "ntfs_basic.img": {"clusterBytes": 4096, "sizeMb": 16, "mftOffset": int(sys.argv[4]), "files": basic},
  "ntfs_512.img": {"clusterBytes": 512, "sizeMb": 8, "files": small},
  "ntfs_64k.img": {"clusterBytes": 65536, "sizeMb": 16, "files": large},
  "ntfs_noboot.img": {"sameAs": "ntfs_basic.img", "damage": "boot sector zeroed"},
  "ntfs_mftdamaged.img": {"sameAs": "ntfs_basic.img", "damage": "MFT record 0 zeroed"},
}
json.dump(man, open(sys.argv[3], "w"), indent=1, ensure_ascii=False, sort_keys=True)
PY
for f in ntfs_basic ntfs_512 ntfs_64k ntfs_noboot ntfs_mftdamaged; do
    zstd -q -19 -f "$OUT/$f.img" -o "$OUT/$f.img.zst"
    rm "$OUT/$f.img"
done
ls -l "$OUT"/ntfs_*
