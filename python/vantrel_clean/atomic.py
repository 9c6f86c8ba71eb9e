"""Files written whole or not at all: a temporary file beside the result, renamed over it when
complete, and removed on any error or interrupt; temporaries that a killed run left behind are
swept before their results are written again."""

from __future__ import annotations

import os
import re
import tempfile
from collections.abc import Callable, Iterable
from pathlib import Path
from typing import IO

#: A temporary is named ".<result's name, cut to fit>.<8 random characters>.part".
_RANDOM = 8
_TEMPORARY = re.compile(r"^\.(?P<prefix>.*)[a-z0-9_]{%d}\.part$" % _RANDOM)
_NAME_MAX = 255  # bytes, on every file system the tool is used on


def temporary_prefix(name: str) -> str:
    """The prefix of the temporaries of the file `name`: the name cut so that the whole
    temporary name stays within the longest name a folder holds, whatever the name's length."""
    room = _NAME_MAX - len(".") - len(".") - _RANDOM - len(".part")
    # A cut through a multi-byte character leaves bytes that fsdecode keeps as they are.
    return f".{os.fsdecode(os.fsencode(name)[:room])}."


def _read_umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


# Read once, at import: setting the umask to read it is not safe while other threads create files.
_UMASK = _read_umask()


def write_atomically(path: Path, write: Callable[[IO[bytes]], None]) -> None:
    """Writes path through a temporary file in its own folder and a rename, so that a crash or
    an interrupt leaves either the whole new file or nothing."""
    if path.is_dir():
        raise IsADirectoryError(21, "it is a folder", str(path))
    handle, temporary = tempfile.mkstemp(dir=path.parent, prefix=temporary_prefix(path.name), suffix=".part")
    try:
        with os.fdopen(handle, "wb") as stream:
            write(stream)
            stream.flush()
            os.fsync(stream.fileno())
        # mkstemp makes the file private; the result gets the permissions of any new file.
        os.chmod(temporary, 0o666 & ~_UMASK)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise


def sweep_temporaries(results: Iterable[Path]) -> int:
    """Removes the temporaries of these result files that an earlier, killed run left in their
    folders; returns how many went. Only names of the form this module makes, for these
    results, are touched."""
    prefixes: dict[Path, set[str]] = {}
    for result in results:
        prefixes.setdefault(result.parent, set()).add(temporary_prefix(result.name))
    removed = 0
    for folder, wanted in prefixes.items():
        try:
            names = os.listdir(folder)
        except OSError:  # a folder not made yet holds nothing to sweep
            continue
        for name in names:
            match = _TEMPORARY.match(name)
            if match and f".{match['prefix']}" in wanted:
                try:
                    os.unlink(folder / name)
                    removed += 1
                except OSError:
                    pass
    return removed
