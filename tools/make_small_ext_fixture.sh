#!/bin/bash
# Builds the smallest kind of ext2 volume the format allows, clean by e2fsck: 104,448
# bytes of 1 KiB blocks in one partial group, 16 inodes, made with mke2fs -d from a staged
# folder, and its manifest (path, size, SHA-256 of every file). No root needed.
#   tools/make_small_ext_fixture.sh [output folder, default tests/fixtures]
set -euo pipefail
OUT=$(realpath "${1:-$(dirname "$0")/../tests/fixtures}")
. "$(dirname "$0")/fixture_lib.sh"  # fixture_workspace
fixture_workspace
mkdir -p "$WORK/stage/d"
printf 'a small file\n' > "$WORK/stage/a.txt"
printf 'deeper in the tree\n' > "$WORK/stage/d/b.txt"
gen tiny 9000 "$WORK/stage/d/c.bin"
truncate -s 104448 "$WORK/ext2_tiny.img"
mke2fs -q -F -t ext2 -b 1024 -N 16 -E root_owner=0:0 -d "$WORK/stage" "$WORK/ext2_tiny.img"
e2fsck -fn "$WORK/ext2_tiny.img" >/dev/null
python3 - "$WORK/stage" "$OUT/ext2_tiny.json" <<'PY'
import hashlib, json, os, sys
stage, out = sys.argv[1:3]
files = []
for root, _, names in os.walk(stage):
    for n in sorted(names):
        p = os.path.join(root, n)
        data = open(p, "rb").read()
        files.append({"path": os.path.relpath(p, stage), "size": len(data), "sha256": hashlib.sha256(data).hexdigest()})
json.dump({"image": "ext2_tiny.img", "bytes": 104448, "files": sorted(files, key=lambda f: f["path"])},
          open(out, "w"), indent=1)
PY
zstd -q -19 -f "$WORK/ext2_tiny.img" -o "$OUT/ext2_tiny.img.zst"
ls -l "$OUT/ext2_tiny.img.zst" "$OUT/ext2_tiny.json"
