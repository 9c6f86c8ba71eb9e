// Argument checks of the steps' wrappers, on sizes and buffers the steps trust.
#include "step_checks.hpp"

#include "arrow_layout.hpp"

#include <cmath>

namespace steps {

bool requirePicture(const Py_buffer &picture, long long width, long long height, const char *function)
{
    if (width < 1 || height < 1) {
        PyErr_Format(PyExc_ValueError, "%s: width and height must be at least 1, not %lld x %lld", function, width,
                     height);
        return false;
    }
    if (width > PY_SSIZE_T_MAX / 3 / height) {
        PyErr_Format(PyExc_OverflowError, "%s: %lld x %lld pixels is too large", function, width, height);
        return false;
    }
    const Py_ssize_t needed = 3 * Py_ssize_t(width) * Py_ssize_t(height);
    if (picture.len != needed) {
        PyErr_Format(PyExc_ValueError, "%s: a %lld x %lld RGB picture takes %zd bytes, not %zd", function, width,
                     height, needed, picture.len);
        return false;
    }
    return true;
}

bool requireExponent(double exponent, const char *function)
{
    if (exponent > 0 && std::isfinite(exponent))
        return true;
    PyErr_Format(PyExc_ValueError, "%s: the exponent must be a positive number", function);
    return false;
}

bool requireKnee(double knee, const char *function)
{
    if (knee >= 0 && knee < 0.5)
        return true;
    PyErr_Format(PyExc_ValueError, "%s: the knee must be at least 0 and below 0.5", function);
    return false;
}

bool requireContrast(const Py_buffer &contrast, long long width, long long height, const char *function)
{
    // Two planes (contrast, peak), or three with the tint, or those and the halved colour.
    if (width >= 1 && height >= 1 && width <= PY_SSIZE_T_MAX / 9 / height) {
        const Py_ssize_t pixels = Py_ssize_t(width) * Py_ssize_t(height);
        if (contrast.len == 4 * pixels || contrast.len == 6 * pixels || contrast.len == 9 * pixels)
            return true;
    }
    PyErr_Format(PyExc_ValueError,
                 "%s: a %lld x %lld contrast map takes %lld bytes (or %lld with its tint, %lld with its colour too), "
                 "not %zd",
                 function, width, height, 4 * width * height, 6 * width * height, 9 * width * height, contrast.len);
    return false;
}

bool requireFloats(const Py_buffer &buffer, long long width, long long height, long long perPixel, const char *function)
{
    if (width < 1 || height < 1 || width > PY_SSIZE_T_MAX / 4 / perPixel / height) {
        PyErr_Format(PyExc_ValueError, "%s: %lld x %lld is not a valid size", function, width, height);
        return false;
    }
    const Py_ssize_t needed = Py_ssize_t(4 * perPixel * width * height);
    if (buffer.len != needed) {
        PyErr_Format(PyExc_ValueError, "%s: %lld x %lld pixels of %lld float32 take %zd bytes, not %zd", function,
                     width, height, perPixel, needed, buffer.len);
        return false;
    }
    return true;
}

bool PictureSamples::acquire(PyObject *given, long long width, long long height, const char *function)
{
    if (width < 1 || height < 1 || width > PY_SSIZE_T_MAX / 4 / height) {
        PyErr_Format(PyExc_ValueError, "%s: %lld x %lld is not a picture size", function, width, height);
        return false;
    }
    if (PyTuple_Check(given)) {
        samples = rgbxSamples(given, width * height);
        if (samples == nullptr && PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "%s: not an RGB image of %lld x %lld pixels in one block", function, width,
                         height);
        }
        pixelBytes = 4;
        return samples != nullptr;
    }
    if (PyObject_GetBuffer(given, &held.view, PyBUF_SIMPLE) < 0 || !requirePicture(held.view, width, height, function))
        return false;
    samples = static_cast<const std::uint8_t *>(held.view.buf);
    return true;
}

} // namespace steps
