"""How a picture is cleaned: the module passes, the named styles and the options of a road.
Plain data, with no NumPy, so that the command can parse its arguments before the heavy
imports."""

from __future__ import annotations

import math
import numbers
import operator
from collections.abc import Iterable
from dataclasses import dataclass

from . import _steps


@dataclass(frozen=True)
class Pass:
    """A module pass that may follow Calculate: the module functions it calls, in order (the
    speck limit goes to RemoveNoise, the others take nothing), and what it does."""

    calls: tuple[str, ...]
    description: str

    def __str__(self) -> str:
        return f"{' + '.join(self.calls)}: {self.description}"


#: The one table of passes: every name the options, the command and the road know.
PASSES: dict[str, Pass] = {
    "despeckle": Pass(("RemoveNoise",), "erases isolated specks on every seventh row"),
    "recolour": Pass(("CalculateColorRange", "SetColors"), "white paper, ten levels per ink, eleven greys"),
    "flatten": Pass(("Flatten",), "dark pixels to black, pale ones darkened by 30"),
}


def check_passes(names: Iterable[str] | None) -> tuple[str, ...]:
    """names as a tuple of pass names; TypeError for a lone string, ValueError for a name that
    is not in PASSES."""
    if isinstance(names, str):
        raise TypeError("passes must be a sequence of pass names, such as ('despeckle', 'recolour')")
    passes = tuple(names or ())
    unknown = [name for name in passes if name not in PASSES]
    if unknown:
        raise ValueError(f"unknown pass {unknown[0]!r}; choose from {', '.join(PASSES)}")
    return passes


@dataclass(frozen=True)
class Style:
    """A named road: the module passes it runs after Calculate, the power of the evening's
    curve, whether the ink is drawn in colour classes or left as the module's passes made it, and
    the knee of the curve (a contrast: strokes fainter than it are whitened by the module; 0 for
    a plain power curve)."""

    description: str
    passes: tuple[str, ...]
    exponent: float
    colour_classes: bool
    knee: float = 0.0


#: The power the evening raises a pixel's ratio to its paper to: it keeps paper near white and
#: darkens ink, while show-through from the back of a page stays above the background cut.
DEFAULT_EXPONENT = 1.5

STYLES: dict[str, Style] = {
    "colour": Style(
        "paper white, black ink black, every coloured ink in a clean colour of its own hue, "
        "faint strokes and pale printed rules pale",
        (),
        DEFAULT_EXPONENT,
        True,
        0.04,
    ),
    "bw": Style(
        "black ink on white paper: every stroke black, whatever its colour",
        ("despeckle", "recolour", "flatten"),
        DEFAULT_EXPONENT,
        False,
    ),
    "levels": Style(
        "the module's own ten levels of each ink and eleven greys", ("despeckle", "recolour"), DEFAULT_EXPONENT, False
    ),
}
DEFAULT_STYLE = "colour"
DEFAULT_PASSES: tuple[str, ...] = STYLES[DEFAULT_STYLE].passes


#: The native ink decision's own defaults (vantrel_clean._steps), by its arguments' names.
_RULES = _steps.INK_RULE_DEFAULTS


@dataclass(frozen=True)
class InkRules:
    """How the colour drawing tells ink from paper. Contrasts are 1 minus a pixel's darkest
    sample's ratio to the paper around it (0 paper, 1 black), on the halved picture; the paper's
    noise is the spread of those contrasts, measured block by block. The contrast thresholds are
    divided by the road's sensitivity. The defaults are the native decision's own."""

    # A pixel this many noise spreads above its paper may be ink, and at least low_floor contrast;
    # it joins the stroke it touches.
    low_noise: float = float(_RULES["low_noise"])
    low_floor: float = float(_RULES["low_floor"])
    # A stroke is kept when a pixel of it is this many spreads and this contrast above its paper.
    seed_noise: float = float(_RULES["seed_noise"])
    seed_floor: float = float(_RULES["seed_floor"])
    # A step to a neighbour of this share of the darkest contrast around is an edge: ink lies within
    # a pixel of an edge (show-through has none), or reaches sure_contrast.
    sharpness: float = float(_RULES["sharpness"])
    sure_contrast: float = float(_RULES["sure_contrast"])
    # A kept stroke is drawn where it reaches this share of its core, its pale part where it reaches
    # pale_edge_share.
    edge_share: float = float(_RULES["edge_share"])
    pale_edge_share: float = float(_RULES["pale_edge_share"])
    # Full strength spreads from pixels whose darkest full-size pixel reaches full_contrast, through
    # its pixels of full_join contrast (or peak), and one beyond; the rest is pale (a pale pixel too
    # grey on its own takes the colour of its stroke's pale part, on average).
    full_contrast: float = float(_RULES["full_contrast"])
    full_join: float = float(_RULES["full_join"])
    min_stroke: int = int(_RULES["min_stroke"])  # strokes of fewer pixels are specks
    # CIELAB chroma below this is neutral ink (black or grey), lower when pale.
    chroma_cut: float = float(_RULES["chroma_cut"])
    vote_radius: int = 2  # each ink pixel takes the ink most of its (2r+1)-square window has


INK_RULES = InkRules()

DEFAULT_SENSITIVITY = 1.0
#: The range of the sensitivity: beyond it the road keeps only black ink, or the paper's grain.
SENSITIVITY_RANGE = (0.1, 10.0)


def check_sensitivity(value: object) -> float:
    """value as a float in SENSITIVITY_RANGE; TypeError for a non-number, ValueError outside."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"sensitivity must be a number, not {type(value).__name__}")
    number = float(value)
    low, high = SENSITIVITY_RANGE
    if not low <= number <= high:
        raise ValueError(f"sensitivity must be from {low:g} to {high:g}, not {number:g}")
    return number


@dataclass(frozen=True)
class CleanOptions:
    """How a picture is cleaned.

    style: the road, a name from ``STYLES``: "colour" (the default) keeps each ink's colour,
        "bw" draws every stroke black, "levels" keeps the module's own ink levels and greys.
    passes: the module passes after Calculate, in the order they run (names from ``PASSES``; a
        name may repeat); None takes the style's. ``()`` stops after the whitening and halving.
    speck_limit: a pixel on a despeckled row turns white when its 7x5 window holds at most this
        many dark pixels.
    even_background: divide the picture by an estimate of its paper brightness first, so that
        the module's fixed background cut (200) finds the paper under uneven or warm light.
    exact_black: the module's GetData writes a 0 sample as 1; with this on, those samples are
        read back exactly, so black ink stays (0, 0, 0).
    crop: "auto" finds the page or board in the photo and rectifies it before cleaning (the
        whole photo when none is found with confidence); "none" cleans the photo as it is.
    corners: the page's corners by hand, four (x, y) pairs in the photo's pixels (TL, TR, BR,
        BL, after its EXIF orientation; they may lie outside it): rectified whatever crop says.
    aspect: the rectified page's proportions: "auto" (measured from the corners and the
        camera), "a4", "letter" (turned as the page is), "W:H" or a number, width over height.
    sensitivity: how faint a stroke the colour style keeps, a positive number: 1 is the default,
        2 keeps strokes of half the contrast (and more of the paper's grain), 0.5 only clearer ones.
    """

    style: str = DEFAULT_STYLE
    passes: tuple[str, ...] | None = None
    speck_limit: int = 2
    even_background: bool = True
    exact_black: bool = True
    crop: str = "auto"
    corners: Corners | None = None
    aspect: str | float = "auto"
    sensitivity: float = DEFAULT_SENSITIVITY

    def __post_init__(self) -> None:
        if not isinstance(self.style, str):
            raise TypeError(f"style must be a name from {', '.join(STYLES)}, not {type(self.style).__name__}")
        for switch in ("even_background", "exact_black"):
            value = getattr(self, switch)
            if type(value).__module__ == "numpy" and type(value).__name__ in ("bool", "bool_"):
                object.__setattr__(self, switch, bool(value))
            elif not isinstance(value, bool):
                raise TypeError(f"{switch} must be True or False, not {type(value).__name__}")
        if self.style not in STYLES:
            raise ValueError(f"unknown style {self.style!r}; choose from {', '.join(STYLES)}")
        if self.passes is None:
            object.__setattr__(self, "passes", STYLES[self.style].passes)
        object.__setattr__(self, "passes", check_passes(self.passes))
        if isinstance(self.speck_limit, bool):
            raise TypeError("speck_limit must be an int")
        limit = operator.index(self.speck_limit)  # any integer, NumPy's included; never a float
        if not -(2**31) <= limit < 2**31:
            raise ValueError("speck_limit must fit a 32-bit int")
        object.__setattr__(self, "speck_limit", limit)
        if self.crop not in CROPS:
            raise ValueError(f"unknown crop {self.crop!r}; choose from {', '.join(CROPS)}")
        if self.corners is not None:
            object.__setattr__(self, "corners", check_corners(self.corners))
        object.__setattr__(self, "aspect", parse_aspect(self.aspect))
        object.__setattr__(self, "sensitivity", check_sensitivity(self.sensitivity))

    @property
    def module_passes(self) -> tuple[str, ...]:
        """The passes, never None (__post_init__ resolved them)."""
        return self.passes or ()


def check_options(options: object) -> CleanOptions:
    """options when it is a CleanOptions, a default one for None; TypeError for anything else
    (a style's name, say, which goes in CleanOptions(style=...))."""
    if options is None:
        return CleanOptions()
    if not isinstance(options, CleanOptions):
        hint = f"; for a style, pass CleanOptions(style={options!r})" if isinstance(options, str) else ""
        raise TypeError(f"options must be a CleanOptions, not {type(options).__name__}{hint}")
    return options


# --- the page's crop -----------------------------------------------------------------------

CROPS = ("auto", "none")
#: Named page proportions, short side over long side; the rectified page is turned as found.
NAMED_ASPECTS = {"a4": 210.0 / 297.0, "letter": 8.5 / 11.0}

Point = tuple[float, float]
Corners = tuple[Point, Point, Point, Point]


def parse_aspect(text: object) -> str | float:
    """An aspect: "auto", a named page ("a4", "letter"), "W:H" of two positive numbers, or a
    number, width over height (0.01 to 100). Raises ValueError (TypeError for other types)."""
    if isinstance(text, str):
        name = text.strip().lower()
        if name == "auto" or name in NAMED_ASPECTS:
            return name
        parts = name.split(":")
        try:
            numbers = [float(part) for part in parts]
        except ValueError:
            numbers = []
        if len(numbers) != 2 or not all(math.isfinite(n) and n > 0 for n in numbers):
            raise ValueError(f"aspect {text!r}: give auto, a4, letter or W:H of two positive numbers (such as 4:3)")
        value = numbers[0] / numbers[1]
    elif isinstance(text, (int, float)) and not isinstance(text, bool):
        value = float(text)
    else:
        raise TypeError(f"aspect must be a str or a number, not {type(text).__name__}")
    if not (math.isfinite(value) and 0.01 <= value <= 100):
        raise ValueError(f"aspect {text!r}: width over height must be 0.01 to 100")
    return value


def check_corners(corners: object) -> Corners:
    """Four (x, y) pairs of finite numbers, TL, TR, BR, BL, clockwise on the picture, making a
    convex quad of at least 9 square pixels. Raises ValueError."""
    message = "corners must be four (x, y) pairs of finite numbers: TL, TR, BR, BL"
    try:
        points = [(float(x), float(y)) for x, y in corners]  # type: ignore[attr-defined]
    except (TypeError, ValueError):
        raise ValueError(message) from None
    if len(points) != 4 or not all(math.isfinite(v) for point in points for v in point):
        raise ValueError(message)
    turns = []
    area = 0.0
    for k in range(4):
        (x0, y0), (x1, y1), (x2, y2) = points[k], points[(k + 1) % 4], points[(k + 2) % 4]
        turns.append((x1 - x0) * (y2 - y1) - (y1 - y0) * (x2 - x1))
        area += x0 * y1 - x1 * y0
    if not all(turn > 0 for turn in turns):
        raise ValueError("corners must make a convex quad in the order TL, TR, BR, BL (clockwise on the picture)")
    if area / 2 < 9:
        raise ValueError("corners enclose less than 9 square pixels")
    return (points[0], points[1], points[2], points[3])
