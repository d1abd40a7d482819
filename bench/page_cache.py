"""The page cache, as the benchmarks set it before a timed run: cold (each file's pages written
out and dropped) or warm (each file read through once)."""
import os


def drop_cached_pages(paths):
    for path in paths:
        fd = os.open(path, os.O_RDONLY)
        try:
            os.fsync(fd)
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


def warm_up(paths):
    for path in paths:
        with open(path, "rb") as f:
            while f.read(1 << 24):
                pass
