"""The cleaning road's native steps (vantrel_clean._steps): evening the light, sorting halved
pixels into paper and strokes with colour classes, the vote along strokes; and the inks fitted
to a picture's hue histogram."""

import dataclasses
import math
import sys
from pathlib import Path

import numpy as np
import pytest

from vantrel_clean import _steps
from vantrel_clean.drawing import InkDecision, classify_inks
from vantrel_clean.options import INK_RULES
from vantrel_clean.palette import HUE_BINS, NEUTRAL_BIN, clean_colour, fit_inks

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "benchmarks"))
from scoring import lab  # noqa: E402  (CIELAB written out in NumPy, independently of the steps)

FIELDS = _steps.HISTOGRAM_FIELDS


def hue_of(rgb):
    _, a, b = lab(rgb)
    return math.degrees(math.atan2(b, a)) % 360


def even(picture, exponent=1.0):
    height, width = picture.shape[:2]
    return np.frombuffer(_steps.even_background(picture, width, height, exponent), np.uint8).reshape(picture.shape)


def contrast_bytes(contrast, peak=None, tint=None, colour=None):
    """The planes classify_ink reads: smoothed contrast, peak and (when given) tint, uint16 (1.0 is
    black), then (when given, with the tint) the halved colour before whitening, RGB bytes."""
    peak = contrast if peak is None else peak
    planes = np.stack([contrast, peak] + ([] if tint is None else [tint])).clip(0, 1)
    data = np.round(planes * 65535).astype(np.uint16).tobytes()
    return data if colour is None else data + np.ascontiguousarray(colour, np.uint8).tobytes()


def classify(
    picture, contrast=None, peak=None, exponent=1.0, knee=0.0, sensitivity=1.0, tint=None, colour=None, **overrides
):
    """Classes of picture, deciding on contrast (by default 1 - the darkest sample / 255)."""
    height, width = picture.shape[:2]
    if contrast is None:
        contrast = 1 - picture.min(axis=2) / 255
    rules = dataclasses.replace(INK_RULES, **overrides)
    map_bytes = contrast_bytes(contrast, peak, tint, colour)
    codes, histogram = classify_inks(picture, map_bytes, InkDecision(exponent, knee, sensitivity, rules))
    return (
        np.frombuffer(codes, np.uint8).reshape(height, width),
        np.frombuffer(histogram, np.float64).reshape(HUE_BINS + 1, FIELDS),
    )


def pale_of(codes):
    return (codes.astype(int) - 1) % 2 == 1


def bins_of(codes):
    return (codes.astype(int) - 1) // 2


# Evening the light


@pytest.mark.parametrize("shape", [(1, 1), (1, 17), (17, 1), (33, 17), (300, 520)])
def test_even_paper_becomes_white_whatever_its_tint(shape):
    picture = np.empty((*shape, 3), np.uint8)
    picture[...] = (200, 180, 150)
    assert (even(picture) >= 254).all()


def test_even_keeps_ink_dark_under_a_light_gradient():
    height, width = 400, 600
    light = np.linspace(0.55, 1.0, width)[None, :, None]  # one side in shadow
    page = np.full((height, width, 3), 240.0) * light
    page[200:204, 50:550] *= 0.2  # a black stroke across the shadow
    page[300:304, 50:550] *= (0.9, 0.3, 0.3)  # a red one
    result = even(page.astype(np.uint8)).astype(int)
    paper = np.delete(result, np.r_[195:210, 295:310], axis=0)
    assert (paper >= 245).mean() > 0.99
    assert (result[201:203, 60:540] <= 60).all()  # 0.2 of the paper, everywhere along the stroke
    red = result[301:303, 60:540]
    assert (red[..., 0] >= 200).all() and (red[..., 1:] <= 90).all()


def test_even_exponent_darkens_faint_ink():
    picture = np.full((64, 64, 3), 230, np.uint8)
    picture[30:33, 5:60] = 190  # a faint grey stroke
    faint = [int(even(picture, e)[31, 30, 0]) for e in (1.0, 1.5, 2.5)]
    assert faint[0] > faint[1] > faint[2] and faint[2] < 200 < faint[0] + 20


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        ((b"\0" * 11, 2, 2, 1.0), ValueError, "takes 12 bytes, not 11"),
        ((b"", 0, 5, 1.0), ValueError, "at least 1"),
        ((b"\0" * 12, 2, 2, 0.0), ValueError, "exponent"),
        ((b"\0" * 12, 2, 2, float("nan")), ValueError, "exponent"),
        ((b"\0" * 12, 2**40, 2**40, 1.0), OverflowError, "too large"),
        (("text", 2, 2, 1.0), TypeError, None),
    ],
)
def test_even_refuses_bad_arguments(arguments, error, message):
    with pytest.raises(error, match=message):
        _steps.even_background(*arguments)


def test_even_result_is_a_writable_array_of_its_own():
    picture = np.full((5, 7, 3), 100, np.uint8)
    result = even(picture)
    result[0, 0] = 1  # writable, and not a view of the input
    assert picture[0, 0, 0] == 100


# Paper, strokes and classes


def white(height, width):
    return np.full((height, width, 3), 255, np.uint8)


def test_classify_keeps_strokes_with_a_seed_and_drops_the_rest():
    picture = white(20, 30)
    picture[2, 2:25] = 60  # a dark stroke
    picture[3, 2:25] = 200  # its soft edge: kept with it
    picture[10, 2:25] = 247  # a stroke of 3 % contrast on its own: no seed, gone
    picture[15, 5] = 0  # a dark speck of one pixel
    picture[17, 20:22] = 0  # and one of two
    codes, _ = classify(picture)
    assert (codes[2:4, 2:25] > 0).all()
    assert (codes[10] == 0).all() and codes[15, 5] == 0 and (codes[17] == 0).all()
    assert (codes[5:9] == 0).all()


def test_classify_keeps_faint_strokes_on_clean_paper_and_drops_them_in_noise():
    rng = np.random.default_rng(0)
    contrast = np.zeros((64, 128))
    contrast[:, 64:] = (0.03 + rng.normal(0, 0.02, (64, 64))).clip(0)  # grainy paper on the right
    contrast[30:32, 4:60] = contrast[30:32, 68:124] = 0.09  # a stroke of 9 % contrast on each
    codes, _ = classify(white(64, 128), contrast)
    assert (codes[30:32, 4:60] > 0).all() and (codes[:28, :60] == 0).all()
    assert (codes[:, 64:] > 0).mean() < 0.01  # the grain and the stroke lost in it stay paper


def test_classify_drops_blurred_show_through_and_keeps_a_sharp_stroke_as_faint():
    y, x = np.mgrid[0:40, 0:80]
    blurred = 0.12 * np.exp(-((y - 20) ** 2) / (2 * 3.0**2)) * np.exp(-(((x - 20) / 10.0) ** 4))
    sharp = np.where((np.abs(y - 20) <= 1) & (x > 45) & (x < 75), 0.12, 0.0)
    codes, _ = classify(white(40, 80), blurred + sharp)
    assert (codes[:, :40] == 0).all()
    assert (codes[19:22, 46:75] > 0).all()


def test_classify_keeps_a_faint_coloured_stroke_by_its_tint_and_drops_a_grey_one():
    # Both strokes are as dark (6 % contrast: below the seed floor); only the coloured one has a
    # tint, and it counts towards its seed.
    contrast = np.zeros((30, 60))
    contrast[8:10, 5:55] = contrast[20:22, 5:55] = 0.06
    tint = np.zeros_like(contrast)
    tint[8:10, 5:55] = 0.05
    codes, _ = classify(white(30, 60), contrast, tint=tint)
    assert (codes[8:10, 5:55] > 0).all()
    assert (codes[20:22] == 0).all()
    codes, _ = classify(white(30, 60), contrast)  # without the tint plane, as before
    assert (codes == 0).all()


def test_classify_does_not_take_a_slightly_tinted_paper_for_ink():
    # Paper evened a little off in one channel: 2 % contrast, all of it tint (a tint is never more
    # than the contrast). Counted twice it is still no stroke.
    faint = np.full((40, 40), 0.02)
    codes, _ = classify(white(40, 40), faint, tint=faint)
    assert (codes == 0).all()


def test_classify_draws_a_pale_printed_rule_narrower_than_a_short_stroke_of_its_profile():
    # The same profile across: a core of 20 % contrast with flanks of 9 % (45 % of the core).
    contrast = np.zeros((40, 120))
    for rows, columns in (((10, 11, 12), slice(5, 115)), ((28, 29, 30), slice(40, 60))):
        contrast[rows[0], columns] = contrast[rows[2], columns] = 0.09
        contrast[rows[1], columns] = 0.2
    codes, _ = classify(white(40, 120), contrast)
    assert (codes[11, 5:115] > 0).all() and pale_of(codes[11, 5:115]).all()  # the rule, pale ...
    assert (codes[10, 20:100] == 0).all() and (codes[12, 20:100] == 0).all()  # ... without its flanks
    assert (codes[28:31, 42:58] > 0).all()  # a short stroke keeps them


def test_classify_reads_the_colour_of_whitened_ink_from_before_the_whitening():
    # The module whitened a pale blue stroke (its green and blue passed the background cut): its
    # hue is read in the halved colour from before, where there is one; else it is grey.
    contrast = np.zeros((20, 60))
    contrast[8:11, 5:55] = 0.2
    tint = np.where(contrast > 0, 0.18, 0.0)
    colour = np.full((20, 60, 3), 255, np.uint8)
    colour[8:11, 5:55] = (204, 222, 250)
    codes, _ = classify(white(20, 60), contrast, tint=tint, colour=colour)
    assert (bins_of(codes[8:11, 5:55]) == int(hue_of((204, 222, 250)) // 5)).all()
    codes, _ = classify(white(20, 60), contrast, tint=tint)
    assert (codes[8:11, 5:55] > 0).all() and (bins_of(codes[8:11, 5:55]) == NEUTRAL_BIN).all()


def test_classify_keeps_filled_areas_whole_and_full():
    picture = white(80, 80)
    picture[10:70, 10:70] = 20  # a filled box, larger than a noise block
    codes, _ = classify(picture)
    assert (codes[10:70, 10:70] > 0).all() and not pale_of(codes[10:70, 10:70]).any()
    assert (codes[:9] == 0).all() and (codes[71:] == 0).all()


def test_classify_gives_a_stroke_one_tone_along_its_length():
    picture = white(30, 100)
    darkness = np.linspace(0.45, 0.95, 90)  # a pencil line, light at one end, dark at the other
    picture[5:7, 5:95] = np.round(255 * (1 - darkness))[None, :, None]
    picture[15:17, 5:95] = 200  # a faint stroke of its own: pale all along
    codes, _ = classify(picture)
    assert (codes[5:7, 5:95] > 0).all() and not pale_of(codes[5:7, 5:95]).any()
    assert (codes[15:17, 5:95] > 0).all() and pale_of(codes[15:17, 5:95]).all()


def test_classify_draws_a_thin_dark_line_full_from_its_peak():
    # The halving spreads a line one pixel wide over two pale rows; its peak keeps its darkness.
    contrast, peak = np.zeros((12, 40)), np.zeros((12, 40))
    contrast[5:7, 2:38], peak[5:7, 2:38] = 0.24, 0.95
    contrast[9, 2:38] = peak[9, 2:38] = 0.24  # a pale line, as pale at its peak
    codes, _ = classify(white(12, 40), contrast, peak)
    assert (codes[5:7, 2:38] > 0).all() and not pale_of(codes[5:7, 2:38]).any()
    assert pale_of(codes[9, 2:38]).all()


def test_classify_keeps_a_faint_rule_pale_where_a_dark_stroke_crosses_it():
    picture = white(40, 60)
    picture[20, :] = 190  # a printed rule, 25 % contrast
    picture[5:35, 30:32] = 10  # a pen stroke across it
    codes, _ = classify(picture)
    # Kept pale on both sides (within two pixels of the dark stroke it may give way to it).
    assert (codes[20, :28] > 0).all() and (codes[20, 34:] > 0).all()
    assert pale_of(codes[20, :27]).all() and pale_of(codes[20, 35:]).all()
    assert not pale_of(codes[5:35, 30:32]).any()


def test_classify_sensitivity_keeps_fainter_strokes():
    contrast = np.zeros((20, 60))
    contrast[8:10, 5:55] = 0.05
    assert (classify(white(20, 60), contrast)[0] == 0).all()
    assert (classify(white(20, 60), contrast, sensitivity=2.0)[0][8:10, 5:55] > 0).all()


def test_classify_joins_strokes_diagonally_and_counts_specks_whole():
    picture = white(12, 12)
    for i in range(3):  # three pixels touching at corners make one stroke
        picture[2 + i, 2 + i] = 0
    codes, _ = classify(picture, min_stroke=3)
    assert (np.diag(codes)[2:5] > 0).all()
    codes, _ = classify(picture, min_stroke=4)
    assert (codes == 0).all()


def test_classify_gives_hue_bins_and_neutral():
    picture = white(16, 40)
    inks = {"red": (200, 30, 40), "green": (30, 140, 60), "blue": (40, 60, 190), "teal": (0, 125, 130)}
    for row, colour in zip((1, 5, 9, 13), inks.values()):
        picture[row : row + 2, 2:38] = colour
    picture[15, 2:38] = (40, 40, 42)  # black ink, last row
    codes, histogram = classify(picture)
    for row, colour in zip((1, 5, 9, 13), inks.values()):
        expected = int(hue_of(colour) // (360 / HUE_BINS))
        assert (bins_of(codes[row : row + 2, 2:38]) == expected).all(), colour
    assert (bins_of(codes[15, 2:38]) == NEUTRAL_BIN).all()
    assert histogram[:, :2].sum() == (codes > 0).sum()
    L, a, _ = lab((40, 40, 42))
    assert histogram[NEUTRAL_BIN, 2] == pytest.approx(36 * L)  # sums of L*, a*, b* per bin


def test_classify_undoes_the_tone_curve_before_judging_colour():
    # A dark purple ink, toned with a power of 2.5, has lost most of its chroma: the classifier
    # judges it by the colour it had before.
    purple = np.array([110, 50, 150]) / 255
    toned = np.round(purple**2.5 * 255).astype(np.uint8)
    picture = white(6, 20)
    picture[2:4, 2:18] = toned
    before, after = (math.hypot(*lab(c)[1:]) for c in ((110, 50, 150), toned))
    cut = (before + after) / 2
    assert after < cut < before
    codes, _ = classify(picture, exponent=2.5, chroma_cut=cut)
    assert (bins_of(codes[2:4, 2:18]) == int(hue_of((110, 50, 150)) // 5)).all()
    codes, _ = classify(picture, exponent=1.0, chroma_cut=cut)
    assert (bins_of(codes[2:4, 2:18]) == NEUTRAL_BIN).all()


@pytest.mark.parametrize(
    "index, value, message",
    [
        (1, b"\0" * 15, "contrast map takes 16 bytes"),
        (1, b"\0" * 20, "or 24 with its tint"),
        (4, 0.0, "exponent"),
        (5, 0.5, "knee"),
        (6, 0.0, "sensitivity"),
        (6, float("inf"), "sensitivity"),
        (9, -1.0, "thresholds"),
        (12, float("nan"), "thresholds"),
        (17, -1, "min_stroke"),
        (18, -1.0, "chroma_cut"),
    ],
)
def test_classify_refuses_bad_arguments(index, value, message):
    arguments = [b"\xff" * 12, b"\0" * 16, 2, 2, 1.0, 0.0, 1.0, 3.0, 0.03, 6.0, 0.07, 0.4, 0.12, 0.25, 0.33, 0.45]
    arguments += [0.3, 3, 12.0]
    arguments[index] = value
    with pytest.raises(ValueError, match=message):
        _steps.classify_ink(*arguments)


# The vote along strokes


def test_vote_gives_a_stray_pixel_its_stroke_ink_and_keeps_paper_and_levels():
    red_full, red_pale, black, grey = 3, 4, 1, 2
    indexes = np.zeros((5, 12), np.uint8)
    indexes[2, 1:11] = red_full
    indexes[2, 5] = grey  # a pale neutral pixel in a red stroke: red, and still pale
    indexes[2, 8] = black
    voted = np.frombuffer(_steps.vote_inks(indexes, 12, 5, 2), np.uint8).reshape(5, 12)
    assert voted[2, 5] == red_pale and voted[2, 8] == red_full
    assert (voted[indexes == 0] == 0).all()
    assert (np.frombuffer(_steps.vote_inks(indexes, 12, 5, 0), np.uint8).reshape(5, 12) == indexes).all()


def test_vote_tie_keeps_the_pixel_own_ink():
    indexes = np.array([[3, 5]], np.uint8)  # two inks, one pixel each
    assert _steps.vote_inks(indexes, 2, 1, 1) == bytes([3, 5])


def test_vote_refuses_a_wrong_size():
    with pytest.raises(ValueError, match="do not make"):
        _steps.vote_inks(b"\0" * 5, 2, 3, 1)


@pytest.mark.parametrize("shape", [(1, 1), (1, 40), (40, 1), (33, 17), (1100, 1000)])
@pytest.mark.parametrize("radius", [0, 2])
def test_vote_through_a_lookup_is_the_vote_of_the_looked_up_indexes(shape, radius):
    rng = np.random.default_rng(radius)
    height, width = shape
    codes = rng.choice([0, 0, 0, 3, 4, 9, 10, 145, 146], size=shape).astype(np.uint8)
    lookup = np.zeros(256, np.uint8)
    lookup[[3, 4, 9, 10, 145, 146]] = [3, 4, 3, 4, 1, 2]  # two bins of one ink, and neutral
    voted = _steps.vote_inks(codes, width, height, radius, lookup)
    assert voted == _steps.vote_inks(lookup[codes], width, height, radius)
    if radius == 0:
        assert voted == lookup[codes].tobytes()


def test_vote_refuses_a_lookup_that_is_not_one_of_palette_indexes():
    codes = np.zeros((2, 2), np.uint8)
    with pytest.raises(ValueError, match="256 palette indexes"):
        _steps.vote_inks(codes, 2, 2, 1, bytes(255))
    with pytest.raises(ValueError, match="paper to paper"):
        _steps.vote_inks(codes, 2, 2, 1, bytes([5]) + bytes(255))


def test_class_codes_and_rule_defaults_come_from_the_steps():
    assert (_steps.PAPER_CODE, _steps.FIRST_CODE, _steps.CODES_PER_SLOT) == (0, 1, 2)
    assert NEUTRAL_BIN == _steps.NEUTRAL_BIN == HUE_BINS
    codes, _ = classify(white(3, 3), np.full((3, 3), 0.5))  # grey: neutral, pale or full
    assert set(bins_of(codes).ravel()) == {NEUTRAL_BIN}
    defaults = dataclasses.asdict(INK_RULES)
    assert {name: defaults[name] for name in _steps.INK_RULE_DEFAULTS} == _steps.INK_RULE_DEFAULTS


def test_vote_refuses_index_255_whose_pale_twin_is_past_a_byte():
    # Ink 127 at full strength: a pale pixel beside it took the ink as index 256, written as 0,
    # an ink pixel turned to paper.
    indexes = bytes([255, 255, 2])
    with pytest.raises(ValueError, match="0 to 254"):
        _steps.vote_inks(indexes, 3, 1, 1)
    assert _steps.vote_inks(bytes([253, 253, 2]), 3, 1, 1) == bytes([253, 253, 254])  # ink 126, pale
    with pytest.raises(ValueError, match="0 to 254"):
        _steps.vote_inks(bytes([3, 3, 4]), 3, 1, 1, bytes([0, 1, 2, 255]) + bytes(252))


# The inks of a picture


def histogram_with(peaks):
    """A histogram whose full-strength counts are peaks: {bin: count}, each spread over three bins."""
    table = np.zeros((HUE_BINS + 1, FIELDS))
    for centre, count in peaks.items():
        hue = math.radians(centre * 5 + 2.5)
        for offset, share in ((-1, 0.25), (0, 0.5), (1, 0.25)):
            row = table[(centre + offset) % HUE_BINS]
            row[0] += count * share
            row[2] += count * share * 50
            row[3] += count * share * 40 * math.cos(hue)
            row[4] += count * share * 40 * math.sin(hue)
    return table.tobytes()


def test_fit_inks_finds_each_peak_and_draws_it_in_its_hue():
    inks = fit_inks(histogram_with({5: 1000, 57: 800, 36: 600}))  # about 27, 287 and 182 degrees
    assert len(inks.hues) == 3
    for hue in (27.5, 182.5, 287.5):
        assert min(abs(hue - h) for h in inks.hues) < 1
    full = inks.lookup[1 + 2 * np.array([5, 57, 36])]
    pale = inks.lookup[2 + 2 * np.array([5, 57, 36])]
    for index, pale_index, centre in zip(full, pale, (5, 57, 36)):
        colour, tint = inks.palette[index], inks.palette[pale_index]
        assert abs((hue_of(colour) - (centre * 5 + 2.5) + 180) % 360 - 180) < 3
        assert lab(tint)[0] > lab(colour)[0] + 15  # the pale tint is lighter
    assert tuple(inks.palette[0]) == (255, 255, 255) and tuple(inks.palette[inks.lookup[1 + 2 * NEUTRAL_BIN]]) == (
        0,
        0,
        0,
    )


def test_fit_inks_merges_a_peak_without_a_valley_and_ignores_a_trace():
    inks = fit_inks(histogram_with({10: 1000, 12: 900, 40: 5}))
    assert len(inks.hues) == 1
    assert inks.lookup[1 + 2 * 40] == inks.lookup[1 + 2 * 10]  # the trace is drawn as the nearest ink


def test_fit_inks_of_a_page_without_colour():
    inks = fit_inks(np.zeros((HUE_BINS + 1, FIELDS)).tobytes())
    assert inks.hues == () and len(inks.palette) == 3


@pytest.mark.parametrize("hue", range(0, 360, 30))
def test_clean_colours_are_in_gamut_and_keep_hue_and_lightness(hue):
    colour = clean_colour(50.0, 80.0, math.radians(hue))
    L, a, b = lab(colour)
    assert abs(L - 50) < 1.5 and math.hypot(a, b) > 25
    assert abs((math.degrees(math.atan2(b, a)) - hue + 180) % 360 - 180) < 4
