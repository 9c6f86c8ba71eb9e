// One small wrapper per step of vantrel_clean._steps: parse the arguments, check what the step
// trusts, run the step through runStep, build the result. Every refusal raises before anything
// is written.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace steps {

// The evening and the contrast of a picture the caller holds (evening_wrappers.cpp).
PyObject *wrapEvenBackground(PyObject *, PyObject *args);
PyObject *wrapContrastMap(PyObject *, PyObject *args);

// The steps on the vantrel module's planes (module_wrappers.cpp).
PyObject *wrapEvenIntoModule(PyObject *, PyObject *args);
PyObject *wrapModuleOutput(PyObject *, PyObject *args);

// The ink decision and the vote along strokes (ink_wrappers.cpp).
PyObject *wrapClassifyInk(PyObject *, PyObject *args);
PyObject *wrapVoteInks(PyObject *, PyObject *args);

// Page detection and rectification (detection_wrappers.cpp).
PyObject *wrapShrinkForDetection(PyObject *, PyObject *args);
PyObject *wrapColourGradients(PyObject *, PyObject *args);
PyObject *wrapVoteLines(PyObject *, PyObject *args);
PyObject *wrapWarpPerspective(PyObject *, PyObject *args);

// The thread budget of the steps (thread_wrappers.cpp).
PyObject *wrapSetThreadLimit(PyObject *, PyObject *args);
PyObject *wrapThreadLimit(PyObject *, PyObject *);

} // namespace steps
