#!/bin/bash
# Builds the NTFS image of the advanced-road tests with mkntfs and ntfs-3g and writes its
# manifest. Run as root on a machine with /dev/fuse (the tests only read the committed
# .zst image):
#   tools/make_advanced_ntfs_fixtures.sh [output folder, default tests/fixtures]
#
# Image ntfs_wrong_mft.img: 48 MiB, 2048-byte clusters (4 sectors per cluster, so the
# usual first guess of 8 is wrong), filled through ntfs-3g:
#   Documents/Reports/2024/...   text files from 300 bytes (resident) to 200 KiB
#   Documents/Letters/           150 small long-named files (the MFT grows past its
#                                first allocation)
#   Photos/Trip/                 files of several hundred KiB; panorama.jpg fragmented
#                                (written in pieces with other files written between)
#   Backups/usb_stick.img        a whole 2 MiB NTFS volume made by mkntfs, stored as a
#                                file: its $MFT record is no copy of this volume's
#   readme.txt
# Then the accident: the MFT and MFT-mirror cluster numbers of the boot sector and of
# its backup in the volume's last sector are overwritten with wrong values (one bit of
# the cluster number flipped), as a damaged boot sector looks; nothing else is changed.
# Manifest ntfs_wrong_mft.json: cluster_bytes, mft_offset and mirror_offset (true byte
# offsets, by The Sleuth Kit's istat on the intact image), wrong_mft_cluster,
# nested_mft_offset (where the stored volume's $MFT record lies), and per file path,
# size and sha256 (every file also listed by fls on the intact image). The fuzz seed
# fuzz/corpus/ntfs/wrong_mft_head.seed is the damaged image's first MiB.
set -euo pipefail
OUT=$(realpath "${1:-$(dirname "$0")/../tests/fixtures}")
. "$(dirname "$0")/fixture_lib.sh"  # gen, fixture_workspace
fixture_workspace

IMG=$WORK/ntfs_wrong_mft.img
CLUSTER=2048
truncate -s 48M "$IMG"
mkntfs -q -F -f -c $CLUSTER -L DOCS "$IMG" 2>/dev/null
ntfs-3g "$IMG" "$MNT"

STAGE=$WORK/stage
mkdir -p "$STAGE"
# The stored volume: a small NTFS volume with two files of its own.
NESTED=$WORK/usb_stick.img
truncate -s 2M "$NESTED"
mkntfs -q -F -f -c 4096 -L STICK "$NESTED" 2>/dev/null
mkdir -p "$WORK/nmnt"
ntfs-3g "$NESTED" "$WORK/nmnt"
gen stick1 9000 "$WORK/nmnt/stick notes.txt"
gen stick2 700 "$WORK/nmnt/small.txt"
umount "$WORK/nmnt"

mkdir -p "$MNT/Documents/Reports/2024" "$MNT/Documents/Reports/2025" "$MNT/Documents/Letters" \
    "$MNT/Photos/Trip" "$MNT/Backups"
gen readme 900 "$MNT/readme.txt"
gen q1 300 "$MNT/Documents/Reports/2024/q1 summary.txt"
gen q2 5000 "$MNT/Documents/Reports/2024/q2 summary.txt"
gen q3 70000 "$MNT/Documents/Reports/2024/q3 figures.csv"
gen q4 200000 "$MNT/Documents/Reports/2024/q4 annual report.txt"
gen plan 12345 "$MNT/Documents/Reports/2025/plan.txt"
for i in $(seq 1 150); do
    gen "letter$i" $((400 + (i * 97) % 3000)) "$MNT/Documents/Letters/Letter to the bank number $(printf %03d "$i").txt"
done
for i in 1 2 3; do gen "trip$i" $((150000 + i * 61000)) "$MNT/Photos/Trip/IMG_000$i.JPG"; done
# Fragmented: the file grows piece by piece while other files are written between.
gen frag 300000 "$STAGE/panorama.jpg"
for i in 0 1 2 3; do
    dd if="$STAGE/panorama.jpg" bs=75000 skip=$i count=1 status=none >> "$MNT/Photos/Trip/panorama.jpg"
    sync
    gen "between$i" 20000 "$MNT/Photos/Trip/between$i.txt"
    sync
done
cp "$NESTED" "$MNT/Backups/usb_stick.img"
umount "$MNT"

# What the intact volume holds, by The Sleuth Kit.
fls -r -p "$IMG" > "$WORK/fls.txt"
inode_of() {  # inode_of PATH
    awk -F'\t' -v p="$1" '$2 == p { sub(/.*[ \t]/, "", $1); sub(/:$/, "", $1); sub(/-.*/, "", $1); print $1; exit }' "$WORK/fls.txt"
}
first_cluster() {  # first_cluster INODE: the first cluster of its unnamed $DATA
    istat "$IMG" "$1" | awk '/^Type: \$DATA \(128-[0-9]+\)/ { s = 1; next } s && /^[0-9 ]+$/ { print $1; exit }'
}
frag_check=$(istat "$IMG" "$(inode_of Photos/Trip/panorama.jpg)" | awk '/^Type: \$DATA/ { s = 1; next } s && /^[0-9 ]+$/ { for (i = 1; i <= NF; i++) print $i }' |
    awk 'NR > 1 && $1 != prev + 1 { gaps++ } { prev = $1 } END { print gaps + 0 }')
[ "$frag_check" -gt 0 ] || { echo "panorama.jpg is not fragmented" >&2; exit 1; }

read -r MFT_CLUSTER MIRROR_CLUSTER TOTAL_SECTORS < <(python3 - "$IMG" <<'PY'
import struct, sys
b = open(sys.argv[1], "rb").read(512)
print(struct.unpack_from("<Q", b, 0x30)[0], struct.unpack_from("<Q", b, 0x38)[0], struct.unpack_from("<Q", b, 0x28)[0])
PY
)
[ "$(first_cluster 0)" = "$MFT_CLUSTER" ] || { echo "istat disagrees on the MFT's place" >&2; exit 1; }
NESTED_FILE_CLUSTER=$(first_cluster "$(inode_of Backups/usb_stick.img)")
NESTED_MFT_CLUSTER=$(python3 -c 'import struct,sys; print(struct.unpack_from("<Q", open(sys.argv[1],"rb").read(512), 0x30)[0])' "$NESTED")

# The accident: both boot sectors name wrong MFT and mirror clusters.
WRONG_MFT=$((MFT_CLUSTER ^ 0x1000))
WRONG_MIRROR=$((MIRROR_CLUSTER ^ 0x1000))
python3 - "$IMG" "$TOTAL_SECTORS" "$WRONG_MFT" "$WRONG_MIRROR" <<'PY'
import struct, sys
path, total, mft, mirror = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
with open(path, "r+b") as f:
    for sector in (0, total):
        f.seek(sector * 512)
        b = bytearray(f.read(512))
        assert b[3:7] == b"NTFS", sector
        struct.pack_into("<QQ", b, 0x30, mft, mirror)
        f.seek(sector * 512)
        f.write(b)
PY
if fls "$IMG" > /dev/null 2>&1; then echo "fls still reads the damaged image" >&2; exit 1; fi

# The manifest: every file of the stage as fls listed it, with its content's digest.
python3 - "$WORK" "$OUT/ntfs_wrong_mft.json" "$CLUSTER" "$MFT_CLUSTER" "$MIRROR_CLUSTER" "$WRONG_MFT" \
    "$NESTED_FILE_CLUSTER" "$NESTED_MFT_CLUSTER" <<'PY'
import json, sys
work, out, cluster, mft, mirror, wrong, nested_file, nested_mft = sys.argv[1], sys.argv[2], *map(int, sys.argv[3:])
paths = []
for line in open(f"{work}/fls.txt", encoding="utf-8"):
    kind, _, path = line.rstrip("\n").partition("\t")
    if kind.startswith("r/r") and not path.startswith("$") and ":" not in path:
        paths.append(path)
print(len(paths), "files listed by fls")
json.dump({"image": "ntfs_wrong_mft.img", "cluster_bytes": cluster, "mft_offset": mft * cluster,
           "mirror_offset": mirror * cluster, "wrong_mft_cluster": wrong,
           "nested_mft_offset": nested_file * cluster + nested_mft * 4096,
           "files": [{"path": p} for p in sorted(paths)]}, open(out, "w"), indent=1)
PY
# Sizes and digests of the files as a read-only mount of a copy with mended boot sectors
# reads them.
cp "$IMG" "$WORK/mended.img"
python3 - "$WORK/mended.img" "$TOTAL_SECTORS" "$MFT_CLUSTER" "$MIRROR_CLUSTER" <<'PY'
import struct, sys
path, total, mft, mirror = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
with open(path, "r+b") as f:
    for sector in (0, total):
        f.seek(sector * 512); b = bytearray(f.read(512))
        struct.pack_into("<QQ", b, 0x30, mft, mirror)
        f.seek(sector * 512); f.write(b)
PY
ntfs-3g -o ro "$WORK/mended.img" "$MNT"
python3 - "$MNT" "$OUT/ntfs_wrong_mft.json" <<'PY'
import hashlib, json, os, sys
mnt, out = sys.argv[1], sys.argv[2]
m = json.load(open(out))
for f in m["files"]:
    data = open(os.path.join(mnt, f["path"]), "rb").read()
    f["size"] = len(data)
    f["sha256"] = hashlib.sha256(data).hexdigest()
json.dump(m, open(out, "w"), indent=1)
open(out, "a").write("\n")
PY
umount "$MNT"
zstd -q -19 -f "$IMG" -o "$OUT/ntfs_wrong_mft.img.zst"
# Fuzz seed: the damaged image's first MiB (boot sector, the MFT and its records).
SEEDS=$(dirname "$0")/../fuzz/corpus/ntfs
[ -d "$SEEDS" ] && head -c 1M "$IMG" > "$SEEDS/wrong_mft_head.seed"
echo "wrote $OUT/ntfs_wrong_mft.img.zst and ntfs_wrong_mft.json"
