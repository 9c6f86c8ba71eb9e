"""The colour drawing of a halved picture: the native ink decision sorts its pixels into paper
and strokes with colour classes, the palette of the picture's own inks (palette.py) gives each
class its clean colour, and a vote along strokes evens out the inks."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from . import _steps
from .cleaned import Cleaned, RGBArray
from .options import DEFAULT_SENSITIVITY, INK_RULES, InkRules
from .palette import Inks, fit_inks


@dataclass(frozen=True)
class InkDecision:
    """What the ink decision needs besides the picture and its contrast map: the tone curve the
    picture was evened with (exponent 1 and knee 0 when it was not), the sensitivity every
    contrast threshold is divided by, and the rules."""

    exponent: float = 1.0
    knee: float = 0.0
    sensitivity: float = DEFAULT_SENSITIVITY
    rules: InkRules = INK_RULES


def classify_inks(
    halved: RGBArray, contrast: bytes | bytearray, decision: InkDecision = InkDecision()
) -> tuple[bytes, bytes]:
    """The native ink decision: a class code per pixel of the halved picture, deciding on its
    contrast map (from the evening, or contrast_map), and the histogram of the classes."""
    height, width = halved.shape[:2]
    rules = decision.rules
    return _steps.classify_ink(
        halved,
        contrast,
        width,
        height,
        decision.exponent,
        decision.knee,
        decision.sensitivity,
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


def draw_inks(halved: RGBArray, contrast: bytes | bytearray, decision: InkDecision = InkDecision()) -> Cleaned:
    """Sorts the halved picture into paper and strokes (see classify_inks) and draws every
    stroke in its ink's clean colour, full or pale: palette indexes and their palette."""
    height, width = halved.shape[:2]
    codes, histogram = classify_inks(halved, contrast, decision)
    return paint_inks(codes, fit_inks(histogram), width, height, decision.rules.vote_radius)


def paint_inks(codes: bytes, inks: Inks, width: int, height: int, vote_radius: int) -> Cleaned:
    """The width x height class codes of classify_inks drawn in the picture's inks: each code's
    palette index, then each ink pixel given the ink most of its (2 * vote_radius + 1)-square
    window holds (no vote at radius 0)."""
    # The palette lookup is applied natively, while voting.
    indexes = np.frombuffer(_steps.vote_inks(codes, width, height, vote_radius, inks.lookup), np.uint8)
    return Cleaned(indexes=indexes.reshape(height, width), palette=inks.palette)
