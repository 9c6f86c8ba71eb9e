// The "varlink" type: attribute access by a linear walk over the registered variables, the
// representation "<Global variables>" and the listing of the variable names.
#include "varlink.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vantrel {

namespace {

LinkedVariable *findVariable(varlinkObject *link, const char *name)
{
    for (LinkedVariable **var = link->vars; *var != nullptr; ++var)
        if (std::strcmp((*var)->name, name) == 0)
            return *var;
    return nullptr;
}

// The UTF-8 text of an attribute name, or null when it cannot be one of ours (not encodable,
// or holding a zero byte that would cut it short); no exception is left set.
const char *nameText(PyObject *name)
{
    Py_ssize_t size = 0;
    const char *text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (text == nullptr || std::strlen(text) != static_cast<std::size_t>(size)) {
        PyErr_Clear();
        return nullptr;
    }
    return text;
}

bool isSpecialName(const char *name)
{
    const std::size_t length = std::strlen(name);
    return length > 4 && std::strncmp(name, "__", 2) == 0 && std::strcmp(name + length - 2, "__") == 0;
}

void setNotFound(PyObject *name) { PyErr_Format(PyExc_NameError, "C global variable %S not found.", name); }

PyObject *varlinkGetAttr(PyObject *self, PyObject *name)
{
    const char *text = nameText(name);
    if (text != nullptr) {
        if (LinkedVariable *var = findVariable(reinterpret_cast<varlinkObject *>(self), text))
            return var->getter();
        // The interpreter's own protocol names (__class__, __dir__, __doc__, ...) resolve through
        // the type, with its AttributeError when missing, so isinstance(), dir(), help(),
        // getattr(cvar, "__name__", None) and friends work on the object.
        if (isSpecialName(text))
            return PyObject_GenericGetAttr(self, name);
    }
    setNotFound(name);
    return nullptr;
}

int varlinkSetAttr(PyObject *self, PyObject *name, PyObject *value)
{
    const char *text = nameText(name);
    LinkedVariable *var = text ? findVariable(reinterpret_cast<varlinkObject *>(self), text) : nullptr;
    if (var == nullptr) {
        setNotFound(name);
        return -1;
    }
    if (value == nullptr) {
        PyErr_Format(PyExc_TypeError, "Variable %s cannot be deleted.", var->name);
        return -1;
    }
    return var->setter(value) == 0 ? 0 : -1;
}

PyObject *varlinkRepr(PyObject *) { return PyUnicode_FromString("<Global variables>"); }

// The listing the interpreter once printed for the object; print(cvar) writes it now.
PyObject *varlinkStr(PyObject *self)
{
    auto *link = reinterpret_cast<varlinkObject *>(self);
    PyObject *names = PyList_New(0);
    if (names == nullptr)
        return nullptr;
    for (LinkedVariable **var = link->vars; *var != nullptr; ++var) {
        PyObject *name = PyUnicode_FromString((*var)->name);
        if (name == nullptr || PyList_Append(names, name) < 0) {
            Py_XDECREF(name);
            Py_DECREF(names);
            return nullptr;
        }
        Py_DECREF(name);
    }
    PyObject *separator = PyUnicode_FromString(", ");
    PyObject *joined = separator ? PyUnicode_Join(separator, names) : nullptr;
    Py_XDECREF(separator);
    Py_DECREF(names);
    if (joined == nullptr)
        return nullptr;
    PyObject *listing = PyUnicode_FromFormat("Global variables { %U }", joined);
    Py_DECREF(joined);
    return listing;
}

PyObject *varlinkDir(PyObject *self, PyObject *)
{
    auto *link = reinterpret_cast<varlinkObject *>(self);
    PyObject *names = PyList_New(link->count);
    if (names == nullptr)
        return nullptr;
    for (int i = 0; i < link->count; ++i) {
        PyObject *name = PyUnicode_FromString(link->vars[i]->name);
        if (name == nullptr) {
            Py_DECREF(names);
            return nullptr;
        }
        PyList_SET_ITEM(names, i, name);
    }
    return names;
}

PyMethodDef varlinkMethods[] = {
    {"__dir__", varlinkDir, METH_NOARGS, "The names of the module's variables."},
    {nullptr, nullptr, 0, nullptr},
};

const char varlinkDoc[] = "The variables of the vantrel module as attributes: the picture sizes, pos, the buffer "
                          "pointers, the ink-range bytes and the neighbourhood registers.";

PyType_Slot varlinkSlots[] = {
    {Py_tp_repr, reinterpret_cast<void *>(varlinkRepr)},
    {Py_tp_str, reinterpret_cast<void *>(varlinkStr)},
    {Py_tp_getattro, reinterpret_cast<void *>(varlinkGetAttr)},
    {Py_tp_setattro, reinterpret_cast<void *>(varlinkSetAttr)},
    {Py_tp_methods, varlinkMethods},
    {Py_tp_doc, const_cast<char *>(varlinkDoc)},
    {0, nullptr},
};

// Like a static type: no instances made from Python, no subclasses, no attributes set on it.
// The type's name is "varlink", of the module vantrel.
PyType_Spec varlinkSpec = {
    "vantrel.varlink",
    sizeof(varlinkObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    varlinkSlots,
};

// The type, made on first use and kept for the life of the process.
PyTypeObject *varlinkType()
{
    static PyObject *type = nullptr;
    if (type == nullptr)
        type = PyType_FromSpec(&varlinkSpec);
    return reinterpret_cast<PyTypeObject *>(type);
}

} // namespace

PyObject *varlinkCreate()
{
    PyTypeObject *type = varlinkType();
    if (type == nullptr)
        return nullptr;
    varlinkObject *link = PyObject_New(varlinkObject, type);
    if (link == nullptr)
        return nullptr;
    link->count = 0;
    link->capacity = 64;
    link->vars = static_cast<LinkedVariable **>(std::malloc(sizeof(LinkedVariable *) * 64));
    if (link->vars == nullptr) {
        Py_DECREF(link);
        return PyErr_NoMemory();
    }
    link->vars[0] = nullptr;
    return reinterpret_cast<PyObject *>(link);
}

int varlinkAdd(PyObject *self, const char *name, VariableGetter getter, VariableSetter setter)
{
    auto *link = reinterpret_cast<varlinkObject *>(self);
    if (link->count >= link->capacity - 1) {
        const int capacity = link->capacity * 2;
        auto *grown = static_cast<LinkedVariable **>(
            std::realloc(link->vars, sizeof(LinkedVariable *) * static_cast<std::size_t>(capacity)));
        if (grown == nullptr) {
            std::fprintf(stderr, "vantrel : Fatal error in initializing Python module.\n");
            std::exit(1);
        }
        link->vars = grown;
        link->capacity = capacity;
    }
    auto *var = static_cast<LinkedVariable *>(std::malloc(sizeof(LinkedVariable)));
    char *copy = static_cast<char *>(std::malloc(std::strlen(name) + 1));
    if (var == nullptr || copy == nullptr) {
        std::free(var);
        std::free(copy);
        PyErr_NoMemory();
        return -1;
    }
    std::strcpy(copy, name);
    *var = LinkedVariable{copy, getter, setter};
    link->vars[link->count] = var;
    ++link->count;
    link->vars[link->count] = nullptr;
    return 0;
}

} // namespace vantrel
