#!/usr/bin/env bash
# Makes the ext2/3/4 and HFS+ fixtures with real tools and compresses them into
# tests/fixtures/, each with a JSON manifest (path, kind, size, SHA-256, times) taken from
# a read-only mount of the finished image (ext) or from the source folder (HFS+).
# Needs root (loop mounts), mke2fs, xorriso, zstd and python3; fls/icat (The Sleuth Kit)
# are run as a cross-check when present. The tests only read the committed .zst images.
#
#   ext4_4k.img  ext4, 4 KiB blocks, 64bit, 2048 blocks per group: five full groups and a
#                partial third one whose inodes hold files; a folder of 5,000 entries
#                (htree), a file of 12 extents (a depth-1 extent tree), a sparse file, an
#                unwritten (fallocated) file, symbolic links, a device node, a FIFO, UTF-8
#                names, a deleted file.
#   ext4_1k.img  ext4, 1 KiB blocks, four groups (the last partial), the same tree
#                without the big folder.
#   ext2_1k.img  ext2 (block maps: single and double indirect blocks), 1 KiB blocks.
#   ext2_4k.img  ext2, 4 KiB blocks, two groups (the last partial).
#   hfsplus_files.img  the HFS+ volume of an xorriso hybrid image: nested folders,
#                a multi-block file, UTF-8 names, known dates.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=$here/tests/fixtures
work=$(mktemp -d)
trap 'umount "$work/mnt" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$out" "$work/mnt"
need() { command -v "$1" >/dev/null || { echo "missing tool: $1" >&2; exit 1; }; }
for t in mke2fs debugfs xorriso zstd python3 mknod; do need "$t"; done

# A known time for every file (UTC): 2021-03-04 05:06:07.
export TZ=UTC
stamp=202103040506.07

# --- the source folder --------------------------------------------------------------
make_source() {  # $1 folder, $2 = "big" for the 5,000-entry folder
  local s=$1
  mkdir -p "$s/Docs/nested/deeper" "$s/Pictures"
  printf 'hello ext\n' > "$s/hello.txt"
  printf 'a file three folders down\n' > "$s/Docs/nested/deeper/deep.txt"
  printf 'to be deleted\n' > "$s/Docs/gone.txt"
  python3 - "$s" <<'PY'
import os, random, sys
s = sys.argv[1]
r = random.Random(11)
# 300 KiB: past the 12 direct blocks and, with 1 KiB blocks, into the double-indirect map.
open(os.path.join(s, 'Pictures', 'big.bin'), 'wb').write(bytes(r.getrandbits(8) for _ in range(300 * 1024)))
# 12 data pieces of 4 KiB separated by 4 KiB holes: 12 extents, more than the inode holds.
with open(os.path.join(s, 'fragmented.bin'), 'wb') as f:
    for i in range(12):
        f.seek(i * 8192)
        f.write(bytes([65 + i]) * 4096)
# 1 MiB hole, 5,000 bytes of data, a hole to 2 MiB.
with open(os.path.join(s, 'sparse.bin'), 'wb') as f:
    f.seek(1 << 20)
    f.write(b'sparse data ' * 416 + b'12345678')
    f.truncate(2 << 20)
for name in ['Grüße.txt', '日本語のファイル.txt', 'emoji 🎉.txt', 'café']:
    p = os.path.join(s, name)
    if name == 'café':
        os.mkdir(p)
        p = os.path.join(p, 'menu.txt')
    open(p, 'w', encoding='utf-8').write('name: %s\n' % name)
PY
  ln -s Docs/nested/deeper/deep.txt "$s/short-link"
  ln -s "Docs/nested/deeper/$(printf 'x%.0s' $(seq 1 70))/target-beyond-sixty-bytes.txt" "$s/long-link"
  mknod "$s/chardev" c 1 3
  mkfifo "$s/pipe"
  if [ "${2:-}" = big ]; then
    mkdir "$s/many"
    for i in $(seq -w 1 5000); do printf '%s\n' "$i" > "$s/many/entry_$i.txt"; done
  fi
  find "$s" -exec touch -h -t "$stamp" {} +
}

# Manifest of a mounted tree: every path below the root (lost+found left out), its kind,
# size, SHA-256 (files), link target, modification and access times in seconds.
manifest() {  # $1 mounted folder, $2 output json, $3 image name
  python3 - "$1" "$2" "$3" <<'PY'
import hashlib, json, os, stat, sys
root, out, image = sys.argv[1:4]
items = []
for d, dirs, files in os.walk(root):
    dirs.sort(); files.sort()
    for n in dirs + files:
        p = os.path.join(d, n)
        rel = os.path.relpath(p, root)
        if rel == 'lost+found' or rel.startswith('lost+found/'):
            continue
        st = os.lstat(p)
        kind = 'dir' if stat.S_ISDIR(st.st_mode) else 'file' if stat.S_ISREG(st.st_mode) else \
               'link' if stat.S_ISLNK(st.st_mode) else 'other'
        it = {'path': rel, 'kind': kind, 'mtime': st.st_mtime_ns // 10**9, 'atime': st.st_atime_ns // 10**9,
              'mode': stat.S_IMODE(st.st_mode)}
        if kind == 'file':
            data = open(p, 'rb').read()
            it['size'] = len(data); it['sha256'] = hashlib.sha256(data).hexdigest()
        elif kind == 'link':
            t = os.readlink(p).encode()
            it['size'] = len(t); it['sha256'] = hashlib.sha256(t).hexdigest()
        items.append(it)
json.dump({'image': image, 'deleted': ['Docs/gone.txt'], 'items': items}, open(out, 'w'), indent=1, ensure_ascii=False)
PY
}

# --- ext images ---------------------------------------------------------------------
make_ext() {  # $1 name, $2 mke2fs type, $3 block size, $4 size in KiB, $5 blocks per group, $6 inodes, $7 big?
  local name=$1 img=$work/$1.img src=$work/src-$1
  make_source "$src" "${7:-}"
  truncate -s "$4"K "$img"
  mke2fs -q -F -t "$2" -b "$3" -g "$5" -N "$6" -E lazy_itable_init=0,root_owner=0:0 -d "$src" "$img"
  mount -o loop "$img" "$work/mnt"
  # A file the kernel itself allocates unwritten (ext4 only), and a deletion.
  if [ "$2" = ext4 ]; then
    fallocate -l 65536 "$work/mnt/unwritten.bin"
    printf 'written after the hole\n' | dd of="$work/mnt/unwritten.bin" bs=1 seek=70000 conv=notrunc status=none
    touch -h -t "$stamp" "$work/mnt/unwritten.bin"
  fi
  rm "$work/mnt/Docs/gone.txt"
  touch -h -t "$stamp" "$work/mnt/Docs" "$work/mnt"
  umount "$work/mnt"
  mount -o loop,ro,noatime "$img" "$work/mnt"
  manifest "$work/mnt" "$out/$name.json" "$name.img"
  umount "$work/mnt"
  if command -v fls >/dev/null; then
    echo "== fls -r -p $name.img (lines: $(fls -r -p "$img" | wc -l))"; fls -r -p "$img" | grep -v 'many/' | head -40
  fi
  zstd -q -19 -f "$img" -o "$out/$name.img.zst"
}

make_ext ext4_4k ext4 4096 45056 2048 5376 big   # 11264 blocks: five groups of 2048 and one of 1024
make_ext ext4_1k ext4 1024 7680 2048 1024        # 7679 blocks after block 0: 3 groups + 1535
make_ext ext2_1k ext2 1024 4096 2048 512         # 4095 blocks: 1 full group + partial ones
make_ext ext2_4k ext2 4096 12288 2048 256        # 3072 blocks: 2048 + 1024

# --- HFS+ ---------------------------------------------------------------------------
src=$work/hfssrc
mkdir -p "$src/Folder A/Folder B/Folder C" "$src/Empty"
printf 'top level\n' > "$src/top.txt"
printf 'deep in the tree\n' > "$src/Folder A/Folder B/Folder C/deep.txt"
printf 'ünïcödé\n' > "$src/Folder A/Grüße.txt"
python3 -c "
import random; r = random.Random(5)
open('$src/Folder A/Folder B/multi.bin','wb').write(bytes(r.getrandbits(8) for _ in range(150000)))"
python3 -c "import sys; [sys.stdout.write('line %07d of the HFS+ fixture\n' % i) for i in range(40000)]" > "$src/long.txt"
find "$src" -exec touch -h -t "$stamp" {} +
xorriso -as mkisofs -quiet -hfsplus -V HFSFILES -o "$work/hfs_hybrid.img" "$src" 2>/dev/null
# xorriso places the HFS+ volume inside its hybrid image; the fixture is that volume,
# from its start (1024 bytes before the header "H+") to the end of the image.
hfs_start=$(python3 -c "import sys; d=open(sys.argv[1],'rb').read(); print((d.find(b'H+\x00\x04') - 1024))" "$work/hfs_hybrid.img")
dd if="$work/hfs_hybrid.img" of="$work/hfsplus_files.img" bs=512 skip=$((hfs_start / 512)) status=none
manifest "$src" "$out/hfsplus_files.json" hfsplus_files.img
python3 - "$out/hfsplus_files.json" <<'PY'
import json, sys, unicodedata
# HFS+ keeps names decomposed (NFD); the manifest names them as the volume does.
m = json.load(open(sys.argv[1])); m['deleted'] = []
for it in m['items']:
    it['path'] = unicodedata.normalize('NFD', it['path'])
json.dump(m, open(sys.argv[1], 'w'), indent=1, ensure_ascii=False)
PY
if command -v fls >/dev/null; then echo "== fls -r -p hfsplus_files.img"; fls -r -p "$work/hfsplus_files.img" || true; fi
zstd -q -19 -f "$work/hfsplus_files.img" -o "$out/hfsplus_files.img.zst"
ls -l "$out"/ext*_*.img.zst "$out"/hfsplus_files.*

# --- fuzz seeds: small volumes, and the fixtures cut to the part the parsers read -----
seeds=$here/fuzz/corpus
mkdir -p "$seeds/ext" "$seeds/hfsplus"
seed_src=$work/seedsrc
mkdir -p "$seed_src/d/e"
printf 'seed\n' > "$seed_src/a.txt"; printf 'deeper\n' > "$seed_src/d/e/b.txt"
ln -s a.txt "$seed_src/l"
python3 -c "
f = open('$seed_src/frag.bin', 'wb')
for i in range(6):
    f.seek(i * 2048); f.write(bytes([65 + i]) * 1024)"
for t in ext2 ext4; do
  truncate -s 160K "$work/seed-$t.img"
  mke2fs -q -F -t "$t" -b 1024 -N 32 -E lazy_itable_init=0,root_owner=0:0 -d "$seed_src" "$work/seed-$t.img"
  cp "$work/seed-$t.img" "$seeds/ext/$t-1k.img"
done
head -c 65536 "$work/hfsplus_files.img" > "$seeds/hfsplus/hfsplus-head.img"
ls -l "$seeds/ext" "$seeds/hfsplus"
