#!/bin/bash
# Builds an NTFS volume whose files have several names (hard links made with ln through
# ntfs-3g): one file with three names in three folders, and one with forty names in one
# folder, more than its record holds, so that its names spread over extension records
# named by an attribute list. The manifest lists every name with the SHA-256 of the
# file's content. Needs root (a FUSE mount), mkntfs and ntfs-3g.
#   tools/make_ntfs_link_fixture.sh [output folder, default tests/fixtures]
set -euo pipefail
OUT=$(realpath "${1:-$(dirname "$0")/../tests/fixtures}")
. "$(dirname "$0")/fixture_lib.sh"  # gen, fixture_workspace
fixture_workspace
IMG=$WORK/ntfs_links.img
truncate -s 16M "$IMG"
mkntfs -q -F -f "$IMG" >/dev/null 2>&1
ntfs-3g "$IMG" "$MNT"
mkdir "$MNT/A" "$MNT/B" "$MNT/many"
gen linked 3000 "$MNT/A/f.txt"
ln "$MNT/A/f.txt" "$MNT/B/g.txt"
ln "$MNT/A/f.txt" "$MNT/h.txt"
printf 'one name only\n' > "$MNT/B/plain.txt"
printf 'one file, forty names\n' > "$MNT/many/name_000.txt"
for i in $(seq -w 1 39); do ln "$MNT/many/name_000.txt" "$MNT/many/name_0$i.txt"; done
python3 - "$MNT" "$OUT/ntfs_links.json" <<'PY'
import hashlib, json, os, sys
root, out = sys.argv[1:3]
files = []
for folder, _, names in os.walk(root):
    for n in sorted(names):
        p = os.path.join(folder, n)
        data = open(p, "rb").read()
        files.append({"path": os.path.relpath(p, root), "size": len(data), "links": os.stat(p).st_nlink,
                      "sha256": hashlib.sha256(data).hexdigest()})
json.dump({"image": "ntfs_links.img", "files": sorted(files, key=lambda f: f["path"])}, open(out, "w"), indent=1)
PY
sync
umount "$MNT"
# The Sleuth Kit sees every name.
test "$(fls -r "$IMG" | grep -c -E 'name_0|f\.txt|g\.txt|h\.txt')" -eq 43
zstd -q -19 -f "$IMG" -o "$OUT/ntfs_links.img.zst"
ls -l "$OUT/ntfs_links.img.zst" "$OUT/ntfs_links.json"
