// vantrel_clean._steps: the cleaning road's own per-pixel steps beyond the vantrel module. The
// module's entry: the method table and the constants. PyInit__steps is the only symbol the
// library exports. Each docstring starts with its signature, for inspect.signature and help();
// the type stub _steps.pyi documents the functions in full.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ink_classes.hpp"
#include "step_wrappers.hpp"

namespace steps {

namespace {

PyMethodDef methods[] = {
    {"even_background", wrapEvenBackground, METH_VARARGS,
     "even_background($module, picture, width, height, exponent, knee=0.0, /)\n--\n\n"
     "The picture (width x height interleaved RGB) with its paper brought to white: a bytearray."},
    {"contrast_map", wrapContrastMap, METH_VARARGS,
     "contrast_map($module, picture, width, height, /)\n--\n\n"
     "The halved contrast map of a picture that was not evened, against white paper."},
    {"even_into_module", wrapEvenIntoModule, METH_VARARGS,
     "even_into_module($module, picture, exponent, knee=0.0, contrast=False, /)\n--\n\n"
     "The evened picture written into the vantrel module's input planes; its contrast map when asked, else None."},
    {"module_output", wrapModuleOutput, METH_VARARGS,
     "module_output($module, exact, /)\n--\n\n"
     "The vantrel module's output planes interleaved: as they are (exact), or with 0 written as 1 as GetData does."},
    {"classify_ink", wrapClassifyInk, METH_VARARGS,
     "classify_ink($module, picture, contrast, width, height, exponent, knee, sensitivity, low_noise, low_floor,"
     " seed_noise, seed_floor, sharpness, sure_contrast, edge_share, pale_edge_share, full_contrast, full_join,"
     " min_stroke, chroma_cut, /)\n--\n\n"
     "A class code per pixel and the histogram of the classes: (codes, histogram)."},
    {"vote_inks", wrapVoteInks, METH_VARARGS,
     "vote_inks($module, indexes, width, height, radius, /)\n--\n\n"
     "Every ink pixel's palette index with the ink most of its window holds (paper stays 0)."},
    {"shrink_for_detection", wrapShrinkForDetection, METH_VARARGS,
     "shrink_for_detection($module, picture, width, height, factor, /)\n--\n\n"
     "The (width // factor) x (height // factor) block averages of an RGB picture, float32."},
    {"colour_gradients", wrapColourGradients, METH_VARARGS,
     "colour_gradients($module, small, width, height, /)\n--\n\n"
     "The x and y gradients (float32) of a float32 RGB picture: (gx, gy)."},
    {"vote_lines", wrapVoteLines, METH_VARARGS,
     "vote_lines($module, gx, gy, width, height, angle_bins, spread, min_strength, max_strength, /)\n--\n\n"
     "Votes for oriented lines, float32: angle_bins rows of rho bins."},
    {"warp_perspective", wrapWarpPerspective, METH_VARARGS,
     "warp_perspective($module, picture, width, height, map, out_width, out_height, /)\n--\n\n"
     "The out_width x out_height RGB picture the map (output to source) takes from the picture."},
    {"set_thread_limit", wrapSetThreadLimit, METH_VARARGS,
     "set_thread_limit($module, limit, /)\n--\n\nThe most threads one step may use; 0 for one per usable core."},
    {"thread_limit", wrapThreadLimit, METH_NOARGS,
     "thread_limit($module, /)\n--\n\nThe most threads one step uses now."},
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

PyObject *initialise()
{
    PyObject *module = PyModule_Create(&moduleDefinition);
    if (module == nullptr)
        return nullptr;
    if (PyModule_AddIntConstant(module, "HUE_BINS", long(kHueBins)) < 0 ||
        PyModule_AddIntConstant(module, "HISTOGRAM_FIELDS", long(kHistogramFields)) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

} // namespace

} // namespace steps

PyMODINIT_FUNC PyInit__steps() { return steps::initialise(); }
