"""Calculate (background whitening and B-spline downsampling), the three kernels and the
register setters."""

import numpy as np
import pytest

import vantrel
from conftest import allocate, get_output, register
from model import REGISTERS

c = vantrel.cvar

SETTERS = {name: getattr(vantrel, "Set" + name[0].upper() + name[1:]) for name in REGISTERS}
BSPLINE = np.array([[1, 2, 1], [2, 4, 2], [1, 2, 1]])


def whitened(picture):
    r, g, b = (picture[..., k].astype(int) for k in range(3))
    light = (g > 200) & ((r > 200) | (b > 200))
    out = picture.copy()
    out[light] = 255
    return out


def downsampled(picture):
    """The written block: one B-spline result per odd row and odd column off the border."""
    h, w = picture.shape[:2]
    rows, columns = max((h - 1) // 2, 0), max((w - 1) // 2, 0)
    out = np.zeros((rows, columns, 3), dtype=np.uint8)
    for i in range(rows):
        for j in range(columns):
            window = picture[2 * i : 2 * i + 3, 2 * j : 2 * j + 3].astype(int)
            out[i, j] = (window * BSPLINE[..., None]).sum(axis=(0, 1)) // 16
    return out


def load(picture, out_width=None, out_height=None):
    h, w = picture.shape[:2]
    allocate(w, h, out_width, out_height)
    vantrel.SetData(picture.tobytes())


def input_planes():
    """The input planes, read through the output variables, which are put back afterwards."""
    saved = c.outRed, c.outGreen, c.outBlue, c.outWidth, c.outHeight
    c.outRed, c.outGreen, c.outBlue = c.red, c.green, c.blue
    c.outWidth, c.outHeight = c.width, c.height
    try:
        return get_output()
    finally:
        c.outRed, c.outGreen, c.outBlue, c.outWidth, c.outHeight = saved


def random_picture(width, height, seed=0):
    return np.random.default_rng(seed).integers(0, 256, (height, width, 3), dtype=np.uint8)


class TestCalculate:
    def test_three_by_three_gives_one_pixel_from_the_whole_picture(self):
        picture = random_picture(3, 3, 1) // 2  # nothing whitens
        load(picture, 4, 1)
        vantrel.Calculate()
        assert tuple(get_output()[0, 0]) == tuple(downsampled(picture)[0, 0])
        assert c.pos == 4

    def test_five_by_five_uses_the_centres_on_odd_rows_and_columns(self):
        picture = random_picture(5, 5, 2) // 2
        load(picture)
        vantrel.Calculate()
        np.testing.assert_array_equal(get_output(), downsampled(picture))
        assert c.pos == 2 * c.outWidth

    @pytest.mark.parametrize("width,height", [(17, 9), (33, 6), (8, 7), (64, 5)])
    def test_block_matches_whitened_neighbourhoods(self, width, height):
        picture = random_picture(width, height, width)
        picture[::3, ::2] = (230, 240, 100)  # some background to whiten
        load(picture)
        vantrel.Calculate()
        np.testing.assert_array_equal(get_output(), downsampled(whitened(picture)))
        np.testing.assert_array_equal(input_planes(), whitened(picture))

    def test_640_by_480_leaves_the_last_output_column_and_row_alone(self):
        picture = random_picture(640, 480, 3)
        load(picture, 320, 240)
        # Mark the output planes through the input planes' variables and sizes.
        planes = c.red, c.green, c.blue
        c.red, c.green, c.blue = c.outRed, c.outGreen, c.outBlue
        c.width, c.height = 320, 240
        vantrel.SetData(b"\x07" * (3 * 320 * 240))
        c.red, c.green, c.blue = planes
        c.width, c.height = 640, 480
        vantrel.SetData(picture.tobytes())
        vantrel.Calculate()
        out = np.frombuffer(vantrel.GetData()[: 3 * 320 * 240], np.uint8).reshape(240, 320, 3)
        expected = downsampled(whitened(picture))  # 239 x 319, never reads column 639 or row 479
        np.testing.assert_array_equal(out[:239, :319], np.maximum(expected, 1))
        assert (out[:, 319] == 7).all() and (out[239] == 7).all()
        assert c.pos == 239 * 320

    @pytest.mark.parametrize("width,height", [(2, 9), (9, 2), (1, 1), (0, 4)])
    def test_narrow_or_low_input_is_whitened_but_writes_nothing(self, width, height):
        picture = np.full((height, width, 3), (210, 220, 0), np.uint8)
        load(picture, 3, 3)
        c.pos = 5
        vantrel.Calculate()
        assert (get_output() == 0).all()
        assert (input_planes() == 255).all()
        assert c.pos == 0 if height < 3 else (height - 1) // 2 * 3

    @pytest.mark.parametrize(
        "pixel,after",
        [
            ((201, 201, 0), (255, 255, 255)),
            ((0, 201, 201), (255, 255, 255)),
            ((255, 255, 200), (255, 255, 255)),
            ((255, 200, 255), (255, 200, 255)),
            ((200, 200, 200), (200, 200, 200)),
            ((255, 0, 255), (255, 0, 255)),
        ],
    )
    def test_whitening_needs_green_above_the_cut_with_red_or_blue(self, pixel, after):
        picture = np.full((3, 3, 3), pixel, np.uint8)
        load(picture)
        vantrel.Calculate()
        assert (input_planes() == after).all()

    def test_second_run_changes_nothing(self):
        picture = random_picture(9, 7, 4)
        picture[1::2] = (240, 250, 10)
        load(picture)
        vantrel.Calculate()
        first_out, first_in = get_output(), input_planes()
        vantrel.Calculate()
        np.testing.assert_array_equal(get_output(), first_out)
        np.testing.assert_array_equal(input_planes(), first_in)

    def test_registers_hold_the_last_neighbourhood(self):
        picture = random_picture(6, 6, 5) // 2
        load(picture)
        vantrel.Calculate()
        # Last centre: row 3, column 3 (the written block is 2 x 2).
        assert register("centerPixel") == tuple(picture[3, 3])
        assert register("topLeftPixel") == tuple(picture[2, 2])
        assert register("bottomRightPixel") == tuple(picture[4, 4])
        assert register("leftPixel") == tuple(picture[3, 2])

    def test_output_row_start_follows_out_width(self):
        picture = random_picture(7, 7, 6) // 2
        load(picture, 5, 3)
        vantrel.Calculate()
        out = get_output()
        np.testing.assert_array_equal(out[:, :3], downsampled(picture))
        assert (out[:, 3:] == 0).all()

    def test_overlapping_rows_when_out_width_is_small(self):
        picture = random_picture(9, 9, 7) // 2
        load(picture, 2, 5)  # rows of 4 placed 2 apart: each row overwrites half of the one before
        vantrel.Calculate()
        block = downsampled(picture)
        flat = np.zeros((10, 3), np.uint8)
        for i in range(4):
            flat[2 * i : 2 * i + 4] = block[i]
        np.testing.assert_array_equal(get_output().reshape(-1, 3), flat)


class TestCalculateRefusals:
    def test_input_planes_smaller_than_the_sizes(self):
        allocate(5, 5)
        c.width = 6
        with pytest.raises(ValueError, match="Calculate: red holds 25 bytes, the call needs 30"):
            vantrel.Calculate()
        assert c.pos == 0

    def test_written_block_past_the_output_planes(self):
        allocate(9, 9, 3, 4)
        with pytest.raises(ValueError, match="outRed holds 12 bytes, the call needs 13"):
            vantrel.Calculate()

    def test_negative_out_width_with_several_rows(self):
        allocate(9, 9)
        c.outWidth = -1
        with pytest.raises(ValueError, match="outWidth is negative"):
            vantrel.Calculate()

    def test_input_as_one_output_plane_is_still_in_order(self):
        picture = random_picture(5, 5, 8) // 2
        load(picture)
        c.outRed = c.red  # outRed[0..3] overwrites red samples the later centres still read
        vantrel.Calculate()
        red = picture[..., 0].astype(int).ravel().copy()
        expected = []
        for i, j in [(0, 0), (0, 1), (1, 0), (1, 1)]:
            window = red.reshape(5, 5)[2 * i : 2 * i + 3, 2 * j : 2 * j + 3]
            value = int((window * BSPLINE).sum() // 16)
            red[j + i * 2] = value
            expected.append(value)
        assert [vantrel.GetRed(k) for k in range(4)] == expected


class TestKernels:
    def set_all(self, value):
        for setter in SETTERS.values():
            setter(value, value, value)

    def test_average_of_white_is_white(self):
        allocate(3, 3, 1, 1)
        self.set_all(255)
        vantrel.AverageFilter()
        assert tuple(get_output()[0, 0]) == (255, 255, 255)

    def test_average_rounds_down(self):
        allocate(3, 3, 1, 1)
        self.set_all(255)
        vantrel.SetTopRightPixel(254, 254, 254)
        vantrel.AverageFilter()
        assert tuple(get_output()[0, 0]) == (254, 254, 254)
        self.set_all(0)
        vantrel.SetCenterPixel(255, 255, 255)
        vantrel.AverageFilter()
        assert tuple(get_output()[0, 0]) == (28, 28, 28)

    @pytest.mark.parametrize(
        "name,expected",
        [("centerPixel", 63), ("topPixel", 31), ("rightPixel", 31), ("topLeftPixel", 15), ("bottomRightPixel", 15)],
    )
    def test_bspline_weights(self, name, expected):
        allocate(3, 3, 1, 1)
        self.set_all(0)
        SETTERS[name](255, 255, 255)
        vantrel.BSplineFilter()
        assert tuple(get_output()[0, 0]) == (expected,) * 3
        self.set_all(255)
        vantrel.BSplineFilter()
        assert tuple(get_output()[0, 0]) == (255, 255, 255)

    def test_center_filter_copies_the_centre(self):
        allocate(3, 3, 1, 1)
        self.set_all(200)
        vantrel.SetCenterPixel(1, 2, 3)
        vantrel.CenterFilter()
        assert tuple(get_output()[0, 0]) == (1, 2, 3)

    def test_channels_never_mix(self):
        allocate(3, 3, 1, 1)
        self.set_all(100)
        vantrel.BSplineFilter()
        before = tuple(get_output()[0, 0])
        for setter in SETTERS.values():
            setter(250, 100, 100)
        vantrel.BSplineFilter()
        assert tuple(get_output()[0, 0]) == (250, before[1], before[2])

    def test_kernel_writes_at_pos_without_advancing(self):
        allocate(5, 5, 2, 2)
        self.set_all(90)
        c.pos = 3
        vantrel.AverageFilter()
        vantrel.AverageFilter()
        assert c.pos == 3
        assert [tuple(p) for p in get_output().reshape(-1, 3)] == [(0, 0, 0)] * 3 + [(90, 90, 90)]

    @pytest.mark.parametrize("pos", [-1, 4, 2**31 - 1])
    @pytest.mark.parametrize("kernel", [vantrel.CenterFilter, vantrel.AverageFilter, vantrel.BSplineFilter])
    def test_pos_outside_the_output_planes_is_refused(self, kernel, pos):
        allocate(5, 5, 2, 2)
        c.pos = pos
        with pytest.raises(IndexError, match="outside outRed|negative"):
            kernel()
        assert (get_output() == 0).all()

    def test_kernel_before_create_arrays_is_refused(self):
        with pytest.raises(ValueError, match="NULL"):
            vantrel.BSplineFilter()

    def test_register_setter_changes_only_its_register(self):
        for k, setter in enumerate(SETTERS.values()):
            setter(k, k + 10, k + 20)
        vantrel.SetTopPixel(200, 201, 202)
        values = {name: register(name) for name in REGISTERS}
        assert values["topPixel"] == (200, 201, 202)
        for k, name in enumerate(REGISTERS):
            if name != "topPixel":
                assert values[name] == (k, k + 10, k + 20)

    def test_register_setter_takes_bytes_only(self):
        with pytest.raises(OverflowError):
            vantrel.SetLeftPixel(0, 256, 0)
        with pytest.raises(TypeError):
            vantrel.SetLeftPixel(0, 0)
