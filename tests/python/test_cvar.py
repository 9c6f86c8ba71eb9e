"""The link object cvar: the 30 variables, their families, messages and refusals."""

import pytest

import vantrel
from conftest import INK_BYTES, allocate, run_fresh
from model import BUFFERS, INTEGERS, REGISTERS

c = vantrel.cvar

NAMES = [*INTEGERS, *BUFFERS, *INK_BYTES, *REGISTERS]  # the published order


def test_listing_names_the_30_variables_in_order():
    assert str(c) == "Global variables { " + ", ".join(NAMES) + " }"
    assert run_fresh("print(vantrel.cvar)") == "Global variables { " + ", ".join(NAMES) + " }\n"


def test_introspection_sees_the_30_names():
    assert sorted(dir(c)) == sorted(NAMES)
    assert isinstance(c, type(c)) and not isinstance(c, int)
    assert getattr(c, "__class__") is type(c)
    import pydoc

    assert "varlink" in pydoc.render_doc(c)


def test_the_varlink_type_is_closed_like_a_static_type():
    kind = type(c)
    assert kind.__name__ == "varlink"
    with pytest.raises(TypeError, match="cannot create"):
        kind()
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (kind,), {})
    with pytest.raises(TypeError, match="immutable type"):
        kind.extra = 1


def test_initial_values():
    out = run_fresh("c = vantrel.cvar\nprint([getattr(c, n) for n in " + repr(NAMES[:21]) + "])")
    assert out == repr([0] * 5 + ["NULL"] * 7 + [0] * 9) + "\n"


class TestIntegers:
    @pytest.mark.parametrize("name", INTEGERS)
    def test_round_trip_including_negative(self, name):
        for value in (640, -5, 2**31 - 1, -(2**31)):
            setattr(c, name, value)
            assert getattr(c, name) == value

    def test_text_is_refused_and_value_kept(self):
        c.width = 640
        with pytest.raises(TypeError) as caught:
            c.width = "640"
        assert str(caught.value) == "C variable 'width'(int )"
        assert c.width == 640

    @pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 2**70, 1.5, None])
    def test_out_of_range_or_wrong_kind_is_refused(self, value):
        c.outHeight = 7
        with pytest.raises(TypeError, match=r"^C variable 'outHeight'\(int \)$"):
            c.outHeight = value
        assert c.outHeight == 7

    def test_objects_with_index_are_integers(self):
        import numpy as np

        c.pos = np.int64(12)
        c.height = True
        assert (c.pos, c.height) == (12, 1)


class TestBytes:
    @pytest.mark.parametrize("name", INK_BYTES)
    def test_low_eight_bits_are_stored(self, name):
        setattr(c, name, 300)
        assert getattr(c, name) == 44
        setattr(c, name, -1)
        assert getattr(c, name) == 255

    def test_wrong_kind_is_refused_and_value_kept(self):
        c.redInkMax = 9
        for value in ("9", 2**80, 2.0):
            with pytest.raises(TypeError, match=r"^C variable 'redInkMax'\(unsigned char \)$"):
                c.redInkMax = value
        assert c.redInkMax == 9


class TestBuffers:
    def test_two_variables_can_name_one_buffer(self):
        allocate(3, 3, 1, 1)
        c.red = c.outRed
        assert c.red == c.outRed
        c.red = "NULL"
        assert c.red == "NULL"

    @pytest.mark.parametrize("name", BUFFERS)
    def test_non_text_is_refused(self, name):
        with pytest.raises(TypeError, match=rf"^C variable '{name}'\(unsigned char \*\)$"):
            setattr(c, name, 5)
        with pytest.raises(TypeError):
            setattr(c, name, b"NULL")

    @pytest.mark.parametrize(
        "text", ["_10_int_p", "null", "", "_1A_unsigned_char_p", "_10_unsigned_char_p\0x", "_10_unsigned_char"]
    )
    def test_other_texts_are_refused_and_value_kept(self, text):
        allocate(3, 3, 1, 1)
        before = c.red
        with pytest.raises(TypeError, match=r"^Type error in value of red\. Expected _unsigned_char_p\.$"):
            c.red = text
        assert c.red == before

    def test_register_pointer_is_accepted_by_a_buffer(self):
        c.data = c.leftPixel
        assert c.data == c.leftPixel

    def test_pointer_strings_round_trip_at_full_width(self):
        for text in (
            "_1_unsigned_char_p",
            "_7fffffffffff_unsigned_char_p",
            "_ffffffffffffffff_unsigned_char_p",
            "__unsigned_char_p",
        ):
            c.blue = text
            assert c.blue == (text if text != "__unsigned_char_p" else "NULL")
        c.blue = "NULL"

    def test_text_is_lower_case_hex_of_the_address(self):
        allocate(3, 3, 1, 1)
        text = c.outBlue
        assert text.startswith("_") and text.endswith("_unsigned_char_p")
        digits = text[1 : -len("_unsigned_char_p")]
        assert digits == format(int(digits, 16), "x")


class TestRegisters:
    @pytest.mark.parametrize("name", REGISTERS)
    def test_read_only_with_a_fixed_address(self, name):
        first = getattr(c, name)
        assert first == getattr(c, name) and first != "NULL"
        with pytest.raises(TypeError, match=rf"^Variable {name} is read-only\.$"):
            setattr(c, name, "NULL")
        assert getattr(c, name) == first

    def test_registers_are_distinct(self):
        assert len({getattr(c, n) for n in REGISTERS}) == 9


class TestNames:
    @pytest.mark.parametrize("name", ["Width", "depth", "_depth_", "x" * 500])
    def test_unknown_name_is_a_name_error_with_the_whole_name(self, name):
        with pytest.raises(NameError) as caught:
            getattr(c, name)
        assert str(caught.value) == f"C global variable {name} not found."
        with pytest.raises(NameError, match="not found"):
            setattr(c, name, 1)
        assert name not in dir(c)

    def test_deleting_a_variable_is_refused(self):
        c.width = 3
        with pytest.raises(TypeError, match="cannot be deleted"):
            del c.width
        assert c.width == 3
        with pytest.raises(NameError):
            del c.depth

    def test_protocol_names_follow_the_interpreter(self):
        assert getattr(c, "__name__", None) is None
        assert not hasattr(c, "__len__")
        with pytest.raises(NameError, match="C global variable __foo__ not found"):
            c.__foo__ = 1

    def test_name_with_a_zero_character_is_unknown(self):
        with pytest.raises(NameError):
            getattr(c, "width\0")
