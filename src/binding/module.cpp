// The module's entry: creates the link object, the module "vantrel" with its method table, the
// constants and cvar, registers the variables and the integer type equivalences. PyInit_vantrel
// is the only symbol the library exports.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "pointer_strings.hpp"
#include "varlink.hpp"
#include "wrappers.hpp"

namespace vantrel {

namespace {

// Held for the life of the process, as is the reference in the module dictionary.
PyObject *globalVariables = nullptr;

PyMethodDef moduleMethods[] = {
    {"dump", wrapDump, METH_VARARGS, nullptr},
    {"GetBlue", wrapGetBlue, METH_VARARGS, nullptr},
    {"GetGreen", wrapGetGreen, METH_VARARGS, nullptr},
    {"GetRed", wrapGetRed, METH_VARARGS, nullptr},
    {"SetBottomRightPixel", wrapSetBottomRightPixel, METH_VARARGS, nullptr},
    {"SetBottomLeftPixel", wrapSetBottomLeftPixel, METH_VARARGS, nullptr},
    {"SetTopRightPixel", wrapSetTopRightPixel, METH_VARARGS, nullptr},
    {"SetTopLeftPixel", wrapSetTopLeftPixel, METH_VARARGS, nullptr},
    {"SetBottomPixel", wrapSetBottomPixel, METH_VARARGS, nullptr},
    {"SetTopPixel", wrapSetTopPixel, METH_VARARGS, nullptr},
    {"SetRightPixel", wrapSetRightPixel, METH_VARARGS, nullptr},
    {"SetCenterPixel", wrapSetCenterPixel, METH_VARARGS, nullptr},
    {"SetLeftPixel", wrapSetLeftPixel, METH_VARARGS, nullptr},
    {"BSplineFilter", wrapBSplineFilter, METH_VARARGS, nullptr},
    {"AverageFilter", wrapAverageFilter, METH_VARARGS, nullptr},
    {"CenterFilter", wrapCenterFilter, METH_VARARGS, nullptr},
    {"RemoveNoise", wrapRemoveNoise, METH_VARARGS, nullptr},
    {"Flatten", wrapFlatten, METH_VARARGS, nullptr},
    {"StandardizeColors", wrapStandardizeColors, METH_VARARGS, nullptr},
    {"CalculateColorRange", wrapCalculateColorRange, METH_VARARGS, nullptr},
    {"SetColors", wrapSetColors, METH_VARARGS, nullptr},
    {"Cleanup", wrapCleanup, METH_VARARGS, nullptr},
    {"Calculate", wrapCalculate, METH_VARARGS, nullptr},
    {"SetPixelData", wrapSetPixelData, METH_VARARGS, nullptr},
    {"CreateArrays", wrapCreateArrays, METH_VARARGS, nullptr},
    {"SetData", wrapSetData, METH_VARARGS, nullptr},
    {"GetData", wrapGetData, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduleDefinition = {
    PyModuleDef_HEAD_INIT,
    "vantrel",
    nullptr, // no module docstring: the type stub and the README document the functions
    -1,      // the image state is global to the process
    moduleMethods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject *initialise()
{
    globalVariables = varlinkCreate();
    if (globalVariables == nullptr)
        return nullptr;
    PyObject *module = PyModule_Create(&moduleDefinition);
    if (module == nullptr)
        return nullptr;
    if (PyModule_AddIntConstant(module, "RED", 0) < 0 || PyModule_AddIntConstant(module, "GREEN", 1) < 0 ||
        PyModule_AddIntConstant(module, "BLUE", 2) < 0 || PyModule_AddIntConstant(module, "BACKGROUND_CUT", 200) < 0 ||
        PyModule_AddObjectRef(module, "cvar", globalVariables) < 0 || registerModuleVariables(globalVariables) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    if (!registerIntegerTypeEquivalences()) {
        Py_DECREF(module);
        return PyErr_NoMemory();
    }
    return module;
}

} // namespace

} // namespace vantrel

PyMODINIT_FUNC PyInit_vantrel(void) { return vantrel::initialise(); }
