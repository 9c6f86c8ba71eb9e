"""The pages of an input file: a picture is one page, a multi-page TIFF one page a frame, a PDF
one page a page (rendered at the resolution of its scan, or a chosen one); an animation gives
its first frame, and says so."""

from __future__ import annotations

import os
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

from PIL import Image

from .limits import default_max_pixels, pixel_excess
from .pictures import PictureError, open_regular, read_picture

if TYPE_CHECKING:
    import pypdfium2

#: Resolution of rendered PDF pages that hold no scan (and the default of --dpi's absence).
DEFAULT_DPI = 300.0
#: The key of a rendered page's resolution in its picture's info.
RENDERED_DPI = "vantrel.rendered_dpi"
#: A page's scan is an image covering at least this share of the page.
SCAN_COVERAGE = 0.5
#: Formats whose extra frames are pages; in the animated ones, extra frames are animation.
PAGED_FORMATS = frozenset({"TIFF"})
ANIMATED_FORMATS = frozenset({"GIF", "PNG", "WEBP", "FLI"})
#: Suffixes worth opening to count pages, and suffixes of files of one page; a file of any
#: other name is looked into, in case it is a PDF.
PAGE_SUFFIXES = frozenset({".tif", ".tiff", ".gif", ".png", ".apng", ".webp", ".flc", ".fli", ".pdf"})
ONE_PAGE_SUFFIXES = frozenset({".jpg", ".jpeg", ".jpe", ".jfif", ".bmp", ".ppm", ".pgm", ".pbm"})

# PDFium is not safe to call from several threads at once.
_PDFIUM_LOCK = threading.RLock()


@dataclass(frozen=True)
class Pages:
    """How many pages a file gives, and a note for the user about the rest (an animation)."""

    count: int
    note: str | None = None


def pdf_supported() -> bool:
    """Whether pypdfium2 is installed (without loading PDFium)."""
    import importlib.util

    return importlib.util.find_spec("pypdfium2") is not None


def is_pdf(path: str | os.PathLike[str]) -> bool:
    """Whether the file starts as a PDF does (its header may follow up to 1 KB of junk)."""
    try:
        with open_regular(path) as stream:
            return b"%PDF-" in stream.read(1024)
    except (OSError, PictureError):
        return False


def count_pages(path: Path) -> Pages:
    """The pages of a file, from its header; a file that cannot be read counts one page (its
    job then says why it fails)."""
    suffix = path.suffix.lower()
    if suffix in ONE_PAGE_SUFFIXES or (suffix not in PAGE_SUFFIXES and not is_pdf(path)):
        return Pages(1)
    try:
        if is_pdf(path):
            with _PDFIUM_LOCK:
                document = open_pdf(path)
                try:
                    return Pages(len(document))
                finally:
                    document.close()
        with open_regular(path) as stream, Image.open(stream) as image:
            frames = int(getattr(image, "n_frames", 1))
            if frames > 1 and image.format in PAGED_FORMATS:
                return Pages(frames)
            if frames > 1 and image.format in ANIMATED_FORMATS:
                return Pages(1, f"an animation of {frames} frames: only its first frame is cleaned")
    except (OSError, PictureError, SyntaxError, ValueError, EOFError, Image.DecompressionBombError):
        pass
    return Pages(1)


def open_pdf(path: str | os.PathLike[str]) -> pypdfium2.PdfDocument:
    """The document, or PictureError with the reason (the caller holds _PDFIUM_LOCK)."""
    try:
        import pypdfium2
    except ImportError:
        raise PictureError("a PDF, and PDF input needs pypdfium2, which is not installed") from None
    with open_regular(path):  # refuses FIFOs and devices before PDFium opens the path
        pass
    try:
        return pypdfium2.PdfDocument(os.fspath(path))
    except pypdfium2.PdfiumError as error:
        raise PictureError(f"a PDF that cannot be read ({error})") from None


def scan_resolution(page: pypdfium2.PdfPage) -> float | None:
    """The resolution, in pixels per inch, of the largest image on the page when it covers
    most of it (a scanned page); None for a page drawn otherwise."""
    import pypdfium2.raw as raw

    page_width, page_height = page.get_size()
    best: tuple[float, float] | None = None  # (area on the page in points², pixels)
    for image in page.get_objects(filter=[raw.FPDF_PAGEOBJ_IMAGE], max_depth=3):
        left, bottom, right, top = image.get_bounds()
        area = max(0.0, right - left) * max(0.0, top - bottom)
        pixel_width, pixel_height = image.get_px_size()
        if area > 0 and (best is None or area > best[0]):
            best = (area, float(pixel_width) * float(pixel_height))
    if best is None or best[0] < SCAN_COVERAGE * page_width * page_height:
        return None
    area, pixels = best
    return float(72.0 * (pixels / area) ** 0.5)  # the image's pixels per point, on both axes


def render_pdf_page(
    path: str | os.PathLike[str], index: int, dpi: float | None = None, max_pixels: int | None = None
) -> Image.Image:
    """Renders page `index` (from 0) of a PDF into an RGB picture, on white paper: at dpi when
    given, else at the resolution of the page's scan, else at DEFAULT_DPI."""
    limit = default_max_pixels() if max_pixels is None else max_pixels
    with _PDFIUM_LOCK:
        document = open_pdf(path)
        try:
            if not 0 <= index < len(document):
                raise PictureError(f"it has no page {index + 1}")
            page = document[index]
            resolution = dpi or scan_resolution(page) or DEFAULT_DPI
            width, height = page.get_size()
            pixels_wide, pixels_high = round(width * resolution / 72), round(height * resolution / 72)
            excess = pixel_excess(pixels_wide, pixels_high, limit)
            if excess is not None:
                raise PictureError(f"at {resolution:.0f} dpi, {excess}; choose a lower --dpi")
            bitmap = page.render(scale=resolution / 72, rev_byteorder=True)
            rendered: Image.Image = bitmap.to_pil()
            picture = rendered.convert("RGB") if rendered.mode != "RGB" else rendered.copy()
            picture.info[RENDERED_DPI] = resolution
            bitmap.close()
            page.close()
            return picture
        except pypdfium2_error() as error:
            raise PictureError(f"cannot render the page ({error})") from None
        finally:
            document.close()


def pypdfium2_error() -> type[Exception]:
    import pypdfium2

    error: type[Exception] = pypdfium2.PdfiumError
    return error


def read_page(
    path: str | os.PathLike[str], page: int | None = None, dpi: float | None = None, max_pixels: int | None = None
) -> Image.Image:
    """One page of a file as an RGB picture: a PDF's page rendered, a picture's frame decoded
    (page None: the file's only or first page)."""
    if is_pdf(path):
        return render_pdf_page(path, page or 0, dpi, max_pixels)
    return read_picture(path, frame=page, max_pixels=max_pixels)
