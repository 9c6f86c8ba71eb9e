"""Evens out the light on a photo before cleaning: divides every pixel by an estimate of the
paper's brightness around it, so that paper under warm or uneven light reads as white and the
module's fixed background cut finds it. The work is native (vantrel_clean._steps): the public
even_background returns the evened picture; the road evens straight into the module's planes."""

from __future__ import annotations

import numpy as np
from PIL import Image

from . import _steps
from .cleaned import RGBArray
from .options import DEFAULT_EXPONENT


def as_rgb_array(picture: object) -> RGBArray:
    """Checks that picture is an H x W x 3 uint8 array; returns it C-contiguous."""
    if not isinstance(picture, np.ndarray):
        raise TypeError(f"expected an H x W x 3 uint8 NumPy array, got {type(picture).__name__}")
    if picture.dtype != np.uint8 or picture.ndim != 3 or picture.shape[2] != 3:
        raise ValueError(f"expected an H x W x 3 uint8 array, got shape {picture.shape} of {picture.dtype}")
    return np.ascontiguousarray(picture)


def even_background(picture: RGBArray, exponent: float = DEFAULT_EXPONENT) -> RGBArray:
    """An H x W x 3 uint8 picture with its paper brought to white and its ink kept dark.

    The paper's brightness is estimated on a copy about 128 pixels on its short side (block
    averages, a 3x3 max filter that lifts thin strokes to the paper around them, a 9x9 median
    that drops glare, areas that are clearly not paper filled from the paper around them, a
    Gaussian blur) and scaled back bilinearly; every sample is divided by it,
    capped at 1 and raised to exponent. A higher exponent darkens faint ink more.
    """
    picture = as_rgb_array(picture)
    height, width = picture.shape[:2]
    if picture.size == 0:
        return picture.copy()
    evened = _steps.even_background(picture, width, height, float(exponent))
    return np.frombuffer(evened, np.uint8).reshape(height, width, 3)


def samples_of(picture: RGBArray | Image.Image) -> RGBArray | tuple[object, object]:
    """What the native evening reads: an array as it is; a Pillow image through its Arrow
    export, its own memory without a copy, when Pillow made it in one block (see
    pictures.single_block_images), else copied into an array."""
    if not isinstance(picture, Image.Image):
        return picture
    try:
        exported: tuple[object, object] = picture.__arrow_c_array__()
        return exported
    except (AttributeError, ValueError):  # an older Pillow, or an image in a chain of blocks
        return np.asarray(picture)


def even_into_module(
    picture: RGBArray | Image.Image, exponent: float, knee: float, with_contrast: bool
) -> bytes | bytearray | None:
    """The road's evening: the picture (the module's width x height, checked by the caller)
    evened straight into the module's input planes, the same samples SetData would split there,
    with no evened copy of the whole picture. With with_contrast, returns the contrast map the
    colour drawing decides on (see _steps.even_into_module)."""
    return _steps.even_into_module(samples_of(picture), exponent, knee, with_contrast)
