// The wrappers of the picture passes: Calculate, the kernels and register setters, the ink
// colours, Flatten and RemoveNoise. Each checks that the pass stays inside the buffers before
// the core runs it.
#include "wrappers.hpp"

#include "buffer_checks.hpp"

#include "../core/flatten_noise.hpp"
#include "../core/image_state.hpp"
#include "../core/ink_colors.hpp"
#include "../core/pass_extents.hpp"
#include "../core/kernels.hpp"

#include <climits>

namespace vantrel {

namespace {

PyObject *setRegisterFrom(PyObject *args, const char *format,
                          void (*setter)(unsigned char, unsigned char, unsigned char))
{
    unsigned char r, g, b;
    if (!PyArg_ParseTuple(args, format, &r, &g, &b))
        return nullptr;
    setter(r, g, b);
    Py_RETURN_NONE;
}

// The kernels write the one output pixel at pos.
PyObject *runKernel(PyObject *args, const char *format, const char *function, void (*kernel)())
{
    if (!PyArg_ParseTuple(args, format))
        return nullptr;
    if (!requireIndex(function, "outRed", outRed, pos) || !requireIndex(function, "outGreen", outGreen, pos) ||
        !requireIndex(function, "outBlue", outBlue, pos))
        return nullptr;
    kernel();
    Py_RETURN_NONE;
}

} // namespace

PyObject *wrapCalculate(PyObject *, PyObject *args)
{
    if (!PyArg_ParseTuple(args, ":Calculate"))
        return nullptr;
    // The block the core will touch, as the core itself works it out.
    const CalculateBlock block = calculateBlock();
    if (!requireInputPlanes("Calculate", block.inputSamples))
        return nullptr;
    if (block.rows > 0 && block.columns > 0 && block.lastRowStart < 0) {
        PyErr_Format(PyExc_ValueError,
                     "Calculate: outWidth is negative (%d); output rows would start before the planes", outWidth);
        return nullptr;
    }
    // pos, a 32-bit int, runs through every index of the written block and ends at
    // rows x outWidth: both must fit it, or the output index would wrap.
    if (block.finalPos > INT_MAX || block.finalPos < INT_MIN || block.outputEnd > static_cast<std::size_t>(INT_MAX)) {
        PyErr_Format(PyExc_ValueError,
                     "Calculate: %lld output rows placed outWidth = %d apart run past the range of pos", block.rows,
                     outWidth);
        return nullptr;
    }
    if (!requireOutputPlanes("Calculate", block.outputEnd))
        return nullptr;
    Calculate();
    Py_RETURN_NONE;
}

PyObject *wrapCenterFilter(PyObject *, PyObject *args)
{
    return runKernel(args, ":CenterFilter", "CenterFilter", CenterFilter);
}
PyObject *wrapAverageFilter(PyObject *, PyObject *args)
{
    return runKernel(args, ":AverageFilter", "AverageFilter", AverageFilter);
}
PyObject *wrapBSplineFilter(PyObject *, PyObject *args)
{
    return runKernel(args, ":BSplineFilter", "BSplineFilter", BSplineFilter);
}

PyObject *wrapSetLeftPixel(PyObject *, PyObject *args)
{
    return setRegisterFrom(args, "bbb:SetLeftPixel", SetLeftPixel);
}
PyObject *wrapSetCenterPixel(PyObject *, PyObject *args)
{
    return setRegisterFrom(args, "bbb:SetCenterPixel", SetCenterPixel);
}
PyObject *wrapSetRightPixel(PyObject *, PyObject *args)
{
    return setRegisterFrom(args, "bbb:SetRightPixel", SetRightPixel);
}
PyObject *wrapSetTopPixel(PyObject *, PyObject *args) { return setRegisterFrom(args, "bbb:SetTopPixel", SetTopPixel); }
PyObject *wrapSetBottomPixel(PyObject *, PyObject *args)
{
    return setRegisterFrom(args, "bbb:SetBottomPixel", SetBottomPixel);
}
PyObject *wrapSetTopLeftPixel(PyObject *, PyObject *args)
{
    return setRegisterFrom(args, "bbb:SetTopLeftPixel", SetTopLeftPixel);
}
PyObject *wrapSetTopRightPixel(PyObject *, PyObject *args)
{
    return setRegisterFrom(args, "bbb:SetTopRightPixel", SetTopRightPixel);
}
PyObject *wrapSetBottomLeftPixel(PyObject *, PyObject *args)
{
    return setRegisterFrom(args, "bbb:SetBottomLeftPixel", SetBottomLeftPixel);
}
PyObject *wrapSetBottomRightPixel(PyObject *, PyObject *args)
{
    return setRegisterFrom(args, "bbb:SetBottomRightPixel", SetBottomRightPixel);
}

PyObject *wrapCalculateColorRange(PyObject *, PyObject *args)
{
    if (!PyArg_ParseTuple(args, ":CalculateColorRange"))
        return nullptr;
    if (!requireOutputPlanes("CalculateColorRange", colorRangeExtent()))
        return nullptr;
    CalculateColorRange();
    Py_RETURN_NONE;
}

PyObject *wrapStandardizeColors(PyObject *, PyObject *args)
{
    unsigned char value;
    int channel;
    if (!PyArg_ParseTuple(args, "bi:StandardizeColors", &value, &channel))
        return nullptr;
    return PyLong_FromLong(StandardizeColors(value, channel));
}

PyObject *wrapSetColors(PyObject *, PyObject *args)
{
    if (!PyArg_ParseTuple(args, ":SetColors"))
        return nullptr;
    if (!requireOutputPlanes("SetColors", setColorsExtent()))
        return nullptr;
    SetColors();
    Py_RETURN_NONE;
}

PyObject *wrapFlatten(PyObject *, PyObject *args)
{
    if (!PyArg_ParseTuple(args, ":Flatten"))
        return nullptr;
    if (!requireOutputPlanes("Flatten", flattenExtent()))
        return nullptr;
    Flatten();
    Py_RETURN_NONE;
}

PyObject *wrapRemoveNoise(PyObject *, PyObject *args)
{
    int limit;
    if (!PyArg_ParseTuple(args, "i:RemoveNoise", &limit))
        return nullptr;
    if (!requireOutputPlanes("RemoveNoise", removeNoiseExtent()))
        return nullptr;
    RemoveNoise(limit);
    Py_RETURN_NONE;
}

} // namespace vantrel
