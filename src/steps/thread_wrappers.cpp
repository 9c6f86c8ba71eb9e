// The wrappers of the steps' thread budget (row_ranges.hpp).
#include "step_wrappers.hpp"

#include "row_ranges.hpp"

namespace steps {

PyObject *wrapSetThreadLimit(PyObject *, PyObject *args)
{
    long long limit;
    if (!PyArg_ParseTuple(args, "L:set_thread_limit", &limit))
        return nullptr;
    if (limit < 0 || limit > 1024) {
        PyErr_Format(PyExc_ValueError, "set_thread_limit: the limit must be 0 to 1024, not %lld", limit);
        return nullptr;
    }
    setThreadLimit(std::size_t(limit));
    Py_RETURN_NONE;
}

PyObject *wrapThreadLimit(PyObject *, PyObject *) { return PyLong_FromSize_t(threadLimit()); }

} // namespace steps
