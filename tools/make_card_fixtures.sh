#!/bin/bash
# Builds the memory-card images of the undelete tests with real tools and writes their
# manifest. Run as root (the exFAT card is filled through exfat-fuse over a loop device);
# the tests only read the committed .zst images:
#   tools/make_card_fixtures.sh [output folder, default tests/fixtures]
#
# Images: card_fat12.img (mkfs.fat -F 12), card_fat16.img (-F 16, 2 KiB clusters),
# card_fat32.img (-F 32, 512-byte clusters), each filled and damaged with mtools the way
# a camera and a person do it, and card_exfat.img (mkfs.exfat, exfat-fuse):
#   DCIM/100CAMERA/IMG_00NN.JPG   ten photos of several clusters; six are deleted
#   Mountains/                     a folder of 250 long-named photos, deleted whole
#                                  (FAT cards; exfat-fuse leaves no entries of a removed
#                                  folder, so on exFAT its files are deleted one by one)
#   Letters/                       60 empty long-named files (the folder's clusters lie
#                                  one after the other), deleted whole like Mountains/
#   Report.doc                     deleted, then later.bin is written (into its space
#                                  where the allocator starts at the front)
#   frag.bin                       fragmented around fill2.bin, then deleted
#   readme.txt, INFO.txt,          8.3 names that mtools stores with the case bits
#   notes.TXT
#   ÄRGER.TXT                      a short name in the OEM code page (850, as mtools
#                                  writes it; Ä is 0x8E in 437 and 850 alike)
#   a 200-character long name
#   B.TXT                          renamed from a long name with mren: its old long-name
#                                  slots stay before it, deleted
# Manifest card_fixtures.json: per image the files with path, size, sha256, deleted,
# contiguous (its clusters read back consecutive with istat before the delete) and
# overwritten (a file written after the delete holds one of its sectors, by istat).
set -euo pipefail
OUT=$(realpath "${1:-$(dirname "$0")/../tests/fixtures}")
. "$(dirname "$0")/fixture_lib.sh"  # gen, fixture_workspace
fixture_workspace
export MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=0

MANIFEST=$WORK/manifest.tsv  # image \t path \t copy \t deleted \t sectors (istat, while live)
: > "$MANIFEST"
note() { printf '%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" "${5:-}" >> "$MANIFEST"; }

# ---------- the content, staged on the host ----------
STAGE=$WORK/stage
mkdir -p "$STAGE/photos" "$STAGE/mountains" "$STAGE/letters"
for i in $(seq 1 60); do : > "$STAGE/letters/Letter to the bank number $(printf %02d "$i").txt"; done
for i in $(seq 1 10); do gen "photo$i" $((6000 + i * 1700)) "$STAGE/photos/IMG_$(printf %04d "$i").JPG"; done
for i in $(seq 1 250); do
    gen "mountain$i" $((700 + (i * 37) % 1800)) "$STAGE/mountains/Mountain sunrise photo $(printf %03d "$i") taken on the ridge.jpg"
done
gen report 20000 "$STAGE/Report.doc"
gen later 3000 "$STAGE/later.bin"
gen fill 4096 "$STAGE/fill.bin"
gen hole 2048 "$STAGE/hole.bin"
gen frag 12000 "$STAGE/frag.bin"
gen readme 900 "$STAGE/readme.txt"
gen info 950 "$STAGE/INFO.txt"
gen notes 1000 "$STAGE/notes.TXT"
gen aerger 1100 "$STAGE/aerger"
gen longest 2600 "$STAGE/longest"
gen renamed 1200 "$STAGE/renamed"
LONG=$(python3 -c "print(('A two hundred character name ' * 8)[:196] + '.txt')")

# istat's sectors of a live file, comma-separated.
sectors() {  # sectors IMAGE PATH
    local inode
    inode=$(fls -r -p "$1" | awk -F'\t' -v p="$2" '$2 == p { sub(/.*[ \t]/, "", $1); sub(/:$/, "", $1); print $1; exit }')
    [ -n "$inode" ] || return 0
    istat "$1" "$inode" | awk '/^Sectors:/ { s = 1; next } s && /^[0-9 ]+$/ { for (i = 1; i <= NF; i++) if ($i != 0) print $i }' |
        paste -sd, -
}

fill_card() {  # fill_card IMAGE NAME
    local img=$1 name=$2 f i
    mmd -i "$img" ::/DCIM ::/DCIM/100CAMERA ::/Mountains
    mcopy -i "$img" "$STAGE/photos/"* ::/DCIM/100CAMERA/
    mcopy -i "$img" "$STAGE/mountains/"* ::/Mountains/
    mmd -i "$img" ::/Letters
    mcopy -i "$img" "$STAGE/letters/"* ::/Letters/
    for f in "$STAGE"/letters/*; do note "$name" "Letters/${f##*/}" "$f" 1; done
    mcopy -i "$img" "$STAGE/readme.txt" ::/readme.txt
    mcopy -i "$img" "$STAGE/INFO.txt" ::/INFO.txt
    mcopy -i "$img" "$STAGE/notes.TXT" ::/notes.TXT
    mcopy -i "$img" "$STAGE/aerger" "::/ÄRGER.TXT"
    mcopy -i "$img" "$STAGE/longest" "::/$LONG"
    mcopy -i "$img" "$STAGE/renamed" "::/A fairly long name before the rename.txt"
    mren -i "$img" "::/A fairly long name before the rename.txt" ::/B.TXT
    mcopy -i "$img" "$STAGE/Report.doc" ::/Report.doc
    # Fragmentation: fill, hole, fill; the hole is freed and frag.bin starts in it.
    mcopy -i "$img" "$STAGE/fill.bin" ::/fill1.bin
    mcopy -i "$img" "$STAGE/hole.bin" ::/hole.bin
    mcopy -i "$img" "$STAGE/fill.bin" ::/fill2.bin
    mdel -i "$img" ::/hole.bin
    mcopy -i "$img" "$STAGE/frag.bin" ::/frag.bin
    for f in readme.txt INFO.txt notes.TXT; do note "$name" "$f" "$STAGE/$f" 0; done
    note "$name" fill1.bin "$STAGE/fill.bin" 0
    note "$name" fill2.bin "$STAGE/fill.bin" 0
    note "$name" "ÄRGER.TXT" "$STAGE/aerger" 0
    note "$name" "$LONG" "$STAGE/longest" 0
    note "$name" "B.TXT" "$STAGE/renamed" 0
    # What istat says of the files about to be deleted, while they are live.
    for i in 1 3 4 6 8 9; do
        f=IMG_$(printf %04d "$i").JPG
        note "$name" "DCIM/100CAMERA/$f" "$STAGE/photos/$f" 1 "$(sectors "$img" "DCIM/100CAMERA/$f")"
    done
    for i in 2 5 7 10; do f=IMG_$(printf %04d "$i").JPG; note "$name" "DCIM/100CAMERA/$f" "$STAGE/photos/$f" 0; done
    for f in "$STAGE"/mountains/*; do
        note "$name" "Mountains/${f##*/}" "$f" 1 "$(sectors "$img" "Mountains/${f##*/}")"
    done
    note "$name" "frag.bin" "$STAGE/frag.bin" 1 "$(sectors "$img" frag.bin)"
    note "$name" "Report.doc" "$STAGE/Report.doc" 1 "$(sectors "$img" Report.doc)"
    # The accidents: a document deleted and a file written after it (into its space
    # where the allocator starts from the front), photos deleted on the camera, a folder
    # deleted whole, a fragmented file deleted.
    mdel -i "$img" ::/Report.doc
    mcopy -i "$img" "$STAGE/later.bin" ::/later.bin
    note "$name" "later.bin" "$STAGE/later.bin" 0 "$(sectors "$img" later.bin)"
    for i in 1 3 4 6 8 9; do mdel -i "$img" "::/DCIM/100CAMERA/IMG_$(printf %04d "$i").JPG"; done
    mdeltree -i "$img" ::/Mountains ::/Letters
    mdel -i "$img" ::/frag.bin
}

IMG=$WORK/card_fat12.img; truncate -s 3M "$IMG"; mkfs.fat -F 12 -s 2 -n CARD12 "$IMG" >/dev/null
fill_card "$IMG" card_fat12
IMG=$WORK/card_fat16.img; truncate -s 20M "$IMG"; mkfs.fat -F 16 -s 4 -n CARD16 "$IMG" >/dev/null
fill_card "$IMG" card_fat16
IMG=$WORK/card_fat32.img; truncate -s 34M "$IMG"; mkfs.fat -F 32 -s 1 -n CARD32 "$IMG" >/dev/null
fill_card "$IMG" card_fat32

# ---------- exFAT through exfat-fuse ----------
IMG=$WORK/card_exfat.img; truncate -s 8M "$IMG"; mkfs.exfat -c 4096 -L CARDEX "$IMG" >/dev/null
LOOP=$(losetup -f --show "$IMG")
mount.exfat-fuse "$LOOP" "$MNT"
mkdir -p "$MNT/DCIM/100CAMERA" "$MNT/Mountains"
cp "$STAGE/photos/"* "$MNT/DCIM/100CAMERA/"
cp "$STAGE/mountains/"* "$MNT/Mountains/"
mkdir -p "$MNT/Letters"
cp "$STAGE/letters/"* "$MNT/Letters/"
for f in "$STAGE"/letters/*; do note card_exfat "Letters/${f##*/}" "$f" 1; done
cp "$STAGE/Report.doc" "$MNT/Report.doc"
cp "$STAGE/readme.txt" "$MNT/readme.txt"
cp "$STAGE/longest" "$MNT/$LONG"
note card_exfat readme.txt "$STAGE/readme.txt" 0
note card_exfat "$LONG" "$STAGE/longest" 0
for i in 2 5 7 10; do f=IMG_$(printf %04d "$i").JPG; note card_exfat "DCIM/100CAMERA/$f" "$STAGE/photos/$f" 0; done
sync
umount "$MNT"
for i in 1 3 4 6 8 9; do
    f=IMG_$(printf %04d "$i").JPG
    note card_exfat "DCIM/100CAMERA/$f" "$STAGE/photos/$f" 1 "$(sectors "$IMG" "DCIM/100CAMERA/$f")"
done
for f in "$STAGE"/mountains/*; do
    note card_exfat "Mountains/${f##*/}" "$f" 1 "$(sectors "$IMG" "Mountains/${f##*/}")"
done
note card_exfat Report.doc "$STAGE/Report.doc" 1 "$(sectors "$IMG" Report.doc)"
mount.exfat-fuse "$LOOP" "$MNT"
for i in 1 3 4 6 8 9; do rm "$MNT/DCIM/100CAMERA/IMG_$(printf %04d "$i").JPG"; done
rm "$MNT"/Mountains/* "$MNT"/Letters/*
rm "$MNT/Report.doc"
sync
cp "$STAGE/later.bin" "$MNT/later.bin"
umount "$MNT"
note card_exfat later.bin "$STAGE/later.bin" 0 "$(sectors "$IMG" later.bin)"
losetup -d "$LOOP"; LOOP=

# ---------- manifest and compression ----------
python3 - "$MANIFEST" "$OUT/card_fixtures.json" <<'PY'
import hashlib, json, sys
images, rows = {}, [l.rstrip("\n").split("\t") for l in open(sys.argv[1], encoding="utf-8")]
# Sectors of the files that live now: a deleted file that shared one was written over.
taken = {}
for img, path, src, deleted, sectors in rows:
    if deleted == "0" and sectors:
        taken.setdefault(img, set()).update(int(x) for x in sectors.split(","))
for img, path, src, deleted, sectors in rows:
    data = open(src, "rb").read()
    v = [int(x) for x in sectors.split(",")] if sectors else []
    images.setdefault(img, []).append({
        "path": path, "size": len(data), "sha256": hashlib.sha256(data).hexdigest(), "deleted": deleted == "1",
        "contiguous": all(b == a + 1 for a, b in zip(v, v[1:])),
        "overwritten": deleted == "1" and bool(taken.get(img, set()) & set(v))})
json.dump({k + ".img": {"files": v} for k, v in images.items()}, open(sys.argv[2], "w", encoding="utf-8"),
          indent=1, ensure_ascii=False)
PY
for img in card_fat12 card_fat16 card_fat32 card_exfat; do
    echo "== fls -r -p -d $img.img | head"; fls -r -p -d "$WORK/$img.img" | head -n 8 || true
    zstd -q -19 -f "$WORK/$img.img" -o "$OUT/$img.img.zst"
done
ls -l "$OUT"/card_*.zst
