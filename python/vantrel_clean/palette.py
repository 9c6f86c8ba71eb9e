"""The colours of the colour-true drawing: the inks a picture holds, found as peaks of its hue
histogram, each drawn in a clean, saturated version of its own hue; black ink black, faint
strokes and pale printed matter in a pale tint of their ink."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from . import _steps

HUE_BINS = _steps.HUE_BINS
NEUTRAL_BIN = _steps.NEUTRAL_BIN
_FULL, _PALE, _SUM_L, _SUM_A, _SUM_B = range(_steps.HISTOGRAM_FIELDS)

#: CIELAB lightness and chroma of the drawn colours: full strength reads as its hue without
#: being near black; pale is a tint light enough that printed rules never read as ink.
FULL_LIGHTNESS, FULL_CHROMA = 50.0, 80.0
PALE_LIGHTNESS, PALE_CHROMA = 76.0, 38.0
WHITE, BLACK, GREY = (255, 255, 255), (0, 0, 0), (150, 150, 150)

#: An ink is a hue peak holding at least this share of the coloured ink pixels; two peaks stay
#: apart only when they are 15 degrees apart or more and the histogram between them falls below
#: this share of the lower peak.
MIN_INK_SHARE = 0.01
VALLEY_SHARE = 0.5
MIN_PEAK_GAP = 3


@dataclass(frozen=True)
class Inks:
    """lookup maps a class code of the native classifier to a palette index (vote_inks applies it);
    palette holds the colours (index 0 is white paper, then each ink full and pale, black first)."""

    lookup: npt.NDArray[np.uint8]
    palette: npt.NDArray[np.uint8]
    hues: tuple[float, ...]  # the hue angle in degrees of each coloured ink found


def code_of(slot: int | npt.NDArray[np.intp], pale: bool) -> int | npt.NDArray[np.intp]:
    """The class code of a hue bin, or the palette index of an ink (slot 0 neutral), full or pale:
    the one layout the native steps write (see _steps.FIRST_CODE)."""
    return _steps.FIRST_CODE + _steps.CODES_PER_SLOT * slot + int(pale)


def _encode(linear: npt.NDArray[np.float64]) -> tuple[int, int, int]:
    c = np.clip(linear, 0.0, 1.0)
    srgb = np.where(c <= 0.0031308, 12.92 * c, 1.055 * c ** (1 / 2.4) - 0.055)
    red, green, blue = (int(v) for v in np.round(srgb * 255))
    return red, green, blue


def _linear_rgb(lightness: float, chroma: float, hue: float) -> npt.NDArray[np.float64]:
    """Linear sRGB of a CIELAB colour (D65) given as lightness, chroma and hue in radians."""
    fy = (lightness + 16) / 116
    fx, fz = fy + chroma * math.cos(hue) / 500, fy - chroma * math.sin(hue) / 200
    delta = 6 / 29
    xyz = np.array([f**3 if f > delta else 3 * delta * delta * (f - 4 / 29) for f in (fx, fy, fz)])
    xyz *= (0.95047, 1.0, 1.08883)
    to_rgb = np.array(
        [[3.2404542, -1.5371385, -0.4985314], [-0.9692660, 1.8760108, 0.0415560], [0.0556434, -0.2040259, 1.0572252]]
    )
    return np.asarray(to_rgb @ xyz, dtype=np.float64)


def clean_colour(lightness: float, chroma: float, hue: float) -> tuple[int, int, int]:
    """The sRGB colour of that lightness and hue (radians) with the most chroma up to chroma
    that sRGB can show."""

    def shown(c: float) -> bool:
        linear = _linear_rgb(lightness, c, hue)
        return bool((linear >= -1e-9).all() and (linear <= 1 + 1e-9).all())

    low, high = 0.0, chroma
    if shown(high):
        low = high
    for _ in range(24):
        middle = (low + high) / 2
        low, high = (middle, high) if shown(middle) else (low, middle)
    return _encode(_linear_rgb(lightness, low, hue))


def _peaks(weight: npt.NDArray[np.float64]) -> list[int]:
    """The bins of the hue peaks on the circle of bins. Peaks are found on a lightly smoothed
    histogram; two stay apart when they are at least MIN_PEAK_GAP bins apart and the histogram
    itself falls between them below VALLEY_SHARE of the lower peak."""
    smooth = (np.roll(weight, 1) + 2 * weight + np.roll(weight, -1)) / 4
    floor = MIN_INK_SHARE * weight.sum()
    peaks = [
        i
        for i in range(HUE_BINS)
        if smooth[i] >= floor and smooth[i] >= smooth[i - 1] and smooth[i] > smooth[(i + 1) % HUE_BINS]
    ]
    merged = True
    while merged and len(peaks) > 1:
        merged = False
        for n, first in enumerate(peaks):
            second = peaks[(n + 1) % len(peaks)]
            gap = (second - first) % HUE_BINS
            between = [(first + k) % HUE_BINS for k in range(1, gap)]
            valley = weight[between].min() if between else np.inf
            if gap < MIN_PEAK_GAP or valley > VALLEY_SHARE * min(smooth[first], smooth[second]):
                peaks.remove(first if smooth[first] < smooth[second] else second)
                merged = True
                break
    return sorted(peaks)


def fit_inks(histogram: bytes) -> Inks:
    """The inks of one picture from the classifier's histogram."""
    table = np.frombuffer(histogram, np.float64).reshape(HUE_BINS + 1, -1)
    weight = table[:HUE_BINS, _FULL] + 0.5 * table[:HUE_BINS, _PALE]
    peaks = _peaks(weight) if weight.sum() > 0 else []
    if not peaks and weight.sum() > 0:  # an even spread has no strict peak: one ink of it all
        peaks = [int(weight.argmax())]

    palette = [WHITE, BLACK, GREY]
    lookup = np.zeros(256, np.uint8)
    lookup[code_of(NEUTRAL_BIN, False)] = code_of(0, False)
    lookup[code_of(NEUTRAL_BIN, True)] = code_of(0, True)
    hues: list[float] = []
    if peaks:
        # Every hue bin belongs to its nearest peak around the circle.
        bins = np.arange(HUE_BINS)
        distance = np.abs(bins[:, None] - np.array(peaks)[None, :])
        owner = np.minimum(distance, HUE_BINS - distance).argmin(axis=1)
        for ink in range(len(peaks)):
            members = np.flatnonzero(owner == ink)
            sums = table[members]
            count = sums[:, _FULL].sum() + sums[:, _PALE].sum()
            if count == 0:
                continue
            hue = math.atan2(sums[:, _SUM_B].sum() / count, sums[:, _SUM_A].sum() / count)
            hues.append(math.degrees(hue) % 360)
            ink = (len(palette) - 1) // _steps.CODES_PER_SLOT
            palette += [clean_colour(FULL_LIGHTNESS, FULL_CHROMA, hue), clean_colour(PALE_LIGHTNESS, PALE_CHROMA, hue)]
            lookup[code_of(members, False)] = code_of(ink, False)
            lookup[code_of(members, True)] = code_of(ink, True)
    return Inks(lookup, np.array(palette, np.uint8), tuple(hues))
