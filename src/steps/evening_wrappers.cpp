// The wrappers of the evening and of the contrast map of a picture the caller holds: the work
// touches only the call's own buffers, so the interpreter lock is released for it.
#include "step_wrappers.hpp"

#include "contrast_map.hpp"
#include "even_background.hpp"
#include "step_checks.hpp"

namespace steps {

PyObject *wrapEvenBackground(PyObject *, PyObject *args)
{
    HeldBuffer picture;
    long long width, height;
    double exponent, knee = 0;
    if (!PyArg_ParseTuple(args, "y*LLd|d:even_background", &picture.view, &width, &height, &exponent, &knee))
        return nullptr;
    if (!requirePicture(picture.view, width, height, "even_background") ||
        !requireExponent(exponent, "even_background") || !requireKnee(knee, "even_background"))
        return nullptr;
    // A bytearray: writable, so that NumPy views of the result are too.
    NewObject result(PyByteArray_FromStringAndSize(nullptr, picture.view.len));
    if (result.object == nullptr)
        return nullptr;
    const EvenedTarget target{reinterpret_cast<std::uint8_t *>(PyByteArray_AS_STRING(result.object))};
    if (!runStep(Lock::Release, [&] {
            evenPicture(static_cast<const std::uint8_t *>(picture.view.buf), std::size_t(width), std::size_t(height), 3,
                        exponent, knee, target);
        }))
        return nullptr;
    return result.release();
}

PyObject *wrapContrastMap(PyObject *, PyObject *args)
{
    HeldBuffer picture;
    long long width, height;
    if (!PyArg_ParseTuple(args, "y*LL:contrast_map", &picture.view, &width, &height))
        return nullptr;
    if (!requirePicture(picture.view, width, height, "contrast_map"))
        return nullptr;
    if (width < 3 || height < 3) {
        PyErr_Format(PyExc_ValueError, "contrast_map: %lld x %lld pixels is too small to halve", width, height);
        return nullptr;
    }
    const std::size_t w = std::size_t(width), h = std::size_t(height);
    const std::size_t count = ((w - 1) / 2) * ((h - 1) / 2);
    NewObject result(PyByteArray_FromStringAndSize(nullptr, Py_ssize_t(9 * count)));
    if (result.object == nullptr)
        return nullptr;
    const auto *rgb = static_cast<const std::uint8_t *>(picture.view.buf);
    auto *out = reinterpret_cast<std::uint16_t *>(PyByteArray_AS_STRING(result.object));
    // A picture that was not evened: its bytes are its ratios to white paper.
    if (!runStep(Lock::Release, [&] {
            contrastMap(rgb, rgb + 1, rgb + 2, 3, w, h, ratioTable(1.0, 0.0), out, out + count, out + 2 * count,
                        reinterpret_cast<std::uint8_t *>(out + 3 * count));
        }))
        return nullptr;
    return result.release();
}

} // namespace steps
