#!/bin/bash
# Builds the ext4 volume of the journal undelete tests the way a user loses files: a
# small volume made by mkfs.ext4 (journal, extents, metadata checksums), filled through
# the kernel driver over a loop device, synced, then files and a folder with its files
# deleted through the same driver, synced and unmounted. Run as root; the tests only read
# the committed .zst image:
#   tools/make_ext_journal_fixtures.sh [output folder, default tests/fixtures]
#
# Image ext4_journal.img (16 MiB, 4 KiB blocks):
#   keep/                  files that stay, of a few sizes
#   docs/report.txt        deleted
#   docs/notes/todo.txt    deleted
#   photos/IMG_0001.JPG .. IMG_0004.JPG   two of them deleted
#   big.bin                600,000 bytes, deleted
#   Project/ with src/     deleted whole (rm -r): 5 files and a sub-folder of 3
#   written-after.bin      written after the deletes
#   docs/draft.txt         deleted; then docs/final.txt written into its inode, deleted too
# Image ext3_journal.img (8 MiB ext3, 1 KiB blocks, block maps): dir/ deleted whole with
# a 300,000-byte file (double-indirect map) and a sub-folder, and small.bin deleted.
# Manifests ext4_journal.json and ext3_journal.json: "live" and "deleted" lists of {path, size, sha256}; each
# deleted file also carries "blocks" (istat, while it was live), "overwritten" (one of
# those blocks is in use again after the deletes, by the block bitmap of dumpe2fs, or a
# later deleted file held it) and "superseded" (a later deleted file took its inode);
# "fls_deleted_inodes" are the inodes fls -r -d names as deleted.
# fls -r -d and istat (The Sleuth Kit) are printed as the independent view of what the
# volume itself says is free.
set -euo pipefail
OUT=$(realpath "${1:-$(dirname "$0")/../tests/fixtures}")
. "$(dirname "$0")/fixture_lib.sh"  # gen, fixture_workspace
fixture_workspace
for t in mkfs.ext4 losetup mount zstd python3 dumpe2fs fls istat; do
    command -v "$t" >/dev/null || { echo "missing tool: $t" >&2; exit 1; }
done
export TZ=UTC

IMG=$WORK/ext4_journal.img
truncate -s 16M "$IMG"
mkfs.ext4 -q -F -b 4096 -L JOURNALED -E lazy_itable_init=0,lazy_journal_init=0,root_owner=0:0 "$IMG"
LOOP=$(losetup -f --show "$IMG")
mount -t ext4 "$LOOP" "$MNT"

mkdir -p "$MNT/keep" "$MNT/docs/notes" "$MNT/photos" "$MNT/Project/src/lib"
gen keep1 700 "$MNT/keep/small.txt"
gen keep2 9000 "$MNT/keep/medium.txt"
gen keep3 120000 "$MNT/keep/large.log"
gen report 12000 "$MNT/docs/report.txt"
gen todo 400 "$MNT/docs/notes/todo.txt"
for i in 1 2 3 4; do gen "photo$i" $((30000 + i * 17000)) "$MNT/photos/IMG_000$i.JPG"; done
gen big 600000 "$MNT/big.bin"
gen readme 2500 "$MNT/Project/README.md"
gen main 18000 "$MNT/Project/src/main.cpp"
gen util 5000 "$MNT/Project/src/util.cpp"
gen empty 0 "$MNT/Project/src/empty.txt"
gen lib1 70000 "$MNT/Project/src/lib/a.bin"
gen lib2 4096 "$MNT/Project/src/lib/b.bin"
gen lib3 1 "$MNT/Project/src/lib/c.txt"
sync

DELETED="docs/report.txt docs/notes/todo.txt photos/IMG_0002.JPG photos/IMG_0004.JPG big.bin
Project/README.md Project/src/main.cpp Project/src/util.cpp Project/src/empty.txt
Project/src/lib/a.bin Project/src/lib/b.bin Project/src/lib/c.txt"
# Contents and places of the files about to be deleted, while they are live.
RECORD=$WORK/record.tsv
: > "$RECORD"
record() {  # record PATH: its size, SHA-256, inode and blocks (istat) while it is live
    local p=$1 ino blocks
    ino=$(stat -c %i "$MNT/$p")
    blocks=$(istat "$LOOP" "$ino" | awk '/^Direct Blocks:/ { s = 1; next } s && /^[0-9 ]+$/ { for (i = 1; i <= NF; i++) print $i; next } s { exit }' | paste -sd, -)
    printf '%s\t%s\t%s\t%s\t%s\n' "$p" "$(stat -c %s "$MNT/$p")" "$(sha256sum < "$MNT/$p" | cut -d' ' -f1)" "$ino" "$blocks" >> "$RECORD"
}
for p in $DELETED; do record "$p"; done

# The accident: files deleted one by one, a folder deleted whole, then more written.
rm "$MNT/docs/report.txt" "$MNT/docs/notes/todo.txt" "$MNT/photos/IMG_0002.JPG" "$MNT/photos/IMG_0004.JPG"
rm "$MNT/big.bin"
rm -r "$MNT/Project"
sync
gen after 120000 "$MNT/written-after.bin"
sync
# A draft deleted, then a final version written (into the draft's inode and, as the
# allocator likes, its blocks) and deleted as well: only the final version is there to
# be had.
gen draft 30000 "$MNT/docs/draft.txt"
sync
record docs/draft.txt
rm "$MNT/docs/draft.txt"
sync
gen final 26000 "$MNT/docs/final.txt"
sync
record docs/final.txt
rm "$MNT/docs/final.txt"
sync

# The live files, the volume's own view of what is free (fls, istat, dumpe2fs), the
# manifest and the compressed image of the volume mounted at $MNT over $LOOP.
finish_image() {  # finish_image NAME (IMG, RECORD set)
    NAME=$1
    LIVE=$WORK/live.tsv
    (cd "$MNT" && find . -type f ! -path './lost+found/*' | sed 's|^\./||' | sort | while read -r p; do
        printf '%s\t%s\t%s\n' "$p" "$(stat -c %s "$p")" "$(sha256sum < "$p" | cut -d' ' -f1)"
    done) > "$LIVE"
    umount "$MNT"
    losetup -d "$LOOP"
    LOOP=

    echo "== fls -r -d -p (what the volume says is deleted)"
    fls -r -d -p "$IMG" | tee "$WORK/fls.txt" || true
    sed -nE 's/^[^*]*\* ([0-9]+)(\([^)]*\))?:.*/\1/p' "$WORK/fls.txt" | sort -un > "$WORK/fls_inodes.txt"
    echo "== istat of the deleted inodes (their maps are gone on the volume)"
    cut -f4 "$RECORD" | while read -r ino; do istat "$IMG" "$ino" | grep -E '^(inode:|Not Allocated|Allocated|size:|Direct Blocks:)' -A1 | tr '\n' ' '; echo; done
    dumpe2fs "$IMG" 2>/dev/null | awk '/^ *Free blocks: / { sub(/^ *Free blocks: /, ""); print }' | tr ',' '\n' | sed 's/ //g; /^$/d' > "$WORK/free.txt"

    python3 - "$RECORD" "$LIVE" "$WORK/free.txt" "$OUT/$NAME.json" "$NAME.img" "$WORK/fls_inodes.txt" <<'PY'
import json, sys
record, live, free, out = sys.argv[1:5]
free_blocks = set()
for r in open(free):
    a, _, b = r.strip().partition('-')
    free_blocks.update(range(int(a), int(b or a) + 1))
deleted = []
for line in open(record):
    p, size, sha, ino, blocks = (line.rstrip('\n').split('\t') + [''])[:5]
    bl = [int(b) for b in blocks.split(',') if b]
    deleted.append({'path': p, 'size': int(size), 'sha256': sha, 'inode': int(ino), 'blocks': bl,
                    'overwritten': any(b not in free_blocks for b in bl)})
# A file deleted before another deleted file took its inode is gone ("superseded"); one
# whose blocks a later deleted file took is overwritten.
for i, d in enumerate(deleted):
    later = deleted[i + 1:]
    d['superseded'] = any(e['inode'] == d['inode'] for e in later)
    d['overwritten'] = d['overwritten'] or any(set(e['blocks']) & set(d['blocks']) for e in later)
live_items = []
for line in open(live):
    p, size, sha = line.rstrip('\n').split('\t')
    live_items.append({'path': p, 'size': int(size), 'sha256': sha})
fls_deleted = [int(x) for x in open(sys.argv[6]).read().split()]
json.dump({'image': sys.argv[5], 'live': live_items, 'deleted': deleted, 'fls_deleted_inodes': fls_deleted},
          open(out, 'w'), indent=1)
print('deleted files whose blocks are in use again:', [d['path'] for d in deleted if d['overwritten']])
PY
    zstd -q -19 -f "$IMG" -o "$OUT/$NAME.img.zst"
    ls -l "$OUT/$NAME.img.zst" "$OUT/$NAME.json"
}

finish_image ext4_journal

# Fuzz seeds: the journal's blocks up to its last transaction, and a 3 MiB ext4 volume of
# 1 KiB blocks with a journal, written and emptied through the kernel the same way.
SEEDS=$(dirname "$0")/../fuzz/corpus
mkdir -p "$SEEDS/ext_journal" "$SEEDS/ext"
debugfs -R "dump <8> $WORK/journal.bin" "$IMG" 2>/dev/null
last=$(debugfs -R "logdump -O" "$IMG" 2>/dev/null | awk '/^Found expected sequence/ { b = $NF } END { print b + 1 }')
head -c $(( (last + 1) * 4096 )) "$WORK/journal.bin" > "$SEEDS/ext_journal/ext4_4k_journal.seed"
SMALL=$WORK/small.img
truncate -s 3M "$SMALL"
mkfs.ext4 -q -F -b 1024 -N 64 -J size=1 -E lazy_itable_init=0,lazy_journal_init=0,root_owner=0:0 "$SMALL"
LOOP=$(losetup -f --show "$SMALL")
mount -t ext4 "$LOOP" "$MNT"
mkdir -p "$MNT/d/e"
gen seed1 3000 "$MNT/d/e/a.txt"; gen seed2 20000 "$MNT/d/b.bin"; gen seed3 100 "$MNT/c.txt"
sync
rm -r "$MNT/d"
sync
umount "$MNT"
losetup -d "$LOOP"
LOOP=
cp "$SMALL" "$SEEDS/ext/ext4_1k_deleted.seed"
debugfs -R "dump <8> $WORK/journal1k.bin" "$SMALL" 2>/dev/null
head -c 65536 "$WORK/journal1k.bin" > "$SEEDS/ext_journal/ext4_1k_journal.seed"
ls -l "$SEEDS/ext_journal" "$SEEDS/ext"

# ext3 (block maps, 1 KiB blocks): a file past the double-indirect map in a folder deleted
# whole, and a small file; the kernel clears the maps, the journal keeps the indirect blocks.
IMG=$WORK/ext3_journal.img
truncate -s 8M "$IMG"
mkfs.ext3 -q -F -b 1024 -L EXT3JOURNAL -E lazy_itable_init=0,root_owner=0:0 "$IMG"
LOOP=$(losetup -f --show "$IMG")
mount -t ext3 "$LOOP" "$MNT"
mkdir -p "$MNT/keep" "$MNT/dir/sub"
gen e3keep 3000 "$MNT/keep/stays.txt"
gen e3big 300000 "$MNT/dir/big.bin"
gen e3sub 40000 "$MNT/dir/sub/part.bin"
gen e3small 5000 "$MNT/small.bin"
sync
: > "$RECORD"
for p in dir/big.bin dir/sub/part.bin small.bin; do record "$p"; done
rm -r "$MNT/dir" "$MNT/small.bin"
sync
finish_image ext3_journal
