"""Pointer strings as the tests read and write them: "_<hex address>_unsigned_char_p"."""

import ctypes

import numpy as np


def address(text):
    """The address a pointer string names."""
    return int(text[1:].split("_", 1)[0], 16)


def pointer_text(value):
    """The pointer string of an address."""
    return f"_{value:x}_unsigned_char_p"


def pointer_at(pointer, offset):
    """The pointer string offset bytes past another."""
    return pointer_text(address(pointer) + offset)


def read_bytes(pointer, size):
    """size bytes from where a pointer string points."""
    return ctypes.string_at(address(pointer), size)


def read(pointer, size):
    """The same bytes as a uint8 array."""
    return np.frombuffer(read_bytes(pointer, size), np.uint8)
