"""One picture through the vantrel module and the drawing of its result: the evening of the
light, the four sizes, the buffers, Calculate, the chosen passes, the colours, the release. The
module's state is global to the process, so one lock serialises every road."""

from __future__ import annotations

import os
import threading
from dataclasses import dataclass, replace

import numpy as np
import numpy.typing as npt
from PIL import Image

import vantrel

from . import _steps
from .options import DEFAULT_PASSES, DEFAULT_STYLE, INK_RULES, PASSES, STYLES, CleanOptions, InkRules, Style
from .options import check_options
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
    "classify_inks",
    "clean_picture",
    "draw_inks",
]

RGBArray = npt.NDArray[np.uint8]

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


def classify_inks(
    halved: RGBArray,
    contrast: bytes | bytearray,
    exponent: float,
    knee: float,
    sensitivity: float = 1.0,
    rules: InkRules = INK_RULES,
) -> tuple[bytes, bytes]:
    """The native ink decision: a class code per pixel of the halved picture, deciding on its
    contrast map (from the evening, or contrast_map), and the histogram of the classes. exponent
    and knee are those of the curve the picture was evened with (1 and 0 when it was not)."""
    height, width = halved.shape[:2]
    return _steps.classify_ink(
        halved,
        contrast,
        width,
        height,
        exponent,
        knee,
        sensitivity,
        rules.low_noise,
        rules.low_floor,
        rules.seed_noise,
        rules.seed_floor,
        rules.sharpness,
        rules.sure_contrast,
        rules.edge_share,
        rules.pale_edge_share,
        rules.full_contrast,
        rules.full_join,
        rules.min_stroke,
        rules.chroma_cut,
    )


def draw_inks(
    halved: RGBArray,
    contrast: bytes | bytearray,
    exponent: float,
    knee: float,
    sensitivity: float = 1.0,
    rules: InkRules = INK_RULES,
) -> Cleaned:
    """Sorts the halved picture into paper and strokes (see classify_inks) and draws every
    stroke in its ink's clean colour, full or pale: palette indexes and their palette."""
    height, width = halved.shape[:2]
    codes, histogram = classify_inks(halved, contrast, exponent, knee, sensitivity, rules)
    inks: Inks = fit_inks(histogram)
    # The palette lookup is applied natively, while voting.
    indexes = np.frombuffer(_steps.vote_inks(codes, width, height, rules.vote_radius, inks.lookup), np.uint8)
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
    exponent = style.exponent if options.even_background else 1.0
    knee = style.knee if options.even_background else 0.0
    out_width, out_height = halved_size(width, height)
    contrast: bytes | bytearray | None = None
    with MODULE_LOCK:
        c = vantrel.cvar
        c.width, c.height = width, height
        c.outWidth, c.outHeight = out_width, out_height
        vantrel.CreateArrays()
        try:
            if options.even_background:
                # The evened picture goes straight into the module's input planes: the same
                # samples SetData would split there, with no evened copy of the whole picture.
                contrast = _steps.even_into_module(samples_of(picture), exponent, knee, style.colour_classes)
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
        return draw_inks(halved, contrast, exponent, knee, options.sensitivity)
    return Cleaned(samples=halved)


def clean_array(picture: RGBArray, options: CleanOptions | None = None) -> RGBArray:
    """Cleans an H x W x 3 uint8 picture; returns the (H-1)//2 x (W-1)//2 x 3 result.

    Raises PictureTooSmall when H or W is below 3.
    """
    return clean_picture(picture, options).rgb()
