"""One picture through the vantrel module and the drawing of its result: the evening of the
light, the four sizes, the buffers, Calculate, the chosen passes, the colours, the release. The
module's state is global to the process, so one lock serialises every road."""

from __future__ import annotations

import threading
from dataclasses import dataclass, replace

import numpy as np
import numpy.typing as npt
from PIL import Image

import vantrel

from . import _steps
from .options import DEFAULT_PASSES, DEFAULT_STYLE, INK_RULES, PASSES, STYLES, CleanOptions, InkRules, Style
from .palette import Inks, fit_inks

__all__ = [
    "DEFAULT_PASSES",
    "DEFAULT_STYLE",
    "INK_RULES",
    "MODULE_LOCK",
    "PASSES",
    "STYLES",
    "Cleaned",
    "CleanOptions",
    "InkRules",
    "PictureTooSmall",
    "Style",
    "clean_array",
    "clean_picture",
    "draw_inks",
]

RGBArray = npt.NDArray[np.uint8]

#: The module guards nothing itself: every road holds this lock from the sizes to Cleanup.
MODULE_LOCK = threading.Lock()


class PictureTooSmall(ValueError):
    """A picture narrower or lower than 3 pixels: halving it leaves no pixel."""


@dataclass(frozen=True)
class Cleaned:
    """A cleaned picture: either plain RGB samples, or palette indexes with their palette."""

    samples: RGBArray | None = None
    indexes: npt.NDArray[np.uint8] | None = None
    palette: RGBArray | None = None
    notice: str | None = None  # what the user should know (the page's crop)

    def rgb(self) -> RGBArray:
        if self.samples is not None:
            return self.samples
        assert self.indexes is not None and self.palette is not None
        return self.palette[self.indexes]

    def image(self) -> Image.Image:
        """An RGB image, or a palette image when the picture is drawn from a palette."""
        if self.indexes is None:
            return Image.fromarray(self.rgb())
        assert self.palette is not None
        image = Image.fromarray(self.indexes, "P")
        image.putpalette(self.palette.tobytes(), "RGB")
        return image


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


def draw_inks(halved: RGBArray, exponent: float, rules: InkRules = INK_RULES) -> Cleaned:
    """Sorts the halved picture into paper and strokes and draws every stroke pixel in its
    ink's clean colour, full or pale: palette indexes and their palette."""
    height, width = halved.shape[:2]
    codes, histogram = _steps.classify_ink(
        halved,
        width,
        height,
        exponent,
        rules.ink_level,
        rules.seed_level,
        rules.full_level,
        rules.min_stroke,
        rules.chroma_cut,
    )
    inks: Inks = fit_inks(histogram)
    indexes = inks.lookup[np.frombuffer(codes, np.uint8)]
    if rules.vote_radius > 0:
        indexes = np.frombuffer(_steps.vote_inks(indexes, width, height, rules.vote_radius), np.uint8)
    return Cleaned(indexes=indexes.reshape(height, width), palette=inks.palette)


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


def clean_picture(
    picture: RGBArray | Image.Image, options: CleanOptions | None = None, *, consume: bool = False
) -> Cleaned:
    """Cleans an H x W x 3 uint8 picture (or a Pillow RGB image) into a (H-1)//2 x (W-1)//2
    result. With consume, a Pillow image is closed, its memory given back, as soon as its
    samples are in the module: for a caller that has no more use for it (a file's picture).

    Raises PictureTooSmall when H or W is below 3.
    """
    options = options or CleanOptions()
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
    exponent = style.exponent if options.even_background else 1.0
    out_width, out_height = halved_size(width, height)
    with MODULE_LOCK:
        c = vantrel.cvar
        c.width, c.height = width, height
        c.outWidth, c.outHeight = out_width, out_height
        vantrel.CreateArrays()
        try:
            if options.even_background:
                # The evened picture goes straight into the module's input planes: the same
                # samples SetData would split there, with no evened copy of the whole picture.
                _steps.even_into_module(samples_of(picture), exponent)
            else:
                vantrel.SetData(np.asarray(picture).data)
            if consume and isinstance(picture, Image.Image):
                picture.close()
            vantrel.Calculate()
            run_passes(options.module_passes, options.speck_limit)
            # The colour drawing reads the samples as GetData delivers them (0 as 1).
            halved = read_output(out_width, out_height, options.exact_black and not style.colour_classes)
        finally:
            vantrel.Cleanup()
    if style.colour_classes:
        return draw_inks(halved, exponent)
    return Cleaned(samples=halved)


def clean_array(picture: RGBArray, options: CleanOptions | None = None) -> RGBArray:
    """Cleans an H x W x 3 uint8 picture; returns the (H-1)//2 x (W-1)//2 x 3 result.

    Raises PictureTooSmall when H or W is below 3.
    """
    return clean_picture(picture, options).rgb()
