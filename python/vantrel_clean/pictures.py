"""Picture files: reading whatever Pillow reads into RGB, and writing results atomically, PNGs
with a palette when the colours allow it losslessly; PDFs of cleaned pages, losslessly where the
page allows it."""

from __future__ import annotations

import contextlib
import os
import stat
from collections.abc import Iterator
from pathlib import Path
from typing import IO, TYPE_CHECKING, BinaryIO

from PIL import Image, ImageChops, ImageOps, UnidentifiedImageError

from .atomic import write_atomically
from .limits import default_max_pixels, pillow_limit_lifted, pixel_excess

# NumPy and the road are imported where they are used: reading a file needs neither, so the
# command can decode its first picture while they load.
if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    from .cleaned import Cleaned

FORMATS: dict[str, str] = {"png": "PNG", "jpeg": "JPEG", "webp": "WEBP"}
SUFFIXES: dict[str, str] = {"png": ".png", "jpeg": ".jpg", "webp": ".webp"}
JPEG_QUALITY = 90
ORIENTATION = 0x0112  # the EXIF tag (also read from XMP by Pillow)


def suffix_format(path: Path) -> str | None:
    """The output format a file name asks for by its suffix, None for a suffix of no format."""
    suffix = path.suffix.lower()
    for fmt, known in SUFFIXES.items():
        if suffix == known or (fmt == "jpeg" and suffix == ".jpeg"):
            return fmt
    return None


def format_for(path: Path) -> str:
    """The output format a file name asks for, by its suffix; ValueError when it says none."""
    fmt = suffix_format(path)
    if fmt is None:
        raise ValueError(f"cannot tell the format of {path.name}: use .png, .jpg or .webp, or pass fmt")
    return fmt


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
        # White paper shows through in place, in the RGB copy: the same samples as compositing
        # over opaque white, at 9 bytes a pixel of memory instead of 19.
        rgba = image if mode == "RGBA" else image.convert("RGBA")
        rgb = rgba.convert("RGB")
        rgb.paste((255, 255, 255), mask=ImageChops.invert(rgba.getchannel("A")))
        return rgb
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


def open_regular(path: str | os.PathLike[str]) -> BinaryIO:
    """Opens a file for reading; PictureError for anything but a regular file (a FIFO or a
    device would block or never end), OSError when it cannot be opened."""
    # Without O_NONBLOCK, opening a FIFO waits for a writer, forever.
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    try:
        mode = os.fstat(fd).st_mode
        if stat.S_ISDIR(mode):
            raise PictureError("it is a folder, not a picture file")
        if not stat.S_ISREG(mode):
            raise PictureError("not a regular file")
        os.set_blocking(fd, True)
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def load_failure(image: Image.Image, error: BaseException) -> str:
    """Why Pillow could not decode a file it identified, in a few words."""
    text = str(error)
    if image.format == "EPS" and "ghostscript" in text.lower():
        return "an EPS file is drawn by Ghostscript, which is not installed"
    if ("decoder" in text and "not available" in text) or text == "cannot load this image":
        return f"Pillow identifies it as {image.format} but cannot decode it"
    return f"truncated or damaged picture ({text})"


def read_picture(
    path: str | os.PathLike[str], *, frame: int | None = None, max_pixels: int | None = None
) -> Image.Image:
    """Reads and decodes a picture file into RGB; raises PictureError with the reason. frame
    picks a page of a multi-page file (from 0; default the first). Pictures of more than
    max_pixels (default: limits.default_max_pixels()) are refused before they are decoded."""
    limit = default_max_pixels() if max_pixels is None else max_pixels
    try:
        with open_regular(path) as stream, pillow_limit_lifted(), Image.open(stream) as image, single_block_images():
            if frame:
                try:
                    image.seek(frame)
                except EOFError:
                    raise PictureError(f"it has no page {frame + 1}") from None
            excess = pixel_excess(image.width, image.height, limit)
            if excess is not None:
                raise PictureError(excess)
            try:
                image.load()
            except (OSError, SyntaxError, ValueError, EOFError) as error:
                raise PictureError(load_failure(image, error)) from error
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
    except (OSError, SyntaxError, ValueError, EOFError) as error:  # a header Pillow cannot parse
        reason = getattr(error, "strerror", None) or str(error)
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


def write_palette_png(
    stream: IO[bytes], indexes: npt.NDArray[np.uint8], palette: npt.NDArray[np.uint8], resolution: float | None = None
) -> None:
    """Writes palette indexes (H x W, each below len(palette) <= 256) as a PNG with that palette,
    and with its resolution (pixels an inch) when given."""
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
    per_metre = None if resolution is None else round(resolution / 0.0254)
    density = {} if per_metre is None else {"x_pixels_per_unit": per_metre, "y_pixels_per_unit": per_metre}
    writer = png.Writer(
        width,
        height,
        bitdepth=bits,
        palette=[tuple(c) for c in palette.tolist()],
        compression=PNG_LEVEL,
        unit_is_meter=True,
        **density,
    )
    writer.write_packed(stream, packed)


#: The largest side each format stores (WebP's is in its bitstream, JPEG's in libjpeg).
MAX_SIDE: dict[str, int] = {"png": 2**31 - 1, "jpeg": 65500, "webp": 16383}


def check_quality(quality: object) -> int | None:
    """quality as given when it is None or an int from 1 to 100; TypeError or ValueError else."""
    if quality is None:
        return None
    if isinstance(quality, bool) or not isinstance(quality, int):
        raise TypeError(f"quality must be an int from 1 to 100 or None, not {type(quality).__name__}")
    if not 1 <= quality <= 100:
        raise ValueError(f"quality must be from 1 to 100, not {quality}")
    return quality


def check_format(fmt: object) -> str:
    if not isinstance(fmt, str) or fmt not in FORMATS:
        raise ValueError(f"unknown format {fmt}; choose from {', '.join(FORMATS)}")
    return fmt


def save_options(fmt: str, quality: int | None) -> dict[str, object]:
    """Pillow's options for a picture that is not written as a palette PNG."""
    if fmt == "png":
        return {"optimize": True}
    if fmt == "jpeg":
        return {"quality": JPEG_QUALITY if quality is None else quality}
    return {"lossless": True} if quality is None else {"quality": quality}


def size_of(picture: npt.NDArray[np.uint8] | Cleaned) -> tuple[int, int]:
    """(height, width) of a picture or a cleaned one."""
    from .cleaned import Cleaned

    if isinstance(picture, Cleaned):
        plane = picture.indexes if picture.indexes is not None else picture.samples
        assert plane is not None
        return int(plane.shape[0]), int(plane.shape[1])
    return int(picture.shape[0]), int(picture.shape[1])


def save_picture(
    picture: npt.NDArray[np.uint8] | Cleaned, path: str | os.PathLike[str], fmt: str = "png", quality: int | None = None
) -> None:
    """Writes an H x W x 3 uint8 picture (or a cleaned one) as png, jpeg or webp, atomically. A
    PNG of at most 256 colours is stored with a palette, losslessly. ValueError for a picture
    larger than the format stores, a bad format or quality."""
    from .cleaned import Cleaned

    check_format(fmt)
    quality = check_quality(quality)
    height, width = size_of(picture)
    if max(width, height) > MAX_SIDE[fmt]:
        raise ValueError(
            f"{width}x{height} pixels is larger than {FORMATS[fmt]} stores ({MAX_SIDE[fmt]} pixels a side); "
            "write it as PNG"
        )
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
