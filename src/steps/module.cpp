// vantrel_clean._steps: the cleaning road's own per-pixel steps beyond the vantrel module. Each
// function checks its arguments, releases the interpreter lock for the work and returns bytes.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <new>

#include "even_background.hpp"
#include "ink_classes.hpp"
#include "ink_votes.hpp"
#include "paper_estimate.hpp"

namespace {

// Checks a picture buffer of width x height pixels of three bytes; sets the exception.
bool requirePicture(const Py_buffer &picture, long long width, long long height, const char *name)
{
    if (width < 1 || height < 1) {
        PyErr_Format(PyExc_ValueError, "%s: width and height must be at least 1, not %lld x %lld", name, width,
                     height);
        return false;
    }
    if (width > PY_SSIZE_T_MAX / 3 / height) {
        PyErr_Format(PyExc_OverflowError, "%s: %lld x %lld pixels is too large", name, width, height);
        return false;
    }
    const Py_ssize_t needed = 3 * Py_ssize_t(width) * Py_ssize_t(height);
    if (picture.len != needed) {
        PyErr_Format(PyExc_ValueError, "%s: a %lld x %lld RGB picture takes %zd bytes, not %zd", name, width, height,
                     needed, picture.len);
        return false;
    }
    return true;
}

// even_background(picture, width, height, exponent) -> bytearray (writable, for NumPy views)
PyObject *evenBackground(PyObject *, PyObject *args)
{
    Py_buffer picture;
    long long width, height;
    double exponent;
    if (!PyArg_ParseTuple(args, "y*LLd:even_background", &picture, &width, &height, &exponent))
        return nullptr;
    PyObject *result = nullptr;
    if (!requirePicture(picture, width, height, "even_background")) {
        PyBuffer_Release(&picture);
        return nullptr;
    }
    if (!(exponent > 0 && std::isfinite(exponent))) {
        PyBuffer_Release(&picture);
        PyErr_SetString(PyExc_ValueError, "even_background: the exponent must be a positive number");
        return nullptr;
    }
    result = PyByteArray_FromStringAndSize(nullptr, picture.len);
    if (result == nullptr) {
        PyBuffer_Release(&picture);
        return nullptr;
    }
    bool outOfMemory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        const auto *rgb = static_cast<const std::uint8_t *>(picture.buf);
        const steps::PaperEstimate paper = steps::estimatePaper(rgb, std::size_t(width), std::size_t(height));
        const steps::ToneTable tone = steps::makeToneTable(exponent);
        auto *out = reinterpret_cast<std::uint8_t *>(PyByteArray_AS_STRING(result));
        steps::evenBackground(rgb, std::size_t(width), std::size_t(height), paper, tone, out);
    } catch (const std::bad_alloc &) {
        outOfMemory = true;
    }
    Py_END_ALLOW_THREADS
    PyBuffer_Release(&picture);
    if (outOfMemory) {
        Py_DECREF(result);
        return PyErr_NoMemory();
    }
    return result;
}

bool requireLevel(int level, const char *what)
{
    if (level < 0 || level > 255) {
        PyErr_Format(PyExc_ValueError, "classify_ink: %s must be 0 to 255, not %d", what, level);
        return false;
    }
    return true;
}

// classify_ink(picture, width, height, exponent, ink_level, seed_level, full_level, min_stroke,
//              chroma_cut) -> (codes: bytes, histogram: bytes of float64)
PyObject *classifyInk(PyObject *, PyObject *args)
{
    Py_buffer picture;
    long long width, height, minStroke;
    int inkLevel, seedLevel, fullLevel;
    double exponent, chromaCut;
    if (!PyArg_ParseTuple(args, "y*LLdiiiLd:classify_ink", &picture, &width, &height, &exponent, &inkLevel,
                          &seedLevel, &fullLevel, &minStroke, &chromaCut))
        return nullptr;
    if (!requirePicture(picture, width, height, "classify_ink") || !requireLevel(inkLevel, "ink_level") ||
        !requireLevel(seedLevel, "seed_level") || !requireLevel(fullLevel, "full_level")) {
        PyBuffer_Release(&picture);
        return nullptr;
    }
    if (!(exponent > 0 && std::isfinite(exponent))) {
        PyBuffer_Release(&picture);
        PyErr_SetString(PyExc_ValueError, "classify_ink: the exponent must be a positive number");
        return nullptr;
    }
    if (minStroke < 0 || !(chromaCut >= 0)) {
        PyBuffer_Release(&picture);
        PyErr_SetString(PyExc_ValueError, "classify_ink: min_stroke and chroma_cut must not be negative");
        return nullptr;
    }
    steps::InkRules rules;
    rules.exponent = exponent;
    rules.inkLevel = std::uint8_t(inkLevel);
    rules.seedLevel = std::uint8_t(seedLevel);
    rules.fullLevel = std::uint8_t(fullLevel);
    rules.minStroke = std::size_t(minStroke);
    rules.chromaCut = chromaCut;

    PyObject *codes = PyBytes_FromStringAndSize(nullptr, picture.len / 3);
    if (codes == nullptr) {
        PyBuffer_Release(&picture);
        return nullptr;
    }
    steps::InkHistogram histogram;
    bool outOfMemory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        steps::classifyInk(static_cast<const std::uint8_t *>(picture.buf), std::size_t(width), std::size_t(height),
                           rules, reinterpret_cast<std::uint8_t *>(PyBytes_AS_STRING(codes)), histogram);
    } catch (const std::bad_alloc &) {
        outOfMemory = true;
    }
    Py_END_ALLOW_THREADS
    PyBuffer_Release(&picture);
    if (outOfMemory) {
        Py_DECREF(codes);
        return PyErr_NoMemory();
    }
    PyObject *sums = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(histogram.data()),
                                               Py_ssize_t(sizeof histogram));
    if (sums == nullptr) {
        Py_DECREF(codes);
        return nullptr;
    }
    return Py_BuildValue("(NN)", codes, sums);
}

// vote_inks(indexes, width, height, radius) -> bytes
PyObject *voteInks(PyObject *, PyObject *args)
{
    Py_buffer indexes;
    long long width, height, radius;
    if (!PyArg_ParseTuple(args, "y*LLL:vote_inks", &indexes, &width, &height, &radius))
        return nullptr;
    if (width < 1 || height < 1 || width > PY_SSIZE_T_MAX / height || indexes.len != Py_ssize_t(width * height)) {
        PyErr_Format(PyExc_ValueError, "vote_inks: %zd indexes do not make a %lld x %lld picture", indexes.len,
                     width, height);
        PyBuffer_Release(&indexes);
        return nullptr;
    }
    if (radius < 0 || radius > 16) {
        PyErr_SetString(PyExc_ValueError, "vote_inks: the radius must be 0 to 16");
        PyBuffer_Release(&indexes);
        return nullptr;
    }
    PyObject *result = PyBytes_FromStringAndSize(nullptr, indexes.len);
    if (result == nullptr) {
        PyBuffer_Release(&indexes);
        return nullptr;
    }
    Py_BEGIN_ALLOW_THREADS
    steps::voteInks(static_cast<const std::uint8_t *>(indexes.buf), std::size_t(width), std::size_t(height),
                    std::size_t(radius), reinterpret_cast<std::uint8_t *>(PyBytes_AS_STRING(result)));
    Py_END_ALLOW_THREADS
    PyBuffer_Release(&indexes);
    return result;
}

PyMethodDef methods[] = {
    {"vote_inks", voteInks, METH_VARARGS, "vote_inks(indexes, width, height, radius) -> bytes"},
    {"even_background", evenBackground, METH_VARARGS, "even_background(picture, width, height, exponent) -> bytes"},
    {"classify_ink", classifyInk, METH_VARARGS,
     "classify_ink(picture, width, height, exponent, ink_level, seed_level, full_level, min_stroke, chroma_cut)"
     " -> (codes, histogram)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduleDefinition = {
    PyModuleDef_HEAD_INIT, "vantrel_clean._steps", "The cleaning road's per-pixel steps beyond the vantrel module.",
    0, methods, nullptr, nullptr, nullptr, nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit__steps()
{
    PyObject *module = PyModule_Create(&moduleDefinition);
    if (module == nullptr)
        return nullptr;
    if (PyModule_AddIntConstant(module, "HUE_BINS", long(steps::kHueBins)) < 0 ||
        PyModule_AddIntConstant(module, "HISTOGRAM_FIELDS", long(steps::kHistogramFields)) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
