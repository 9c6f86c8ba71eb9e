"""The cleaning road's native per-pixel steps (vantrel_clean._steps)."""

from collections.abc import Sequence
from typing import Any

import numpy as np
from typing_extensions import Buffer

Picture = Buffer | np.ndarray[Any, np.dtype[np.uint8]]
Floats = Buffer | np.ndarray[Any, np.dtype[np.float32]]

#: Class codes (of the classifier) and palette indexes (of the drawing) share one layout:
#: PAPER_CODE for paper, else FIRST_CODE + CODES_PER_SLOT * slot, plus 1 when pale; a class
#: code's slot is its hue bin (NEUTRAL_BIN for black and grey), a palette index's slot its ink.
PAPER_CODE: int
FIRST_CODE: int
CODES_PER_SLOT: int
HUE_BINS: int
NEUTRAL_BIN: int
HISTOGRAM_FIELDS: int
#: The defaults of classify_ink's rules, by its arguments' names.
INK_RULE_DEFAULTS: dict[str, float]

def even_background(picture: Picture, width: int, height: int, exponent: float, knee: float = 0.0, /) -> bytearray:
    """The picture (width x height interleaved RGB) divided by its paper estimate, capped at 1
    and shaped by the tone curve (raised to exponent; with a knee, ratios above 1 - knee run
    straight from 199 to 255)."""

def classify_ink(
    picture: Picture,
    contrast: Buffer,
    width: int,
    height: int,
    exponent: float,
    knee: float,
    sensitivity: float,
    low_noise: float,
    low_floor: float,
    seed_noise: float,
    seed_floor: float,
    sharpness: float,
    sure_contrast: float,
    edge_share: float,
    pale_edge_share: float,
    full_contrast: float,
    full_join: float,
    min_stroke: int,
    chroma_cut: float,
    /,
) -> tuple[bytes, bytes]:
    """One class code per pixel (see FIRST_CODE) and the histogram of the classes (HUE_BINS + 1
    rows of HISTOGRAM_FIELDS float64), ink decided on the contrast map (two planes, three with the
    tint, or all of it as even_into_module returns it)."""

def vote_inks(indexes: Picture, width: int, height: int, radius: int, lookup: Picture | None = None, /) -> bytes:
    """Every pixel's palette index, each ink pixel with the ink most of its (2 * radius + 1)-square
    window holds (full-strength pixels count twice; paper stays PAPER_CODE). With lookup (256
    palette indexes, paper to paper), indexes are class codes, each read through it first."""

def even_into_module(
    picture: Picture | tuple[object, object], exponent: float, knee: float = 0.0, contrast: bool = False, /
) -> bytearray | None:
    """The picture (the vantrel module's width x height, interleaved RGB) evened like
    even_background and written into the module's input planes, as SetData would split it; with
    contrast, returns its contrast map: three planes of the halved size, uint16 a pixel (0 paper,
    65535 black), the contrast smoothed as the module halves, the peak under each pixel, then the
    tint (the darkest sample's contrast less the lightest's, smoothed as the contrast); then the
    evened picture halved as the module halves it but not whitened, interleaved RGB bytes."""

def module_output(exact: bool, /) -> bytearray:
    """The vantrel module's output planes interleaved: samples as they are (exact) or with 0
    written as 1, as GetData delivers them."""

def set_thread_limit(limit: int, /) -> None:
    """The most threads one step may use from now on; 0 for one per core this process may use."""

def thread_limit() -> int:
    """The most threads one step uses now."""

def shrink_for_detection(picture: Picture | tuple[object, object], width: int, height: int, factor: int, /) -> bytes:
    """The (width // factor) x (height // factor) block averages of an RGB picture, as float32
    samples, three a pixel."""

def colour_gradients(small: Floats, width: int, height: int, /) -> tuple[bytes, bytes]:
    """The x and y gradients (float32, one a pixel) of a float32 RGB picture: at each pixel the
    Sobel pair of its strongest channel."""

def vote_lines(
    gx: Floats,
    gy: Floats,
    width: int,
    height: int,
    angle_bins: int,
    spread: int,
    min_strength: float,
    max_strength: float,
    /,
) -> bytes:
    """Votes for oriented lines (float32, angle_bins rows of 2 * ceil(diagonal) + 1 rho bins)."""

def warp_perspective(
    picture: Picture | tuple[object, object],
    width: int,
    height: int,
    map: Sequence[float],
    out_width: int,
    out_height: int,
    /,
) -> bytearray:
    """The out_width x out_height RGB picture whose pixel (x, y) is the source averaged over the
    footprint of map's image of the output pixel (centres at x + 0.5); white outside."""

def contrast_map(picture: Picture, width: int, height: int, /) -> bytearray:
    """The contrast map of a picture that was not evened, against white paper (as
    even_into_module returns it)."""
