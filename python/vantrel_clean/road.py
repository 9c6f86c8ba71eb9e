"""One picture through the vantrel module: the four sizes, the buffers, Calculate, the chosen
passes, the result, the release. The module's state is global to the process, so one lock
serialises every road."""

from __future__ import annotations

import operator
import threading
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

import vantrel

from .background import even_background

RGBArray = npt.NDArray[np.uint8]

#: The passes that may follow Calculate, each a name for one or two module calls.
PASSES: dict[str, str] = {
    "despeckle": "RemoveNoise(speck_limit): erases isolated specks on every seventh row",
    "recolour": "CalculateColorRange + SetColors: white paper, ten levels per ink, eleven greys",
    "flatten": "Flatten: dark pixels to black, pale ones darkened by 30",
}

#: Chosen by looking at phone photos and scans of notes: after recolour every pixel that is not
#: paper is an ink level or a grey below the background cut, so flatten turns it black and the
#: result is crisp black on white in two colours (the smallest files). Without flatten the greys
#: and dark ink tints stay.
DEFAULT_PASSES: tuple[str, ...] = ("despeckle", "recolour", "flatten")

#: The module guards nothing itself: every road holds this lock from the sizes to Cleanup.
MODULE_LOCK = threading.Lock()


class PictureTooSmall(ValueError):
    """A picture narrower or lower than 3 pixels: halving it leaves no pixel."""


@dataclass(frozen=True)
class CleanOptions:
    """How a picture is cleaned.

    passes: the passes after Calculate, in the order they run (names from ``PASSES``; a name
        may repeat). ``()`` stops after the background whitening and halving.
    speck_limit: a pixel on a despeckled row turns white when its 7x5 window holds at most this
        many dark pixels.
    even_background: divide the picture by an estimate of its paper brightness first, so that
        the module's fixed background cut (200) finds the paper under uneven or warm light.
    exact_black: the module's GetData writes a 0 sample as 1; with this on, those samples are
        read back exactly, so black ink stays (0, 0, 0).
    """

    passes: tuple[str, ...] = DEFAULT_PASSES
    speck_limit: int = 2
    even_background: bool = True
    exact_black: bool = True

    def __post_init__(self) -> None:
        if isinstance(self.passes, str):
            raise TypeError("passes must be a sequence of pass names, such as ('despeckle', 'recolour')")
        passes = tuple(self.passes)
        unknown = [name for name in passes if name not in PASSES]
        if unknown:
            raise ValueError(f"unknown pass {unknown[0]!r}; choose from {', '.join(PASSES)}")
        object.__setattr__(self, "passes", passes)
        if isinstance(self.speck_limit, bool):
            raise TypeError("speck_limit must be an int")
        limit = operator.index(self.speck_limit)  # any integer, NumPy's included; never a float
        if not -(2**31) <= limit < 2**31:
            raise ValueError("speck_limit must fit a 32-bit int")
        object.__setattr__(self, "speck_limit", limit)


def halved_size(width: int, height: int) -> tuple[int, int]:
    """The output size the road uses: every output pixel is written by Calculate."""
    return (width - 1) // 2, (height - 1) // 2


def check_size(width: int, height: int) -> None:
    if width < 3 or height < 3:
        raise PictureTooSmall(f"{width}x{height} pixels is too small to halve (3x3 at least)")


def as_rgb_array(picture: object) -> RGBArray:
    """Checks that picture is an H x W x 3 uint8 array; returns it C-contiguous."""
    if not isinstance(picture, np.ndarray):
        raise TypeError(f"expected an H x W x 3 uint8 NumPy array, got {type(picture).__name__}")
    if picture.dtype != np.uint8 or picture.ndim != 3 or picture.shape[2] != 3:
        raise ValueError(f"expected an H x W x 3 uint8 array, got shape {picture.shape} of {picture.dtype}")
    return np.ascontiguousarray(picture)


def run_passes(passes: Sequence[str], speck_limit: int) -> None:
    for name in passes:
        if name == "despeckle":
            vantrel.RemoveNoise(speck_limit)
        elif name == "recolour":
            vantrel.CalculateColorRange()
            vantrel.SetColors()
        elif name == "flatten":
            vantrel.Flatten()
        else:  # CleanOptions admits only the names above
            raise ValueError(f"unknown pass {name!r}")


def read_output(out_width: int, out_height: int, exact_black: bool) -> RGBArray:
    """The output planes as an array, from GetData; the samples GetData turned from 0 into 1
    are read exactly through GetRed/GetGreen/GetBlue when exact_black is set."""
    count = 3 * out_width * out_height
    text = vantrel.GetData()
    if len(text) < count:  # cannot happen: GetData writes no zero byte
        raise RuntimeError(f"GetData returned {len(text)} bytes, {count} expected")
    samples = np.frombuffer(text, dtype=np.uint8, count=count).copy()
    if exact_black:
        getters = (vantrel.GetRed, vantrel.GetGreen, vantrel.GetBlue)
        for index in np.flatnonzero(samples == 1).tolist():
            pixel, channel = divmod(index, 3)
            samples[index] = getters[channel](pixel)
    return samples.reshape(out_height, out_width, 3)


def clean_array(picture: RGBArray, options: CleanOptions | None = None) -> RGBArray:
    """Cleans an H x W x 3 uint8 picture; returns the (H-1)//2 x (W-1)//2 x 3 result.

    Raises PictureTooSmall when H or W is below 3.
    """
    options = options or CleanOptions()
    picture = as_rgb_array(picture)
    height, width = picture.shape[:2]
    check_size(width, height)
    if options.even_background:
        picture = even_background(picture)
    out_width, out_height = halved_size(width, height)
    with MODULE_LOCK:
        c = vantrel.cvar
        c.width, c.height = width, height
        c.outWidth, c.outHeight = out_width, out_height
        vantrel.CreateArrays()
        try:
            vantrel.SetData(picture.data)
            vantrel.Calculate()
            run_passes(options.passes, options.speck_limit)
            return read_output(out_width, out_height, options.exact_black)
        finally:
            vantrel.Cleanup()
