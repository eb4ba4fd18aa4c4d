#!/bin/bash
# Builds the FAT cards of the advanced road's tests with real tools and writes a manifest
# per image, and the seeds of the advanced road's fuzz target (mtools writes the images,
# no root needed); the tests only read the committed .zst images:
#   tools/make_advanced_fat_fixtures.sh [output folder, default tests/fixtures]
#
# fat32_formatted_card.img  64 MiB, mkfs.fat -F 32 -s 1: photos in DCIM/100CANON and
#                           DCIM/101CANON (the first of them fragmented: they start at
#                           the card's end and go on in the hole of a removed filler),
#                           then quick-formatted by mkfs.fat with the same geometry (new
#                           empty FATs and root; old folders still in the data area).
# fat16_zeroed_boot.img     32 MiB, mkfs.fat -F 16 -s 4: photos, documents and folders;
#                           then sector 0 overwritten with zeros by dd.
# fat_deleted_folder.img    48 MiB, mkfs.fat -F 32 -s 1: DCIM/100CANON kept, the folder
#                           "Holiday 2026" of long-named photos removed whole by mdeltree.
# Manifest <image>.json: {"image", "files": [{path, size, sha256, contiguous, deleted}]};
# contiguous: its clusters read back consecutive with istat before the accident.
# Seeds (fuzz/corpus/fat_advanced/): the first 192 KiB of the zeroed-boot card (FATs,
# root and folder heads), and the first MiB of a FAT32 card with a folder of small files,
# quick-formatted after they were written (FATs, root and folders).
# Needs mtools, mkfs.fat, The Sleuth Kit (fls, istat), ImageMagick convert, zstd.
set -euo pipefail
OUT=$(realpath "${1:-$(dirname "$0")/../tests/fixtures}")
. "$(dirname "$0")/fixture_lib.sh"  # gen, fixture_workspace
fixture_workspace
export MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=0 TZ=UTC

STAGE=$WORK/stage
mkdir -p "$STAGE"
photo() {  # photo SEED WIDTH HEIGHT FILE: a small real JPEG
    convert -seed "$1" -size "$2x$3" plasma:fractal -quality 90 "$4"
}

MANIFEST=$WORK/manifest.tsv  # image \t path \t copy \t deleted \t contiguous
: > "$MANIFEST"
# True (prints 1) when istat lists the file's sectors as one ascending run.
contiguous() {  # contiguous IMAGE PATH
    local inode
    inode=$(fls -r -p "$1" | awk -F'\t' -v p="$2" '$2 == p { sub(/.*[ \t]/, "", $1); sub(/:$/, "", $1); print $1; exit }')
    [ -n "$inode" ] || { echo 0; return; }
    istat "$1" "$inode" | awk '/^Sectors:/ { s = 1; next } s && /^[0-9 ]+$/ { for (i = 1; i <= NF; i++) if ($i != 0) print $i }' |
        awk 'NR > 1 && $1 != prev + 1 { bad = 1 } { prev = $1 } END { print bad ? 0 : 1 }'
}
note() {  # note IMAGE PATH COPY DELETED
    printf '%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" "$(contiguous "$WORK/$1.img" "$2")" >> "$MANIFEST"
}

# ---------- FAT32 card, quick-formatted after it was filled ----------
IMG=$WORK/fat32_formatted_card.img
truncate -s 64M "$IMG"
mkfs.fat -F 32 -s 1 -S 512 -i 0C0A2026 "$IMG" > /dev/null
mmd -i "$IMG" ::/DCIM ::/DCIM/100CANON ::/DCIM/101CANON
mkdir -p "$STAGE/f32"
for i in $(seq 1 30); do
    f=$STAGE/f32/IMG_$(printf %04d "$i").JPG
    photo "$i" $((320 + (i * 37) % 400)) $((240 + (i * 53) % 300)) "$f"
done
gen filler 20000 "$STAGE/filler.bin"
for i in $(seq 1 20); do mcopy -i "$IMG" "$STAGE/f32/IMG_$(printf %04d "$i").JPG" ::/DCIM/100CANON/; done
mcopy -i "$IMG" "$STAGE/filler.bin" ::/DCIM/filler.bin
for i in $(seq 21 30); do mcopy -i "$IMG" "$STAGE/f32/IMG_$(printf %04d "$i").JPG" ::/DCIM/100CANON/; done
# The card fills up: a video takes all but 24 KiB at its end; it is deleted with the
# filler, so the next photo starts in those 24 KiB and goes on in the filler's hole.
free=$(mdir -i "$IMG" ::/ | awk '/bytes free/ { gsub(/[^0-9]/, ""); print }')
truncate -s $((free - 24576)) "$STAGE/video.mov"
mcopy -i "$IMG" "$STAGE/video.mov" ::/DCIM/video.mov
mdel -i "$IMG" ::/DCIM/filler.bin ::/DCIM/video.mov
mkdir -p "$STAGE/f32b"
for i in $(seq 1 10); do
    f="$STAGE/f32b/Trip to the lake $(printf %02d "$i").jpg"
    photo "$((100 + i))" $((300 + (i * 41) % 300)) $((200 + (i * 29) % 250)) "$f"
    mcopy -i "$IMG" "$f" ::/DCIM/101CANON/
done
for f in "$STAGE"/f32/*; do note fat32_formatted_card "DCIM/100CANON/${f##*/}" "$f" 0; done
for f in "$STAGE"/f32b/*; do note fat32_formatted_card "DCIM/101CANON/${f##*/}" "$f" 0; done
mkfs.fat -F 32 -s 1 -S 512 -i 0C0A2027 "$IMG" > /dev/null  # the quick format

# ---------- FAT16 card whose boot sector is zeroed ----------
IMG=$WORK/fat16_zeroed_boot.img
truncate -s 32M "$IMG"
mkfs.fat -F 16 -s 4 -S 512 -i 16BB2026 "$IMG" > /dev/null
mmd -i "$IMG" ::/DCIM ::/DCIM/100CANON ::/Docs ::/Docs/Letters
mkdir -p "$STAGE/f16" "$STAGE/docs"
for i in $(seq 1 16); do
    f=$STAGE/f16/DSC_$(printf %04d "$i").JPG
    photo "$((200 + i))" $((280 + (i * 31) % 360)) $((220 + (i * 43) % 260)) "$f"
    mcopy -i "$IMG" "$f" ::/DCIM/100CANON/
    note fat16_zeroed_boot "DCIM/100CANON/${f##*/}" "$f" 0
done
for i in $(seq 1 6); do
    f="$STAGE/docs/Letter to the bank $i.txt"
    gen "letter$i" $((3000 + i * 2100)) "$f"
    mcopy -i "$IMG" "$f" ::/Docs/Letters/
    note fat16_zeroed_boot "Docs/Letters/${f##*/}" "$f" 0
done
gen readme 5000 "$STAGE/README.TXT"
gen budget 14000 "$STAGE/Budget 2026.csv"
mcopy -i "$IMG" "$STAGE/README.TXT" ::/README.TXT
mcopy -i "$IMG" "$STAGE/Budget 2026.csv" "::/Docs/Budget 2026.csv"
note fat16_zeroed_boot README.TXT "$STAGE/README.TXT" 0
note fat16_zeroed_boot "Docs/Budget 2026.csv" "$STAGE/Budget 2026.csv" 0
dd if=/dev/zero of="$IMG" bs=512 count=1 conv=notrunc status=none  # the damage

# ---------- card whose photo folder was deleted whole ----------
IMG=$WORK/fat_deleted_folder.img
truncate -s 48M "$IMG"
mkfs.fat -F 32 -s 1 -S 512 -i 0DE12026 "$IMG" > /dev/null
mmd -i "$IMG" ::/DCIM ::/DCIM/100CANON "::/Holiday 2026"
mkdir -p "$STAGE/keep" "$STAGE/holiday"
for i in $(seq 1 6); do
    f=$STAGE/keep/IMG_$(printf %04d "$i").JPG
    photo "$((300 + i))" 320 240 "$f"
    mcopy -i "$IMG" "$f" ::/DCIM/100CANON/
    note fat_deleted_folder "DCIM/100CANON/${f##*/}" "$f" 0
done
for i in $(seq 1 24); do
    f="$STAGE/holiday/Beach sunset $(printf %02d "$i").jpg"
    photo "$((400 + i))" $((240 + (i * 23) % 300)) $((180 + (i * 19) % 220)) "$f"
    mcopy -i "$IMG" "$f" "::/Holiday 2026/"
    note fat_deleted_folder "Holiday 2026/${f##*/}" "$f" 1
done
mdeltree -i "$IMG" "::/Holiday 2026"  # the accident

# ---------- manifests and compressed images ----------
python3 - "$MANIFEST" "$OUT" <<'PY'
import hashlib, json, sys
images = {}
for line in open(sys.argv[1], encoding="utf-8"):
    image, path, copy, deleted, contiguous = line.rstrip("\n").split("\t")
    data = open(copy, "rb").read()
    images.setdefault(image, []).append({
        "path": path, "size": len(data), "sha256": hashlib.sha256(data).hexdigest(),
        "deleted": deleted == "1", "contiguous": contiguous == "1"})
for image, files in images.items():
    with open(f"{sys.argv[2]}/{image}.json", "w", encoding="utf-8") as out:
        json.dump({"image": image + ".img", "files": files}, out, indent=1, ensure_ascii=False)
        out.write("\n")
PY
for name in fat32_formatted_card fat16_zeroed_boot fat_deleted_folder; do
    zstd -q -19 -f "$WORK/$name.img" -o "$OUT/$name.img.zst"
done

# ---------- fuzz seeds ----------
CORPUS=$(realpath "$(dirname "$0")/../fuzz/corpus/fat_advanced")
mkdir -p "$CORPUS"
head -c 196608 "$WORK/fat16_zeroed_boot.img" > "$CORPUS/fat16_zeroed_boot_head.seed"
SEED=$WORK/fat32_seed.img
truncate -s 34M "$SEED"
mkfs.fat -F 32 -s 1 -S 512 -i 5EED2026 "$SEED" > /dev/null
mmd -i "$SEED" ::/DCIM ::/DCIM/100CANON
for i in 1 2 3 4 5 6; do
    gen "seed$i" $((300 + i * 250)) "$WORK/Small photo number $i.jpg"
    mcopy -i "$SEED" "$WORK/Small photo number $i.jpg" ::/DCIM/100CANON/
done
mkfs.fat -F 32 -s 1 -S 512 -i 5EED2027 "$SEED" > /dev/null
head -c 1048576 "$SEED" > "$CORPUS/fat32_formatted_head.seed"
