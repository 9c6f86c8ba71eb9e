"""Picture files: reading whatever Pillow reads into RGB, and writing results atomically, PNGs
with a palette when the colours allow it losslessly; PDFs of cleaned pages, losslessly where the
page allows it."""

from __future__ import annotations

import contextlib
import io
import os
import tempfile
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import IO, TYPE_CHECKING

from PIL import Image, ImageOps, UnidentifiedImageError, features

# NumPy and the road are imported where they are used: reading a file needs neither, so the
# command can decode its first picture while they load.
if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    from .road import Cleaned

FORMATS: dict[str, str] = {"png": "PNG", "jpeg": "JPEG", "webp": "WEBP"}
SUFFIXES: dict[str, str] = {"png": ".png", "jpeg": ".jpg", "webp": ".webp"}
JPEG_QUALITY = 90
ORIENTATION = 0x0112  # the EXIF tag (also read from XMP by Pillow)


def format_for(path: Path) -> str:
    """The output format a file name asks for, by its suffix."""
    suffix = path.suffix.lower()
    for fmt, known in SUFFIXES.items():
        if suffix == known or (fmt == "jpeg" and suffix == ".jpeg"):
            return fmt
    raise ValueError(f"cannot tell the format of {path.name!r}: use .png, .jpg or .webp, or pass fmt")


class PictureError(Exception):
    """A file that cannot be cleaned; the message says why in a few words."""


def to_rgb(image: Image.Image) -> Image.Image:
    """The picture upright (EXIF orientation) in 8-bit RGB; transparency shows white paper."""
    if image.getexif().get(ORIENTATION, 1) != 1:  # exif_transpose copies even an upright picture
        image = ImageOps.exif_transpose(image)
    mode = image.mode
    if mode == "RGB":
        return image
    if mode.startswith("I;16") or mode == "I":
        # 16-bit samples: keep the top 8 bits (Pillow's own conversion clips at 255 instead). A
        # 32-bit "I" picture whose samples all fit a byte is taken as 8-bit.
        import numpy as np

        samples = np.asarray(image).astype(np.int64)
        if mode == "I" and samples.size and 0 <= samples.min() and samples.max() <= 255:
            grey = samples.astype(np.uint8)
        else:
            grey = (np.clip(samples, 0, 65535) >> 8).astype(np.uint8)
        return Image.fromarray(grey).convert("RGB")
    if mode == "La":  # premultiplied alpha: Pillow converts it to RGBA only through LA
        image, mode = image.convert("LA"), "LA"
    has_alpha = mode in ("RGBA", "RGBa", "LA", "PA") or (mode == "P" and "transparency" in image.info)
    if has_alpha:
        rgba = image.convert("RGBA")
        paper = Image.new("RGBA", rgba.size, (255, 255, 255, 255))
        return Image.alpha_composite(paper, rgba).convert("RGB")
    return image.convert("RGB")


@contextlib.contextmanager
def single_block_images() -> Iterator[None]:
    """Pillow allocates the images made inside in one block of memory (not its default chain of
    16 MB blocks), so that the cleaning road can read their samples where they are, through
    their Arrow export, instead of copying them out."""
    core = Image.core  # type: ignore[attr-defined]
    if not hasattr(core, "set_use_block_allocator"):  # a Pillow before 11.2: no Arrow export either
        yield
        return
    before = core.get_use_block_allocator()
    core.set_use_block_allocator(1)
    try:
        yield
    finally:
        core.set_use_block_allocator(before)


def read_picture(path: str | os.PathLike[str]) -> Image.Image:
    """Reads and decodes a picture file into RGB; raises PictureError with the reason."""
    try:
        # Only the first frame of an animated or multi-page file is read.
        with Image.open(path) as image, single_block_images():
            try:
                image.load()
            except (OSError, SyntaxError, ValueError, EOFError) as error:
                raise PictureError(f"truncated or damaged picture ({error})") from error
            try:
                return to_rgb(image)
            except (OSError, ValueError) as error:
                raise PictureError(f"cannot convert its {image.mode} samples to RGB ({error})") from error
    except PictureError:
        raise
    except UnidentifiedImageError as error:
        raise PictureError("not a picture (Pillow cannot identify it)") from error
    except Image.DecompressionBombError as error:
        raise PictureError(f"too large to decode safely ({error})") from error
    except OSError as error:
        reason = error.strerror or str(error)
        raise PictureError(f"cannot read it: {reason}") from error


def palette_of(picture: npt.NDArray[np.uint8]) -> tuple[npt.NDArray[np.uint8], npt.NDArray[np.uint8]] | None:
    """The picture as palette indexes and exactly its own colours, or None past 256 colours."""
    import numpy as np

    if Image.fromarray(picture).getcolors(256) is None:  # fast refusal in C before any sorting
        return None
    keys = (picture[..., 0].astype(np.uint32) << 16) | (picture[..., 1].astype(np.uint32) << 8) | picture[..., 2]
    colours, indexes = np.unique(keys.ravel(), return_inverse=True)
    palette = np.stack([(colours >> 16) & 255, (colours >> 8) & 255, colours & 255], axis=1).astype(np.uint8)
    return indexes.astype(np.uint8).reshape(picture.shape[:2]), palette


#: zlib level of palette PNGs. Their rows are stored unfiltered and packed at the fewest bits a
#: pixel the palette needs: on cleaned pages (long runs of paper and strokes) that gives files
#: smaller than Pillow's best (optimize), over ten times faster (a 4 MP page: 37 KB in 8 ms,
#: against 43 KB in 140 ms).
PNG_LEVEL = 6


def write_palette_png(stream: IO[bytes], indexes: npt.NDArray[np.uint8], palette: npt.NDArray[np.uint8]) -> None:
    """Writes palette indexes (H x W, each below len(palette) <= 256) as a PNG with that palette."""
    import numpy as np
    import png

    bits = next(b for b in (1, 2, 4, 8) if len(palette) <= 1 << b)
    per_byte = 8 // bits
    height, width = indexes.shape
    if width % per_byte:
        indexes = np.pad(indexes, ((0, 0), (0, per_byte - width % per_byte)))
    groups = indexes.reshape(height, -1, per_byte)
    packed = np.zeros(groups.shape[:2], np.uint8)
    for i in range(per_byte):  # the first pixel of a byte in its high bits
        packed |= groups[..., i] << (8 - bits * (i + 1))
    writer = png.Writer(
        width, height, bitdepth=bits, palette=[tuple(c) for c in palette.tolist()], compression=PNG_LEVEL
    )
    writer.write_packed(stream, packed)


def save_options(fmt: str, quality: int | None) -> dict[str, object]:
    """Pillow's options for a picture that is not written as a palette PNG."""
    if fmt == "png":
        return {"optimize": True}
    if fmt == "jpeg":
        return {"quality": quality or JPEG_QUALITY}
    return {"quality": quality} if quality else {"lossless": True}


def write_atomically(path: Path, write: Callable[[IO[bytes]], None]) -> None:
    """Writes path through a temporary file in its own folder and a rename, so that a crash or
    an interrupt leaves either the whole new file or nothing."""
    handle, temporary = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=".part")
    try:
        with os.fdopen(handle, "wb") as stream:
            write(stream)
            stream.flush()
            os.fsync(stream.fileno())
        # mkstemp makes the file private; the result gets the permissions of any new file.
        os.chmod(temporary, 0o666 & ~_UMASK)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise


def _read_umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


# Read once, at import: setting the umask to read it is not safe while other threads create files.
_UMASK = _read_umask()


def save_picture(
    picture: npt.NDArray[np.uint8] | Cleaned, path: str | os.PathLike[str], fmt: str = "png", quality: int | None = None
) -> None:
    """Writes an H x W x 3 uint8 picture (or a cleaned one) as png, jpeg or webp, atomically. A
    PNG of at most 256 colours is stored with a palette, losslessly."""
    from .road import Cleaned

    if fmt not in FORMATS:
        raise ValueError(f"unknown format {fmt!r}; choose from {', '.join(FORMATS)}")
    if isinstance(picture, Cleaned):
        if fmt == "png" and picture.indexes is not None and picture.palette is not None:
            indexes, palette = picture.indexes, picture.palette
            write_atomically(Path(path), lambda stream: write_palette_png(stream, indexes, palette))
            return
        picture = picture.rgb()
    if fmt == "png" and (indexed := palette_of(picture)) is not None:
        write_atomically(Path(path), lambda stream: write_palette_png(stream, *indexed))
        return
    image = Image.fromarray(picture)
    options = save_options(fmt, quality)
    write_atomically(Path(path), lambda stream: image.save(stream, FORMATS[fmt], **options))


def pdf_page(picture: npt.NDArray[np.uint8]) -> bytes:
    """One page as a file that img2pdf embeds as it is: a black-and-white page as a fax-compressed
    bitmap, a page of at most 256 colours as a palette PNG (both lossless and small), any other
    page as a JPEG."""
    stream = io.BytesIO()
    first = picture[..., 0]
    if features.check("libtiff") and ((first == 0) | (first == 255)).all() and (picture == first[..., None]).all():
        Image.fromarray(first).convert("1", dither=Image.Dither.NONE).save(stream, "TIFF", compression="group4")
    elif (indexed := palette_of(picture)) is not None:
        write_palette_png(stream, *indexed)
    else:
        Image.fromarray(picture).save(stream, "JPEG", quality=JPEG_QUALITY)
    return stream.getvalue()


def save_pdf(pages: Sequence[npt.NDArray[np.uint8]], path: str | os.PathLike[str], resolution: float = 150.0) -> None:
    """Writes the pictures as the pages of one PDF, atomically."""
    import img2pdf  # only the PDF needs it

    if not pages:
        raise ValueError("no pages to write")
    files = [pdf_page(page) for page in pages]
    layout = img2pdf.get_fixed_dpi_layout_fun((resolution, resolution))

    def write(stream: IO[bytes]) -> None:
        img2pdf.convert(files, layout_fun=layout, outputstream=stream)

    write_atomically(Path(path), write)
