"""Buffers: allocation, the interleaved picture in and out, single samples, release, dump."""

import numpy as np
import pytest

import vantrel
from conftest import allocate, run_fresh

c = vantrel.cvar


def picture(width, height, seed=0):
    return np.random.default_rng(seed).integers(0, 256, (height, width, 3), dtype=np.uint8).tobytes()


class TestCreateArrays:
    def test_buffers_are_zero_filled(self):
        allocate(4, 3, 2, 1)
        assert [vantrel.GetRed(i) for i in range(2)] == [0, 0]
        # The output planes are zero and read back as 1 in the picture text; data ends there.
        assert vantrel.GetData() == b"\x01" * 6

    def test_empty_picture_gives_empty_text(self):
        allocate(0, 0, 0, 0)
        for name in ("red", "outRed", "data"):
            assert getattr(c, name) != "NULL"
        assert vantrel.GetData() == b""

    def test_every_buffer_is_its_own_block(self):
        allocate(3, 3, 1, 1)
        names = ("data", "red", "green", "blue", "outRed", "outGreen", "outBlue")
        assert len({getattr(c, n) for n in names}) == 7

    @pytest.mark.parametrize("size", ["width", "height", "outWidth", "outHeight"])
    def test_negative_size_is_refused_and_nothing_allocated(self, size):
        c.width = c.height = c.outWidth = c.outHeight = 2
        setattr(c, size, -1)
        with pytest.raises(ValueError, match=f"{size} is negative"):
            vantrel.CreateArrays()
        assert c.red == "NULL" and c.data == "NULL"

    def test_overflowing_byte_count_is_refused(self):
        c.width = c.height = 2**31 - 1
        with pytest.raises(ValueError, match="too many"):
            vantrel.CreateArrays()
        assert c.red == "NULL"

    def test_failed_allocation_raises_memory_error_and_keeps_the_old_buffers(self):
        allocate(3, 3, 1, 1)
        before = [getattr(c, n) for n in ("data", "red", "outBlue")]
        c.width = c.height = 2**30
        with pytest.raises(MemoryError):
            vantrel.CreateArrays()
        assert [getattr(c, n) for n in ("data", "red", "outBlue")] == before
        c.width = c.height = 3
        vantrel.SetPixelData(1, 2, 3, 8)  # the old buffers are still the module's

    def test_second_call_replaces_the_buffers(self):
        allocate(3, 3, 1, 1)
        old = c.red
        allocate(5, 5, 2, 2)
        assert c.red != old
        vantrel.SetPixelData(9, 9, 9, 24)


class TestSetDataGetData:
    def test_round_trip_through_the_planes(self):
        allocate(2, 2, 2, 2)
        c.outRed, c.outGreen, c.outBlue = c.red, c.green, c.blue
        source = bytes([10, 20, 30, 0, 5, 255, 7, 8, 9, 100, 0, 200])
        vantrel.SetData(source)
        # Zero samples come back as 1.
        assert vantrel.GetData()[:12] == bytes([10, 20, 30, 1, 5, 255, 7, 8, 9, 100, 1, 200])
        assert vantrel.GetRed(1) == 0

    def test_text_continues_with_the_copied_source_up_to_the_first_zero(self):
        allocate(5, 5, 2, 2)
        source = bytes(range(1, 76))
        vantrel.SetData(source)
        text = vantrel.GetData()
        # 12 output bytes, then data[12:25] still holds source[12:25], then calloc's zeros.
        assert text == b"\x01" * 12 + source[12:25]

    def test_empty_output_returns_the_text_already_in_data(self):
        allocate(3, 2, 0, 0)
        vantrel.SetData(b"\x07" * 18)
        assert vantrel.GetData() == b"\x07" * 6

    @pytest.mark.parametrize("kind", [bytes, bytearray, memoryview])
    def test_any_byte_buffer_is_accepted(self, kind):
        allocate(3, 3, 3, 3)
        c.outRed, c.outGreen, c.outBlue = c.red, c.green, c.blue
        source = picture(3, 3)
        vantrel.SetData(kind(source))
        assert vantrel.GetData()[:27] == source.replace(b"\x00", b"\x01")

    def test_numpy_picture_is_read_without_conversion(self):
        allocate(17, 5, 17, 5)
        c.outRed, c.outGreen, c.outBlue = c.red, c.green, c.blue
        array = np.frombuffer(picture(17, 5, 3), dtype=np.uint8).reshape(5, 17, 3)
        vantrel.SetData(array)
        assert [vantrel.GetGreen(i) for i in range(17)] == list(array[0, :, 1])

    def test_extra_source_bytes_are_ignored(self):
        allocate(1, 1, 1, 1)
        c.outRed, c.outGreen, c.outBlue = c.red, c.green, c.blue
        vantrel.SetData(b"abcdef")
        assert vantrel.GetData() == b"abc"

    def test_short_picture_is_refused_and_planes_untouched(self):
        allocate(3, 3, 3, 3)
        c.outRed = c.red
        with pytest.raises(ValueError, match="holds 26 bytes"):
            vantrel.SetData(b"\xff" * 26)
        assert vantrel.GetRed(0) == 0

    def test_get_data_refuses_output_larger_than_data(self):
        allocate(2, 2, 2, 2)
        c.outWidth = 3
        with pytest.raises(ValueError, match="data holds 13 bytes"):
            vantrel.GetData()

    def test_get_data_never_reads_past_data(self):
        allocate(1, 1, 1, 1)
        for name in dir(vantrel):
            if name.startswith("Set") and name.endswith("Pixel"):
                getattr(vantrel, name)(9, 9, 9)  # no zero byte in any register
        c.data = c.leftPixel  # three bytes, and whatever lies after them is not data
        assert vantrel.GetData() == b"\x01\x01\x01"


class TestSamples:
    def test_set_pixel_writes_input_get_red_reads_output(self):
        allocate(3, 3, 1, 1)
        vantrel.SetPixelData(10, 20, 30, 0)
        assert (vantrel.GetRed(0), vantrel.GetGreen(0), vantrel.GetBlue(0)) == (0, 0, 0)
        c.outRed, c.outGreen, c.outBlue = c.red, c.green, c.blue
        assert (vantrel.GetRed(0), vantrel.GetGreen(0), vantrel.GetBlue(0)) == (10, 20, 30)

    def test_black_sample_reads_0_but_1_in_the_text(self):
        allocate(1, 1, 1, 1)
        assert vantrel.GetBlue(0) == 0
        assert vantrel.GetData()[:3] == b"\x01\x01\x01"

    @pytest.mark.parametrize("index", [-1, 9, 2**31 - 1])
    def test_set_pixel_outside_the_planes_is_refused(self, index):
        allocate(3, 3, 1, 1)
        with pytest.raises(IndexError, match="SetPixelData: index"):
            vantrel.SetPixelData(1, 1, 1, index)

    @pytest.mark.parametrize("function", [vantrel.GetRed, vantrel.GetGreen, vantrel.GetBlue])
    def test_get_outside_the_plane_is_refused(self, function):
        allocate(5, 5, 2, 2)
        function(3)
        with pytest.raises(IndexError, match="outside out"):
            function(4)
        with pytest.raises(IndexError):
            function(-1)

    def test_index_bound_is_the_buffer_not_the_current_sizes(self):
        allocate(3, 3, 1, 1)
        c.width = c.height = 100
        vantrel.SetPixelData(1, 1, 1, 8)
        with pytest.raises(IndexError):
            vantrel.SetPixelData(1, 1, 1, 9)


class TestReleasedAndNullBuffers:
    @pytest.mark.parametrize(
        "call",
        [
            lambda: vantrel.SetData(b""),
            lambda: vantrel.GetData(),
            lambda: vantrel.SetPixelData(0, 0, 0, 0),
            lambda: vantrel.GetRed(0),
            lambda: vantrel.GetGreen(0),
            lambda: vantrel.GetBlue(0),
        ],
    )
    def test_before_create_arrays(self, call):
        with pytest.raises(ValueError, match="is NULL; call CreateArrays first"):
            call()

    def test_cleanup_nulls_every_pointer_and_twice_is_harmless(self):
        allocate(3, 3, 1, 1)
        vantrel.Cleanup()
        names = ("data", "red", "green", "blue", "outRed", "outGreen", "outBlue")
        assert all(getattr(c, n) == "NULL" for n in names)
        vantrel.Cleanup()

    def test_shared_buffer_is_released_once(self):
        allocate(3, 3, 1, 1)
        c.red = c.green = c.blue = c.data
        vantrel.Cleanup()

    def test_stale_pointer_string_is_refused(self):
        allocate(3, 3, 1, 1)
        stale = c.outGreen
        vantrel.Cleanup()
        c.outGreen = stale  # adopted, as any pointer string is, but never touched
        assert c.outGreen == stale
        with pytest.raises(ValueError, match="outGreen names a buffer that was released"):
            vantrel.GetGreen(0)

    def test_register_as_a_plane_holds_three_samples(self):
        allocate(3, 3, 1, 1)
        c.outRed = c.centerPixel
        assert vantrel.GetRed(2) == 0
        with pytest.raises(IndexError, match=r"\(3 samples\)"):
            vantrel.GetRed(3)


def test_dump_before_any_size_prints_zeros():
    assert run_fresh("vantrel.dump()") == "Width  = 0.\nHeight = 0.\noutWidth = 0.\noutHeight = 0.\n"


def test_dump_prints_the_current_sizes():
    out = run_fresh(
        "c = vantrel.cvar\nc.width, c.height, c.outWidth, c.outHeight = 640, 480, -3, 7\nvantrel.dump()\nprint('after')"
    )
    assert out == "Width  = 640.\nHeight = 480.\noutWidth = -3.\noutHeight = 7.\nafter\n"
