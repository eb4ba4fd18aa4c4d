#!/bin/bash
# Builds the FAT16, FAT32, exFAT (and one small NTFS) test images with real tools and
# writes a manifest of what each holds. Run as root (exFAT and NTFS are filled through
# FUSE mounts); the tests only read the committed .zst images:
#   tools/make_fat_fixtures.sh [output folder, default tests/fixtures]
#
# Images (each a few MiB):
#   fat16_mkfs.img / fat16_win.img  mkfs.fat -F 16 filled with mtools: long names, 8.3
#       names with case flags, nested folders, a folder of 1,500 files with long names,
#       deleted files and a deleted folder, a fragmented file, a 0-byte file. The _win
#       flavour carries the OEM name Windows writes ("MSDOS5.0"), the _mkfs flavour
#       keeps "mkfs.fat".
#   fat32_mkfs.img / fat32_win.img  the same on mkfs.fat -F 32, plus a recycle-bin folder
#       with "$I"/"$R" pairs of both companion versions.
#   exfat.img   mkfs.exfat filled through exfat-fuse: nested folders, multi-cluster and
#       contiguous files, deleted files, a long Unicode name, a recycle-bin folder.
#   ntfs_recycle.img  mkntfs filled through ntfs-3g: a recycle-bin folder per user.
# Manifest: fat_fixtures.json (per image: files with path, size, sha256, deleted; the
# recycled files with their former names).
set -euo pipefail
OUT=$(realpath "${1:-$(dirname "$0")/../tests/fixtures}")
. "$(dirname "$0")/fixture_lib.sh"  # gen, fixture_workspace
fixture_workspace
export MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=0

companion() {  # companion VERSION SIZE 'C:\former\path' FILE: a recycle-bin "$I" file
    python3 - "$@" <<'PY'
import struct, sys
version, size, path, out = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
when = 133000000000000000  # 2022-06 as FILETIME
name = (path + "\0").encode("utf-16-le")
if version == 1:
    data = struct.pack("<QQQ", 1, size, when) + name.ljust(520, b"\0")
else:
    data = struct.pack("<QQQI", 2, size, when, len(path) + 1) + name
open(out, "wb").write(data)
PY
}

MANIFEST=$WORK/manifest.tsv   # image \t path \t file-or-"" \t deleted(0/1) \t former name
: > "$MANIFEST"
note() { printf '%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" "${5:-}" >> "$MANIFEST"; }

# ---------- the FAT content, staged on the host and copied with mtools ----------
STAGE=$WORK/stage
mkdir -p "$STAGE"
gen readme 700 "$STAGE/readme.txt"
gen longname 5000 "$STAGE/longname.txt"
gen summary 3000 "$STAGE/summary.txt"
gen big 40000 "$STAGE/big.bin"
gen gone1 300 "$STAGE/gone1.txt"
gen gone2 9000 "$STAGE/gone2.bin"
gen inner 1500 "$STAGE/inner.txt"
gen frag 12000 "$STAGE/frag.bin"
gen fill 4096 "$STAGE/fill.bin"
gen hole 2048 "$STAGE/hole.bin"
: > "$STAGE/empty.dat"
mkdir -p "$STAGE/photos"
python3 - "$STAGE/photos" <<'PY'
import sys
for i in range(1, 1501):
    open(f"{sys.argv[1]}/Holiday photo number {i:04d}.jpg", "wb").write(f"photo {i}\n".encode())
PY

fill_fat() {  # fill_fat IMAGE NAME WITH_RECYCLE
    local img=$1 name=$2 recycle=$3
    mmd -i "$img" ::/Docs ::/Docs/Reports ::/Docs/Reports/2023 ::/photos ::/olddir
    mcopy -i "$img" "$STAGE/readme.txt" ::/readme.txt
    note "$name" "readme.txt" "$STAGE/readme.txt" 0
    mcopy -i "$img" "$STAGE/longname.txt" "::/A rather long file name for testing.txt"
    note "$name" "A rather long file name for testing.txt" "$STAGE/longname.txt" 0
    mcopy -i "$img" "$STAGE/summary.txt" "::/Docs/Reports/2023/Quarterly summary.txt"
    note "$name" "Docs/Reports/2023/Quarterly summary.txt" "$STAGE/summary.txt" 0
    mcopy -i "$img" "$STAGE/big.bin" ::/Docs/big.bin
    note "$name" "Docs/big.bin" "$STAGE/big.bin" 0
    mcopy -i "$img" "$STAGE/empty.dat" ::/empty.dat
    note "$name" "empty.dat" "$STAGE/empty.dat" 0
    # Fragmentation: fill, hole, fill; free the hole; the next file starts in the hole and
    # goes on after the second fill.
    mcopy -i "$img" "$STAGE/fill.bin" ::/fill1.bin
    mcopy -i "$img" "$STAGE/hole.bin" ::/hole.bin
    mcopy -i "$img" "$STAGE/fill.bin" ::/fill2.bin
    mdel -i "$img" ::/hole.bin
    mcopy -i "$img" "$STAGE/frag.bin" ::/fragmented.bin
    note "$name" "fill1.bin" "$STAGE/fill.bin" 0
    note "$name" "fill2.bin" "$STAGE/fill.bin" 0
    note "$name" "fragmented.bin" "$STAGE/frag.bin" 0
    mcopy -i "$img" "$STAGE/photos/"* ::/photos/
    for f in "$STAGE"/photos/*; do note "$name" "photos/${f##*/}" "$f" 0; done
    if [ "$recycle" = 1 ]; then
        local sid='S-1-5-21-1004336348-1177238915-682003330-1001' bin=$WORK/rb
        mkdir -p "$bin"
        gen rec1 2500 "$bin/\$RA1B2C3.txt"
        gen rec2 700 "$bin/\$RD4E5F6.jpg"
        gen rec3 100 "$bin/\$RZZZZZZ.dat"
        companion 2 2500 'C:\Users\ana\Documents\Budget plan 2024.txt' "$bin/\$IA1B2C3.txt"
        companion 1 700 'C:\Users\ana\Pictures\cat.jpg' "$bin/\$ID4E5F6.jpg"
        mmd -i "$img" '::/$RECYCLE.BIN' "::/\$RECYCLE.BIN/$sid"
        mattrib -i "$img" +h +s '::/$RECYCLE.BIN'
        mcopy -i "$img" "$bin"/* "::/\$RECYCLE.BIN/$sid/"
        note "$name" "\$RECYCLE.BIN/$sid/\$RA1B2C3.txt" "$bin/\$RA1B2C3.txt" 0 'Budget plan 2024.txt'
        note "$name" "\$RECYCLE.BIN/$sid/\$RD4E5F6.jpg" "$bin/\$RD4E5F6.jpg" 0 'cat.jpg'
        note "$name" "\$RECYCLE.BIN/$sid/\$RZZZZZZ.dat" "$bin/\$RZZZZZZ.dat" 0
        note "$name" "\$RECYCLE.BIN/$sid/\$IA1B2C3.txt" "$bin/\$IA1B2C3.txt" 0
        note "$name" "\$RECYCLE.BIN/$sid/\$ID4E5F6.jpg" "$bin/\$ID4E5F6.jpg" 0
    fi
    # Deleted: a short file, a multi-cluster file with a long name, a folder with a file.
    mcopy -i "$img" "$STAGE/gone1.txt" ::/gone1.txt
    mcopy -i "$img" "$STAGE/gone2.bin" "::/Deleted file with a long name.bin"
    mcopy -i "$img" "$STAGE/inner.txt" ::/olddir/inner.txt
    mdel -i "$img" ::/gone1.txt "::/Deleted file with a long name.bin"
    mdeltree -i "$img" ::/olddir
    note "$name" "gone1.txt" "$STAGE/gone1.txt" 1
    note "$name" "Deleted file with a long name.bin" "$STAGE/gone2.bin" 1
    note "$name" "olddir/inner.txt" "$STAGE/inner.txt" 1
}
oem() { printf '%-8s' "$2" | dd of="$1" bs=1 seek=3 count=8 conv=notrunc status=none; }

# FAT16: 8 MiB, 1 KiB clusters (about 8,000 clusters). FAT32: 34 MiB, 512-byte clusters
# (the fewest clusters a FAT32 volume may have); mostly empty, so it compresses small.
IMG=$WORK/fat16_mkfs.img; truncate -s 8M "$IMG"; mkfs.fat -F 16 -s 2 -n FATSIXTEEN "$IMG" >/dev/null
fill_fat "$IMG" fat16_mkfs 0
cp "$IMG" "$WORK/fat16_win.img"; oem "$WORK/fat16_win.img" MSDOS5.0
sed -n 's/^fat16_mkfs\t/fat16_win\t/p' "$MANIFEST" >> "$MANIFEST"
IMG=$WORK/fat32_mkfs.img; truncate -s 34M "$IMG"; mkfs.fat -F 32 -s 1 -n FATTHIRTY2 "$IMG" >/dev/null
fill_fat "$IMG" fat32_mkfs 1
cp "$IMG" "$WORK/fat32_win.img"; oem "$WORK/fat32_win.img" MSDOS5.0
sed -n 's/^fat32_mkfs\t/fat32_win\t/p' "$MANIFEST" >> "$MANIFEST"

# ---------- exFAT through exfat-fuse ----------
IMG=$WORK/exfat.img; truncate -s 8M "$IMG"; mkfs.exfat -c 4096 -L EXFATVOL "$IMG" >/dev/null
LOOP=$(losetup -f --show "$IMG")
mount.exfat-fuse "$LOOP" "$MNT"
mkdir -p "$MNT/Music/Albums/Live" "$MNT/Trash folder"
gen ex1 900 "$MNT/notes.txt"; note exfat notes.txt "$MNT/notes.txt" 0
gen ex2 50000 "$MNT/Music/Albums/track01.raw"; note exfat Music/Albums/track01.raw "$MNT/Music/Albums/track01.raw" 0
gen ex3 3000 "$MNT/Music/Albums/Live/encore.txt"; note exfat Music/Albums/Live/encore.txt "$MNT/Music/Albums/Live/encore.txt" 0
U='Ünïcödé — 長いファイル名のテスト, a name well past fifteen characters.txt'
gen ex4 7000 "$MNT/$U"; note exfat "$U" "$MNT/$U" 0
: > "$MNT/zero.bin"; note exfat zero.bin "$MNT/zero.bin" 0
# Fragmented (chained): two files grown in turns.
python3 - "$MNT/chained.bin" "$MNT/other.bin" <<'PY'
import sys
a, b = open(sys.argv[1], "wb"), open(sys.argv[2], "wb")
for i in range(6):
    a.write(bytes([65 + i]) * 4096); a.flush(); import os; os.fsync(a.fileno())
    b.write(bytes([97 + i]) * 4096); b.flush(); os.fsync(b.fileno())
PY
note exfat chained.bin "$MNT/chained.bin" 0
note exfat other.bin "$MNT/other.bin" 0
gen ex5 20000 "$WORK/exgone.bin"; cp "$WORK/exgone.bin" "$MNT/gone.bin"
gen ex6 800 "$WORK/exgone2.txt"; cp "$WORK/exgone2.txt" "$MNT/Trash folder/old notes.txt"
sync; rm "$MNT/gone.bin"; rm -r "$MNT/Trash folder"
# The files written from here on may take the freed clusters.
note exfat gone.bin "$WORK/exgone.bin" 1
# exfat-fuse leaves no entry of the removed folder behind (fls lists none either), so
# its file is not in the manifest.
SID='S-1-5-21-1004336348-1177238915-682003330-1001'
mkdir -p "$MNT/\$RECYCLE.BIN/$SID"
gen exr1 1200 "$MNT/\$RECYCLE.BIN/$SID/\$R0Q1W2E.doc"
companion 2 1200 'D:\Work\Draft — final.doc' "$MNT/\$RECYCLE.BIN/$SID/\$I0Q1W2E.doc"
gen exr2 600 "$MNT/\$RECYCLE.BIN/$SID/\$R9X8Y7Z"
companion 1 600 'D:\Old' "$MNT/\$RECYCLE.BIN/$SID/\$I9X8Y7Z"
note exfat "\$RECYCLE.BIN/$SID/\$R0Q1W2E.doc" "$MNT/\$RECYCLE.BIN/$SID/\$R0Q1W2E.doc" 0 'Draft — final.doc'
note exfat "\$RECYCLE.BIN/$SID/\$R9X8Y7Z" "$MNT/\$RECYCLE.BIN/$SID/\$R9X8Y7Z" 0 'Old'
# Copies of the files the manifest hashes outlive the mount.
mkdir -p "$WORK/exkeep"
python3 - "$MANIFEST" "$MNT" "$WORK/exkeep" <<'PY'
import shutil, sys, os
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1])]
out = []
for i, r in enumerate(rows):
    if r[0] == "exfat" and r[2].startswith(sys.argv[2]):
        keep = os.path.join(sys.argv[3], str(i)); shutil.copy(r[2], keep); r[2] = keep
    out.append("\t".join(r))
open(sys.argv[1], "w").write("\n".join(out) + "\n")
PY
umount "$MNT"; losetup -d "$LOOP"; LOOP=

# ---------- NTFS recycle bin through ntfs-3g ----------
IMG=$WORK/ntfs_recycle.img; truncate -s 4M "$IMG"; mkntfs -q -F -f -c 4096 -L RECYCLE "$IMG"
ntfs-3g "$IMG" "$MNT"
for sid in S-1-5-21-1-1-1-1001 S-1-5-21-1-1-1-1002; do mkdir -p "$MNT/\$RECYCLE.BIN/$sid"; done
A="$MNT/\$RECYCLE.BIN/S-1-5-21-1-1-1-1001"; B="$MNT/\$RECYCLE.BIN/S-1-5-21-1-1-1-1002"
gen nr1 3000 "$A/\$RAAAAAA.txt"; companion 2 3000 'C:\Users\ana\Letter to Bob.txt' "$A/\$IAAAAAA.txt"
gen nr2 1000 "$B/\$RAAAAAA.txt"; companion 1 1000 'C:\Users\bob\reply.txt' "$B/\$IAAAAAA.txt"
note ntfs_recycle "\$RECYCLE.BIN/S-1-5-21-1-1-1-1001/\$RAAAAAA.txt" "$A/\$RAAAAAA.txt" 0 'Letter to Bob.txt'
note ntfs_recycle "\$RECYCLE.BIN/S-1-5-21-1-1-1-1002/\$RAAAAAA.txt" "$B/\$RAAAAAA.txt" 0 'reply.txt'
mkdir -p "$WORK/ntkeep"; cp "$A/\$RAAAAAA.txt" "$WORK/ntkeep/a"; cp "$B/\$RAAAAAA.txt" "$WORK/ntkeep/b"
sed -i "s#$A/\\\$RAAAAAA.txt#$WORK/ntkeep/a#; s#$B/\\\$RAAAAAA.txt#$WORK/ntkeep/b#" "$MANIFEST"
umount "$MNT"

# ---------- manifest and compression ----------
python3 - "$MANIFEST" "$OUT/fat_fixtures.json" <<'PY'
import hashlib, json, sys
images = {}
for line in open(sys.argv[1], encoding="utf-8"):
    img, path, src, deleted, former = line.rstrip("\n").split("\t")
    data = open(src, "rb").read()
    e = {"path": path, "size": len(data), "sha256": hashlib.sha256(data).hexdigest(), "deleted": deleted == "1"}
    if former: e["formerName"] = former
    images.setdefault(img, []).append(e)
json.dump({k + ".img": {"files": v} for k, v in images.items()}, open(sys.argv[2], "w", encoding="utf-8"),
          indent=1, ensure_ascii=False)
PY
for img in fat16_mkfs fat16_win fat32_mkfs fat32_win exfat ntfs_recycle; do
    echo "== fls -r -p $img.img | head"; fls -r -p "$WORK/$img.img" | head -n 12 || true
    zstd -q -19 -f "$WORK/$img.img" -o "$OUT/$img.img.zst"
done
ls -l "$OUT"/fat*.zst "$OUT"/exfat.img.zst "$OUT"/ntfs_recycle.img.zst
