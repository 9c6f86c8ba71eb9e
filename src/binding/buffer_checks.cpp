// Buffer checks before core calls, on what the binding knows of each buffer's extent.
#include "buffer_checks.hpp"

#include "buffer_extents.hpp"

#include "../core/image_state.hpp"

namespace vantrel {

namespace {

// Null and released memory can never be touched; returns the extent for further checks.
bool requireLive(const char *function, const char *variable, const unsigned char *pointer, Extent &extent)
{
    extent = extentFrom(pointer);
    switch (extent.kind) {
    case ExtentKind::Null:
        PyErr_Format(PyExc_ValueError, "%s: %s is NULL; call CreateArrays first", function, variable);
        return false;
    case ExtentKind::Released:
        PyErr_Format(PyExc_ValueError, "%s: %s names a buffer that was released (by Cleanup or a later CreateArrays)",
                     function, variable);
        return false;
    case ExtentKind::Known:
    case ExtentKind::Unknown:
        break;
    }
    return true;
}

} // namespace

bool requireBytes(const char *function, const char *variable, const unsigned char *pointer, std::size_t needed)
{
    Extent extent{};
    if (!requireLive(function, variable, pointer, extent))
        return false;
    if (extent.kind == ExtentKind::Known && extent.bytes < needed) {
        PyErr_Format(PyExc_ValueError, "%s: %s holds %zu bytes, the call needs %zu (sizes changed since CreateArrays?)",
                     function, variable, extent.bytes, needed);
        return false;
    }
    return true;
}

bool requireIndex(const char *function, const char *variable, const unsigned char *pointer, long long index)
{
    Extent extent{};
    if (!requireLive(function, variable, pointer, extent))
        return false;
    if (index < 0 || (extent.kind == ExtentKind::Known && static_cast<unsigned long long>(index) >= extent.bytes)) {
        if (extent.kind == ExtentKind::Known)
            PyErr_Format(PyExc_IndexError, "%s: index %lld is outside %s (%zu samples)", function, index, variable,
                         extent.bytes);
        else
            PyErr_Format(PyExc_IndexError, "%s: index %lld is negative", function, index);
        return false;
    }
    return true;
}

bool requireInputPlanes(const char *function, std::size_t samples)
{
    return requireBytes(function, "red", red, samples) && requireBytes(function, "green", green, samples) &&
           requireBytes(function, "blue", blue, samples);
}

bool requireOutputPlanes(const char *function, std::size_t samples)
{
    return requireBytes(function, "outRed", outRed, samples) && requireBytes(function, "outGreen", outGreen, samples) &&
           requireBytes(function, "outBlue", outBlue, samples);
}

} // namespace vantrel
