// The two structures of the Arrow C data interface, and the one layout the steps read.
#include "arrow_layout.hpp"

#include <cstring>

namespace steps {

namespace {

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

} // namespace

const std::uint8_t *rgbxSamples(PyObject *exported, long long pixels)
{
    PyObject *schemaCapsule = nullptr, *arrayCapsule = nullptr;
    if (!PyArg_ParseTuple(exported, "OO", &schemaCapsule, &arrayCapsule))
        return nullptr;
    auto *schema = static_cast<ArrowSchema *>(PyCapsule_GetPointer(schemaCapsule, "arrow_schema"));
    auto *array = static_cast<ArrowArray *>(PyCapsule_GetPointer(arrayCapsule, "arrow_array"));
    if (schema == nullptr || array == nullptr)
        return nullptr;
    // A fixed-size list of four bytes a pixel, one child of bytes, with no offsets or nulls.
    const bool fits = schema->release != nullptr && std::strcmp(schema->format, "+w:4") == 0 &&
                      schema->n_children == 1 && std::strcmp(schema->children[0]->format, "C") == 0 &&
                      array->release != nullptr && array->length == pixels && array->offset == 0 &&
                      array->null_count == 0 && array->n_children == 1 && array->children[0]->offset == 0 &&
                      array->children[0]->length == 4 * pixels && array->children[0]->n_buffers == 2 &&
                      array->children[0]->buffers[1] != nullptr;
    if (!fits) {
        PyErr_SetString(PyExc_ValueError, "not an RGB image of the expected size in one block");
        return nullptr;
    }
    return static_cast<const std::uint8_t *>(array->children[0]->buffers[1]);
}

} // namespace steps
