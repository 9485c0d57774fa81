// The table of the module's functions, shared by initialisation.
#pragma once

#include <Python.h>

#include "module/constants.hpp"

namespace movra {

constexpr int kFunctionCount = 18;

// What a function's code object describes. Names are members of the
// constant pool.
struct FunctionInfo {
    PyObject* Constants::*name;
    int argcount;                       // parameters
    int nlocals;                        // parameters and further locals
    PyObject* Constants::*varnames[10]; // parameters, then locals
    int first_line;                     // the definition's line in the listing
};

extern PyMethodDef function_entries[kFunctionCount];
extern const FunctionInfo function_infos[kFunctionCount];

}  // namespace movra
