"""clean(): one picture, given as a NumPy array, a Pillow image or a file path, cleaned and
returned as the same kind."""

from __future__ import annotations

import os
from pathlib import Path
from typing import overload

import numpy as np
from PIL import Image

from .batch import PageReader, clean_into
from .cleaned import RGBArray
from .options import CleanOptions, check_options
from .pictures import SUFFIXES, check_format, check_quality, format_for, suffix_format, to_rgb
from .road import clean_array


def default_output(source: Path, fmt: str = "png") -> Path:
    """Where clean() writes the result for a path: beside the input, named <stem>.clean.<ext>."""
    return source.with_name(f"{source.stem}.clean{SUFFIXES[fmt]}")


def clean_image(image: Image.Image, options: CleanOptions | None = None) -> Image.Image:
    """Cleans a Pillow image of any mode (converted to upright RGB first); returns an RGB image."""
    options = check_options(options)
    return Image.fromarray(clean_array(np.asarray(to_rgb(image)), options))


def clean_file(
    source: str | os.PathLike[str],
    output: str | os.PathLike[str] | None = None,
    options: CleanOptions | None = None,
    *,
    fmt: str | None = None,
    quality: int | None = None,
) -> Path:
    """Cleans the picture file source (of a PDF or a multi-page TIFF, its first page) and writes
    the result to output (default: beside the source as <stem>.clean.png); returns the path
    written. Never overwrites the source."""
    options = check_options(options)
    quality = check_quality(quality)
    source_path = Path(source)
    if fmt is not None:
        check_format(fmt)
    if output is None:
        fmt = fmt or "png"
        output_path = default_output(source_path, fmt)
    else:
        output_path = Path(output)
        if output_path.is_dir():
            raise IsADirectoryError(21, "the output is a folder; name a file in it", str(output_path))
        asked = suffix_format(output_path)
        if fmt is not None and asked is not None and asked != fmt:
            raise ValueError(f"{output_path.name} names a {asked} file, but fmt is {fmt}")
        fmt = fmt or format_for(output_path)
    if output_path.exists() and os.path.samefile(output_path, source_path):
        raise ValueError(f"{output_path}: the output would overwrite the input")
    clean_into(source_path, output_path, options, fmt, quality, PageReader())
    return output_path


@overload
def clean(picture: RGBArray, options: CleanOptions | None = None) -> RGBArray: ...
@overload
def clean(picture: Image.Image, options: CleanOptions | None = None) -> Image.Image: ...
@overload
def clean(picture: str | os.PathLike[str], options: CleanOptions | None = None) -> Path: ...


def clean(
    picture: RGBArray | Image.Image | str | os.PathLike[str], options: CleanOptions | None = None
) -> RGBArray | Image.Image | Path:
    """Cleans a picture and returns the same kind.

    - an H x W x 3 uint8 NumPy array gives a (H-1)//2 x (W-1)//2 x 3 uint8 array;
    - a Pillow image (any mode; EXIF orientation honoured) gives an RGB image;
    - a path reads that file and writes <stem>.clean.png beside it, returning the new path
      (use clean_file to choose the output and the format).

    Raises PictureTooSmall for pictures narrower or lower than 3 pixels, PictureError for files
    that cannot be read, TypeError/ValueError for arrays of the wrong shape or type.
    """
    options = check_options(options)
    if isinstance(picture, np.ndarray):
        return clean_array(picture, options)
    if isinstance(picture, Image.Image):
        return clean_image(picture, options)
    if isinstance(picture, (str, os.PathLike)):
        return clean_file(picture, None, options)
    raise TypeError(f"expected a NumPy array, a Pillow image or a path, got {type(picture).__name__}")
