// The link to the vantrel module's planes, reached through its cvar as any script reaches them.
// Every function here needs the interpreter lock, and the caller keeps it for as long as it uses
// the planes: another thread could release them (Cleanup, CreateArrays) the moment it is let go.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace steps {

enum class Planes { Input, Output };

// The sizes and the three planes of one side of the module.
struct ModulePlanes {
    long long width = 0, height = 0;
    std::uint8_t *red = nullptr, *green = nullptr, *blue = nullptr;
};

// The module's sizes and planes as its cvar names them now; asks nothing of the module. ValueError
// when it holds no buffers (CreateArrays has not run, or Cleanup has) or its size holds no
// picture, TypeError when a buffer variable is not a pointer string of the module.
bool readModulePlanes(Planes side, ModulePlanes &planes);

// Asks the module whether the planes a step checked its arguments against hold the whole
// picture: the module's single-sample calls check an index against the blocks it owns, so that a
// size changed after CreateArrays, or a pointer assigned by hand, is refused by the module itself.
// Call it only after every check of the step's own arguments. Probing the input planes stores a
// zero pixel at the last index, which the step then overwrites with the rest. The planes are read
// again afterwards: the step works on exactly what was asked about.
bool confirmModulePlanes(Planes side, const ModulePlanes &checked);

} // namespace steps
