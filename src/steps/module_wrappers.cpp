// The wrappers of the steps that write or read the vantrel module's planes. Each checks its own
// arguments first, then asks the module about its planes (module_link.hpp), and works on them with
// the interpreter lock kept.
#include "step_wrappers.hpp"

#include "contrast_map.hpp"
#include "even_background.hpp"
#include "interleave.hpp"
#include "module_link.hpp"
#include "step_checks.hpp"

namespace steps {

PyObject *wrapEvenIntoModule(PyObject *, PyObject *args)
{
    PyObject *given;
    double exponent, knee = 0;
    int withContrast = 0;
    if (!PyArg_ParseTuple(args, "Od|dp:even_into_module", &given, &exponent, &knee, &withContrast))
        return nullptr;
    ModulePlanes planes;
    if (!requireExponent(exponent, "even_into_module") || !requireKnee(knee, "even_into_module") ||
        !readModulePlanes(Planes::Input, planes))
        return nullptr;
    if (withContrast && (planes.width < 3 || planes.height < 3)) {
        PyErr_Format(PyExc_ValueError, "even_into_module: %lld x %lld pixels is too small to halve", planes.width,
                     planes.height);
        return nullptr;
    }
    PictureSamples picture;
    if (!picture.acquire(given, planes.width, planes.height, "even_into_module"))
        return nullptr;
    const std::size_t width = std::size_t(planes.width), height = std::size_t(planes.height);
    const std::size_t halved = ((width - 1) / 2) * ((height - 1) / 2);
    NewObject contrast(withContrast ? PyByteArray_FromStringAndSize(nullptr, Py_ssize_t(9 * halved))
                                    : Py_NewRef(Py_None));
    if (contrast.object == nullptr)
        return nullptr;
    // The paper estimate reads only the picture, so it runs without the lock; the planes are
    // asked about only now, after every check, and written with the lock kept.
    PaperEstimate paper;
    if (!runStep(Lock::Release, [&] { paper = estimatePaper(picture.samples, width, height, picture.pixelBytes); }) ||
        !confirmModulePlanes(Planes::Input, planes))
        return nullptr;
    if (!runStep(Lock::Keep, [&] {
            const EvenedTarget target{nullptr, planes.red, planes.green, planes.blue};
            evenBackground(picture.samples, width, height, picture.pixelBytes, paper, makeToneTable(exponent, knee),
                           target);
            if (withContrast) {
                // Taken before the module whitens the planes: three planes of two bytes a pixel
                // (contrast, peak, tint), then the halved colour, three bytes a pixel.
                auto *out = reinterpret_cast<std::uint16_t *>(PyByteArray_AS_STRING(contrast.object));
                contrastMap(planes.red, planes.green, planes.blue, 1, width, height, ratioTable(exponent, knee), out,
                            out + halved, out + 2 * halved, reinterpret_cast<std::uint8_t *>(out + 3 * halved));
            }
        }))
        return nullptr;
    return contrast.release();
}

PyObject *wrapModuleOutput(PyObject *, PyObject *args)
{
    int exact;
    if (!PyArg_ParseTuple(args, "p:module_output", &exact))
        return nullptr;
    ModulePlanes planes;
    if (!readModulePlanes(Planes::Output, planes))
        return nullptr;
    const std::size_t count = std::size_t(planes.width) * std::size_t(planes.height);
    NewObject result(PyByteArray_FromStringAndSize(nullptr, Py_ssize_t(3 * count)));
    if (result.object == nullptr || !confirmModulePlanes(Planes::Output, planes))
        return nullptr;
    // GetData's own interleave, into a new object that overlaps no plane.
    vantrel::interleavePlanes(planes.red, planes.green, planes.blue,
                              reinterpret_cast<unsigned char *>(PyByteArray_AS_STRING(result.object)), count, !exact);
    return result.release();
}

} // namespace steps
