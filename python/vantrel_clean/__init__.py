"""Clean real pictures with the vantrel module: NumPy arrays, Pillow images, files, batches.

    from vantrel_clean import clean, CleanOptions
    cleaned = clean(picture)                  # H x W x 3 uint8 array, Pillow image or path
    cleaned = clean(picture, CleanOptions(style="bw"))   # black on white; "levels", "colour"

Batches run on any concurrent.futures.Executor (see batch.run). The module's state is global
to the process; every call here holds MODULE_LOCK from the sizes to Cleanup, so threads are safe.
"""

from .api import clean, clean_file, clean_image, default_output
from .background import even_background
from .batch import Job, Outcome, clean_job, plan, run
from .pictures import PictureError, read_picture, save_pdf, save_picture, to_rgb
from .road import (DEFAULT_PASSES, DEFAULT_STYLE, MODULE_LOCK, PASSES, STYLES, Cleaned, CleanOptions, PictureTooSmall,
                   Style, clean_array, clean_picture)

__all__ = [
    "DEFAULT_PASSES",
    "DEFAULT_STYLE",
    "MODULE_LOCK",
    "PASSES",
    "STYLES",
    "Cleaned",
    "CleanOptions",
    "Job",
    "Outcome",
    "PictureError",
    "PictureTooSmall",
    "Style",
    "clean",
    "clean_array",
    "clean_picture",
    "clean_file",
    "clean_image",
    "clean_job",
    "default_output",
    "even_background",
    "plan",
    "read_picture",
    "run",
    "save_pdf",
    "save_picture",
    "to_rgb",
]
