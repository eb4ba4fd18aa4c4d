#!/bin/bash
# Builds the exFAT cards of the advanced-road tests with real tools and writes their
# manifests. Run as root (the cards are filled through exfat-fuse over a loop device);
# the tests only read the committed .zst images:
#   tools/make_advanced_exfat_fixtures.sh [output folder, default tests/fixtures]
#
# exfat_formatted_card.img  64 MiB, mkfs.exfat (default geometry: 4 KiB clusters), filled
#                           through exfat-fuse with photos (ImageMagick JPEGs, 20-300 KiB)
#                           in DCIM/100CANON and Holiday/, one of them fragmented around a
#                           file removed meanwhile, then quick-formatted again with
#                           mkfs.exfat and the same geometry.
# exfat_deleted_folder.img  32 MiB, the same kind of filling, then DCIM/100CANON removed
#                           whole through exfat-fuse (rm -r).
# Manifests exfat_formatted_card.json and exfat_deleted_folder.json: the geometry the
# first mkfs.exfat wrote (heap offset, cluster shift, FAT offset in bytes, root cluster)
# and every photo with path, size, sha256 and contiguous (its clusters read back
# consecutive with istat before the accident).
set -euo pipefail
OUT=$(realpath "${1:-$(dirname "$0")/../tests/fixtures}")
. "$(dirname "$0")/fixture_lib.sh"  # fixture_workspace
fixture_workspace
command -v mkfs.exfat >/dev/null && command -v mount.exfat-fuse >/dev/null || {
    echo "needs exfatprogs and exfat-fuse (apt-get install exfatprogs exfat-fuse)" >&2
    exit 1
}

STAGE=$WORK/stage
mkdir -p "$STAGE"
photo() {  # photo SEED WIDTH HEIGHT FILE: a real JPEG of noise and gradients
    convert -seed "$1" -size "$2x$3" plasma:fractal -quality 92 "$4"
}

# istat's sectors of a live file, comma-separated.
sectors() {  # sectors IMAGE PATH
    local inode
    inode=$(fls -r -p "$1" | awk -F'\t' -v p="$2" '$2 == p { sub(/.*[ \t]/, "", $1); sub(/:$/, "", $1); print $1; exit }')
    [ -n "$inode" ] || return 0
    istat "$1" "$inode" | awk '/^Sectors:/ { s = 1; next } s && /^[0-9 ]+$/ { for (i = 1; i <= NF; i++) if ($i != 0) print $i }' |
        paste -sd, -
}

fill_card() {  # fill_card IMAGE SEEDBASE ROWS: through exfat-fuse; rows: path \t staged copy
    local img=$1 base=$2 rows=$3 i f w h
    LOOP=$(losetup -f --show "$img")
    mount.exfat-fuse "$LOOP" "$MNT"
    mkdir -p "$MNT/DCIM/100CANON" "$MNT/Holiday"
    for i in $(seq 1 24); do
        f=IMG_$(printf %04d $((base + i))).JPG
        w=$((280 + (i * 53) % 480)); h=$((200 + (i * 37) % 360))
        photo "$((base + i))" "$w" "$h" "$STAGE/$f"
        if [ "$i" = 12 ]; then
            # A file written and removed again leaves a hole that the next, larger photo
            # fills before it goes on after the photo written meanwhile.
            photo 9001 240 180 "$STAGE/spacer.jpg"
            cp "$STAGE/spacer.jpg" "$MNT/DCIM/spacer.jpg"
            photo 9002 200 150 "$STAGE/block.jpg"
            cp "$STAGE/block.jpg" "$MNT/DCIM/100CANON/BLOCK.JPG"
            printf 'DCIM/100CANON/BLOCK.JPG\t%s\n' "$STAGE/block.jpg" >> "$rows"
            sync; rm "$MNT/DCIM/spacer.jpg"; sync
            photo "$((base + i))" 800 600 "$STAGE/$f"
        fi
        cp "$STAGE/$f" "$MNT/DCIM/100CANON/$f"
        printf 'DCIM/100CANON/%s\t%s\n' "$f" "$STAGE/$f" >> "$rows"
    done
    for i in $(seq 1 8); do
        f="Beach day $(printf %02d "$i").jpg"
        photo "$((base + 500 + i))" $((300 + i * 41)) $((220 + i * 29)) "$STAGE/$base-$f"
        cp "$STAGE/$base-$f" "$MNT/Holiday/$f"
        printf 'Holiday/%s\t%s\n' "$f" "$STAGE/$base-$f" >> "$rows"
    done
    sync
    umount "$MNT"
    losetup -d "$LOOP"; LOOP=
}

manifest() {  # manifest IMAGE ROWS JSON ACCIDENT: geometry from the boot sector as written
    local img=$1 rows=$2 json=$3 accident=$4 path copy
    : > "$WORK/sectors.tsv"
    while IFS=$'\t' read -r path copy; do
        printf '%s\t%s\t%s\n' "$path" "$copy" "$(sectors "$img" "$path")" >> "$WORK/sectors.tsv"
    done < "$rows"
    python3 - "$img" "$WORK/sectors.tsv" "$json" "$accident" <<'PY'
import hashlib, json, struct, sys
img, rows, out, accident = sys.argv[1:]
boot = open(img, "rb").read(512)
bps = 1 << boot[108]
geometry = {"fatOffset": struct.unpack_from("<I", boot, 80)[0] * bps,
            "heapOffset": struct.unpack_from("<I", boot, 88)[0] * bps,
            "clusterShift": boot[108] + boot[109] - 9,
            "rootCluster": struct.unpack_from("<I", boot, 96)[0]}
files = []
for line in open(rows, encoding="utf-8"):
    path, copy, sectors = line.rstrip("\n").split("\t")
    data = open(copy, "rb").read()
    v = [int(x) for x in sectors.split(",")] if sectors else []
    files.append({"path": path, "size": len(data), "sha256": hashlib.sha256(data).hexdigest(),
                  "contiguous": all(b == a + 1 for a, b in zip(v, v[1:]))})
json.dump({"accident": accident, "geometry": geometry, "files": files}, open(out, "w", encoding="utf-8"),
          indent=1, ensure_ascii=False)
PY
}

# ---------- a card quick-formatted after it was filled ----------
IMG=$WORK/exfat_formatted_card.img; truncate -s 64M "$IMG"
mkfs.exfat -L CANON "$IMG" >/dev/null
: > "$WORK/rows1.tsv"
fill_card "$IMG" 0 "$WORK/rows1.tsv"
manifest "$IMG" "$WORK/rows1.tsv" "$OUT/exfat_formatted_card.json" "quick format with mkfs.exfat, same geometry"
mkfs.exfat -L CANON "$IMG" >/dev/null
echo "== fls -r -p exfat_formatted_card.img (after the format)"; fls -r -p "$IMG" || true

# ---------- a card whose photo folder was removed whole ----------
IMG=$WORK/exfat_deleted_folder.img; truncate -s 32M "$IMG"
mkfs.exfat -L CANON "$IMG" >/dev/null
: > "$WORK/rows2.tsv"
fill_card "$IMG" 100 "$WORK/rows2.tsv"
manifest "$IMG" "$WORK/rows2.tsv" "$OUT/exfat_deleted_folder.json" "DCIM/100CANON removed with rm -r through exfat-fuse"
LOOP=$(losetup -f --show "$IMG")
mount.exfat-fuse "$LOOP" "$MNT"
rm -r "$MNT/DCIM/100CANON"
sync
umount "$MNT"
losetup -d "$LOOP"; LOOP=
echo "== fls -r -p -d exfat_deleted_folder.img | head"; fls -r -p -d "$IMG" | head -n 8 || true

for img in exfat_formatted_card exfat_deleted_folder; do
    zstd -q -19 -f "$WORK/$img.img" -o "$OUT/$img.img.zst"
done
ls -l "$OUT"/exfat_formatted_card.* "$OUT"/exfat_deleted_folder.*
