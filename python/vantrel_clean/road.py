"""The road: one picture through the vantrel module, in order: the page's crop, the evening of
the light (background.py), the four sizes, the buffers, Calculate, the chosen passes, the output
read back, the release, and the colour drawing of the result (drawing.py). The module's state
is global to the process, so one lock serialises every road."""

from __future__ import annotations

import os
import threading
from dataclasses import replace

import numpy as np
from PIL import Image

import vantrel

from . import _steps
from .background import as_rgb_array, even_into_module, samples_of
from .cleaned import Cleaned, RGBArray
from .drawing import InkDecision, classify_inks, draw_inks
from .options import DEFAULT_PASSES, DEFAULT_STYLE, INK_RULES, PASSES, STYLES, CleanOptions, InkRules, Style
from .options import check_options

__all__ = [
    "DEFAULT_PASSES",
    "DEFAULT_STYLE",
    "INK_RULES",
    "MODULE_LOCK",
    "PASSES",
    "STYLES",
    "Cleaned",
    "CleanOptions",
    "InkDecision",
    "InkRules",
    "PictureTooSmall",
    "Style",
    "clean_array",
    "classify_inks",
    "clean_picture",
    "draw_inks",
    # At home in background.py, cleaned.py and drawing.py; still found here by older callers.
    "RGBArray",
    "as_rgb_array",
    "samples_of",
]

#: The module guards nothing itself: every road holds this lock from the sizes to Cleanup.
MODULE_LOCK = threading.Lock()


def _release_in_forked_child() -> None:
    # A fork while another thread is inside a road gives a child in which that thread does not
    # exist: the lock would stay held forever, and the module's buffers belong to no road.
    if MODULE_LOCK.locked():
        MODULE_LOCK.release()
        vantrel.Cleanup()


os.register_at_fork(after_in_child=_release_in_forked_child)


class PictureTooSmall(ValueError):
    """A picture narrower or lower than 3 pixels: halving it leaves no pixel."""


def halved_size(width: int, height: int) -> tuple[int, int]:
    """The output size the road uses: every output pixel is written by Calculate."""
    return (width - 1) // 2, (height - 1) // 2


def check_size(width: int, height: int) -> None:
    if width < 3 or height < 3:
        raise PictureTooSmall(f"{width}x{height} pixels is too small to halve (3x3 at least)")


def tone_curve(style: Style, even_background: bool) -> tuple[float, float]:
    """The exponent and knee of the curve the road evens the light with: (1, 0) without evening."""
    return (style.exponent, style.knee) if even_background else (1.0, 0.0)


def run_passes(passes: tuple[str, ...], speck_limit: int) -> None:
    """Runs the module calls of each pass (names CleanOptions has checked against PASSES)."""
    for name in passes:
        for call in PASSES[name].calls:
            function = getattr(vantrel, call)
            if call == "RemoveNoise":
                function(speck_limit)
            else:
                function()


def read_output(out_width: int, out_height: int, exact_black: bool) -> RGBArray:
    """The output planes as an array, read in one step. With exact_black every sample is as it
    is (black stays 0); without, as GetData delivers them, a 0 written as 1."""
    return np.frombuffer(_steps.module_output(exact_black), np.uint8).reshape(out_height, out_width, 3)


def clean_picture(
    picture: RGBArray | Image.Image, options: CleanOptions | None = None, *, consume: bool = False
) -> Cleaned:
    """Cleans an H x W x 3 uint8 picture (or a Pillow RGB image) into a (H-1)//2 x (W-1)//2
    result. With consume, a Pillow image is closed, its memory given back, as soon as its
    samples are in the module: for a caller that has no more use for it (a file's picture).

    Raises PictureTooSmall when H or W is below 3.
    """
    options = check_options(options)
    style = STYLES[options.style]
    if options.crop != "none" or options.corners is not None:
        from .page_crop import crop_page

        picture, notice = crop_page(picture, options, consume=consume)
        return replace(
            clean_picture(picture, replace(options, crop="none", corners=None), consume=consume), notice=notice
        )
    if isinstance(picture, Image.Image):
        if picture.mode != "RGB":
            raise ValueError(f"expected an RGB image, got mode {picture.mode}")
        width, height = picture.size
    else:
        picture = as_rgb_array(picture)
        height, width = picture.shape[:2]
    check_size(width, height)
    exponent, knee = tone_curve(style, options.even_background)
    out_width, out_height = halved_size(width, height)
    contrast: bytes | bytearray | None = None
    with MODULE_LOCK:
        c = vantrel.cvar
        c.width, c.height = width, height
        c.outWidth, c.outHeight = out_width, out_height
        vantrel.CreateArrays()
        try:
            if options.even_background:
                contrast = even_into_module(picture, exponent, knee, style.colour_classes)
            else:
                samples = np.asarray(picture)
                vantrel.SetData(samples.data)
                if style.colour_classes:
                    contrast = _steps.contrast_map(samples, width, height)
            if consume and isinstance(picture, Image.Image):
                picture.close()
            vantrel.Calculate()
            run_passes(options.module_passes, options.speck_limit)
            # The colour drawing reads the samples as GetData delivers them (0 as 1).
            halved = read_output(out_width, out_height, options.exact_black and not style.colour_classes)
        finally:
            vantrel.Cleanup()
    if style.colour_classes:
        assert contrast is not None
        return draw_inks(halved, contrast, InkDecision(exponent, knee, options.sensitivity))
    return Cleaned(samples=halved)


def clean_array(picture: RGBArray, options: CleanOptions | None = None) -> RGBArray:
    """Cleans an H x W x 3 uint8 picture; returns the (H-1)//2 x (W-1)//2 x 3 result.

    Raises PictureTooSmall when H or W is below 3.
    """
    return clean_picture(picture, options).rgb()
