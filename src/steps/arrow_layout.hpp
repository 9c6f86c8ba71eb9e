// The layout of a Pillow RGB image lent through the Arrow C data interface (a fixed, published
// ABI): its own memory, read where it is, without a copy.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace steps {

// The samples of a Pillow RGB image exported as Arrow (the pair of capsules its
// __arrow_c_array__ returns): pixels of four bytes, red, green, blue and padding, in one block.
// Null with ValueError for any other layout or number of pixels, TypeError for another object.
const std::uint8_t *rgbxSamples(PyObject *exported, long long pixels);

} // namespace steps
