"""Clean real pictures with the vantrel module: NumPy arrays, Pillow images, files, batches.

    from vantrel_clean import clean, CleanOptions
    cleaned = clean(picture)                  # H x W x 3 uint8 array, Pillow image or path
    cleaned = clean(picture, CleanOptions(style="bw"))   # black on white; "levels", "colour"

Batches run on any concurrent.futures.Executor (see batch.run). The module's state is global
to the process; every call here holds MODULE_LOCK from the sizes to Cleanup, so threads are safe.

The names below load with their modules on first use, so that the command starts without
waiting for NumPy.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .api import clean, clean_file, clean_image, default_output
    from .background import even_background
    from .batch import Job, Outcome, clean_job, plan, run
    from .cleaned import Cleaned
    from .detection import Detection, detect
    from .limits import default_max_pixels
    from .options import DEFAULT_PASSES, DEFAULT_STYLE, PASSES, STYLES, CleanOptions, Style
    from .pages import read_page
    from .pdf_output import save_pdf
    from .pictures import PictureError, read_picture, save_picture, to_rgb
    from .rectification import rectify
    from .road import MODULE_LOCK, PictureTooSmall, clean_array, clean_picture
    from .workers import WorkerDied, WorkerPool

    __version__: str

#: Where each public name lives.
_HOMES = {
    "clean": "api",
    "clean_file": "api",
    "clean_image": "api",
    "default_output": "api",
    "even_background": "background",
    "Job": "batch",
    "Outcome": "batch",
    "clean_job": "batch",
    "plan": "batch",
    "run": "batch",
    "Cleaned": "cleaned",
    "Detection": "detection",
    "detect": "detection",
    "default_max_pixels": "limits",
    "DEFAULT_PASSES": "options",
    "DEFAULT_STYLE": "options",
    "PASSES": "options",
    "STYLES": "options",
    "CleanOptions": "options",
    "Style": "options",
    "read_page": "pages",
    "save_pdf": "pdf_output",
    "PictureError": "pictures",
    "read_picture": "pictures",
    "save_picture": "pictures",
    "to_rgb": "pictures",
    "rectify": "rectification",
    "MODULE_LOCK": "road",
    "PictureTooSmall": "road",
    "clean_array": "road",
    "clean_picture": "road",
    "WorkerDied": "workers",
    "WorkerPool": "workers",
}

__all__ = sorted([*_HOMES, "__version__"])


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("vantrel")
    except PackageNotFoundError:  # run from a source tree that was never installed
        return "0+unknown"


def __getattr__(name: str) -> Any:
    if name == "__version__":
        globals()[name] = value = _version()
        return value
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{home}", __name__), name)
    globals()[name] = value  # found directly from now on
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
