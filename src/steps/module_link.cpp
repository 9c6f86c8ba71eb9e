// Reads the module's sizes and pointer strings from its cvar, with the module's own parser of
// pointer strings, and asks its single-sample calls about the planes.
#include "module_link.hpp"

#include "pointer_strings.hpp"

namespace steps {

namespace {

// The address in a pointer string such as "_7f12a0_unsigned_char_p"; ValueError for "NULL", and
// TypeError for anything else.
bool readPointer(PyObject *cvar, const char *variable, std::uint8_t **address)
{
    PyObject *value = PyObject_GetAttrString(cvar, variable);
    if (value == nullptr)
        return false;
    const char *text = PyUnicode_Check(value) ? PyUnicode_AsUTF8(value) : nullptr;
    void *pointer = nullptr;
    const bool parsed =
        text != nullptr && vantrel::parsePointerString(text, &pointer, vantrel::kBytePointerType) == nullptr;
    Py_DECREF(value);
    if (parsed && pointer != nullptr) {
        *address = static_cast<std::uint8_t *>(pointer);
        return true;
    }
    if (parsed)
        PyErr_Format(PyExc_ValueError, "the vantrel module holds no buffers (cvar.%s is NULL): call CreateArrays first",
                     variable);
    else if (!PyErr_Occurred())
        PyErr_Format(PyExc_TypeError, "cvar.%s is not a pointer string of the vantrel module", variable);
    return false;
}

bool readSize(PyObject *cvar, const char *variable, long long *size)
{
    PyObject *value = PyObject_GetAttrString(cvar, variable);
    if (value == nullptr)
        return false;
    *size = PyLong_AsLongLong(value);
    Py_DECREF(value);
    return !(*size == -1 && PyErr_Occurred());
}

bool moduleHolds(PyObject *vantrel, const char *method, long long lastIndex)
{
    PyObject *result = method[0] == 'S' ? PyObject_CallMethod(vantrel, method, "iiiL", 0, 0, 0, lastIndex)
                                        : PyObject_CallMethod(vantrel, method, "L", lastIndex);
    Py_XDECREF(result);
    return result != nullptr;
}

bool samePlanes(const ModulePlanes &a, const ModulePlanes &b)
{
    return a.width == b.width && a.height == b.height && a.red == b.red && a.green == b.green && a.blue == b.blue;
}

} // namespace

bool readModulePlanes(Planes side, ModulePlanes &planes)
{
    PyObject *vantrel = PyImport_ImportModule("vantrel");
    if (vantrel == nullptr)
        return false;
    PyObject *cvar = PyObject_GetAttrString(vantrel, "cvar");
    Py_DECREF(vantrel);
    const bool output = side == Planes::Output;
    bool ok = cvar != nullptr && readSize(cvar, output ? "outWidth" : "width", &planes.width) &&
              readSize(cvar, output ? "outHeight" : "height", &planes.height) &&
              readPointer(cvar, output ? "outRed" : "red", &planes.red) &&
              readPointer(cvar, output ? "outGreen" : "green", &planes.green) &&
              readPointer(cvar, output ? "outBlue" : "blue", &planes.blue);
    Py_XDECREF(cvar);
    if (ok && (planes.width < 1 || planes.height < 1 || planes.width > PY_SSIZE_T_MAX / 4 / planes.height)) {
        PyErr_Format(PyExc_ValueError, "the vantrel module's %s size %lld x %lld holds no picture",
                     output ? "output" : "input", planes.width, planes.height);
        ok = false;
    }
    return ok;
}

bool confirmModulePlanes(Planes side, const ModulePlanes &checked)
{
    PyObject *vantrel = PyImport_ImportModule("vantrel");
    if (vantrel == nullptr)
        return false;
    const long long last = checked.width * checked.height - 1;
    bool ok = side == Planes::Output ? moduleHolds(vantrel, "GetRed", last) && moduleHolds(vantrel, "GetGreen", last) &&
                                           moduleHolds(vantrel, "GetBlue", last)
                                     : moduleHolds(vantrel, "SetPixelData", last);
    Py_DECREF(vantrel);
    ModulePlanes now;
    if (ok && readModulePlanes(side, now) && !samePlanes(now, checked))
        PyErr_SetString(PyExc_ValueError, "the vantrel module's planes changed during the call");
    return ok && !PyErr_Occurred();
}

} // namespace steps
