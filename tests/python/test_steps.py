"""The cleaning road's native steps (vantrel_clean._steps): evening the light, sorting halved
pixels into paper and strokes with colour classes, the vote along strokes; and the inks fitted
to a picture's hue histogram."""

import math
import sys
from pathlib import Path

import numpy as np
import pytest

from vantrel_clean import _steps
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


def classify(picture, exponent=1.0, ink=235, seed=190, full=115, min_stroke=3, chroma=12.0):
    height, width = picture.shape[:2]
    codes, histogram = _steps.classify_ink(picture, width, height, exponent, ink, seed, full, min_stroke, chroma)
    return (
        np.frombuffer(codes, np.uint8).reshape(height, width),
        np.frombuffer(histogram, np.float64).reshape(HUE_BINS + 1, FIELDS),
    )


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
    picture[3, 2:25] = 220  # its faint edge: kept with it
    picture[10, 2:25] = 220  # a faint stroke on its own: no seed, gone
    picture[15, 5] = 0  # a dark speck of one pixel
    picture[17, 20:22] = 0  # and one of two
    codes, _ = classify(picture)
    assert (codes[2:4, 2:25] > 0).all()
    assert (codes[10] == 0).all() and codes[15, 5] == 0 and (codes[17] == 0).all()
    assert (codes[5:9] == 0).all()


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


def test_classify_undoes_the_exponent_before_judging_colour():
    # A dark purple ink, toned with a power of 2.5, has lost most of its chroma: the classifier
    # judges it by the colour it had before.
    purple = np.array([110, 50, 150]) / 255
    toned = np.round(purple**2.5 * 255).astype(np.uint8)
    picture = white(6, 20)
    picture[2:4, 2:18] = toned
    before, after = (math.hypot(*lab(c)[1:]) for c in ((110, 50, 150), toned))
    cut = (before + after) / 2
    assert after < cut < before
    codes, _ = classify(picture, exponent=2.5, chroma=cut)
    assert (bins_of(codes[2:4, 2:18]) == int(hue_of((110, 50, 150)) // 5)).all()
    codes, _ = classify(picture, exponent=1.0, chroma=cut)
    assert (bins_of(codes[2:4, 2:18]) == NEUTRAL_BIN).all()


def test_classify_draws_thin_strokes_full_beside_their_core():
    picture = white(12, 20)
    picture[2, 2:18] = 60  # full on its own
    picture[3, 2:18] = 170  # beside a full pixel and at most the seed level: full as well
    picture[8, 2:18] = 170  # a faint stroke of its own: pale
    codes, _ = classify(picture, seed=190, full=115)
    pale = (codes.astype(int) - 1) % 2 == 1
    assert not pale[2:4, 2:18].any()
    assert pale[8, 2:18].all()


@pytest.mark.parametrize("index, value", [(3, 0.0), (4, 256), (5, -1), (6, 300), (7, -2), (8, -1.0)])
def test_classify_refuses_bad_levels(index, value):
    arguments = [b"\xff" * 12, 2, 2, 1.0, 235, 190, 115, 3, 12.0]
    arguments[index] = value
    with pytest.raises(ValueError):
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
