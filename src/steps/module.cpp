// vantrel_clean._steps: the cleaning road's own per-pixel steps beyond the vantrel module. Each
// function checks its arguments, releases the interpreter lock for the work and returns bytes.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "contrast_map.hpp"
#include "halved_colour.hpp"
#include "detect_shrink.hpp"
#include "edge_gradients.hpp"
#include "even_background.hpp"
#include "ink_classes.hpp"
#include "ink_votes.hpp"
#include "line_votes.hpp"
#include "paper_estimate.hpp"
#include "perspective_warp.hpp"
#include "row_ranges.hpp"

namespace {

// Checks a picture buffer of width x height pixels of three bytes; sets the exception.
bool requirePicture(const Py_buffer &picture, long long width, long long height, const char *name)
{
    if (width < 1 || height < 1) {
        PyErr_Format(PyExc_ValueError, "%s: width and height must be at least 1, not %lld x %lld", name, width, height);
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

// Checks the exponent of the evening's curve; sets the exception.
bool requireExponent(double exponent, const char *name)
{
    if (exponent > 0 && std::isfinite(exponent))
        return true;
    PyErr_Format(PyExc_ValueError, "%s: the exponent must be a positive number", name);
    return false;
}

// Checks the knee of the evening's curve (0 for none); sets the exception.
bool requireKnee(double knee, const char *name)
{
    if (knee >= 0 && knee < 0.5)
        return true;
    PyErr_Format(PyExc_ValueError, "%s: the knee must be at least 0 and below 0.5", name);
    return false;
}

// Runs work with the interpreter lock released; false when it ran out of memory (no exception
// is set: the caller cleans up first, then reports it).
template <class Work> bool withoutInterpreterLock(Work work)
{
    bool done = true;
    Py_BEGIN_ALLOW_THREADS
    try {
        work();
    } catch (const std::bad_alloc &) {
        done = false;
    }
    Py_END_ALLOW_THREADS
    return done;
}

// even_background(picture, width, height, exponent, knee=0) -> bytearray (writable, for NumPy views)
PyObject *evenBackground(PyObject *, PyObject *args)
{
    Py_buffer picture;
    long long width, height;
    double exponent, knee = 0;
    if (!PyArg_ParseTuple(args, "y*LLd|d:even_background", &picture, &width, &height, &exponent, &knee))
        return nullptr;
    if (!requirePicture(picture, width, height, "even_background") || !requireExponent(exponent, "even_background") ||
        !requireKnee(knee, "even_background")) {
        PyBuffer_Release(&picture);
        return nullptr;
    }
    PyObject *result = PyByteArray_FromStringAndSize(nullptr, picture.len);
    if (result == nullptr) {
        PyBuffer_Release(&picture);
        return nullptr;
    }
    const steps::EvenedTarget target{reinterpret_cast<std::uint8_t *>(PyByteArray_AS_STRING(result))};
    const bool done = withoutInterpreterLock([&] {
        steps::evenPicture(static_cast<const std::uint8_t *>(picture.buf), std::size_t(width), std::size_t(height), 3,
                           exponent, knee, target);
    });
    PyBuffer_Release(&picture);
    if (!done) {
        Py_DECREF(result);
        return PyErr_NoMemory();
    }
    return result;
}

// --- the vantrel module's buffers, reached through its cvar as any script reaches them ---------

// The address in a pointer string such as "_7f12a0_unsigned_char_p"; sets ValueError for "NULL"
// (no buffers: CreateArrays has not run, or Cleanup has) and TypeError for anything else.
bool parsePointer(PyObject *cvar, const char *name, std::uint8_t **address)
{
    PyObject *value = PyObject_GetAttrString(cvar, name);
    if (value == nullptr)
        return false;
    const char *text = PyUnicode_Check(value) ? PyUnicode_AsUTF8(value) : nullptr;
    bool parsed = false;
    if (text != nullptr && std::strcmp(text, "NULL") == 0) {
        PyErr_Format(PyExc_ValueError, "the vantrel module holds no buffers (cvar.%s is NULL): call CreateArrays first",
                     name);
    } else if (text != nullptr && text[0] == '_') {
        char *end = nullptr;
        const unsigned long long bits = std::strtoull(text + 1, &end, 16);
        parsed = end != text + 1 && std::strcmp(end, "_unsigned_char_p") == 0 && bits != 0;
        if (parsed)
            *address = reinterpret_cast<std::uint8_t *>(std::uintptr_t(bits));
    }
    if (!parsed && !PyErr_Occurred())
        PyErr_Format(PyExc_TypeError, "cvar.%s is not a pointer string of the vantrel module", name);
    Py_DECREF(value);
    return parsed;
}

bool readSize(PyObject *cvar, const char *name, long long *size)
{
    PyObject *value = PyObject_GetAttrString(cvar, name);
    if (value == nullptr)
        return false;
    *size = PyLong_AsLongLong(value);
    Py_DECREF(value);
    return !(*size == -1 && PyErr_Occurred());
}

// Asks the module itself whether a plane holds an index: its own wrapper refuses an index past
// the block it allocated, so a size changed after CreateArrays, or a buffer pointer assigned
// by hand, is caught before any sample is written here.
bool moduleHolds(PyObject *vantrel, const char *method, long long lastIndex)
{
    PyObject *result = std::strcmp(method, "SetPixelData") == 0
                           ? PyObject_CallMethod(vantrel, method, "iiiL", 0, 0, 0, lastIndex)
                           : PyObject_CallMethod(vantrel, method, "L", lastIndex);
    Py_XDECREF(result);
    return result != nullptr;
}

struct ModulePlanes {
    long long width = 0, height = 0;
    std::uint8_t *red = nullptr, *green = nullptr, *blue = nullptr;
};

// The module's sizes and three planes: the input planes (output false) or the output planes.
bool modulePlanes(bool output, ModulePlanes &planes)
{
    PyObject *vantrel = PyImport_ImportModule("vantrel");
    if (vantrel == nullptr)
        return false;
    PyObject *cvar = PyObject_GetAttrString(vantrel, "cvar");
    bool ok = cvar != nullptr && readSize(cvar, output ? "outWidth" : "width", &planes.width) &&
              readSize(cvar, output ? "outHeight" : "height", &planes.height) &&
              parsePointer(cvar, output ? "outRed" : "red", &planes.red) &&
              parsePointer(cvar, output ? "outGreen" : "green", &planes.green) &&
              parsePointer(cvar, output ? "outBlue" : "blue", &planes.blue);
    if (ok && (planes.width < 1 || planes.height < 1 || planes.width > PY_SSIZE_T_MAX / 3 / planes.height)) {
        PyErr_Format(PyExc_ValueError, "the vantrel module's %s size %lld x %lld holds no picture",
                     output ? "output" : "input", planes.width, planes.height);
        ok = false;
    }
    // The module's single-sample calls check the index against the blocks it owns.
    if (ok && output)
        ok = moduleHolds(vantrel, "GetRed", planes.width * planes.height - 1) &&
             moduleHolds(vantrel, "GetGreen", planes.width * planes.height - 1) &&
             moduleHolds(vantrel, "GetBlue", planes.width * planes.height - 1);
    if (ok && !output)
        ok = moduleHolds(vantrel, "SetPixelData", planes.width * planes.height - 1);
    Py_XDECREF(cvar);
    Py_DECREF(vantrel);
    return ok;
}

// The structures of the Arrow C data interface (a fixed, published ABI), through which Pillow
// lends an image's own memory without a copy.
struct ArrowSchema {
    const char *format;
    const char *name;
    const char *metadata;
    std::int64_t flags;
    std::int64_t n_children;
    ArrowSchema **children;
    ArrowSchema *dictionary;
    void (*release)(ArrowSchema *);
    void *private_data;
};

struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void **buffers;
    ArrowArray **children;
    ArrowArray *dictionary;
    void (*release)(ArrowArray *);
    void *private_data;
};

// The samples of a Pillow RGB image exported as Arrow (the pair of capsules its
// __arrow_c_array__ returns): pixels of four bytes, red, green, blue and padding, in one block.
// Sets ValueError for any other layout.
const std::uint8_t *rgbxSamples(PyObject *exported, long long pixels)
{
    PyObject *schemaCapsule = nullptr, *arrayCapsule = nullptr;
    if (!PyArg_ParseTuple(exported, "OO", &schemaCapsule, &arrayCapsule))
        return nullptr;
    auto *schema = static_cast<ArrowSchema *>(PyCapsule_GetPointer(schemaCapsule, "arrow_schema"));
    auto *array = static_cast<ArrowArray *>(PyCapsule_GetPointer(arrayCapsule, "arrow_array"));
    if (schema == nullptr || array == nullptr)
        return nullptr;
    const bool fits = schema->release != nullptr && std::strcmp(schema->format, "+w:4") == 0 &&
                      schema->n_children == 1 && std::strcmp(schema->children[0]->format, "C") == 0 &&
                      array->release != nullptr && array->length == pixels && array->offset == 0 &&
                      array->null_count == 0 && array->n_children == 1 && array->children[0]->offset == 0 &&
                      array->children[0]->length == 4 * pixels && array->children[0]->n_buffers == 2 &&
                      array->children[0]->buffers[1] != nullptr;
    if (!fits) {
        PyErr_SetString(PyExc_ValueError, "even_into_module: not an RGB image of the module's size in one block");
        return nullptr;
    }
    return static_cast<const std::uint8_t *>(array->children[0]->buffers[1]);
}

// even_into_module(picture, exponent, knee=0, contrast=False): evens the picture (the module's
// width x height) and writes it into the module's input planes, as SetData would write the evened
// picture. The picture is interleaved RGB bytes, or a Pillow RGB image's Arrow export (its samples
// read where they are). With contrast, returns the contrast map of the evened planes (see
// contrast_map.hpp; three planes of the halved size, the smoothed contrast, the peak and the tint,
// of two bytes a pixel in native order, then the halved colour before whitening, three bytes a
// pixel, see halved_colour.hpp), taken before the module
// whitens them; else None.
PyObject *evenIntoModule(PyObject *, PyObject *args)
{
    PyObject *given;
    double exponent, knee = 0;
    int withContrast = 0;
    if (!PyArg_ParseTuple(args, "Od|dp:even_into_module", &given, &exponent, &knee, &withContrast))
        return nullptr;
    if (!requireExponent(exponent, "even_into_module") || !requireKnee(knee, "even_into_module"))
        return nullptr;
    ModulePlanes planes;
    if (!modulePlanes(false, planes))
        return nullptr;
    if (withContrast && (planes.width < 3 || planes.height < 3)) {
        PyErr_Format(PyExc_ValueError, "even_into_module: %lld x %lld pixels is too small to halve", planes.width,
                     planes.height);
        return nullptr;
    }
    const std::size_t width = std::size_t(planes.width), height = std::size_t(planes.height);
    PyObject *contrast = nullptr;
    if (withContrast) {
        contrast = PyByteArray_FromStringAndSize(nullptr, Py_ssize_t(9 * ((width - 1) / 2) * ((height - 1) / 2)));
        if (contrast == nullptr)
            return nullptr;
    }
    Py_buffer picture{};
    const std::uint8_t *samples = nullptr;
    std::size_t pixelBytes = 3;
    if (PyTuple_Check(given)) {
        samples = rgbxSamples(given, planes.width * planes.height);
        pixelBytes = 4;
    } else if (PyObject_GetBuffer(given, &picture, PyBUF_SIMPLE) == 0) {
        if (requirePicture(picture, planes.width, planes.height, "even_into_module"))
            samples = static_cast<const std::uint8_t *>(picture.buf);
    }
    if (samples == nullptr) {
        if (picture.obj != nullptr)
            PyBuffer_Release(&picture);
        Py_XDECREF(contrast);
        return nullptr;
    }
    const steps::EvenedTarget target{nullptr, planes.red, planes.green, planes.blue};
    auto *contrastOut = contrast ? reinterpret_cast<std::uint16_t *>(PyByteArray_AS_STRING(contrast)) : nullptr;
    const bool done = withoutInterpreterLock([&] {
        steps::evenPicture(samples, width, height, pixelBytes, exponent, knee, target);
        if (contrastOut != nullptr) {
            const std::size_t count = ((width - 1) / 2) * ((height - 1) / 2);
            steps::contrastMap(planes.red, planes.green, planes.blue, 1, width, height,
                               steps::ratioTable(exponent, knee), contrastOut, contrastOut + count,
                               contrastOut + 2 * count);
            steps::halvedColour(planes.red, planes.green, planes.blue, 1, width, height,
                                reinterpret_cast<std::uint8_t *>(contrastOut + 3 * count));
        }
    });
    if (picture.obj != nullptr)
        PyBuffer_Release(&picture);
    if (!done) {
        Py_XDECREF(contrast);
        return PyErr_NoMemory();
    }
    if (contrast != nullptr)
        return contrast;
    Py_RETURN_NONE;
}

// module_output(exact) -> bytearray: the module's output planes interleaved, every sample as it
// is (exact true) or with 0 written as 1, as GetData delivers them (exact false).
PyObject *moduleOutput(PyObject *, PyObject *args)
{
    int exact;
    if (!PyArg_ParseTuple(args, "p:module_output", &exact))
        return nullptr;
    ModulePlanes planes;
    if (!modulePlanes(true, planes))
        return nullptr;
    const std::size_t count = std::size_t(planes.width) * std::size_t(planes.height);
    PyObject *result = PyByteArray_FromStringAndSize(nullptr, Py_ssize_t(3 * count));
    if (result == nullptr)
        return nullptr;
    auto *out = reinterpret_cast<std::uint8_t *>(PyByteArray_AS_STRING(result));
    Py_BEGIN_ALLOW_THREADS
    const std::uint8_t *__restrict r = planes.red, *__restrict g = planes.green, *__restrict b = planes.blue;
    const std::uint8_t lift = exact ? 0 : 1;
    for (std::size_t j = 0; j < count; ++j) {
        out[3 * j] = std::uint8_t(r[j] + (r[j] == 0 ? lift : 0));
        out[3 * j + 1] = std::uint8_t(g[j] + (g[j] == 0 ? lift : 0));
        out[3 * j + 2] = std::uint8_t(b[j] + (b[j] == 0 ? lift : 0));
    }
    Py_END_ALLOW_THREADS
    return result;
}

// Checks a contrast map of width x height pixels (two planes of two-byte values, or three with the
// tint, or those and the halved colour); sets the exception.
bool requireContrast(const Py_buffer &contrast, long long width, long long height, const char *name)
{
    const Py_ssize_t pixels = Py_ssize_t(width) * Py_ssize_t(height);
    if (contrast.len == 4 * pixels || contrast.len == 6 * pixels || contrast.len == 9 * pixels)
        return true;
    PyErr_Format(PyExc_ValueError,
                 "%s: a %lld x %lld contrast map takes %zd bytes (or %zd with its tint, %zd with its colour too), "
                 "not %zd",
                 name, width, height, 4 * pixels, 6 * pixels, 9 * pixels, contrast.len);
    return false;
}

// classify_ink(picture, contrast, width, height, exponent, knee, sensitivity, low_noise, low_floor,
//              seed_noise, seed_floor, sharpness, sure_contrast, edge_share, pale_edge_share,
//              full_contrast, full_join, min_stroke, chroma_cut)
//   -> (codes: bytes, histogram: bytes of float64)
PyObject *classifyInk(PyObject *, PyObject *args)
{
    Py_buffer picture, contrast;
    long long width, height, minStroke;
    double exponent, knee, chromaCut;
    float sensitivity, lowNoise, lowFloor, seedNoise, seedFloor, sharpness, sureContrast, edgeShare, paleEdgeShare,
        fullContrast, fullJoin;
    if (!PyArg_ParseTuple(args,
                          "y*y*LLdd"
                          "fffffffffff"
                          "Ld:classify_ink",
                          &picture, &contrast, &width, &height, &exponent, &knee, &sensitivity, &lowNoise, &lowFloor,
                          &seedNoise, &seedFloor, &sharpness, &sureContrast, &edgeShare, &paleEdgeShare, &fullContrast,
                          &fullJoin, &minStroke, &chromaCut))
        return nullptr;
    auto refuse = [&](const char *message) {
        if (message != nullptr)
            PyErr_SetString(PyExc_ValueError, message);
        PyBuffer_Release(&picture);
        PyBuffer_Release(&contrast);
        return nullptr;
    };
    if (!requirePicture(picture, width, height, "classify_ink") ||
        !requireContrast(contrast, width, height, "classify_ink") || !requireExponent(exponent, "classify_ink") ||
        !requireKnee(knee, "classify_ink"))
        return refuse(nullptr);
    if (!(sensitivity > 0) || !std::isfinite(sensitivity))
        return refuse("classify_ink: the sensitivity must be a positive number");
    const float shares[] = {lowNoise,     lowFloor,  seedNoise,     seedFloor,    sharpness,
                            sureContrast, edgeShare, paleEdgeShare, fullContrast, fullJoin};
    for (float share : shares)
        if (!(share >= 0) || !std::isfinite(share))
            return refuse("classify_ink: the rules' thresholds must be finite and not negative");
    if (minStroke < 0 || !(chromaCut >= 0))
        return refuse("classify_ink: min_stroke and chroma_cut must not be negative");
    steps::InkRules rules;
    rules.ratios = steps::ratioTable(exponent, knee);
    rules.sensitivity = sensitivity;
    rules.lowNoise = lowNoise;
    rules.lowFloor = lowFloor;
    rules.seedNoise = seedNoise;
    rules.seedFloor = seedFloor;
    rules.sharpness = sharpness;
    rules.sureContrast = sureContrast;
    rules.edgeShare = edgeShare;
    rules.paleEdgeShare = paleEdgeShare;
    rules.fullContrast = fullContrast;
    rules.fullJoin = fullJoin;
    rules.minStroke = std::size_t(minStroke);
    rules.chromaCut = chromaCut;

    PyObject *codes = PyBytes_FromStringAndSize(nullptr, picture.len / 3);
    if (codes == nullptr)
        return refuse(nullptr);
    steps::InkHistogram histogram;
    auto *out = reinterpret_cast<std::uint8_t *>(PyBytes_AS_STRING(codes));
    const bool done = withoutInterpreterLock([&] {
        const auto *planes = static_cast<const std::uint16_t *>(contrast.buf);
        const Py_ssize_t pixels = Py_ssize_t(width) * Py_ssize_t(height);
        const bool withTint = contrast.len >= 6 * pixels, withColour = contrast.len == 9 * pixels;
        steps::classifyInk(static_cast<const std::uint8_t *>(picture.buf), planes, planes + pixels,
                           withTint ? planes + 2 * pixels : nullptr,
                           withColour ? reinterpret_cast<const std::uint8_t *>(planes + 3 * pixels) : nullptr,
                           std::size_t(width), std::size_t(height), rules, out, histogram);
    });
    PyBuffer_Release(&picture);
    PyBuffer_Release(&contrast);
    if (!done) {
        Py_DECREF(codes);
        return PyErr_NoMemory();
    }
    PyObject *sums =
        PyBytes_FromStringAndSize(reinterpret_cast<const char *>(histogram.data()), Py_ssize_t(sizeof histogram));
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
        PyErr_Format(PyExc_ValueError, "vote_inks: %zd indexes do not make a %lld x %lld picture", indexes.len, width,
                     height);
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

// set_thread_limit(limit): the most threads one step may use from now on; 0 for one per usable
// core. A batch running a worker process per core gives each worker 1.
PyObject *setThreadLimit(PyObject *, PyObject *args)
{
    long long limit;
    if (!PyArg_ParseTuple(args, "L:set_thread_limit", &limit))
        return nullptr;
    if (limit < 0 || limit > 1024) {
        PyErr_Format(PyExc_ValueError, "set_thread_limit: the limit must be 0 to 1024, not %lld", limit);
        return nullptr;
    }
    steps::setThreadLimit(std::size_t(limit));
    Py_RETURN_NONE;
}

// thread_limit() -> int: the most threads one step uses now.
PyObject *threadLimit(PyObject *, PyObject *) { return PyLong_FromSize_t(steps::threadLimit()); }
// --- page detection and rectification ------------------------------------------------------

// The samples of a picture of width x height pixels given as interleaved RGB bytes (any buffer)
// or as a Pillow RGB image's Arrow export (read where they are, four bytes a pixel). Sets the
// exception and returns false when the picture is neither, or of another size.
struct PictureSamples {
    Py_buffer view{};
    const std::uint8_t *samples = nullptr;
    std::size_t pixelBytes = 3;

    bool acquire(PyObject *given, long long width, long long height, const char *name)
    {
        if (width < 1 || height < 1 || width > PY_SSIZE_T_MAX / 4 / height) {
            PyErr_Format(PyExc_ValueError, "%s: %lld x %lld is not a picture size", name, width, height);
            return false;
        }
        if (PyTuple_Check(given)) {
            samples = rgbxSamples(given, width * height);
            if (samples == nullptr && PyErr_ExceptionMatches(PyExc_ValueError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ValueError, "%s: not an RGB image of %lld x %lld pixels in one block", name, width,
                             height);
            }
            pixelBytes = 4;
            return samples != nullptr;
        }
        if (PyObject_GetBuffer(given, &view, PyBUF_SIMPLE) < 0)
            return false;
        if (!requirePicture(view, width, height, name))
            return false;
        samples = static_cast<const std::uint8_t *>(view.buf);
        return true;
    }
    ~PictureSamples()
    {
        if (view.obj != nullptr)
            PyBuffer_Release(&view);
    }
};

// Checks a buffer of count floats; sets the exception.
bool requireFloats(const Py_buffer &buffer, long long width, long long height, long long perPixel, const char *name)
{
    if (width < 1 || height < 1 || width > PY_SSIZE_T_MAX / 4 / perPixel / height) {
        PyErr_Format(PyExc_ValueError, "%s: %lld x %lld is not a valid size", name, width, height);
        return false;
    }
    const Py_ssize_t needed = Py_ssize_t(4 * perPixel * width * height);
    if (buffer.len != needed) {
        PyErr_Format(PyExc_ValueError, "%s: %lld x %lld pixels of %lld float32 take %zd bytes, not %zd", name, width,
                     height, perPixel, needed, buffer.len);
        return false;
    }
    return true;
}

// shrink_for_detection(picture, width, height, factor) -> bytes of float32 (3 a pixel): the
// (width // factor) x (height // factor) block averages. The picture is interleaved RGB bytes or
// a Pillow RGB image's Arrow export.
PyObject *shrinkForDetection(PyObject *, PyObject *args)
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
    PyObject *result = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(count * sizeof(float)));
    if (result == nullptr)
        return nullptr;
    auto *small = reinterpret_cast<float *>(PyBytes_AS_STRING(result));
    const bool done = withoutInterpreterLock([&] {
        steps::shrinkByBlocks(picture.samples, std::size_t(width), std::size_t(height), picture.pixelBytes,
                              std::size_t(factor), small);
    });
    if (!done) {
        Py_DECREF(result);
        return PyErr_NoMemory();
    }
    return result;
}

// colour_gradients(small, width, height) -> (gx, gy): bytes of float32, one a pixel each.
PyObject *colourGradients(PyObject *, PyObject *args)
{
    Py_buffer small;
    long long width, height;
    if (!PyArg_ParseTuple(args, "y*LL:colour_gradients", &small, &width, &height))
        return nullptr;
    if (!requireFloats(small, width, height, 3, "colour_gradients")) {
        PyBuffer_Release(&small);
        return nullptr;
    }
    const Py_ssize_t bytes = Py_ssize_t(sizeof(float)) * Py_ssize_t(width * height);
    PyObject *gx = PyBytes_FromStringAndSize(nullptr, bytes);
    PyObject *gy = gx == nullptr ? nullptr : PyBytes_FromStringAndSize(nullptr, bytes);
    if (gy == nullptr) {
        Py_XDECREF(gx);
        PyBuffer_Release(&small);
        return nullptr;
    }
    auto *outX = reinterpret_cast<float *>(PyBytes_AS_STRING(gx));
    auto *outY = reinterpret_cast<float *>(PyBytes_AS_STRING(gy));
    Py_BEGIN_ALLOW_THREADS
    steps::colourGradients(static_cast<const float *>(small.buf), std::size_t(width), std::size_t(height), outX, outY);
    Py_END_ALLOW_THREADS
    PyBuffer_Release(&small);
    return Py_BuildValue("(NN)", gx, gy);
}

// vote_lines(gx, gy, width, height, angle_bins, spread, min_strength, max_strength) -> bytes of
// float32: angle_bins rows of rho bins (rho from -diagonal, one pixel a bin).
PyObject *voteLines(PyObject *, PyObject *args)
{
    Py_buffer gx, gy;
    long long width, height, angleBins, spread;
    double minStrength, maxStrength;
    if (!PyArg_ParseTuple(args, "y*y*LLLLdd:vote_lines", &gx, &gy, &width, &height, &angleBins, &spread, &minStrength,
                          &maxStrength))
        return nullptr;
    auto release = [&] {
        PyBuffer_Release(&gx);
        PyBuffer_Release(&gy);
    };
    if (!requireFloats(gx, width, height, 1, "vote_lines") || !requireFloats(gy, width, height, 1, "vote_lines")) {
        release();
        return nullptr;
    }
    if (angleBins < 4 || angleBins > 3600 || spread < 0 || spread >= angleBins / 2 || !(minStrength >= 0) ||
        !(maxStrength >= minStrength) || !std::isfinite(maxStrength)) {
        PyErr_SetString(PyExc_ValueError, "vote_lines: angle_bins must be 4 to 3600, spread below half of them, and "
                                          "0 <= min_strength <= max_strength (finite)");
        release();
        return nullptr;
    }
    steps::LineVoteRules rules;
    rules.angleBins = std::size_t(angleBins);
    rules.spread = std::size_t(spread);
    rules.minStrength = float(minStrength);
    rules.maxStrength = float(maxStrength);
    const std::size_t count = rules.angleBins * steps::rhoBins(std::size_t(width), std::size_t(height));
    PyObject *result = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(count * sizeof(float)));
    if (result == nullptr) {
        release();
        return nullptr;
    }
    auto *votes = reinterpret_cast<float *>(PyBytes_AS_STRING(result));
    const bool done = withoutInterpreterLock([&] {
        std::fill(votes, votes + count, 0.0f);
        steps::voteLines(static_cast<const float *>(gx.buf), static_cast<const float *>(gy.buf), std::size_t(width),
                         std::size_t(height), rules, votes);
    });
    release();
    if (!done) {
        Py_DECREF(result);
        return PyErr_NoMemory();
    }
    return result;
}

// warp_perspective(picture, width, height, map, out_width, out_height) -> bytearray: the RGB
// output; map (9 numbers, row-major) takes output positions to source positions. The picture is
// interleaved RGB bytes or a Pillow RGB image's Arrow export.
PyObject *warpPerspective(PyObject *, PyObject *args)
{
    PyObject *given, *mapObject;
    long long width, height, outWidth, outHeight;
    if (!PyArg_ParseTuple(args, "OLLOLL:warp_perspective", &given, &width, &height, &mapObject, &outWidth, &outHeight))
        return nullptr;
    PictureSamples picture;
    if (!picture.acquire(given, width, height, "warp_perspective"))
        return nullptr;
    steps::Homography map{};
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
    PyObject *result = PyByteArray_FromStringAndSize(nullptr, Py_ssize_t(3 * outWidth * outHeight));
    if (result == nullptr)
        return nullptr;
    auto *out = reinterpret_cast<std::uint8_t *>(PyByteArray_AS_STRING(result));
    const bool done = withoutInterpreterLock([&] {
        steps::warpPerspective(picture.samples, std::size_t(width), std::size_t(height), picture.pixelBytes, map, out,
                               std::size_t(outWidth), std::size_t(outHeight));
    });
    if (!done) {
        Py_DECREF(result);
        return PyErr_NoMemory();
    }
    return result;
}

// contrast_map(picture, width, height) -> bytearray: the contrast map (see contrast_map.hpp) of an
// interleaved RGB picture that was not evened, against white paper.
PyObject *contrastMap(PyObject *, PyObject *args)
{
    Py_buffer picture;
    long long width, height;
    if (!PyArg_ParseTuple(args, "y*LL:contrast_map", &picture, &width, &height))
        return nullptr;
    if (!requirePicture(picture, width, height, "contrast_map")) {
        PyBuffer_Release(&picture);
        return nullptr;
    }
    if (width < 3 || height < 3) {
        PyBuffer_Release(&picture);
        PyErr_Format(PyExc_ValueError, "contrast_map: %lld x %lld pixels is too small to halve", width, height);
        return nullptr;
    }
    const std::size_t w = std::size_t(width), h = std::size_t(height);
    const std::size_t count = ((w - 1) / 2) * ((h - 1) / 2);
    PyObject *result = PyByteArray_FromStringAndSize(nullptr, Py_ssize_t(9 * count));
    if (result == nullptr) {
        PyBuffer_Release(&picture);
        return nullptr;
    }
    const auto *rgb = static_cast<const std::uint8_t *>(picture.buf);
    auto *out = reinterpret_cast<std::uint16_t *>(PyByteArray_AS_STRING(result));
    const bool done = withoutInterpreterLock([&] {
        steps::contrastMap(rgb, rgb + 1, rgb + 2, 3, w, h, steps::ratioTable(1.0, 0.0), out, out + count,
                           out + 2 * count);
        steps::halvedColour(rgb, rgb + 1, rgb + 2, 3, w, h, reinterpret_cast<std::uint8_t *>(out + 3 * count));
    });
    PyBuffer_Release(&picture);
    if (!done) {
        Py_DECREF(result);
        return PyErr_NoMemory();
    }
    return result;
}

PyMethodDef methods[] = {
    {"set_thread_limit", setThreadLimit, METH_VARARGS,
     "set_thread_limit(limit, /)\n--\n\nThe most threads one step may use; 0 for one per usable core."},
    {"thread_limit", threadLimit, METH_NOARGS, "thread_limit()\n--\n\nThe most threads one step uses now."},
    {"vote_inks", voteInks, METH_VARARGS, "vote_inks(indexes, width, height, radius) -> bytes"},
    {"even_background", evenBackground, METH_VARARGS,
     "even_background(picture, width, height, exponent, knee=0) -> bytes"},
    {"even_into_module", evenIntoModule, METH_VARARGS,
     "even_into_module(picture, exponent, knee=0, contrast=False) -> bytearray | None: the evened picture into the"
     " vantrel module's input planes, and its contrast map when asked"},
    {"module_output", moduleOutput, METH_VARARGS,
     "module_output(exact) -> bytearray: the vantrel module's output planes, interleaved"},
    {"classify_ink", classifyInk, METH_VARARGS,
     "classify_ink(picture, contrast, width, height, exponent, knee, sensitivity, low_noise, low_floor, seed_noise,"
     " seed_floor, sharpness, sure_contrast, edge_share, pale_edge_share, full_contrast, full_join, min_stroke,"
     " chroma_cut)"
     " -> (codes, histogram)"},
    {"shrink_for_detection", shrinkForDetection, METH_VARARGS,
     "shrink_for_detection(picture, width, height, factor) -> bytes: block averages as float32"},
    {"colour_gradients", colourGradients, METH_VARARGS, "colour_gradients(small, width, height) -> (gx, gy)"},
    {"vote_lines", voteLines, METH_VARARGS,
     "vote_lines(gx, gy, width, height, angle_bins, spread, min_strength, max_strength) -> bytes"},
    {"warp_perspective", warpPerspective, METH_VARARGS,
     "warp_perspective(picture, width, height, map, out_width, out_height) -> bytearray"},
    {"contrast_map", contrastMap, METH_VARARGS,
     "contrast_map(picture, width, height) -> bytearray: the halved contrast of a picture to white paper"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduleDefinition = {
    PyModuleDef_HEAD_INIT,
    "vantrel_clean._steps",
    "The cleaning road's per-pixel steps beyond the vantrel module.",
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
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
