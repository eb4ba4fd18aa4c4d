#!/bin/bash
# Builds the images of lost volumes whose boot sector is gone but whose copy is intact,
# with real tools, and writes their manifest. Run as root (exFAT is filled through
# exfat-fuse, NTFS through ntfs-3g); the tests only read the committed .zst images:
#   tools/make_backup_fixtures.sh [output folder, default tests/fixtures]
#
# Images (each volume holds the same few files, see the manifest):
#   lost_ntfs_disk.img   10 MiB MBR disk, one NTFS partition (type 7) at sector 2048 of
#                        8 MiB; the partition table (sector 0) and the NTFS boot sector
#                        zeroed, as a half-finished repartitioning leaves them. The copy in
#                        the volume's last sector (2048 + 16383) is intact.
#   lost_ntfs_noboot_disk.img  the same disk with the copy zeroed too: no boot sector is
#                        left, the volume is found only by its MFT records (not listed by
#                        the surface scan).
#   lost_fat32.img       34 MiB bare FAT32 volume (mkfs.fat -F 32 -s 1, mtools) with its
#                        boot sector (sector 0) zeroed; the copy in sector 6 is intact.
#   lost_exfat.img       4 MiB bare exFAT volume (mkfs.exfat, exfat-fuse) with its main
#                        boot sector zeroed; the backup boot region at sector 12 is intact.
#   backtoback_disk.img  a disk without a partition table: ext4 (4 MiB, mkfs.ext4 -d) at
#                        sector 0, FAT32 (34 MiB) right after it, NTFS (8 MiB) right after
#                        that, each starting exactly at the previous one's end.
# Volumes formatted with sectors larger than 512 bytes (sector numbers in the manifest stay
# in the disk's 512-byte sectors):
#   lost_fat32_2k.img    130 MiB bare FAT32 with 2048-byte sectors (mkfs.fat -S 2048 -s 1;
#                        mtools needs 65,525 clusters to take it for FAT32), its boot sector
#                        (the first 2048 bytes) zeroed; the copy in its sector 6 (byte
#                        12288) is intact.
#   lost_ntfs_4k.img     8 MiB bare NTFS with 4096-byte sectors and 4096-byte MFT records
#                        (mkntfs -s 4096), its boot sector (the first 4096 bytes) zeroed;
#                        the copy in its last sector is intact.
#   lost_exfat_4k.img    8 MiB bare exFAT made on a 4Kn loop device (losetup
#                        --sector-size 4096), its main boot sector zeroed; the backup boot
#                        region at its sector 12 (byte 49152) is intact.
#   bigsector_disk.img   a disk without a partition table: the exFAT and NTFS volumes above
#                        intact and back to back, then an empty 34 MiB FAT32 card with
#                        2048-byte sectors (mkfs.fat -S 2048, whose sector count fits the
#                        16-bit field and is kept there).
# Manifest backup_fixtures.json: per image its volumes (file system, start sector,
# sectors; "listed": false for one the surface scan cannot see) and the files every volume
# holds (path, size, sha256).
set -euo pipefail
OUT=$(realpath "${1:-$(dirname "$0")/../tests/fixtures}")
. "$(dirname "$0")/fixture_lib.sh"  # gen, fixture_workspace
fixture_workspace
export MTOOLS_SKIP_CHECK=1

# ---------- the content, staged on the host ----------
STAGE=$WORK/stage
mkdir -p "$STAGE/Reports/2024"
gen letter 3000 "$STAGE/letter.txt"
gen photo 70000 "$STAGE/photo.jpg"
gen budget 9000 "$STAGE/Reports/budget.xls"
gen summary 20000 "$STAGE/Reports/2024/summary.doc"

fill_mounted() {  # copy the stage into the mounted volume
    cp -r "$STAGE"/. "$MNT"/
    sync
}

make_ntfs() {  # make_ntfs FILE MIB
    truncate -s "$2M" "$1"
    mkntfs -q -F -f -c 4096 -L LOST "$1"
    ntfs-3g "$1" "$MNT"
    fill_mounted
    umount "$MNT"
}
make_fat32() {  # make_fat32 FILE MIB
    truncate -s "$2M" "$1"
    mkfs.fat -F 32 -s 1 -n LOST "$1" > /dev/null
    mcopy -s -i "$1" "$STAGE"/* ::/
}
make_exfat() {  # make_exfat FILE MIB
    truncate -s "$2M" "$1"
    mkfs.exfat -L LOST "$1" > /dev/null
    LOOP=$(losetup --find --show "$1")
    mount.exfat-fuse "$LOOP" "$MNT"
    fill_mounted
    umount "$MNT"
    losetup -d "$LOOP"
    LOOP=
}
make_ntfs_4k() {  # make_ntfs_4k FILE MIB: 4096-byte sectors
    truncate -s "$2M" "$1"
    mkntfs -q -F -f -s 4096 -c 4096 -L LOST "$1" 2> /dev/null
    ntfs-3g "$1" "$MNT"
    fill_mounted
    umount "$MNT"
}
make_fat32_2k() {  # make_fat32_2k FILE MIB: 2048-byte sectors
    truncate -s "$2M" "$1"
    mkfs.fat -F 32 -S 2048 -s 1 -n LOST "$1" > /dev/null 2>&1
}
make_exfat_4k() {  # make_exfat_4k FILE MIB: on a loop device of 4096-byte sectors
    truncate -s "$2M" "$1"
    LOOP=$(losetup --find --show --sector-size 4096 "$1")
    mkfs.exfat -L LOST "$LOOP" > /dev/null
    mount.exfat-fuse "$LOOP" "$MNT"
    fill_mounted
    umount "$MNT"
    losetup -d "$LOOP"
    LOOP=
}
make_ext4() {  # make_ext4 FILE MIB
    truncate -s "$2M" "$1"
    mkfs.ext4 -q -F -b 4096 -L LOST -d "$STAGE" "$1"
}
zero_sector() {  # zero_sector FILE SECTOR [BYTES, default 512]: the sector of that size
    dd if=/dev/zero of="$1" bs="${3:-512}" seek="$2" count=1 conv=notrunc status=none
}

# ---------- lost_ntfs_disk.img ----------
D=$OUT/lost_ntfs_disk.img
make_ntfs "$WORK/ntfs.img" 8
rm -f "$D"
truncate -s 10M "$D"
echo 'start=2048, size=16384, type=7' | sfdisk -q "$D"
dd if="$WORK/ntfs.img" of="$D" bs=1M seek=1 conv=notrunc status=none
zero_sector "$D" 0
zero_sector "$D" 2048
cp "$D" "$OUT/lost_ntfs_noboot_disk.img"
zero_sector "$OUT/lost_ntfs_noboot_disk.img" $((2048 + 16383))

# ---------- lost_fat32.img, lost_exfat.img ----------
make_fat32 "$OUT/lost_fat32.img" 34
zero_sector "$OUT/lost_fat32.img" 0
make_exfat "$OUT/lost_exfat.img" 4
zero_sector "$OUT/lost_exfat.img" 0

# ---------- backtoback_disk.img ----------
make_ext4 "$WORK/ext4.img" 4
make_fat32 "$WORK/fat32.img" 34
cat "$WORK/ext4.img" "$WORK/fat32.img" "$WORK/ntfs.img" > "$OUT/backtoback_disk.img"

# ---------- lost_fat32_2k.img, lost_ntfs_4k.img, lost_exfat_4k.img ----------
make_fat32_2k "$OUT/lost_fat32_2k.img" 130
mcopy -s -i "$OUT/lost_fat32_2k.img" "$STAGE"/* ::/
zero_sector "$OUT/lost_fat32_2k.img" 0 2048
make_ntfs_4k "$WORK/ntfs_4k.img" 8
cp "$WORK/ntfs_4k.img" "$OUT/lost_ntfs_4k.img"
zero_sector "$OUT/lost_ntfs_4k.img" 0 4096
make_exfat_4k "$WORK/exfat_4k.img" 8
cp "$WORK/exfat_4k.img" "$OUT/lost_exfat_4k.img"
zero_sector "$OUT/lost_exfat_4k.img" 0 4096

# ---------- bigsector_disk.img ----------
make_fat32_2k "$WORK/card_2k.img" 34
cat "$WORK/exfat_4k.img" "$WORK/ntfs_4k.img" "$WORK/card_2k.img" > "$OUT/bigsector_disk.img"

# ---------- manifest ----------
python3 - "$STAGE" "$OUT/backup_fixtures.json" <<'PY'
import hashlib, json, os, sys
stage, out = sys.argv[1], sys.argv[2]
files = []
for root, _, names in os.walk(stage):
    for n in sorted(names):
        p = os.path.join(root, n)
        data = open(p, "rb").read()
        files.append({"path": os.path.relpath(p, stage), "size": len(data), "sha256": hashlib.sha256(data).hexdigest()})
files.sort(key=lambda f: f["path"])
mib = 2048
manifest = {
    "lost_ntfs_disk.img": {"damage": "partition table and NTFS boot sector zeroed",
                           "volumes": [{"fileSystem": "NTFS", "startSector": 2048, "sectors": 8 * mib}]},
    "lost_ntfs_noboot_disk.img": {"damage": "partition table and both NTFS boot sectors zeroed",
                                  "volumes": [{"fileSystem": "NTFS", "startSector": 2048, "sectors": 8 * mib,
                                               "listed": False}]},
    "lost_fat32.img": {"damage": "boot sector zeroed",
                       "volumes": [{"fileSystem": "FAT32", "startSector": 0, "sectors": 34 * mib}]},
    "lost_exfat.img": {"damage": "main boot sector zeroed",
                       "volumes": [{"fileSystem": "FAT64", "startSector": 0, "sectors": 4 * mib}]},
    "backtoback_disk.img": {"damage": "no partition table",
                            "volumes": [{"fileSystem": "extX", "startSector": 0, "sectors": 4 * mib},
                                        {"fileSystem": "FAT32", "startSector": 4 * mib, "sectors": 34 * mib},
                                        {"fileSystem": "NTFS", "startSector": 38 * mib, "sectors": 8 * mib}]},
    "lost_fat32_2k.img": {"damage": "boot sector (2048-byte sectors) zeroed",
                          "volumes": [{"fileSystem": "FAT32", "startSector": 0, "sectors": 130 * mib}]},
    "lost_ntfs_4k.img": {"damage": "boot sector (4096-byte sectors) zeroed",
                         "volumes": [{"fileSystem": "NTFS", "startSector": 0, "sectors": 8 * mib}]},
    "lost_exfat_4k.img": {"damage": "main boot sector (4096-byte sectors) zeroed",
                          "volumes": [{"fileSystem": "FAT64", "startSector": 0, "sectors": 8 * mib}]},
    "bigsector_disk.img": {"damage": "no partition table; the FAT32 card holds no files",
                           "volumes": [{"fileSystem": "FAT64", "startSector": 0, "sectors": 8 * mib},
                                       {"fileSystem": "NTFS", "startSector": 8 * mib, "sectors": 8 * mib},
                                       {"fileSystem": "FAT32", "startSector": 16 * mib, "sectors": 34 * mib}]},
}
for m in manifest.values():
    m["files"] = files
json.dump(manifest, open(out, "w"), indent=1, sort_keys=True)
PY

for f in lost_ntfs_disk lost_ntfs_noboot_disk lost_fat32 lost_exfat backtoback_disk lost_fat32_2k lost_ntfs_4k lost_exfat_4k bigsector_disk; do
    zstd -q -19 -f "$OUT/$f.img" -o "$OUT/$f.img.zst"
    rm -f "$OUT/$f.img"
done

# ---------- HFS+ on an MBR disk, and HFSX ----------
# From the xorriso-made HFS+ volume of tools/make_ext_hfs_fixtures.sh (its files are in
# hfsplus_files.json):
#   hfs_mbr_disk.img  an MBR disk (sfdisk) whose one partition, type 0xAF as macOS and
#                     Linux tools write it for HFS+, holds that volume at sector 2048.
#   hfsx.img          the same volume as a case-sensitive one: the signature "HX" and
#                     version 5 in its header and in its alternate header (no tool here
#                     makes HFSX; the rest of the format is the same).
zstd -q -d -f "$OUT/hfsplus_files.img.zst" -o "$WORK/hfs.img"
hfs_bytes=$(stat -c %s "$WORK/hfs.img")
truncate -s $((2048 * 512 + hfs_bytes + 1048576)) "$WORK/hfs_mbr_disk.img"
echo 'start=2048, size='$((hfs_bytes / 512))', type=af' | sfdisk -q "$WORK/hfs_mbr_disk.img"
dd if="$WORK/hfs.img" of="$WORK/hfs_mbr_disk.img" bs=512 seek=2048 conv=notrunc status=none
cp "$WORK/hfs.img" "$WORK/hfsx.img"
python3 - "$WORK/hfsx.img" <<'PY'
import struct, sys
path = sys.argv[1]
with open(path, "r+b") as f:
    data = f.read()
    block_size, total_blocks = struct.unpack(">II", data[1024 + 40:1024 + 48])
    for at in (1024, block_size * total_blocks - 1024):
        assert data[at:at + 2] == b"H+", hex(at)
        f.seek(at)
        f.write(b"HX" + struct.pack(">H", 5))
PY
for f in hfs_mbr_disk hfsx; do
    zstd -q -19 -f "$WORK/$f.img" -o "$OUT/$f.img.zst"
done
ls -l "$OUT"/hfs_mbr_disk.img.zst "$OUT"/hfsx.img.zst
