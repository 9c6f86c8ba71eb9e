"""Random call sequences through the whole module: no sequence of calls and cvar assignments
crashes the interpreter or touches memory outside a live buffer (the sanitizer run sees any
stray access); a refused call raises a clear exception and changes nothing; an accepted call
does what the reference model does.

The machine mirrors the module in the reference model. Memory is resolved by address: a buffer
variable holds an address, which names a byte of a live block (a buffer of the last CreateArrays
or a register) or of nothing the module still owns (a stale pointer). The model runs an accepted
call with the variables resolved that way, on blocks that refuse negative indexes, and after
every step the whole state must agree: sizes, pos, ink bytes, the pointer strings, and every
byte of every live block and register, read back through GetRed. The model does not run a
refused call, so agreement after one means the call changed nothing. A refused call is also
run on a copy of the model, which must fail as well: the module refuses only what would touch
memory outside the buffers.

Examples and steps come from the Hypothesis profile (tests/python/conftest.py).
"""

import copy
import operator
import random

import pytest
from hypothesis import event, given, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

import vantrel
from conftest import reset_state
from pointers import address
from model import BUFFERS, INK_BYTES, INTEGERS, REGISTERS, Model

c = vantrel.cvar
INT_MIN, INT_MAX = -(2**31), 2**31 - 1
LONG_MIN, LONG_MAX = -(2**63), 2**63 - 1
VARIABLES = INTEGERS + BUFFERS + tuple(INK_BYTES) + REGISTERS
REFUSALS = (TypeError, ValueError, IndexError, OverflowError, MemoryError, BufferError)
SETTERS = tuple("Set" + name[0].upper() + name[1:] for name in REGISTERS)
ARITY = {
    "dump": 0,
    "GetBlue": 1,
    "GetGreen": 1,
    "GetRed": 1,
    **{name: 3 for name in SETTERS},
    "BSplineFilter": 0,
    "AverageFilter": 0,
    "CenterFilter": 0,
    "RemoveNoise": 1,
    "Flatten": 0,
    "StandardizeColors": 2,
    "CalculateColorRange": 0,
    "SetColors": 0,
    "Cleanup": 0,
    "Calculate": 0,
    "SetPixelData": 4,
    "CreateArrays": 0,
    "SetData": 1,
    "GetData": 0,
}
RESULTS = ("GetData", "GetRed", "GetGreen", "GetBlue", "StandardizeColors")
# Samples at and around the thresholds the passes test.
EDGES = (0, 1, 24, 25, 30, 31, 49, 50, 51, 99, 100, 101, 149, 150, 151, 199, 200, 201, 229, 230, 231, 254, 255)
STALE = object()
INPUTS, OUTPUTS = ("red", "green", "blue"), ("outRed", "outGreen", "outBlue")
USES = {
    "SetData": INPUTS + ("data",),
    "GetData": ("data",) + OUTPUTS,
    "SetPixelData": INPUTS,
    "GetRed": ("outRed",),
    "GetGreen": ("outGreen",),
    "GetBlue": ("outBlue",),
    "Calculate": INPUTS + OUTPUTS,
    **{
        name: OUTPUTS
        for name in (
            "CenterFilter",
            "AverageFilter",
            "BSplineFilter",
            "Flatten",
            "RemoveNoise",
            "CalculateColorRange",
            "SetColors",
        )
    },
}


class Index:
    """An object that is an integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value})"


class Block(bytearray):
    """A model block that refuses negative indexes, which a bytearray would wrap."""

    def __getitem__(self, index):
        if isinstance(index, int) and index < 0:
            raise IndexError("negative index into a block")
        return super().__getitem__(index)

    def __setitem__(self, index, value):
        if isinstance(index, int) and index < 0:
            raise IndexError("negative index into a block")
        super().__setitem__(index, value)


def as_integer(value):
    """The integer the interpreter's conversion makes of value, or None."""
    try:
        return operator.index(value)
    except TypeError:
        return None


small_sizes = st.integers(0, 9) | st.sampled_from([12, 17])
huge_sizes = st.sampled_from([INT_MIN, -(2**20), -7, -1, 2**16, 2**30, INT_MAX])
out_of_range = st.sampled_from([INT_MAX + 1, INT_MIN - 1, 2**63, -(2**64), 10**30])
wrong_kinds = st.sampled_from(["640", "", 1.5, None, b"3", [1], (), {}, 2j])
int_values = small_sizes | huge_sizes | st.integers(-3, 40) | out_of_range | wrong_kinds | st.builds(Index, small_sizes)
byte_args = st.integers(0, 255) | st.sampled_from(EDGES) | st.sampled_from([-1, 256, 2**40, True]) | wrong_kinds
index_args = (
    st.integers(-2, 60)
    | st.integers(0, 8)
    | st.sampled_from([INT_MIN, INT_MAX, 2**31, -(2**31) - 1, 2**64])
    | wrong_kinds
)
bad_pointer_texts = st.sampled_from(
    [
        "null",
        "",
        "0x10",
        "_10_int_p",
        "_1A_unsigned_char_p",
        "_1f_signed_int_p",
        "NULL\x00",
        "_unsigned_char_p",
        "_10_unsigned_char_p_",
        "\udc80",
        "x" * 100_000,
    ]
)
NULL_TEXTS = ("NULL", "__unsigned_char_p", "_0_unsigned_char_p", "_000_unsigned_char_p")
unknown_names = st.sampled_from(["Width", "depth", "", "width ", "\x00width", "\udc80", "é" * 50, "n" * 100_000]) | (
    st.text(min_size=1, max_size=300).filter(lambda n: n not in VARIABLES and not n.startswith("__"))
)


def cheap(a, b):
    """A loop over a rows of b columns is short, or is refused at once (its product exceeds
    every buffer the machine allocates): the slow calls are no part of what is tested here."""
    return max(a, b) <= 4096 or min(a, b) > 0


class ModuleMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        reset_state()
        self.model = Model()
        for name in REGISTERS:
            self.model.blocks[name] = Block(3)
        self.blocks = {name: (address(getattr(c, name)), 3) for name in REGISTERS}  # live block -> base, size
        self.expected = {name: "NULL" for name in BUFFERS}  # what each buffer variable must read
        self.texts = ["NULL"] + [getattr(c, name) for name in REGISTERS]  # pointer strings handed out

    # -- mirroring ------------------------------------------------------------------------
    def resolve(self, text):
        if text == "NULL":
            return None
        where = address(text)
        for block, (base, size) in self.blocks.items():
            if base <= where < base + max(size, 1):
                return block, where - base
        return STALE

    def sync(self, model):
        for variable in BUFFERS:
            pointer = self.resolve(self.expected[variable])
            model.pointers[variable] = None if pointer is STALE else pointer

    def remember(self, text):
        # Kept in order of reading, repeats included: what the list holds must not depend on
        # the addresses malloc happens to return, or Hypothesis could not replay a case.
        self.texts.append(text)
        del self.texts[:-40]

    def run_model(self, model, name, args):
        self.sync(model)
        return getattr(model, name)(
            *[as_integer(a) if not isinstance(a, (bytes, bytearray, memoryview)) else a for a in args]
        )

    def call(self, name, *args, refusal_justified=False):
        """Calls a module function; an accepted call runs on the model too and must give its
        result. Returns True when the module refused."""
        try:
            result = getattr(vantrel, name)(*args)
        except REFUSALS as refusal:
            assert str(refusal), f"{name} refused without a message"
            event(f"{name}: refused ({type(refusal).__name__})")
            if not refusal_justified:
                self.check_refusal_justified(name, args, refusal)
            return True
        try:
            expected = self.run_model(self.model, name, args)
        except (TypeError, IndexError) as failure:
            raise AssertionError(
                f"{name}{args!r} was accepted, but touches a NULL, released or too small buffer ({failure})"
            ) from failure
        event(f"{name}: accepted")
        if name in RESULTS:
            assert result == expected, f"{name}{args!r}: module {result!r}, model {expected!r}"
        else:
            assert result is None
        return False

    def check_refusal_justified(self, name, args, refusal):
        if isinstance(refusal, (TypeError, OverflowError, BufferError)):
            return  # argument conversion: the interpreter's own checks
        # A call on a NULL or released buffer is refused even when it would touch no byte.
        if any(self.resolve(self.expected[variable]) in (None, STALE) for variable in USES.get(name, ())):
            return
        trial = copy.deepcopy(self.model)
        try:
            self.run_model(trial, name, args)
        except (TypeError, IndexError):
            return
        raise AssertionError(f"{name}{args!r} was refused ({refusal}), yet stays inside the buffers")

    def block_bytes(self, base, size):
        saved = c.outRed
        c.outRed = f"_{base:x}_unsigned_char_p"
        try:
            return bytes(vantrel.GetRed(i) for i in range(size))
        finally:
            c.outRed = saved

    @invariant()
    def agrees_with_the_model(self):
        for name in INTEGERS:
            assert getattr(c, name) == getattr(self.model, name), name
        for name in INK_BYTES:
            assert getattr(c, name) == self.model.ink[name], name
        for name in BUFFERS:
            assert getattr(c, name) == self.expected[name], name
        for block, (base, size) in self.blocks.items():
            assert self.block_bytes(base, size) == bytes(self.model.blocks[block]), block

    # -- cvar -----------------------------------------------------------------------------
    @rule(name=st.sampled_from(INTEGERS), value=int_values)
    def set_integer(self, name, value):
        number = as_integer(value)
        try:
            setattr(c, name, value)
        except TypeError as refusal:
            assert str(refusal) == f"C variable '{name}'(int )"
            assert number is None or not INT_MIN <= number <= INT_MAX
            return
        assert number is not None and INT_MIN <= number <= INT_MAX
        setattr(self.model, name, number)

    @rule(name=st.sampled_from(INK_BYTES), value=int_values | st.integers(-300, 600))
    def set_ink_byte(self, name, value):
        number = as_integer(value)
        try:
            setattr(c, name, value)
        except TypeError as refusal:
            assert str(refusal) == f"C variable '{name}'(unsigned char )"
            assert number is None or not LONG_MIN <= number <= LONG_MAX
            return
        assert number is not None and LONG_MIN <= number <= LONG_MAX
        self.model.ink[name] = number % 256

    @rule(name=st.sampled_from(BUFFERS + REGISTERS))
    def read_pointer(self, name):
        text = getattr(c, name)
        assert text == "NULL" or text.endswith("_unsigned_char_p")
        self.remember(text)

    @rule(variable=st.sampled_from(BUFFERS), data=st.data())
    def assign_pointer(self, variable, data):
        value = data.draw(
            st.sampled_from(self.texts) | st.sampled_from(NULL_TEXTS) | bad_pointer_texts | wrong_kinds, label="value"
        )
        try:
            setattr(c, variable, value)
        except TypeError as refusal:
            if isinstance(value, str):
                assert str(refusal) == f"Type error in value of {variable}. Expected _unsigned_char_p."
                assert value not in self.texts
            else:
                assert str(refusal) == f"C variable '{variable}'(unsigned char *)"
            return
        # Only the module's own pointer strings and the spellings of NULL are accepted here.
        assert value in self.texts or value in NULL_TEXTS
        self.expected[variable] = value if value in self.texts else "NULL"

    @rule(name=st.sampled_from(REGISTERS), value=st.sampled_from(["NULL", 0]) | st.sampled_from(BUFFERS))
    def assign_register(self, name, value):
        if value in BUFFERS:
            value = getattr(c, value)
        with pytest.raises(TypeError, match=f"^Variable {name} is read-only.$"):
            setattr(c, name, value)

    @rule(name=st.sampled_from(VARIABLES) | unknown_names)
    def delete_variable(self, name):
        expected = TypeError if name in VARIABLES else NameError
        with pytest.raises(expected):
            delattr(c, name)

    @rule(name=unknown_names, value=int_values)
    def unknown_name(self, name, value):
        for attempt in (lambda: getattr(c, name), lambda: setattr(c, name, value)):
            with pytest.raises(NameError) as refusal:
                attempt()
            assert str(refusal.value) == f"C global variable {name} not found."
        assert len(dir(c)) == 30

    # -- buffers --------------------------------------------------------------------------
    @rule(width=small_sizes, height=small_sizes, data=st.data())
    def allocate(self, width, height, data):
        """A whole picture's sizes at once, output half the input or near it, then CreateArrays."""
        # A huge output width with an empty output still allocates: rows placed far apart.
        out_width = max(
            data.draw(st.sampled_from([width // 2, (width - 1) // 2, width, INT_MAX, 2**30]), label="outWidth"), 0
        )
        out_height = max(data.draw(st.sampled_from([height // 2, (height - 1) // 2, height, 0]), label="outHeight"), 0)
        for name, value in (("width", width), ("height", height), ("outWidth", out_width), ("outHeight", out_height)):
            setattr(c, name, value)
            setattr(self.model, name, value)
        self.create_arrays()

    @rule(value=st.integers(-1, 40))
    def set_pos(self, value):
        c.pos = value
        self.model.pos = value

    @rule()
    def create_arrays(self):
        m = self.model
        n, out = m.width * m.height, m.outWidth * m.outHeight
        negative = min(m.width, m.height, m.outWidth, m.outHeight) < 0
        impossible = n >= 2**50 or out >= 2**50
        if not (negative or impossible or 3 * n + 1 + 3 * out <= 100_000):
            return  # a real allocation of that size: not what this machine is about
        try:
            vantrel.CreateArrays()
        except (ValueError, MemoryError) as refusal:
            assert negative or impossible, refusal
            return
        assert not (negative or impossible)
        old = [block for block in self.blocks if block not in REGISTERS]
        m.CreateArrays()
        for block in old:
            del self.blocks[block]
            del m.blocks[block]
        for variable in BUFFERS:
            block, _ = m.pointers[variable]
            m.blocks[block] = Block(m.blocks[block])
            self.expected[variable] = getattr(c, variable)
            self.blocks[block] = (address(self.expected[variable]), len(m.blocks[block]))
            self.remember(self.expected[variable])

    @rule()
    def cleanup(self):
        assert not self.call("Cleanup")
        for block in [block for block in self.blocks if block not in REGISTERS]:
            del self.blocks[block]
        self.expected = {name: "NULL" for name in BUFFERS}

    @rule(data=st.data())
    def set_data(self, data):
        samples = max(self.model.width * self.model.height, 0)
        length = data.draw(
            st.sampled_from([0, 3 * samples - 1, 3 * samples, 3 * samples + 5]).filter(lambda n: 0 <= n <= 30_000)
            | st.integers(0, 40),
            label="length",
        )
        rng = random.Random(data.draw(st.integers(0, 2**32), label="seed"))
        picture = bytes(rng.choice(EDGES) if rng.random() < 0.5 else rng.randrange(256) for _ in range(length))
        kind = data.draw(st.sampled_from(["bytes", "bytearray", "memoryview", "strided", "str", "int"]), label="kind")
        value = {
            "bytes": picture,
            "bytearray": bytearray(picture),
            "memoryview": memoryview(picture),
            "strided": memoryview(picture + picture)[::2],
            "str": picture.decode("latin-1"),
            "int": length,
        }[kind]
        refused = self.call("SetData", value, refusal_justified=kind in ("strided", "str", "int"))
        assert not (refused is False and kind in ("str", "int"))

    @rule()
    def get_data(self):
        self.call("GetData")

    @rule(r=byte_args, g=byte_args, b=byte_args, index=index_args)
    def set_pixel_data(self, r, g, b, index):
        self.call("SetPixelData", r, g, b, index)

    @rule(name=st.sampled_from(["GetRed", "GetGreen", "GetBlue"]), index=index_args)
    def get_sample(self, name, index):
        self.call(name, index)

    @rule()
    def dump(self):
        vantrel.dump()  # the report itself is tested from a fresh interpreter

    # -- passes ---------------------------------------------------------------------------
    @rule(name=st.sampled_from(SETTERS), r=byte_args, g=byte_args, b=byte_args)
    def set_register(self, name, r, g, b):
        self.call(name, r, g, b)

    @rule(name=st.sampled_from(["CenterFilter", "AverageFilter", "BSplineFilter"]))
    def kernel(self, name):
        self.call(name)

    @precondition(lambda self: cheap(self.model.width, self.model.height))
    @rule()
    def calculate(self):
        m = self.model
        rows = (m.height - 1) // 2 if m.height >= 3 else 0
        columns = (m.width - 1) // 2 if m.width >= 3 else 0
        last = (rows - 1) * m.outWidth + columns if rows and columns else 0
        # pos cannot hold the index: the model, with Python's integers, would run on.
        wraps = not INT_MIN <= rows * m.outWidth <= INT_MAX or last > INT_MAX
        self.call("Calculate", refusal_justified=wraps)

    @rule()
    def flatten(self):
        self.call("Flatten")

    # The window test reads rows up to three past the last visited row only, while the module
    # asks for whole output planes, as the script's guarantee states: a refusal may be stricter.
    @precondition(lambda self: cheap(self.model.outWidth, self.model.outHeight))
    @rule(limit=st.integers(-1, 36) | out_of_range | wrong_kinds)
    def remove_noise(self, limit):
        self.call("RemoveNoise", limit, refusal_justified=True)

    @rule()
    def calculate_color_range(self):
        self.call("CalculateColorRange")

    @precondition(lambda self: cheap(self.model.outWidth, self.model.outHeight))
    @rule()
    def set_colors(self):
        self.call("SetColors")

    @rule(value=byte_args, channel=st.integers(-2, 4) | out_of_range | wrong_kinds)
    def standardize_colors(self, value, channel):
        self.call("StandardizeColors", value, channel)

    @rule(name=st.sampled_from(sorted(ARITY)), data=st.data())
    def wrong_argument_count(self, name, data):
        count = data.draw(st.integers(0, 6).filter(lambda n: n != ARITY[name]), label="count")
        with pytest.raises(TypeError, match=name):
            getattr(vantrel, name)(*range(count))
        # The functions take positional arguments only.
        with pytest.raises(TypeError, match=f"{name}.*keyword"):
            getattr(vantrel, name)(*range(ARITY[name]), index=0)


TestModuleMachine = ModuleMachine.TestCase


def expected_reading(text):
    """What a buffer variable reads after text is assigned, or None when it must be refused:
    "NULL", or "_", lower-case hex digits (wrapping at 64 bits) and exactly the module's type."""
    if text == "NULL":
        return "NULL"
    if not text.startswith("_"):
        return None
    digits = len(text) - len(text[1:].lstrip("0123456789abcdef")) - 1
    if text[1 + digits :] != "_unsigned_char_p":
        return None
    value = int(text[1 : 1 + digits] or "0", 16) % 2**64
    return f"_{value:x}_unsigned_char_p" if value else "NULL"


pointer_like = st.from_regex(r"\A_[0-9a-fA-F]{0,20}(_unsigned_char_p|_int_p|[ -~]{0,4})\Z") | st.text(max_size=40)


@given(text=pointer_like | st.binary(max_size=40).map(lambda b: b.decode("latin-1")))
def test_any_text_assigned_to_a_buffer_variable_parses_as_documented(text):
    # The pointer is only read back, never used: a text naming memory the module never handed
    # out lies outside the promise.
    c.red = "NULL"
    expected = expected_reading(text) if "\x00" not in text else None
    try:
        c.red = text
    except TypeError as refusal:
        assert str(refusal) == "Type error in value of red. Expected _unsigned_char_p."
        assert expected is None, text
        assert c.red == "NULL"
        return
    try:
        assert c.red == expected, text
    finally:
        c.red = "NULL"


# What the random sequences found, each kept as a case of its own.
class TestFoundByTheMachine:
    @pytest.mark.parametrize("out_width", [INT_MAX, INT_MIN, 2**30 + 1])
    def test_calculate_refuses_output_rows_past_the_range_of_pos(self, out_width):
        # Two output rows of no pixels: nothing is written, but pos would end at 2 x outWidth.
        c.width, c.height, c.outWidth, c.outHeight = 0, 5, 0, 0
        vantrel.CreateArrays()
        c.outWidth, c.pos = out_width, 7
        with pytest.raises(ValueError, match="range of pos"):
            vantrel.Calculate()
        assert c.pos == 7
        c.outWidth = 2**30 - 1  # still fits: pos ends at 2 x outWidth
        vantrel.Calculate()
        assert c.pos == 2**31 - 2

    def test_text_without_a_utf8_form_is_no_pointer_string(self):
        c.width = c.height = 1
        vantrel.CreateArrays()
        before = c.red
        with pytest.raises(TypeError, match="^Type error in value of red. Expected _unsigned_char_p.$"):
            c.red = "\udc80"
        assert c.red == before
