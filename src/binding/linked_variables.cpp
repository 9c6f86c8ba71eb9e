// The getters and setters of the module's 30 variables, in four families: integers, bytes,
// buffer pointers and the read-only neighbourhood registers.
#include "pointer_strings.hpp"
#include "varlink.hpp"

#include "../core/image_state.hpp"

#include <climits>
#include <cstring>

namespace vantrel {

namespace {

// Signed 32-bit variables. A value the interpreter cannot convert, or one outside the 32-bit
// range, is refused rather than cut.
template <int &variable, const char *name> PyObject *getInt() { return PyLong_FromLong(variable); }

template <int &variable, const char *name> int setInt(PyObject *value)
{
    const long converted = PyLong_AsLong(value);
    if ((converted == -1 && PyErr_Occurred()) || converted < INT_MIN || converted > INT_MAX) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "C variable '%s'(int )", name);
        return 1;
    }
    variable = static_cast<int>(converted);
    return 0;
}

// Unsigned 8-bit variables keep the low 8 bits of any value the interpreter can convert.
template <unsigned char &variable, const char *name> PyObject *getByte() { return PyLong_FromLong(variable); }

template <unsigned char &variable, const char *name> int setByte(PyObject *value)
{
    const long converted = PyLong_AsLong(value);
    if (converted == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "C variable '%s'(unsigned char )", name);
        return 1;
    }
    variable = static_cast<unsigned char>(static_cast<unsigned long>(converted) & 0xffu);
    return 0;
}

PyObject *pointerString(const void *pointer)
{
    char text[kPointerStringBufferSize];
    makePointerString(text, pointer, kBytePointerType);
    return PyUnicode_FromString(text);
}

// Buffer variables travel as pointer strings of type _unsigned_char_p; the pointer is adopted
// as it is, without copying or releasing anything.
template <unsigned char *&variable, const char *name> PyObject *getBuffer() { return pointerString(variable); }

template <unsigned char *&variable, const char *name> int setBuffer(PyObject *value)
{
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "C variable '%s'(unsigned char *)", name);
        return 1;
    }
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr)
        PyErr_Clear(); // a text with no UTF-8 form (a lone surrogate) is no pointer string either
    void *pointer = nullptr;
    // A zero byte inside the text would hide what follows it from the parser: refuse it.
    if (text == nullptr || std::strlen(text) != static_cast<std::size_t>(size) ||
        parsePointerString(text, &pointer, kBytePointerType) != nullptr) {
        PyErr_Format(PyExc_TypeError, "Type error in value of %s. Expected %s.", name, kBytePointerType);
        return 1;
    }
    variable = static_cast<unsigned char *>(pointer);
    return 0;
}

// The registers read as the fixed address of their red byte and are written only by the
// module's own functions.
template <unsigned char (&reg)[3], const char *name> PyObject *getRegister() { return pointerString(reg); }

template <unsigned char (&reg)[3], const char *name> int setRegister(PyObject *)
{
    PyErr_Format(PyExc_TypeError, "Variable %s is read-only.", name);
    return 1;
}

#define VANTREL_NAME(var) constexpr char var##Name[] = #var;
VANTREL_NAME(pos)
VANTREL_NAME(width)
VANTREL_NAME(height)
VANTREL_NAME(outWidth)
VANTREL_NAME(outHeight)
VANTREL_NAME(data)
VANTREL_NAME(red)
VANTREL_NAME(green)
VANTREL_NAME(blue)
VANTREL_NAME(outRed)
VANTREL_NAME(outGreen)
VANTREL_NAME(outBlue)
VANTREL_NAME(redInkMax)
VANTREL_NAME(redInkMin)
VANTREL_NAME(redInkRange)
VANTREL_NAME(greenInkMax)
VANTREL_NAME(greenInkMin)
VANTREL_NAME(greenInkRange)
VANTREL_NAME(blueInkMax)
VANTREL_NAME(blueInkMin)
VANTREL_NAME(blueInkRange)
VANTREL_NAME(leftPixel)
VANTREL_NAME(centerPixel)
VANTREL_NAME(rightPixel)
VANTREL_NAME(topPixel)
VANTREL_NAME(bottomPixel)
VANTREL_NAME(topLeftPixel)
VANTREL_NAME(topRightPixel)
VANTREL_NAME(bottomLeftPixel)
VANTREL_NAME(bottomRightPixel)
#undef VANTREL_NAME

struct Registration {
    const char *name;
    VariableGetter getter;
    VariableSetter setter;
};

#define VANTREL_LINK(family, var) {var##Name, get##family<var, var##Name>, set##family<var, var##Name>}
const Registration registrations[30] = {
    VANTREL_LINK(Int, pos),
    VANTREL_LINK(Int, width),
    VANTREL_LINK(Int, height),
    VANTREL_LINK(Int, outWidth),
    VANTREL_LINK(Int, outHeight),
    VANTREL_LINK(Buffer, data),
    VANTREL_LINK(Buffer, red),
    VANTREL_LINK(Buffer, green),
    VANTREL_LINK(Buffer, blue),
    VANTREL_LINK(Buffer, outRed),
    VANTREL_LINK(Buffer, outGreen),
    VANTREL_LINK(Buffer, outBlue),
    VANTREL_LINK(Byte, redInkMax),
    VANTREL_LINK(Byte, redInkMin),
    VANTREL_LINK(Byte, redInkRange),
    VANTREL_LINK(Byte, greenInkMax),
    VANTREL_LINK(Byte, greenInkMin),
    VANTREL_LINK(Byte, greenInkRange),
    VANTREL_LINK(Byte, blueInkMax),
    VANTREL_LINK(Byte, blueInkMin),
    VANTREL_LINK(Byte, blueInkRange),
    VANTREL_LINK(Register, leftPixel),
    VANTREL_LINK(Register, centerPixel),
    VANTREL_LINK(Register, rightPixel),
    VANTREL_LINK(Register, topPixel),
    VANTREL_LINK(Register, bottomPixel),
    VANTREL_LINK(Register, topLeftPixel),
    VANTREL_LINK(Register, topRightPixel),
    VANTREL_LINK(Register, bottomLeftPixel),
    VANTREL_LINK(Register, bottomRightPixel),
};
#undef VANTREL_LINK

} // namespace

int registerModuleVariables(PyObject *link)
{
    for (const Registration &r : registrations)
        if (varlinkAdd(link, r.name, r.getter, r.setter) < 0)
            return -1;
    return 0;
}

} // namespace vantrel
