"""PDFs of cleaned pages: each page carried as the small file the PDF embeds as it is (a
fax-compressed bitmap, a palette PNG, or a JPEG), placed at its resolution (150 pixels an inch,
or half the resolution a PDF's page was rendered at) on a page within the sizes PDF readers
accept."""

from __future__ import annotations

import io
import os
from collections.abc import Sequence
from pathlib import Path
from typing import IO, TYPE_CHECKING

from PIL import Image, features

from .atomic import write_atomically
from .pictures import JPEG_QUALITY, MAX_SIDE, palette_of, size_of, write_palette_png

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    from .cleaned import Cleaned

#: Pixels an inch of a page, unless that makes the page too small or too large.
PAGE_RESOLUTION = 150.0
#: The page sizes, in points, that PDF readers accept (a PDF unit is 1/72 inch; 14400 is 200 inches).
MIN_POINTS, MAX_POINTS = 3.0, 14400.0


class PageError(ValueError):
    """A cleaned picture that cannot be a PDF page."""


def page_size(width: int, height: int, resolution: float = PAGE_RESOLUTION) -> tuple[float, float]:
    """The page, in points, of a width x height picture: at `resolution`, scaled down so that no
    side passes MAX_POINTS or up so that none falls below MIN_POINTS; PageError when a picture
    is too thin to fit both."""
    scale = 72.0 / resolution
    longest, shortest = max(width, height) * scale, min(width, height) * scale
    if longest > MAX_POINTS:
        scale *= MAX_POINTS / longest
    elif shortest < MIN_POINTS:
        scale *= MIN_POINTS / shortest
    if max(width, height) * scale > MAX_POINTS * 1.0001 or min(width, height) * scale < MIN_POINTS * 0.9999:
        raise PageError(f"{width}x{height} pixels is too thin for a PDF page (sides of 3 to 14400 points)")
    return width * scale, height * scale


def pdf_page(picture: npt.NDArray[np.uint8] | Cleaned, resolution: float = PAGE_RESOLUTION) -> bytes:
    """One page as a file that img2pdf embeds as it is: a black-and-white page as a fax-compressed
    bitmap, a page of at most 256 colours as a palette PNG (both lossless and small), any other
    page as a JPEG; the file says its resolution (pixels an inch), which sets the page's size.
    PageError for a picture no PDF page can hold."""
    from .cleaned import Cleaned

    height, width = size_of(picture)
    page_size(width, height, resolution)
    dpi = (round(resolution), round(resolution))
    stream = io.BytesIO()
    if isinstance(picture, Cleaned) and picture.indexes is not None and picture.palette is not None:
        indexes, palette = picture.indexes, picture.palette
    else:
        rgb = picture.rgb() if isinstance(picture, Cleaned) else picture
        indexed = palette_of(rgb)
        if indexed is None:
            if max(width, height) > MAX_SIDE["jpeg"]:
                raise PageError(f"{width}x{height} pixels of more than 256 colours is too large for a JPEG page")
            Image.fromarray(rgb).save(stream, "JPEG", quality=JPEG_QUALITY, dpi=dpi)
            return stream.getvalue()
        indexes, palette = indexed
    if features.check("libtiff") and bitonal(palette):
        grey = palette[:, 0][indexes]  # black and white have equal samples: one plane says it
        bitmap = Image.fromarray(grey).convert("1", dither=Image.Dither.NONE)
        bitmap.save(stream, "TIFF", compression="group4", dpi=dpi)
    else:
        write_palette_png(stream, indexes, palette, resolution)
    return stream.getvalue()


def bitonal(palette: npt.NDArray[np.uint8]) -> bool:
    """Whether a palette holds only black and white (or one of them)."""
    colours = {tuple(colour) for colour in palette.tolist()}
    return colours <= {(0, 0, 0), (255, 255, 255)}


def save_pdf(
    pages: Sequence[bytes | npt.NDArray[np.uint8]],
    path: str | os.PathLike[str],
    resolution: float = PAGE_RESOLUTION,
) -> None:
    """Writes the pages as the pages of one PDF, atomically: pictures at `resolution`, files
    encoded by pdf_page at the resolution they say. PageError for a picture no PDF page can
    hold."""
    import img2pdf  # only the PDF needs it

    if not pages:
        raise ValueError("no pages to write")
    files = [page if isinstance(page, bytes) else pdf_page(page, resolution) for page in pages]

    def layout(width: int, height: int, ndpi: tuple[int, int]) -> tuple[float, float, float, float]:
        page_width, page_height = page_size(width, height, ndpi[0] or resolution)
        return page_width, page_height, page_width, page_height

    def write(stream: IO[bytes]) -> None:
        img2pdf.convert(files, layout_fun=layout, outputstream=stream)

    write_atomically(Path(path), write)
