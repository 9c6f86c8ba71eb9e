// The link object `cvar`: one object of the type "varlink" whose attributes are the module's
// variables. Reading an attribute runs the variable's getter, assigning runs its setter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vantrel {

using VariableGetter = PyObject *(*)();
using VariableSetter = int (*)(PyObject *value); // 0 stored, 1 refused with an exception set

struct LinkedVariable {
    char *name;
    VariableGetter getter;
    VariableSetter setter;
};

struct varlinkObject {
    PyObject_HEAD
    LinkedVariable **vars; // registration order, closed by a null reference
    int count;
    int capacity; // one slot always kept for the closing null
};

// A new link object with no variables, or null with an exception set.
PyObject *varlinkCreate();

// Registers a variable under a copy of name. Returns 0, or -1 with MemoryError set when the
// record or the name copy cannot be allocated; a failed enlargement of the variable array ends
// the process, as it can only happen while the module initialises.
int varlinkAdd(PyObject *link, const char *name, VariableGetter getter, VariableSetter setter);

// Registers the module's 30 variables in their published order.
int registerModuleVariables(PyObject *link);

} // namespace vantrel
