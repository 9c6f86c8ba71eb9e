"""Ink ranges, ink levels and the re-colouring pass."""

import numpy as np
import pytest

import vantrel
from conftest import get_output, set_output
from pointers import pointer_at

c = vantrel.cvar


def ranges():
    return {
        ink: (getattr(c, ink + "InkMax"), getattr(c, ink + "InkMin"), getattr(c, ink + "InkRange"))
        for ink in ("red", "green", "blue")
    }


def recolour(pixel, **ink_bytes):
    set_output([[pixel]])
    for name, value in ink_bytes.items():
        setattr(c, name, value)
    vantrel.SetColors()
    return tuple(int(v) for v in get_output()[0, 0])


class TestStandardizeColors:
    @pytest.mark.parametrize(
        "value,level",
        [(16, 10), (17, 10), (18, 20), (19, 30), (21, 50), (25, 90), (26, 100), (27, 100), (200, 100), (0, 10)],
    )
    def test_levels_across_a_range_of_ten(self, value, level):
        c.redInkMin, c.redInkRange = 17, 10
        assert vantrel.StandardizeColors(value, vantrel.RED) == level

    @pytest.mark.parametrize("channel", [3, -1, 2**31 - 1])
    def test_unknown_channel_gives_zero(self, channel):
        assert vantrel.StandardizeColors(100, channel) == 0

    def test_load_time_zeros_give_10_at_zero_and_100_above(self):
        assert vantrel.StandardizeColors(0, 0) == 10
        assert vantrel.StandardizeColors(1, 0) == 100

    def test_zero_range_follows_ieee_division(self):
        c.blueInkMin, c.blueInkRange = 80, 0
        assert [vantrel.StandardizeColors(v, vantrel.BLUE) for v in (79, 80, 81)] == [10, 10, 100]

    def test_each_channel_reads_its_own_bytes(self):
        c.redInkMin, c.redInkRange = 0, 100
        c.greenInkMin, c.greenInkRange = 50, 100
        c.blueInkMin, c.blueInkRange = 100, 100
        assert [vantrel.StandardizeColors(100, k) for k in range(3)] == [100, 60, 10]

    def test_max_bytes_are_never_read(self):
        c.greenInkMin, c.greenInkRange, c.greenInkMax = 10, 20, 0
        assert vantrel.StandardizeColors(30, vantrel.GREEN) == 100


class TestCalculateColorRange:
    def test_single_red_pixel(self):
        set_output([[(200, 100, 50)]])
        vantrel.CalculateColorRange()
        assert ranges() == {"red": (124, 124, 0), "green": (0, 255, 1), "blue": (0, 255, 1)}
        vantrel.SetColors()
        assert tuple(get_output()[0, 0]) == (10, 5, 2)

    def test_ranges_of_each_ink(self):
        set_output(
            [
                [(200, 100, 50), (120, 40, 60), (40, 120, 30), (20, 30, 200), (10, 10, 90)],
                [(255, 201, 100), (0, 0, 0), (90, 140, 90), (0, 0, 250), (250, 250, 250)],
            ]
        )
        vantrel.CalculateColorRange()
        # Red: luminances 124, 66 and 205 for (255, 201, 100), which is background for SetColors.
        assert ranges()["red"] == (205, 66, 139)
        assert ranges()["green"] == (119, 85, 34)
        assert ranges()["blue"] == (46, 19, 27)

    def test_no_ink_leaves_max_0_min_255_range_1(self):
        set_output([[(0, 0, 0), (128, 128, 128), (255, 255, 255)]])
        vantrel.CalculateColorRange()
        assert set(ranges().values()) == {(0, 255, 1)}
        assert {vantrel.StandardizeColors(v, vantrel.GREEN) for v in range(256)} == {10}

    def test_empty_output(self):
        set_output(np.zeros((0, 0, 3), np.uint8))
        c.redInkMax = 9
        vantrel.CalculateColorRange()
        assert set(ranges().values()) == {(0, 255, 1)}

    def test_margin_of_exactly_50_is_ink_and_49_is_not(self):
        set_output([[(150, 100, 100), (149, 100, 100)]])
        vantrel.CalculateColorRange()
        assert ranges()["red"][0] == ranges()["red"][1] == int((0.299 * 150 + 0.587 * 100) + 0.114 * 100)


class TestSetColors:
    @pytest.mark.parametrize(
        "pixel,ink_bytes,after",
        [
            ((60, 6, 0), dict(redInkMin=17, redInkRange=10), (50, 4, 0)),
            ((200, 100, 50), dict(redInkMin=100, redInkRange=50), (50, 25, 12)),
            ((40, 120, 30), dict(greenInkMin=50, greenInkRange=40), (29, 90, 22)),
            ((20, 30, 200), dict(blueInkMin=30, blueInkRange=20), (8, 13, 90)),
        ],
    )
    def test_worked_ink_pixels(self, pixel, ink_bytes, after):
        assert recolour(pixel, **ink_bytes) == after

    @pytest.mark.parametrize(
        "pixel,after",
        [
            ((201, 201, 0), (255, 255, 255)),
            ((0, 201, 201), (255, 255, 255)),
            ((255, 201, 100), (255, 255, 255)),
            ((201, 0, 201), (45, 45, 45)),
            ((200, 200, 200), (120, 120, 120)),
            ((175, 175, 175), (90, 90, 90)),
            ((0, 0, 0), (0, 0, 0)),
            ((24, 24, 24), (0, 0, 0)),
            ((25, 25, 25), (15, 15, 15)),
            ((200, 200, 199), (105, 105, 105)),
            ((254, 200, 254), (120, 120, 120)),
        ],
    )
    def test_background_and_greys(self, pixel, after):
        assert recolour(pixel) == after

    def test_no_neutral_pixel_is_brighter_than_150(self):
        greys = np.array([[(v, v, v) for v in range(256)]], np.uint8)
        set_output(greys)
        vantrel.SetColors()
        out = get_output()[0, :, 0]
        assert out[:201].max() == 120 and set(out[:201]) <= set(range(0, 151, 15))

    def test_ink_on_load_time_zeros_becomes_level_100(self):
        assert recolour((250, 100, 0))[0] == 100

    def test_every_pixel_is_tested_on_its_samples_as_found(self):
        set_output([[(20, 30, 200), (201, 201, 0)] * 3])
        c.blueInkMin, c.blueInkRange = 30, 20
        vantrel.SetColors()
        assert [tuple(p) for p in get_output()[0]] == [(8, 13, 90), (255, 255, 255)] * 3

    def test_overlapping_planes_follow_the_order_of_visits(self):
        # outGreen one sample after outRed: each pixel's green store lands on the next pixel's
        # red, which that pixel then reads as found: greys 60, then 45 from luminance 88 and 83.
        set_output([[(100, 100, 100)] * 4])
        c.outGreen = pointer_at(c.outRed, 1)
        c.outWidth = 3
        vantrel.SetColors()
        assert [vantrel.GetRed(k) for k in range(3)] == [60, 45, 45]
        assert [vantrel.GetGreen(k) for k in range(3)] == [45, 45, 45]

    def test_output_larger_than_the_planes_is_refused(self):
        set_output([[(1, 2, 3)] * 4])
        c.outHeight = 2
        with pytest.raises(ValueError, match="SetColors: outRed holds 4 bytes, the call needs 8"):
            vantrel.SetColors()
        c.outHeight = 1
        assert tuple(get_output()[0, 0]) == (1, 2, 3)
