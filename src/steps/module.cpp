// vantrel_clean._steps: the cleaning road's own per-pixel steps beyond the vantrel module. The
// module's entry: the method table and the constants. PyInit__steps is the only symbol the
// library exports. Each docstring starts with its signature, for inspect.signature and help();
// the type stub _steps.pyi documents the functions in full.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "class_codes.hpp"
#include "ink_classes.hpp"
#include "step_wrappers.hpp"

#include <charconv>
#include <cstdlib>
#include <utility>

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
     "vote_inks($module, indexes, width, height, radius, lookup=None, /)\n--\n\n"
     "Every ink pixel's palette index (its class code through lookup) with the ink most of its window holds."},
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

// A float of the rules as Python writes it: the shortest decimal that reads back as the same
// float32 (0.04, not 0.039999999105930328), which is also what classify_ink turns it back into.
PyObject *ruleNumber(double value, bool single)
{
    char text[64];
    const auto written = single ? std::to_chars(text, text + sizeof text - 1, float(value))
                                : std::to_chars(text, text + sizeof text - 1, value);
    *written.ptr = '\0';
    return PyFloat_FromDouble(std::strtod(text, nullptr));
}

// The defaults of the ink decision's rules, by the names of classify_ink's arguments.
PyObject *inkRuleDefaults()
{
    const InkRules rules;
    const std::pair<const char *, float> singles[] = {
        {"low_noise", rules.lowNoise},         {"low_floor", rules.lowFloor},
        {"seed_noise", rules.seedNoise},       {"seed_floor", rules.seedFloor},
        {"sharpness", rules.sharpness},        {"sure_contrast", rules.sureContrast},
        {"edge_share", rules.edgeShare},       {"pale_edge_share", rules.paleEdgeShare},
        {"full_contrast", rules.fullContrast}, {"full_join", rules.fullJoin},
    };
    PyObject *defaults = PyDict_New();
    bool ok = defaults != nullptr;
    for (const auto &[name, value] : singles) {
        PyObject *number = ok ? ruleNumber(value, true) : nullptr;
        ok = number != nullptr && PyDict_SetItemString(defaults, name, number) == 0;
        Py_XDECREF(number);
    }
    PyObject *minStroke = ok ? PyLong_FromSize_t(rules.minStroke) : nullptr;
    PyObject *chromaCut = ok ? ruleNumber(rules.chromaCut, false) : nullptr;
    ok = ok && minStroke != nullptr && chromaCut != nullptr &&
         PyDict_SetItemString(defaults, "min_stroke", minStroke) == 0 &&
         PyDict_SetItemString(defaults, "chroma_cut", chromaCut) == 0;
    Py_XDECREF(minStroke);
    Py_XDECREF(chromaCut);
    if (!ok)
        Py_CLEAR(defaults);
    return defaults;
}

PyObject *initialise()
{
    PyObject *module = PyModule_Create(&moduleDefinition);
    if (module == nullptr)
        return nullptr;
    const struct {
        const char *name;
        std::size_t value;
    } constants[] = {
        {"HUE_BINS", kHueBins},     {"NEUTRAL_BIN", kNeutralBin}, {"HISTOGRAM_FIELDS", kHistogramFields},
        {"PAPER_CODE", kPaperCode}, {"FIRST_CODE", kFirstCode},   {"CODES_PER_SLOT", kCodesPerSlot},
    };
    bool ok = true;
    for (const auto &constant : constants)
        ok = ok && PyModule_AddIntConstant(module, constant.name, long(constant.value)) == 0;
    PyObject *defaults = ok ? inkRuleDefaults() : nullptr;
    ok = defaults != nullptr && PyModule_AddObjectRef(module, "INK_RULE_DEFAULTS", defaults) == 0;
    Py_XDECREF(defaults);
    if (!ok) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

} // namespace

} // namespace steps

PyMODINIT_FUNC PyInit__steps() { return steps::initialise(); }
