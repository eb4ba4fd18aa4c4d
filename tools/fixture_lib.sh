# Shell pieces the fixture scripts share; sourced, not run.

gen() {  # gen SEED SIZE FILE: deterministic, moderately compressible bytes
    python3 - "$@" <<'PY'
import random, sys
seed, size, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
r = random.Random(seed)
words = [b"alpha", b"bravo", b"charlie", b"delta", b"echo", b"foxtrot", b"golf", b"hotel"]
out = bytearray()
while len(out) < size:
    out += r.choice(words) + b" " + str(r.randrange(100000)).encode() + (b"\n" if r.random() < .1 else b" ")
open(path, "wb").write(out[:size])
PY
}

# A work folder with a mount point, removed on exit with whatever is still mounted or
# attached there: WORK, MNT and LOOP (set it when a loop device is attached).
fixture_workspace() {
    WORK=$(mktemp -d)
    MNT=$WORK/mnt
    LOOP=
    mkdir -p "$MNT"
    trap fixture_cleanup EXIT
}
fixture_cleanup() {
    umount "$MNT" 2>/dev/null || true
    [ -n "$LOOP" ] && losetup -d "$LOOP" 2>/dev/null || true
    rm -rf "$WORK"
}
