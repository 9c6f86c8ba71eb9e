// The wrappers of the buffer functions. Each parses its arguments with the interpreter's tuple
// parser, checks the sizes, buffers and indexes the core would trust, calls one core operation
// and builds its result. Every refusal raises before the core runs, so nothing changes.
#include "wrappers.hpp"

#include "buffer_checks.hpp"
#include "buffer_extents.hpp"

#include "../core/buffers.hpp"
#include "../core/image_state.hpp"
#include "../core/pass_extents.hpp"

#include <cstdint>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vantrel {

namespace {

bool requireSize(const char *variable, int value)
{
    if (value < 0) {
        PyErr_Format(PyExc_ValueError, "CreateArrays: %s is negative (%d)", variable, value);
        return false;
    }
    return true;
}

// Largest byte count an allocation may have: what the interpreter can address as one object.
constexpr unsigned long long kLargestBlock = PY_SSIZE_T_MAX;

PyObject *getSample(PyObject *args, const char *format, const char *function, const char *variable,
                    const unsigned char *plane, unsigned char (*get)(int))
{
    int index;
    if (!PyArg_ParseTuple(args, format, &index))
        return nullptr;
    if (!requireIndex(function, variable, plane, index))
        return nullptr;
    return PyLong_FromLong(get(index));
}

// A new bytes object holding a copy of length bytes. A result of tens of megabytes gets fresh
// pages from the system on every call; on Linux the copy asks for huge pages for it, which
// spares thousands of page faults (about half the time of GetData on a 48-megapixel picture).
PyObject *bytesOf(const unsigned char *text, std::size_t length)
{
    PyObject *result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length));
    if (result == nullptr)
        return nullptr;
    char *const target = PyBytes_AS_STRING(result);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHugePage = std::uintptr_t(2) << 20;
    if (length >= 16 * kHugePage) {
        // Only whole huge pages inside the object's own bytes; the advice is a hint, so its
        // result does not matter.
        const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(target) + kHugePage - 1) & ~(kHugePage - 1);
        const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(target) + length) & ~(kHugePage - 1);
        if (end > begin)
            madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
    }
#endif
    std::memcpy(target, text, length);
    return result;
}

} // namespace

PyObject *wrapCreateArrays(PyObject *, PyObject *args)
{
    if (!PyArg_ParseTuple(args, ":CreateArrays"))
        return nullptr;
    if (!requireSize("width", width) || !requireSize("height", height) || !requireSize("outWidth", outWidth) ||
        !requireSize("outHeight", outHeight))
        return nullptr;
    // Each size is below 2^31, so the products fit in 64 bits; the byte counts must also fit
    // one block the interpreter can address.
    const unsigned long long inputSamples = static_cast<unsigned long long>(width) * height;
    const unsigned long long outputSamples = static_cast<unsigned long long>(outWidth) * outHeight;
    if (inputSamples > (kLargestBlock - 1) / 3 || outputSamples > kLargestBlock) {
        PyErr_Format(PyExc_ValueError, "CreateArrays: %d x %d input and %d x %d output pixels are too many to allocate",
                     width, height, outWidth, outHeight);
        return nullptr;
    }
    if (!trackedCreateArrays()) {
        PyErr_Format(PyExc_MemoryError,
                     "CreateArrays: cannot allocate the buffers for %d x %d input and %d x %d output pixels", width,
                     height, outWidth, outHeight);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *wrapSetData(PyObject *, PyObject *args)
{
    Py_buffer picture;
    if (!PyArg_ParseTuple(args, "y*:SetData", &picture))
        return nullptr;
    const std::size_t samples = setDataExtent();
    bool ok = true;
    if (static_cast<std::size_t>(picture.len) / 3 < samples) {
        PyErr_Format(PyExc_ValueError, "SetData: the picture holds %zd bytes, 3 x width x height = 3 x %d x %d needed",
                     picture.len, width, height);
        ok = false;
    }
    ok = ok && requireInputPlanes("SetData", samples) && requireBytes("SetData", "data", data, samples);
    if (ok)
        SetData(static_cast<const unsigned char *>(picture.buf));
    PyBuffer_Release(&picture);
    if (!ok)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *wrapGetData(PyObject *, PyObject *args)
{
    if (!PyArg_ParseTuple(args, ":GetData"))
        return nullptr;
    const std::size_t samples = getDataExtent();
    if (!requireBytes("GetData", "data", data, 3 * samples) || !requireOutputPlanes("GetData", samples))
        return nullptr;
    const unsigned char *text = GetData();
    // The text runs to its first zero byte, never past the end of the buffer data names.
    // GetData wrote no zero into its 3 x samples bytes, so the search starts after them.
    const std::size_t written = 3 * samples;
    const Extent extent = extentFrom(text);
    std::size_t length;
    if (extent.kind == ExtentKind::Known) {
        const void *zero = std::memchr(text + written, 0, extent.bytes - written);
        length = zero ? static_cast<std::size_t>(static_cast<const unsigned char *>(zero) - text) : extent.bytes;
    } else {
        length = written + std::strlen(reinterpret_cast<const char *>(text + written));
    }
    return bytesOf(text, length);
}

PyObject *wrapSetPixelData(PyObject *, PyObject *args)
{
    unsigned char r, g, b;
    int index;
    if (!PyArg_ParseTuple(args, "bbbi:SetPixelData", &r, &g, &b, &index))
        return nullptr;
    if (!requireIndex("SetPixelData", "red", red, index) || !requireIndex("SetPixelData", "green", green, index) ||
        !requireIndex("SetPixelData", "blue", blue, index))
        return nullptr;
    SetPixelData(r, g, b, index);
    Py_RETURN_NONE;
}

PyObject *wrapGetRed(PyObject *, PyObject *args)
{
    return getSample(args, "i:GetRed", "GetRed", "outRed", outRed, GetRed);
}
PyObject *wrapGetGreen(PyObject *, PyObject *args)
{
    return getSample(args, "i:GetGreen", "GetGreen", "outGreen", outGreen, GetGreen);
}
PyObject *wrapGetBlue(PyObject *, PyObject *args)
{
    return getSample(args, "i:GetBlue", "GetBlue", "outBlue", outBlue, GetBlue);
}

PyObject *wrapCleanup(PyObject *, PyObject *args)
{
    if (!PyArg_ParseTuple(args, ":Cleanup"))
        return nullptr;
    trackedCleanup();
    Py_RETURN_NONE;
}

PyObject *wrapDump(PyObject *, PyObject *args)
{
    if (!PyArg_ParseTuple(args, ":dump"))
        return nullptr;
    dump();
    Py_RETURN_NONE;
}

} // namespace vantrel
