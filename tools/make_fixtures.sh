#!/usr/bin/env bash
# Makes the partition-table fixtures and the demo disk with real tools, then compresses
# them into tests/fixtures/. Needs root (loop devices and an ntfs-3g mount for the demo
# files); the tests only read the committed .zst images.
#
#   mbr_disk.img  MBR: NTFS (07), FAT16 (06), extended (05) holding exFAT (07), ext4 (83)
#                 and FAT32 (0c) logical partitions; a primary after the extended entry
#                 that the walk must not reach.
#   gpt_disk.img  GPT: "Microsoft reserved partition", NTFS, FAT32, exFAT, ext4, HFS+ and
#                 an NTFS partition smaller than 1 MiB.
#   hfsplus.img   an HFS+ volume made by xorriso.
#   demo_disk.img MBR with one NTFS partition at sector 2048 holding a few files, one deleted.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=$here/tests/fixtures
work=$(mktemp -d)
trap 'umount "$work/mnt" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$out" "$work/mnt"

need() { command -v "$1" >/dev/null || { echo "missing tool: $1" >&2; exit 1; }; }
for t in sfdisk sgdisk mkntfs mkfs.fat mkfs.exfat mkfs.ext4 xorriso ntfs-3g zstd mmls; do need "$t"; done

# Writes a file system image into a disk image at a sector.
place() { dd if="$1" of="$2" bs=512 seek="$3" conv=notrunc status=none; }

# Windows writes "MSDOS5.0" as the OEM name of FAT boot sectors; mkfs.fat writes "mkfs.fat".
msdos_oem() { printf 'MSDOS5.0' | dd of="$1" bs=1 seek=3 conv=notrunc status=none; }

mk_ntfs() { truncate -s "$2" "$1"; mkntfs -q -F -Q -s 512 -p "$3" -H 255 -S 63 -L "$4" "$1" >/dev/null 2>&1; }
mk_fat16() {  # 66069 sectors of 512-byte clusters: 256 sectors per FAT, 32-bit sector count
  truncate -s $((66069 * 512)) "$1"; mkfs.fat -F 16 -s 1 -S 512 -h "$2" -n FATSIXTEEN "$1" >/dev/null; msdos_oem "$1"; }
mk_fat32() { truncate -s 40M "$1"; mkfs.fat -F 32 -s 1 -S 512 -h "$2" -n FAT32VOL "$1" >/dev/null; msdos_oem "$1"; }
mk_exfat() { truncate -s 8M "$1"; mkfs.exfat -q -L EXFATVOL "$1" >/dev/null 2>&1 || mkfs.exfat "$1" >/dev/null; }
mk_ext4() {
  mkdir -p "$work/extsrc"; echo "hello ext" > "$work/extsrc/hello.txt"
  truncate -s 8M "$1"; mkfs.ext4 -q -F -d "$work/extsrc" "$1" >/dev/null; }

# --- MBR disk -----------------------------------------------------------------------
mbr=$work/mbr_disk.img
truncate -s 130M "$mbr"
sfdisk -q "$mbr" <<'TABLE'
label: dos
unit: sectors
start=2048, size=16384, type=7
start=18432, size=67584, type=6
start=86016, size=167936, type=5
start=253952, size=2048, type=83
start=88064, size=16384, type=7
start=106496, size=16384, type=83
start=124928, size=81920, type=c
TABLE
mk_ntfs "$work/p1" 8M 2048 MBRNTFS;   place "$work/p1" "$mbr" 2048
mk_fat16 "$work/p2" 18432;            place "$work/p2" "$mbr" 18432
mk_exfat "$work/l1";                  place "$work/l1" "$mbr" 88064
mk_ext4 "$work/l2";                   place "$work/l2" "$mbr" 106496
mk_fat32 "$work/l3" 124928;           place "$work/l3" "$mbr" 124928
echo "== mmls mbr_disk.img"; mmls "$mbr"

# --- GPT disk -----------------------------------------------------------------------
gpt=$work/gpt_disk.img
truncate -s 100M "$gpt"
sgdisk -o "$gpt" >/dev/null
sgdisk -n 1:2048:+16M    -t 1:0c01 -c 1:"Microsoft reserved partition" "$gpt" >/dev/null
sgdisk -n 2:34816:+8M    -t 2:0700 -c 2:"Basic data partition" "$gpt" >/dev/null
sgdisk -n 3:51200:+40M   -t 3:0700 -c 3:"FAT32 data" "$gpt" >/dev/null
sgdisk -n 4:133120:+8M   -t 4:0700 -c 4:"exFAT data" "$gpt" >/dev/null
sgdisk -n 5:149504:+8M   -t 5:8300 -c 5:"Linux filesystem" "$gpt" >/dev/null
sgdisk -n 6:165888:+16M  -t 6:af00 -c 6:"Apple HFS" "$gpt" >/dev/null
sgdisk -n 7:198656:+512K -t 7:0700 -c 7:"Tiny NTFS" "$gpt" >/dev/null
mk_ntfs "$work/g2" 8M 34816 GPTNTFS;  place "$work/g2" "$gpt" 34816
mk_fat32 "$work/g3" 51200;            place "$work/g3" "$gpt" 51200
mk_exfat "$work/g4";                  place "$work/g4" "$gpt" 133120
mk_ext4 "$work/g5";                   place "$work/g5" "$gpt" 149504
# A minimal NTFS-looking boot sector of 256 KiB: too small to list.
python3 - "$work/g7" <<'PY'
import struct, sys
b = bytearray(512)
b[0:3] = b'\xeb\x52\x90'; b[3:11] = b'NTFS    '
struct.pack_into('<H', b, 11, 512); b[13] = 8
struct.pack_into('<Q', b, 40, 511)
b[510:512] = b'\x55\xaa'
open(sys.argv[1], 'wb').write(b)
PY
place "$work/g7" "$gpt" 198656

# --- HFS+ ---------------------------------------------------------------------------
mkdir -p "$work/hfssrc/Docs"
echo "hfs plus file" > "$work/hfssrc/Docs/readme.txt"
# 2 MiB of text so that the volume is large enough to be listed by the surface scan.
python3 -c "import sys; [sys.stdout.write('line %07d of the HFS+ fixture\n' % i) for i in range(70000)]" > "$work/hfssrc/Docs/long.txt"
xorriso -as mkisofs -quiet -hfsplus -V HFSVOL -o "$work/hfsplus.img" "$work/hfssrc" 2>/dev/null
# xorriso puts the HFS+ volume at sector 128 of its hybrid image (its header 1024 bytes
# further on); the partition receives the volume itself.
hfs_start=$(python3 -c "import sys; d=open(sys.argv[1],'rb').read(); print((d.find(b'H+\x00\x04') - 1024) // 512)" "$work/hfsplus.img")
dd if="$work/hfsplus.img" of="$gpt" bs=512 skip="$hfs_start" seek=165888 conv=notrunc status=none
echo "== mmls gpt_disk.img"; mmls -t gpt "$gpt"

# --- Demo disk ----------------------------------------------------------------------
demo=$work/demo_disk.img
truncate -s 24M "$demo"
printf 'label: dos\nunit: sectors\nstart=2048, size=45056, type=7\n' | sfdisk -q "$demo"
mk_ntfs "$work/demo_p1" 22M 2048 DEMO
ntfs-3g "$work/demo_p1" "$work/mnt"
mkdir -p "$work/mnt/Documents/Letters" "$work/mnt/Pictures"
printf 'Dear reader,\nthis letter was recovered by Quorvane Dravonel.\n' > "$work/mnt/Documents/Letters/letter.txt"
python3 -c "import random; random.seed(7); import sys; sys.stdout.buffer.write(bytes(random.getrandbits(8) for _ in range(300000)))" > "$work/mnt/Pictures/holiday.raw"
printf 'shopping list: bread, milk\n' > "$work/mnt/Documents/notes.txt"
printf 'this file was deleted\n' > "$work/mnt/Documents/deleted-report.txt"
sync
rm "$work/mnt/Documents/deleted-report.txt"
umount "$work/mnt"
place "$work/demo_p1" "$demo" 2048

for f in mbr_disk gpt_disk hfsplus demo_disk; do
  src=$work/$f.img
  zstd -q -19 -f "$src" -o "$out/$f.img.zst"
done
ls -l "$out"
