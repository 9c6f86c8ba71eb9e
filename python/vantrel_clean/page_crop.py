"""The page's crop before the cleaning road: the corners given by hand, or the page or board
found in the photo, rectified with its true proportions; the photo as it is when no page is
found with confidence (with a notice saying so) or when the crop is off."""

from __future__ import annotations

from PIL import Image

from .detection import exif_focal_35mm, find_page
from .options import CleanOptions
from .rectification import RGBArray, chosen_aspect, corners_in, page_aspect, plan_rectification, warp


def crop_page(
    picture: RGBArray | Image.Image, options: CleanOptions, *, consume: bool = False
) -> tuple[RGBArray | Image.Image, str | None]:
    """The picture to clean and a notice for the user (None when there is nothing to say). With
    consume, a Pillow image that was rectified is closed, its memory given back."""
    if options.crop == "none" and options.corners is None:
        return picture, None
    from .background import as_rgb_array, samples_of
    from .road import check_size

    source: RGBArray | tuple[object, object]
    if isinstance(picture, Image.Image):
        if picture.mode != "RGB":
            raise ValueError(f"expected an RGB image, got mode {picture.mode}")
        focal, source = exif_focal_35mm(picture), samples_of(picture)
        width, height = picture.size
    else:
        focal, source = None, as_rgb_array(picture)
        height, width = source.shape[:2]
    check_size(width, height)
    if options.corners is not None:
        corners = corners_in(options.corners, width, height)
        measured = page_aspect(corners, width, height, focal)
    else:
        found = find_page(source, width, height, focal)
        if not found.found:
            return picture, f"no page found (confidence {found.confidence:.2f}): the whole photo is cleaned"
        corners, measured = found.corners, found.aspect
    aspect = chosen_aspect(options.aspect, measured)
    page = warp(source, width, height, plan_rectification(corners, aspect, width, height))
    if consume and isinstance(picture, Image.Image):
        picture.close()
    return page, None
