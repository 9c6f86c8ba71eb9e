// The checks a wrapper makes before it calls the trusting core: each raises a Python exception
// with a clear message and returns false when a call would touch memory outside a buffer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace vantrel {

// The buffer variable `variable` (currently `pointer`) must name live memory with at least
// `needed` bytes from the pointer on. A pointer into memory the module never handed out is
// trusted as it stands. ValueError otherwise.
bool requireBytes(const char *function, const char *variable, const unsigned char *pointer, std::size_t needed);

// `index` must lie inside the buffer `variable` names. IndexError when it does not, ValueError
// when the buffer is null or released.
bool requireIndex(const char *function, const char *variable, const unsigned char *pointer, long long index);

// requireBytes for the three input planes, or the three output planes.
bool requireInputPlanes(const char *function, std::size_t samples);
bool requireOutputPlanes(const char *function, std::size_t samples);

} // namespace vantrel
