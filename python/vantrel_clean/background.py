"""Evens out the light on a photo before cleaning: divides every pixel by an estimate of the
paper's brightness around it, so that paper under warm or uneven light reads as white and the
module's fixed background cut finds it. The work is native (vantrel_clean._steps)."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from . import _steps
from .options import DEFAULT_EXPONENT


def even_background(picture: npt.NDArray[np.uint8], exponent: float = DEFAULT_EXPONENT) -> npt.NDArray[np.uint8]:
    """An H x W x 3 uint8 picture with its paper brought to white and its ink kept dark.

    The paper's brightness is estimated on a copy about 128 pixels on its short side (block
    averages, a 3x3 max filter that lifts thin strokes to the paper around them, a 9x9 median
    that drops glare, areas that are clearly not paper filled from the paper around them, a
    Gaussian blur) and scaled back bilinearly; every sample is divided by it,
    capped at 1 and raised to exponent. A higher exponent darkens faint ink more.
    """
    if not isinstance(picture, np.ndarray) or picture.dtype != np.uint8 or picture.ndim != 3 or picture.shape[2] != 3:
        raise ValueError("expected an H x W x 3 uint8 NumPy array")
    picture = np.ascontiguousarray(picture)
    height, width = picture.shape[:2]
    if picture.size == 0:
        return picture.copy()
    evened = _steps.even_background(picture, width, height, float(exponent))
    return np.frombuffer(evened, np.uint8).reshape(height, width, 3)
