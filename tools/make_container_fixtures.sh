#!/bin/bash
# Builds the disk-image containers of one committed partitioned fixture (hfs_mbr_disk.img:
# an MBR disk with an HFS+ partition) with the tools that write them, and their manifest.
# Needs ewfacquire (ewf-tools), qemu-img (qemu-utils), split, zstd and python3; no root.
#   tools/make_container_fixtures.sh [output folder, default tests/fixtures]
#
# Images (each reads back as the raw disk, byte for byte):
#   container_ewf.E01 ... .E04   an EnCase 6 set of 1 MiB segments (ewfacquire, no
#                                compression), with its stored MD5 and acquisition notes
#   container.vhd                a dynamic VHD (qemu-img convert -O vpc)
#   container_fixed.vhd          a fixed VHD: the raw disk with a footer
#   container.vhdx               a VHDX (qemu-img convert -O vhdx)
#   container.vmdk               a monolithic sparse VMDK (qemu-img convert -O vmdk)
#   container.qcow2              a QCOW2 image (qemu-img convert -O qcow2)
#   container_child.qcow2        a QCOW2 whose backing file is container.qcow2, with
#                                sector 1 of the disk changed in the child only
#   container_split.001 ... .004 the raw disk split into 1 MiB segments (split)
# Manifest container_fixtures.json: the raw disk's size and SHA-256, and the child's.
set -euo pipefail
OUT=$(realpath "${1:-$(dirname "$0")/../tests/fixtures}")
. "$(dirname "$0")/fixture_lib.sh"  # fixture_workspace
for t in ewfacquire qemu-img split zstd python3; do command -v "$t" >/dev/null || { echo "needs $t"; exit 1; }; done
fixture_workspace
cd "$WORK"
zstd -q -d -f "$OUT/hfs_mbr_disk.img.zst" -o disk.img

ewfacquire -u -q -c none -S 1048576 -f encase6 -t container_ewf -C "case 7" -D "camera card" -e "examiner" \
    -E "evidence 1" -N "acquired for the tests" disk.img >/dev/null
qemu-img convert -q -f raw -O vpc -o force_size=on disk.img container.vhd
qemu-img convert -q -f raw -O vpc -o subformat=fixed,force_size=on disk.img container_fixed.vhd
qemu-img convert -q -f raw -O vhdx disk.img container.vhdx
qemu-img convert -q -f raw -O vmdk disk.img container.vmdk
qemu-img convert -q -f raw -O qcow2 disk.img container.qcow2
# The child records its backing file by name only, so it is found beside it anywhere;
# sector 1 (the gap before the partition) is written in the child alone.
qemu-img create -q -f qcow2 -b container.qcow2 -F qcow2 container_child.qcow2
qemu-io -f qcow2 -c "write -P 0x5a 512 512" container_child.qcow2 >/dev/null
qemu-img convert -q -f qcow2 -O raw container_child.qcow2 child_disk.img
split -b 1048576 --numeric-suffixes=1 -a 3 disk.img container_split.

python3 - "$OUT/container_fixtures.json" disk.img child_disk.img <<'PY'
import hashlib, json, os, sys
out, disk, child = sys.argv[1:4]
def digest(p):
    return hashlib.sha256(open(p, "rb").read()).hexdigest()
json.dump({"source": "hfs_mbr_disk.img", "bytes": os.path.getsize(disk), "sha256": digest(disk),
           "md5": hashlib.md5(open(disk, "rb").read()).hexdigest(),
           "child": {"bytes": os.path.getsize(child), "sha256": digest(child)}},
          open(out, "w"), indent=1, sort_keys=True)
PY
for f in container_ewf.E0? container.vhd container_fixed.vhd container.vhdx container.vmdk container.qcow2 \
         container_child.qcow2 container_split.00?; do
    zstd -q -19 -f "$f" -o "$OUT/$f.zst"
done
ls -l "$OUT"/container*
