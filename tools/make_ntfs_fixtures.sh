#!/bin/bash
# Builds the NTFS test images with mkntfs and ntfs-3g and writes a manifest of what each
# holds. Run as root on a machine with /dev/fuse (never in CI; the images are committed):
#   tools/make_ntfs_fixtures.sh [output folder, default tests/fixtures] [group...]
# Groups (default: all): classic (the first five images), streams, crafted. Only the
# groups built are replaced in the manifest; the other images keep their entries.
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
#   ntfs_streams.img    4 MiB, 4096-byte clusters: files with named streams (resident and
#                      non-resident, data and stream), a folder with a named stream, a
#                      deleted file whose folder's record now holds another file, and a
#                      deleted file in a deleted folder whose record was not reused.
#   ntfs_crafted.img   64 KiB made byte by byte: a boot sector claiming 2^40 sectors, an
#                      $MFT record whose run claims 2^31-1 clusters, and a record whose
#                      record-number field says 0xFFFFFFF0.
# Manifest: ntfs_fixtures.json (per image: files with path, size, sha256, deleted; named
# streams as "streams": {name: {size, sha256}}).
set -euo pipefail
OUT=$(realpath "${1:-$(dirname "$0")/../tests/fixtures}")
WORK=$(mktemp -d)
MNT=$WORK/mnt
mkdir -p "$MNT"
trap 'umount "$MNT" 2>/dev/null || true; rm -rf "$WORK"' EXIT
shift || true
GROUPS_WANTED="${*:-classic streams crafted}"
want() { [[ " $GROUPS_WANTED " == *" $1 "* ]]; }

. "$(dirname "$0")/fixture_lib.sh"  # gen
setattr_compressed() {  # FILE_ATTRIBUTE_COMPRESSED (0x800) through ntfs-3g's attribute xattr
    python3 -c 'import os,sys; os.setxattr(sys.argv[1], "system.ntfs_attrib_be", (0x10|0x800).to_bytes(4,"big"))' "$1"
}

if want classic; then
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
import os
man = json.load(open(sys.argv[3])) if os.path.exists(sys.argv[3]) else {}
man.update({
  "ntfs_basic.img": {"clusterBytes": 4096, "sizeMb": 16, "mftOffset": int(sys.argv[4]), "files": basic},
  "ntfs_512.img": {"clusterBytes": 512, "sizeMb": 8, "files": small},
  "ntfs_64k.img": {"clusterBytes": 65536, "sizeMb": 16, "files": large},
  "ntfs_noboot.img": {"sameAs": "ntfs_basic.img", "damage": "boot sector zeroed"},
  "ntfs_mftdamaged.img": {"sameAs": "ntfs_basic.img", "damage": "MFT record 0 zeroed"},
})
json.dump(man, open(sys.argv[3], "w"), indent=1, ensure_ascii=False, sort_keys=True)
PY
for f in ntfs_basic ntfs_512 ntfs_64k ntfs_noboot ntfs_mftdamaged; do
    zstd -q -19 -f "$OUT/$f.img" -o "$OUT/$f.img.zst"
    rm "$OUT/$f.img"
done
fi  # classic

# Adds or replaces one image's entry in the manifest: update_manifest KEY JSON-FILE
update_manifest() {
    python3 - "$OUT/ntfs_fixtures.json" "$1" "$2" <<'PY'
import json, os, sys
path, key, entry = sys.argv[1], sys.argv[2], json.load(open(sys.argv[3]))
man = json.load(open(path)) if os.path.exists(path) else {}
man[key] = entry
json.dump(man, open(path, "w"), indent=1, ensure_ascii=False, sort_keys=True)
PY
}

if want streams; then
# ---------- ntfs_streams.img ----------
# Named streams are written through ntfs-3g's user.* extended attributes, which it keeps
# as named $DATA attributes of the file.
IMGS=$WORK/ntfs_streams.img
truncate -s 4M "$IMGS"
mkntfs -q -F -f -c 4096 -L STREAMS "$IMGS"
ntfs-3g "$IMGS" "$MNT"
stream() {  # stream FILE NAME SEED SIZE
    gen "$3" "$4" "$WORK/stream.bin"
    python3 -c 'import os,sys; os.setxattr(sys.argv[1], "user." + sys.argv[2], open(sys.argv[3],"rb").read())' "$1" "$2" "$WORK/stream.bin"
}
ZONE='[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://example.invalid/\r\n'
gen zone 300 "$MNT/download.txt"
python3 -c 'import os,sys; os.setxattr(sys.argv[1], "user.Zone.Identifier", sys.argv[2].encode().decode("unicode_escape").encode())' "$MNT/download.txt" "$ZONE"
gen smallbig 120 "$MNT/small_bigstream.txt"
stream "$MNT/small_bigstream.txt" big sbig 30000
gen largesmall 20000 "$MNT/large_smallstream.bin"
python3 -c 'import os,sys; os.setxattr(sys.argv[1], "user.Zone.Identifier", sys.argv[2].encode().decode("unicode_escape").encode())' "$MNT/large_smallstream.bin" "$ZONE"
gen largebig 25000 "$MNT/large_bigstream.bin"
stream "$MNT/large_bigstream.bin" extra lbig 40000
: > "$MNT/empty_with_stream.txt"
stream "$MNT/empty_with_stream.txt" note enote 100
mkdir "$MNT/streamdir"
stream "$MNT/streamdir" folderinfo dstream 500
gen inner 700 "$MNT/streamdir/inner.txt"
# Records for the reuse case, made in this order so they are the highest in use:
# olddir, olddir/child.txt, deldir2, deldir2/kept.txt.
mkdir "$MNT/olddir"
gen child 5000 "$MNT/olddir/child.txt"
mkdir "$MNT/deldir2"
gen kept 6000 "$MNT/deldir2/kept.txt"
sync
python3 - "$MNT" "$WORK/streams_files.json" <<'PY'
import hashlib, json, os, sys
root = sys.argv[1]; files = []
def streams(p):
    out = {}
    for name in os.listxattr(p):
        if name.startswith("user."):
            d = os.getxattr(p, name); out[name[5:]] = {"size": len(d), "sha256": hashlib.sha256(d).hexdigest()}
    return out
for dp, dn, fn in os.walk(root):
    for n in dn:
        p = os.path.join(dp, n); f = {"path": os.path.relpath(p, root), "folder": True}
        if streams(p): f["streams"] = streams(p)
        files.append(f)
    for n in fn:
        p = os.path.join(dp, n); d = open(p, "rb").read()
        f = {"path": os.path.relpath(p, root), "size": len(d), "sha256": hashlib.sha256(d).hexdigest()}
        if streams(p): f["streams"] = streams(p)
        files.append(f)
json.dump(files, open(sys.argv[2], "w"))
PY
rm -rf "$MNT/olddir" "$MNT/deldir2"
umount "$MNT"
# After a fresh mount the lowest free record is taken first: olddir's. The new file is
# small enough to stay in its record, so child.txt's clusters keep their data.
ntfs-3g "$IMGS" "$MNT"
gen reuser 200 "$MNT/reuser.txt"
python3 - "$MNT/reuser.txt" "$WORK/streams_files.json" <<'PY'
import hashlib, json, sys
files = json.load(open(sys.argv[2])); d = open(sys.argv[1], "rb").read()
files.append({"path": "reuser.txt", "size": len(d), "sha256": hashlib.sha256(d).hexdigest()})
# olddir's record now holds reuser.txt: the folder itself is gone.
files = [f for f in files if f["path"] != "olddir"]
for f in files:
    f["deleted"] = f["path"].startswith(("olddir", "deldir2"))
    # child.txt's folder record now holds reuser.txt: it is found only as an orphan.
    if f["path"].startswith("olddir/"): f["orphan"] = True
json.dump(files, open(sys.argv[2], "w"))
PY
umount "$MNT"
python3 - "$WORK/streams_files.json" "$WORK/streams_entry.json" <<'PY'
import json, sys
json.dump({"clusterBytes": 4096, "sizeMb": 4, "files": json.load(open(sys.argv[1]))}, open(sys.argv[2], "w"))
PY
update_manifest ntfs_streams.img "$WORK/streams_entry.json"
zstd -q -19 -f "$IMGS" -o "$OUT/ntfs_streams.img.zst"
fi  # streams

if want crafted; then
# ---------- ntfs_crafted.img ----------
# A 64 KiB image that lies about everything it can: 2^40 sectors in the boot sector, an
# $MFT whose one run claims 2^31-1 clusters, and a record numbered 0xFFFFFFF0. A parser
# must bound all of it by the source's real length.
python3 - "$WORK/ntfs_crafted.img" <<'PY'
import struct, sys
img = bytearray(65536)
img[0:3] = b"\xEB\x52\x90"; img[3:11] = b"NTFS    "
struct.pack_into("<HB", img, 0x0B, 512, 8)          # 4096-byte clusters
struct.pack_into("<QQQ", img, 0x28, 1 << 40, 4, 8)  # total sectors, MFT cluster, mirror cluster
img[510:512] = b"\x55\xAA"
def record(number, name, parent, flags, data_attr):
    r = bytearray(1024)
    r[0:4] = b"FILE"
    struct.pack_into("<HHQHHHHIIQHHI", r, 4, 0x30, 3, 0, 1, 1, 0x38, flags, 0, 1024, 0, 0, 0, number)
    struct.pack_into("<H", r, 0x30, 1)                # update sequence number
    at = 0x38
    # $FILE_NAME, resident
    n = name.encode("utf-16-le"); content = bytearray(0x42 + len(n))
    struct.pack_into("<Q", content, 0, parent | (5 << 48))
    content[0x40] = len(name); content[0x41] = 3; content[0x42:] = n
    alen = (0x18 + len(content) + 7) & ~7
    struct.pack_into("<IIBBHHHIHBB", r, at, 0x30, alen, 0, 0, 0, 0, 0, len(content), 0x18, 0, 0)
    r[at + 0x18:at + 0x18 + len(content)] = content; at += alen
    r[at:at + len(data_attr)] = data_attr; at += len(data_attr)
    struct.pack_into("<I", r, at, 0xFFFFFFFF)
    struct.pack_into("<I", r, 0x18, at + 8)
    for s in (1, 2):                                   # fixups: sector ends hold the USN
        struct.pack_into("<H", r, 0x30 + 2 * s, struct.unpack_from("<H", r, 512 * s - 2)[0])
        struct.pack_into("<H", r, 512 * s - 2, 1)
    return r
# Non-resident $DATA: one run of 0x7FFFFFFF clusters from cluster 4.
runs = bytes([0x14]) + struct.pack("<I", 0x7FFFFFFF) + bytes([4]) + b"\x00"
data = bytearray(0x40 + 8)
struct.pack_into("<IIBBHHH", data, 0, 0x80, len(data), 1, 0, 0x40, 0, 0)
struct.pack_into("<QQHH", data, 0x10, 0, 0x7FFFFFFE, 0x40, 0)
struct.pack_into("<QQQ", data, 0x28, 0x7FFFFFFF * 4096, 0x7FFFFFFF * 4096, 0x7FFFFFFF * 4096)
data[0x40:0x40 + len(runs)] = runs
img[16384:17408] = record(0, "$MFT", 5, 1, bytes(data))
img[17408:18432] = record(0xFFFFFFF0, "far.txt", 5, 1, b"")
img[20480:21504] = record(5, ".", 5, 3, b"")
open(sys.argv[1], "wb").write(img)
PY
cat > "$WORK/crafted_entry.json" <<'JSON'
{"damage": "boot sector claims 2^40 sectors; the $MFT run claims 2^31-1 clusters; a record numbered 0xFFFFFFF0", "sizeBytes": 65536}
JSON
update_manifest ntfs_crafted.img "$WORK/crafted_entry.json"
zstd -q -19 -f "$WORK/ntfs_crafted.img" -o "$OUT/ntfs_crafted.img.zst"
fi  # crafted
ls -l "$OUT"/ntfs_*
