#!/bin/bash
# Builds small ext volumes with mke2fs -d from staged folders, each clean by e2fsck, with
# its manifest (path, size, SHA-256 of every file). No root needed.
#   ext2_tiny:   the smallest kind the format allows: 104,448 bytes of 1 KiB blocks in one
#                partial group, 16 inodes.
#   ext4_inline: an ext4 volume with inline_data: files and folders small enough live in
#                their inode (in its 60-byte block area, and past it in the "system.data"
#                attribute), the rest in blocks.
#   ext3_links:  an ext3 volume of 128-byte inodes whose symbolic links carry extended
#                attributes (set with debugfs, as an ACL or a security label would be): the
#                attributes take a block of their own, which the link's block count shows.
# A symbolic link's manifest entry is its target text.
#   tools/make_small_ext_fixture.sh [output folder, default tests/fixtures]
set -euo pipefail
OUT=$(realpath "${1:-$(dirname "$0")/../tests/fixtures}")
. "$(dirname "$0")/fixture_lib.sh"  # fixture_workspace
fixture_workspace

manifest() {  # manifest STAGE NAME BYTES
    python3 - "$1" "$OUT/$2.json" "$2.img" "$3" <<'PY'
import hashlib, json, os, sys
stage, out, image, size = sys.argv[1:5]
files = []
for root, _, names in os.walk(stage):
    for n in sorted(names):
        p = os.path.join(root, n)
        # A symbolic link is saved as its target text.
        data = os.readlink(p).encode() if os.path.islink(p) else open(p, "rb").read()
        files.append({"path": os.path.relpath(p, stage), "size": len(data), "sha256": hashlib.sha256(data).hexdigest()})
json.dump({"image": image, "bytes": int(size), "files": sorted(files, key=lambda f: f["path"])},
          open(out, "w"), indent=1)
PY
}

# ext2_tiny
mkdir -p "$WORK/tiny/d"
printf 'a small file\n' > "$WORK/tiny/a.txt"
printf 'deeper in the tree\n' > "$WORK/tiny/d/b.txt"
gen tiny 9000 "$WORK/tiny/d/c.bin"
truncate -s 104448 "$WORK/ext2_tiny.img"
mke2fs -q -F -t ext2 -b 1024 -N 16 -E root_owner=0:0 -d "$WORK/tiny" "$WORK/ext2_tiny.img"
e2fsck -fn "$WORK/ext2_tiny.img" >/dev/null
manifest "$WORK/tiny" ext2_tiny 104448
zstd -q -19 -f "$WORK/ext2_tiny.img" -o "$OUT/ext2_tiny.img.zst"

# ext4_inline: a 13-byte file in the block area, 100 bytes reaching into the attribute,
# a folder of one entry in its inode, folders too big for their inode (mke2fs moves a
# folder to a block once its records pass the block area), and files in blocks.
S="$WORK/inline"
mkdir -p "$S/notes" "$S/one" "$S/spill" "$S/crowded"
printf 'hello inline\n' > "$S/small.txt"
gen inline100 100 "$S/hundred.txt"
gen inline150 150 "$S/notes/n150.txt"
for i in 1 2 3; do printf 'note %s\n' "$i" > "$S/notes/n$i.txt"; done
printf 'alone\n' > "$S/one/x"
for i in 1 2 3 4 5 6; do printf 's%s\n' "$i" > "$S/spill/s$i"; done
for i in $(seq 1 12); do printf 'entry %s\n' "$i" > "$S/crowded/a_rather_long_file_name_$i.txt"; done
gen inlineblock 5000 "$S/block.bin"
gen inlinebig 70000 "$S/notes/big.bin"
truncate -s 2M "$WORK/ext4_inline.img"
mke2fs -q -F -t ext4 -O inline_data -I 256 -b 1024 -E root_owner=0:0 -d "$S" "$WORK/ext4_inline.img"
e2fsck -fn "$WORK/ext4_inline.img" >/dev/null
manifest "$S" ext4_inline 2097152
zstd -q -19 -f "$WORK/ext4_inline.img" -o "$OUT/ext4_inline.img.zst"

# ext3_links: fast links (target in the inode) and a block-stored one, each with an
# attribute block.
L="$WORK/links"
mkdir -p "$L"
printf 'target text\n' > "$L/a.txt"
ln -s a.txt "$L/short"
ln -s nowhere/at/all "$L/dangling"
ln -s "$(printf 'd%.0s' $(seq 1 90))/file.txt" "$L/long"
truncate -s 2M "$WORK/ext3_links.img"
mke2fs -q -F -t ext3 -I 128 -b 1024 -E root_owner=0:0 -d "$L" "$WORK/ext3_links.img" 2>/dev/null
debugfs -w -R "ea_set /short user.comment hello" "$WORK/ext3_links.img" 2>/dev/null
debugfs -w -R "ea_set /long user.comment hello again" "$WORK/ext3_links.img" 2>/dev/null
debugfs -w -R "ea_set /dangling security.selinux system_u:object_r:tmp_t:s0" "$WORK/ext3_links.img" 2>/dev/null
e2fsck -fn "$WORK/ext3_links.img" >/dev/null
manifest "$L" ext3_links 2097152
zstd -q -19 -f "$WORK/ext3_links.img" -o "$OUT/ext3_links.img.zst"
ls -l "$OUT"/ext2_tiny.* "$OUT"/ext4_inline.* "$OUT"/ext3_links.*
