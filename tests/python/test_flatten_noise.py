"""Flatten and speck removal on the output planes."""

import numpy as np
import pytest

import vantrel
from conftest import get_output, set_output

c = vantrel.cvar

BLACK, WHITE, YELLOW = (0, 0, 0), (255, 255, 255), (255, 255, 0)


class TestFlatten:
    @pytest.mark.parametrize(
        "before,after",
        [
            ((255, 255, 255), (255, 255, 255)),
            ((254, 254, 254), (224, 224, 224)),
            ((230, 230, 230), (200, 200, 200)),
            ((201, 201, 0), (171, 171, 0)),
            ((0, 230, 230), (0, 200, 200)),
            ((10, 230, 100), (10, 230, 100)),
            ((200, 230, 230), (200, 230, 230)),
            ((255, 230, 230), (255, 230, 230)),
            ((230, 255, 230), (230, 255, 230)),
            ((230, 200, 230), (230, 200, 230)),
            ((30, 30, 30), (0, 0, 0)),
            ((199, 199, 255), (0, 0, 0)),
            ((255, 199, 199), (0, 0, 0)),
            ((255, 199, 255), (255, 199, 255)),
            ((199, 200, 199), (199, 200, 199)),
            ((0, 255, 0), (0, 255, 0)),
            ((20, 220, 210), (0, 190, 180)),
        ],
    )
    def test_single_pixels(self, before, after):
        set_output([[before]])
        vantrel.Flatten()
        assert tuple(get_output()[0, 0]) == after

    def test_pale_pixel_darkens_on_every_call_until_dark(self):
        set_output([[(250, 250, 0)]])
        seen = []
        for _ in range(3):
            vantrel.Flatten()
            seen.append(tuple(get_output()[0, 0]))
        assert seen == [(220, 220, 0), (190, 190, 0), (0, 0, 0)]

    def test_never_writes_white(self):
        rng = np.random.default_rng(1)
        picture = rng.integers(150, 256, (9, 17, 3), dtype=np.uint8)
        set_output(picture)
        vantrel.Flatten()
        out = get_output()
        changed = (out != picture).any(axis=2)
        assert not (out[changed] == 255).any()

    def test_visits_out_width_times_out_height_samples(self):
        set_output([[(30, 30, 30)] * 6])
        c.outWidth, c.outHeight = 2, 2
        vantrel.Flatten()
        c.outWidth, c.outHeight = 6, 1
        assert [tuple(p) for p in get_output()[0]] == [BLACK] * 4 + [(30, 30, 30)] * 2

    def test_more_samples_than_the_planes_is_refused(self):
        set_output([[(30, 30, 30)] * 6])
        c.outWidth = 7
        with pytest.raises(ValueError, match="Flatten: outRed holds 6 bytes, the call needs 7"):
            vantrel.Flatten()
        c.outWidth = 6
        assert (get_output() == 30).all()


def row(*pixels):
    return [list(pixels)]


class TestRemoveNoise:
    def test_one_row_example_with_limit_one(self):
        set_output(row(BLACK, BLACK, WHITE, WHITE, BLACK, BLACK, WHITE, WHITE, BLACK))
        vantrel.RemoveNoise(1)
        assert [tuple(p) for p in get_output()[0]] == [BLACK, WHITE, WHITE, WHITE, BLACK, BLACK, WHITE, WHITE, WHITE]
        vantrel.RemoveNoise(1)
        assert [tuple(p) for p in get_output()[0]] == [WHITE] * 4 + [BLACK] * 2 + [WHITE] * 3

    def test_column_zero_counts_only_for_itself(self):
        set_output(row(BLACK, YELLOW, YELLOW, WHITE, WHITE))
        vantrel.RemoveNoise(0)
        assert [tuple(p) for p in get_output()[0]] == [BLACK] + [WHITE] * 4

    def test_erasure_earlier_in_the_row_counts_no_more(self):
        pixels = [WHITE] * 9
        pixels[2], pixels[6], pixels[4] = BLACK, BLACK, YELLOW
        set_output(row(*pixels))
        vantrel.RemoveNoise(1)
        assert [tuple(p) for p in get_output()[0]] == [WHITE] * 9

    def test_only_every_seventh_row_changes(self):
        picture = np.full((15, 6, 3), 255, np.uint8)
        picture[:, 3] = BLACK
        set_output(picture)
        vantrel.RemoveNoise(35)
        out = get_output()
        changed_rows = sorted({int(r) for r in np.nonzero((out != picture).any(axis=(1, 2)))[0]})
        assert changed_rows == [0, 7, 14]
        assert (out[[0, 7, 14]] == 255).all()

    def test_window_of_row_seven_in_an_eight_row_picture(self):
        picture = np.full((8, 5, 3), 255, np.uint8)
        picture[4, 2] = BLACK  # three rows above row 7: counts
        picture[7, 2] = (200, 255, 200)
        set_output(picture)
        vantrel.RemoveNoise(0)
        assert tuple(get_output()[7, 2]) == (200, 255, 200)
        picture[4, 2] = WHITE
        picture[3, 2] = BLACK  # four rows above: does not count
        set_output(picture)
        vantrel.RemoveNoise(0)
        assert tuple(get_output()[7, 2]) == WHITE

    @pytest.mark.parametrize("column,counts", [(5, True), (9, True), (4, False), (10, False)])
    def test_window_reaches_two_columns_either_side(self, column, counts):
        picture = np.full((1, 12, 3), 255, np.uint8)
        picture[0, 7] = YELLOW
        picture[0, column] = BLACK
        set_output(picture)
        vantrel.RemoveNoise(0)
        assert tuple(get_output()[0, 7]) == (YELLOW if counts else WHITE)

    def test_negative_limit_changes_nothing_and_35_whitens_the_row(self):
        picture = np.zeros((8, 6, 3), np.uint8)
        set_output(picture)
        vantrel.RemoveNoise(-1)
        assert (get_output() == 0).all()
        vantrel.RemoveNoise(35)
        out = get_output()
        assert (out[[0, 7]] == 255).all() and (out[1:7] == 0).all()

    def test_limit_zero_keeps_dark_pixels(self):
        set_output(row(BLACK, WHITE, WHITE, WHITE, BLACK))
        vantrel.RemoveNoise(0)
        assert tuple(get_output()[0, 0]) == BLACK and tuple(get_output()[0, 4]) == BLACK

    def test_empty_sizes_change_nothing(self):
        set_output(row(BLACK, BLACK))
        c.outWidth = 0
        vantrel.RemoveNoise(100)
        vantrel.Flatten()
        c.outWidth = 2
        assert (get_output() == 0).all()
