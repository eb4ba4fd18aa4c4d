#!/usr/bin/python3
"""Serves a disk image as MOUNT/disk.img through FUSE, answering EIO to every read that
touches one of the given sectors, the way a failing drive does.

    failing_source.py IMAGE MOUNT FIRST:COUNT [FIRST:COUNT ...]

Needs /dev/fuse and Debian's python3-fusepy; runs in the foreground until unmounted
(fusermount -u MOUNT)."""
import errno
import stat
import sys

from fusepy import FUSE, FuseOSError, Operations


class FailingSource(Operations):
    def __init__(self, image, bad):
        with open(image, 'rb') as f:
            self.data = f.read()
        self.bad = bad

    def getattr(self, path, fh=None):
        if path == '/':
            return dict(st_mode=stat.S_IFDIR | 0o755, st_nlink=2)
        if path == '/disk.img':
            return dict(st_mode=stat.S_IFREG | 0o444, st_nlink=1, st_size=len(self.data))
        raise FuseOSError(errno.ENOENT)

    def readdir(self, path, fh):
        return ['.', '..', 'disk.img']

    def read(self, path, size, offset, fh):
        for first, count in self.bad:
            if offset < (first + count) * 512 and first * 512 < offset + size:
                raise FuseOSError(errno.EIO)
        return self.data[offset:offset + size]


if __name__ == '__main__':
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    ranges = [tuple(int(x) for x in arg.split(':')) for arg in sys.argv[3:]]
    # direct_io: every read reaches this process, none is served from the page cache.
    FUSE(FailingSource(sys.argv[1], ranges), sys.argv[2], foreground=True, ro=True, direct_io=True)
