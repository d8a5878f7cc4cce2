"""Follow the live tap of a recording process (viz256, viz256-record) with numpy.

    for place, frames, missed in viz256.tap.Tap().blocks(seconds=10):
        place["first_frame"], frames.shape     # (whole frames of the block, words)

The segment is mapped read-only: a slow or stopped reader costs the recording nothing and is
told how many blocks it lost. The layout of the segment is described in the README of viz256.
"""
import fcntl as _fcntl
import mmap as _mmap
import os as _os
import time as _time
from urllib.parse import unquote as _unquote

import numpy as np

__all__ = ["TapError", "taps", "Tap"]

RUN = np.dtype([
    ("lock", "<u8"), ("generation", "<u8"), ("first", "<u8"), ("words", "<u4"), ("floats", "<u4"),
    ("frequency", "<f8"), ("beams", "u1", (32,)), ("aux", "u1"), ("reserved0", "u1", (7,))])
HEADER = np.dtype([
    ("magic", "S8"), ("version", "<u4"), ("header_bytes", "<u4"), ("segment_bytes", "<u8"),
    ("slot_count", "<u4"), ("slot_bytes", "<u4"), ("slots_offset", "<u8"), ("data_offset", "<u8"),
    ("data_bytes", "<u8"), ("pid", "<i8"), ("port", "S64"), ("serial", "S64"),
    ("wake", "<u4"), ("reserved1", "<u4"), ("published", "<u8"), ("reserved", "<u8"), ("unpublished", "<u8"),
    ("run", "<u8"), ("reserved2", "<u8", (3,)), ("runs", RUN, (8,))])
assert HEADER.itemsize == 896 and RUN.itemsize == 80
SLOT = np.dtype([
    ("lock", "<u8"), ("index", "<u8"), ("generation", "<u8"), ("sequence", "<u8"), ("byte_offset", "<u8"),
    ("completed_ns", "<i8"), ("position", "<u8"), ("bytes", "<u4"), ("reserved0", "<u4")])
MAX_BLOCK = 16 << 20


class TapError(RuntimeError):
    """A tap that cannot be found or read (none, several, another version, damaged)."""


def _in_memory(path):
    # As the recording process decides: XDG_RUNTIME_DIR holds the taps only on a memory file
    # system (tmpfs, ramfs); the file system is that of the longest mount point above the path.
    try:
        real, best, kind = _os.path.realpath(path), "", ""
        with open("/proc/self/mounts") as f:
            for line in f:
                p = line.split()
                mnt = p[1].replace("\\040", " ")
                if (real == mnt or real.startswith(mnt.rstrip("/") + "/")) and len(mnt) >= len(best):
                    best, kind = mnt, p[2]
        return kind in ("tmpfs", "ramfs")
    except (OSError, IndexError):
        return False


def _folder():
    own, xdg = _os.environ.get("VIZ256_TAP_DIR", ""), _os.environ.get("XDG_RUNTIME_DIR", "")
    if own.startswith("/"):
        return own
    if xdg.startswith("/") and _in_memory(xdg):
        return xdg + "/viz256-tap"
    return f"/dev/shm/viz256-tap-{_os.getuid()}"


def _alive(fd):
    """Whether the publishing process still holds the segment's lock."""
    try:
        _fcntl.flock(fd, _fcntl.LOCK_SH | _fcntl.LOCK_NB)
    except BlockingIOError:
        return True
    _fcntl.flock(fd, _fcntl.LOCK_UN)
    return False


def taps():
    """{port: path} of the taps of the recording processes running (this user's)."""
    found = {}
    try:
        names = _os.listdir(_folder())
    except OSError:
        return found
    for name in names:
        if not name.startswith("tap-"):
            continue
        path = _folder() + "/" + name
        try:
            fd = _os.open(path, _os.O_RDONLY | _os.O_NOFOLLOW)
        except OSError:
            continue
        try:
            if _alive(fd):
                found[_unquote(name[4:])] = path
        finally:
            _os.close(fd)
    return found


class Tap:
    def __init__(self, device=None):
        found = taps()
        if device and "/" in device:
            path = device
        else:
            chosen = [p for port, p in found.items() if not device or device == port]
            if len(chosen) != 1:
                raise TapError(f"{len(chosen)} taps match {device!r}; recording: {sorted(found)}")
            path = chosen[0]
        self.fd = _os.open(path, _os.O_RDONLY | _os.O_NOFOLLOW)
        size = _os.fstat(self.fd).st_size
        if size < 4096:
            raise TapError(f"{path}: truncated")
        self.map = _mmap.mmap(self.fd, size, prot=_mmap.PROT_READ)
        self.h = np.frombuffer(self.map, HEADER, count=1)[0]
        h = self.h
        if bytes(h["magic"]) != b"VZ256TAP" or int(h["version"]) != 1:
            raise TapError(f"{path}: not a viz256 tap of version 1")
        if (int(h["slot_bytes"]) != SLOT.itemsize or int(h["segment_bytes"]) != size
                or int(h["data_offset"]) + int(h["data_bytes"]) != size
                or int(h["slots_offset"]) + int(h["slot_count"]) * SLOT.itemsize > int(h["data_offset"])):
            raise TapError(f"{path}: garbled or truncated")
        if not _alive(self.fd):
            raise TapError(f"{path}: left over from a recording process that has ended")
        self.slots = np.frombuffer(self.map, SLOT, count=int(h["slot_count"]), offset=int(h["slots_offset"]))
        self.data = np.frombuffer(self.map, np.uint8, count=int(h["data_bytes"]), offset=int(h["data_offset"]))
        self.next = int(h["published"])

    def layout(self, generation=None):
        """(words a frame, frames a second, sample dtype) of a run (the current one by default);
        None when the tap no longer holds it."""
        g = int(self.h["run"]) >> 2 if generation is None else generation
        r = self.h["runs"][g % 8]
        for _ in range(1000):
            lock = int(r["lock"])
            words, freq, floats, rg = int(r["words"]), float(r["frequency"]), int(r["floats"]), int(r["generation"])
            if lock % 2 == 0 and int(r["lock"]) == lock:
                return (words, freq, np.dtype("<f4" if floats else "<i4")) if rg == g else None
        raise TapError("garbled: a run's lock stays odd")

    def _block(self, index):
        """(place, bytes) of block `index`, or None when it was overwritten."""
        s = self.slots[index % len(self.slots)]
        lock = int(s["lock"])
        place = {k: int(s[k]) for k in SLOT.names}
        n, pos, size = place["bytes"], place["position"], len(self.data)
        if lock % 2 or int(s["lock"]) != lock or place["index"] != index:
            return None
        if n > MAX_BLOCK or pos % size + n > size:
            raise TapError("garbled: a block does not lie in the segment")
        data = self.data[pos % size: pos % size + n].copy()
        return None if int(self.h["reserved"]) > pos + size else (place, data)

    def blocks(self, seconds=None):
        """Yields (place, frames, missed): the block's whole frames as a (n, words) array of
        its sample type (the counter and status words as the same bits), the blocks lost
        before it. Ends after `seconds` or with the recording process."""
        end = None if seconds is None else _time.monotonic() + seconds
        missed = 0
        while end is None or _time.monotonic() < end:
            if self.next >= int(self.h["published"]):
                if int(self.h["run"]) & 3 == 3 or not _alive(self.fd):
                    return
                _time.sleep(0.01)
                continue
            got = self._block(self.next)
            if got is None:
                missed += 1
                self.next += 1
                continue
            self.next += 1
            place, data = got
            layout = self.layout(place["generation"])
            if layout is None:
                missed += 1
                continue
            words, _, dtype = layout
            if words == 0:  # a run whose layout its publisher did not give: bytes, no frames
                place["first_frame"] = None
                yield place, np.empty((0, 0), dtype), missed
                missed = 0
                continue
            fb = 4 * words
            first = -(-place["byte_offset"] // fb)
            at = first * fb - place["byte_offset"]
            count = max(0, (len(data) - at) // fb)
            place["first_frame"] = first
            yield place, data[at: at + count * fb].view(dtype).reshape(count, words), missed
            missed = 0
