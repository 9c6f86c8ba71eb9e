"""The cleaning road's native per-pixel steps (vantrel_clean._steps)."""

from typing import Any

import numpy as np
from typing_extensions import Buffer

Picture = Buffer | np.ndarray[Any, np.dtype[np.uint8]]

HUE_BINS: int
HISTOGRAM_FIELDS: int

def even_background(picture: Picture, width: int, height: int, exponent: float, /) -> bytearray:
    """The picture (width x height interleaved RGB) divided by its paper estimate, capped at 1
    and raised to exponent."""

def classify_ink(
    picture: Picture,
    width: int,
    height: int,
    exponent: float,
    ink_level: int,
    seed_level: int,
    full_level: int,
    min_stroke: int,
    chroma_cut: float,
    /,
) -> tuple[bytes, bytes]:
    """One class code per pixel (0 paper, else 1 + 2 * hue bin + pale) and the histogram of the
    classes (HUE_BINS + 1 rows of HISTOGRAM_FIELDS float64)."""

def vote_inks(indexes: Picture, width: int, height: int, radius: int, /) -> bytes:
    """Every ink pixel's palette index with the ink most of its window holds (paper stays 0)."""

def even_into_module(picture: Picture | tuple[object, object], exponent: float, /) -> None:
    """The picture (the vantrel module's width x height, interleaved RGB) evened like
    even_background and written into the module's input planes, as SetData would split it."""

def module_output(exact: bool, /) -> bytearray:
    """The vantrel module's output planes interleaved: samples as they are (exact) or with 0
    written as 1, as GetData delivers them."""

def set_thread_limit(limit: int, /) -> None:
    """The most threads one step may use from now on; 0 for one per core this process may use."""

def thread_limit() -> int:
    """The most threads one step uses now."""
