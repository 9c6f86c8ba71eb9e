// The checks a step's wrapper makes before it calls the trusting steps, the buffers it holds for
// the call, and the one runner through which every step runs: each check raises a Python
// exception with a clear message and returns false.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>
#include <stdexcept>

namespace steps {

// A buffer the wrapper holds for the call ("y*" of the tuple parser, or acquired by hand),
// released when the wrapper returns.
struct HeldBuffer {
    Py_buffer view{};
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer &) = delete;
    HeldBuffer &operator=(const HeldBuffer &) = delete;
    ~HeldBuffer()
    {
        if (view.obj != nullptr)
            PyBuffer_Release(&view);
    }
};

// A new object the wrapper builds its result in: dropped on a refusal, handed over on success.
struct NewObject {
    PyObject *object = nullptr;
    explicit NewObject(PyObject *made) : object(made) {}
    NewObject(const NewObject &) = delete;
    NewObject &operator=(const NewObject &) = delete;
    ~NewObject() { Py_XDECREF(object); }
    PyObject *release()
    {
        PyObject *result = object;
        object = nullptr;
        return result;
    }
};

// A picture of width x height pixels of three bytes (3 * width * height fits in Py_ssize_t).
bool requirePicture(const Py_buffer &picture, long long width, long long height, const char *function);

// The exponent of the evening's curve: positive and finite.
bool requireExponent(double exponent, const char *function);

// The knee of the evening's curve: 0 (none) up to below 0.5.
bool requireKnee(double knee, const char *function);

// A contrast map of width x height pixels: two planes of two-byte values.
bool requireContrast(const Py_buffer &contrast, long long width, long long height, const char *function);

// width x height pixels of perPixel float32 samples each.
bool requireFloats(const Py_buffer &buffer, long long width, long long height, long long perPixel,
                   const char *function);

// The samples of a picture of width x height pixels given as interleaved RGB bytes (any buffer)
// or as a Pillow RGB image's Arrow export (read where they are, four bytes a pixel).
struct PictureSamples {
    HeldBuffer held;
    const std::uint8_t *samples = nullptr;
    std::size_t pixelBytes = 3;

    // Sets the exception and returns false when the picture is neither, or of another size.
    bool acquire(PyObject *given, long long width, long long height, const char *function);
};

// Whether a step releases the interpreter lock while it works: only when it touches buffers the
// call holds, never the vantrel module's planes, which another thread could release meanwhile.
enum class Lock { Keep, Release };

// Runs work and turns every C++ exception it throws into a Python exception: MemoryError for a
// failed allocation, ValueError for invalid_argument and length_error, RuntimeError with the
// message for any other. Returns false when it set one. No C++ exception reaches the interpreter.
template <class Work> bool runStep(Lock lock, Work &&work)
{
    PyObject *type = nullptr;
    char message[256] = "a native step failed";
    PyThreadState *state = lock == Lock::Release ? PyEval_SaveThread() : nullptr;
    try {
        work();
    } catch (const std::bad_alloc &) {
        type = PyExc_MemoryError;
    } catch (const std::invalid_argument &error) {
        type = PyExc_ValueError;
        std::snprintf(message, sizeof message, "%s", error.what());
    } catch (const std::length_error &error) {
        type = PyExc_ValueError;
        std::snprintf(message, sizeof message, "%s", error.what());
    } catch (const std::exception &error) {
        type = PyExc_RuntimeError;
        std::snprintf(message, sizeof message, "%s", error.what());
    } catch (...) {
        type = PyExc_RuntimeError;
    }
    // The exception is set only once the lock is held again.
    if (state != nullptr)
        PyEval_RestoreThread(state);
    if (type == PyExc_MemoryError)
        PyErr_NoMemory();
    else if (type != nullptr)
        PyErr_SetString(type, message);
    return type == nullptr;
}

} // namespace steps
