// The wrappers of the page detection's steps (block averages, gradients, line votes) and of the
// rectification's warp; all work on the call's own buffers, with the interpreter lock released.
#include "step_wrappers.hpp"

#include "detect_shrink.hpp"
#include "edge_gradients.hpp"
#include "line_votes.hpp"
#include "perspective_warp.hpp"
#include "step_checks.hpp"

#include <algorithm>
#include <cmath>

namespace steps {

PyObject *wrapShrinkForDetection(PyObject *, PyObject *args)
{
    PyObject *given;
    long long width, height, factor;
    if (!PyArg_ParseTuple(args, "OLLL:shrink_for_detection", &given, &width, &height, &factor))
        return nullptr;
    PictureSamples picture;
    if (!picture.acquire(given, width, height, "shrink_for_detection"))
        return nullptr;
    if (factor < 1 || factor > width || factor > height) {
        PyErr_Format(PyExc_ValueError, "shrink_for_detection: the factor must be 1 to the shorter side, not %lld",
                     factor);
        return nullptr;
    }
    const std::size_t count = 3 * std::size_t(width / factor) * std::size_t(height / factor);
    NewObject result(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(count * sizeof(float))));
    if (result.object == nullptr)
        return nullptr;
    auto *small = reinterpret_cast<float *>(PyBytes_AS_STRING(result.object));
    if (!runStep(Lock::Release, [&] {
            shrinkByBlocks(picture.samples, std::size_t(width), std::size_t(height), picture.pixelBytes,
                           std::size_t(factor), small);
        }))
        return nullptr;
    return result.release();
}

PyObject *wrapColourGradients(PyObject *, PyObject *args)
{
    HeldBuffer small;
    long long width, height;
    if (!PyArg_ParseTuple(args, "y*LL:colour_gradients", &small.view, &width, &height))
        return nullptr;
    if (!requireFloats(small.view, width, height, 3, "colour_gradients"))
        return nullptr;
    const Py_ssize_t bytes = Py_ssize_t(sizeof(float)) * Py_ssize_t(width * height);
    NewObject gx(PyBytes_FromStringAndSize(nullptr, bytes));
    NewObject gy(gx.object == nullptr ? nullptr : PyBytes_FromStringAndSize(nullptr, bytes));
    if (gy.object == nullptr)
        return nullptr;
    auto *outX = reinterpret_cast<float *>(PyBytes_AS_STRING(gx.object));
    auto *outY = reinterpret_cast<float *>(PyBytes_AS_STRING(gy.object));
    if (!runStep(Lock::Release, [&] {
            colourGradients(static_cast<const float *>(small.view.buf), std::size_t(width), std::size_t(height), outX,
                            outY);
        }))
        return nullptr;
    return Py_BuildValue("(NN)", gx.release(), gy.release());
}

PyObject *wrapVoteLines(PyObject *, PyObject *args)
{
    HeldBuffer gx, gy;
    long long width, height, angleBins, spread;
    double minStrength, maxStrength;
    if (!PyArg_ParseTuple(args, "y*y*LLLLdd:vote_lines", &gx.view, &gy.view, &width, &height, &angleBins, &spread,
                          &minStrength, &maxStrength))
        return nullptr;
    if (!requireFloats(gx.view, width, height, 1, "vote_lines") ||
        !requireFloats(gy.view, width, height, 1, "vote_lines"))
        return nullptr;
    if (angleBins < 4 || angleBins > 3600 || spread < 0 || spread >= angleBins / 2 || !(minStrength >= 0) ||
        !(maxStrength >= minStrength) || !std::isfinite(maxStrength)) {
        PyErr_SetString(PyExc_ValueError, "vote_lines: angle_bins must be 4 to 3600, spread below half of them, and "
                                          "0 <= min_strength <= max_strength (finite)");
        return nullptr;
    }
    LineVoteRules rules;
    rules.angleBins = std::size_t(angleBins);
    rules.spread = std::size_t(spread);
    rules.minStrength = float(minStrength);
    rules.maxStrength = float(maxStrength);
    const std::size_t count = rules.angleBins * rhoBins(std::size_t(width), std::size_t(height));
    NewObject result(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(count * sizeof(float))));
    if (result.object == nullptr)
        return nullptr;
    auto *votes = reinterpret_cast<float *>(PyBytes_AS_STRING(result.object));
    if (!runStep(Lock::Release, [&] {
            std::fill(votes, votes + count, 0.0f);
            voteLines(static_cast<const float *>(gx.view.buf), static_cast<const float *>(gy.view.buf),
                      std::size_t(width), std::size_t(height), rules, votes);
        }))
        return nullptr;
    return result.release();
}

PyObject *wrapWarpPerspective(PyObject *, PyObject *args)
{
    PyObject *given, *mapObject;
    long long width, height, outWidth, outHeight;
    if (!PyArg_ParseTuple(args, "OLLOLL:warp_perspective", &given, &width, &height, &mapObject, &outWidth, &outHeight))
        return nullptr;
    PictureSamples picture;
    if (!picture.acquire(given, width, height, "warp_perspective"))
        return nullptr;
    Homography map{};
    PyObject *items = PySequence_Fast(mapObject, "warp_perspective: the map must be a sequence of 9 numbers");
    bool ok = items != nullptr && PySequence_Fast_GET_SIZE(items) == 9;
    for (Py_ssize_t i = 0; ok && i < 9; ++i) {
        map[std::size_t(i)] = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(items, i));
        ok = !PyErr_Occurred() && std::isfinite(map[std::size_t(i)]);
    }
    Py_XDECREF(items);
    if (!ok) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ValueError, "warp_perspective: the map must be 9 finite numbers");
        return nullptr;
    }
    if (outWidth < 1 || outHeight < 1 || outWidth > (1LL << 16) || outHeight > (1LL << 16)) {
        PyErr_Format(PyExc_ValueError, "warp_perspective: the output size must be 1 to 65536 a side, not %lld x %lld",
                     outWidth, outHeight);
        return nullptr;
    }
    NewObject result(PyByteArray_FromStringAndSize(nullptr, Py_ssize_t(3 * outWidth * outHeight)));
    if (result.object == nullptr)
        return nullptr;
    auto *out = reinterpret_cast<std::uint8_t *>(PyByteArray_AS_STRING(result.object));
    if (!runStep(Lock::Release, [&] {
            warpPerspective(picture.samples, std::size_t(width), std::size_t(height), picture.pixelBytes, map, out,
                            std::size_t(outWidth), std::size_t(outHeight));
        }))
        return nullptr;
    return result.release();
}

} // namespace steps
