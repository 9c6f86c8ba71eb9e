"""How large a picture the tool takes: a limit in pixels that follows the memory of the machine
and the number of workers sharing it, checked from a file's header before anything is decoded.
It replaces Pillow's own fixed limit (and its warnings)."""

from __future__ import annotations

import contextlib
import os
import threading
from collections.abc import Iterator

from PIL import Image

#: Peak bytes of memory per input pixel while a file is decoded and cleaned, the worst case
#: with some room: a 20 MP RGBA PNG peaked at 12.3 bytes a pixel, the interpreter included
#: (RGB files: 9.3).
BYTES_PER_PIXEL = 12
#: The smallest default limit, whatever the machine says: a 16 MP photo is always taken.
FLOOR_PIXELS = 16_000_000
#: The share of the available memory the workers may use together.
MEMORY_SHARE = 0.8


def available_memory() -> int | None:
    """Bytes this process may still use: MemAvailable of /proc/meminfo, capped by a cgroup's
    limit; None where neither can be read."""
    available: int | None = None
    try:
        with open("/proc/meminfo") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    available = int(line.split()[1]) * 1024
                    break
    except (OSError, ValueError):
        try:
            available = os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
        except (ValueError, OSError, AttributeError):
            available = None
    try:
        with open("/sys/fs/cgroup/memory.max") as limit_file:
            text = limit_file.read().strip()
        if text != "max":
            with open("/sys/fs/cgroup/memory.current") as current_file:
                room = int(text) - int(current_file.read())
            available = room if available is None else min(available, room)
    except (OSError, ValueError):
        pass
    return available


def default_max_pixels(workers: int = 1) -> int:
    """The largest picture, in pixels, that each of `workers` processes may clean at once
    without the machine running out of memory."""
    memory = available_memory()
    if memory is None:
        return 4 * FLOOR_PIXELS
    return max(FLOOR_PIXELS, int(memory * MEMORY_SHARE / max(1, workers) / BYTES_PER_PIXEL))


def megapixels(pixels: int) -> str:
    places = 0 if pixels >= 10e6 else 1 if pixels >= 1e6 else 3
    return f"{pixels / 1e6:.{places}f} MP"


def pixel_excess(width: int, height: int, max_pixels: int) -> str | None:
    """None when width x height is within max_pixels, else the reason to refuse it."""
    if width * height <= max_pixels:
        return None
    return (
        f"{width}x{height} pixels ({megapixels(width * height)}) is more than the limit of "
        f"{megapixels(max_pixels)} (--max-pixels)"
    )


_pillow_lock = threading.Lock()
_pillow_users = 0
_pillow_limit: int | None = None


@contextlib.contextmanager
def pillow_limit_lifted() -> Iterator[None]:
    """Inside, Pillow's own limit on picture size (and its DecompressionBombWarning) is off:
    the caller checks the size against its own limit instead."""
    global _pillow_users, _pillow_limit
    with _pillow_lock:
        if _pillow_users == 0:
            _pillow_limit = Image.MAX_IMAGE_PIXELS
            Image.MAX_IMAGE_PIXELS = None
        _pillow_users += 1
    try:
        yield
    finally:
        with _pillow_lock:
            _pillow_users -= 1
            if _pillow_users == 0:
                Image.MAX_IMAGE_PIXELS = _pillow_limit
