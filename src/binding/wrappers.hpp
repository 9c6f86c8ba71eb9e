// One wrapper per module function: parse the arguments, check what the core trusts, call the
// core operation, build the result.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vantrel {

PyObject *wrapCreateArrays(PyObject *, PyObject *args);
PyObject *wrapSetData(PyObject *, PyObject *args);
PyObject *wrapGetData(PyObject *, PyObject *args);
PyObject *wrapSetPixelData(PyObject *, PyObject *args);
PyObject *wrapGetRed(PyObject *, PyObject *args);
PyObject *wrapGetGreen(PyObject *, PyObject *args);
PyObject *wrapGetBlue(PyObject *, PyObject *args);
PyObject *wrapCleanup(PyObject *, PyObject *args);
PyObject *wrapDump(PyObject *, PyObject *args);

PyObject *wrapCalculate(PyObject *, PyObject *args);
PyObject *wrapCenterFilter(PyObject *, PyObject *args);
PyObject *wrapAverageFilter(PyObject *, PyObject *args);
PyObject *wrapBSplineFilter(PyObject *, PyObject *args);
PyObject *wrapSetLeftPixel(PyObject *, PyObject *args);
PyObject *wrapSetCenterPixel(PyObject *, PyObject *args);
PyObject *wrapSetRightPixel(PyObject *, PyObject *args);
PyObject *wrapSetTopPixel(PyObject *, PyObject *args);
PyObject *wrapSetBottomPixel(PyObject *, PyObject *args);
PyObject *wrapSetTopLeftPixel(PyObject *, PyObject *args);
PyObject *wrapSetTopRightPixel(PyObject *, PyObject *args);
PyObject *wrapSetBottomLeftPixel(PyObject *, PyObject *args);
PyObject *wrapSetBottomRightPixel(PyObject *, PyObject *args);

PyObject *wrapCalculateColorRange(PyObject *, PyObject *args);
PyObject *wrapStandardizeColors(PyObject *, PyObject *args);
PyObject *wrapSetColors(PyObject *, PyObject *args);

PyObject *wrapFlatten(PyObject *, PyObject *args);
PyObject *wrapRemoveNoise(PyObject *, PyObject *args);

} // namespace vantrel
