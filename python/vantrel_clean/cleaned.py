"""What the road gives back: a cleaned picture, as plain RGB samples or as palette indexes with
their palette, and what the user should know about it."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
from PIL import Image

RGBArray = npt.NDArray[np.uint8]


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
