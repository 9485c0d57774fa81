// The services every function body is written with: global-name lookup,
// global assignment, calls, truth test, integer conversion, printing, imports
// and the handled-exception state. Each one either returns its result or
// throws PyErrOccurred with the interpreter's error indicator set.
#pragma once

#include "runtime/globals.hpp"
#include "runtime/ref.hpp"
#include "runtime/text.hpp"

namespace movra {

// What the module keeps for its whole life once initialisation has run.
struct ModuleState {
    PyObject* module = nullptr;        // the module object "Movra"
    PyObject* globals = nullptr;       // its dictionary: the module globals
    PyObject* builtins = nullptr;      // the builtins module (__builtin__ on 2.7)
    PyObject* sys = nullptr;           // the interpreter's sys module
    PyObject* empty_tuple = nullptr;   // shared by code objects and no-argument calls
    PyObject* empty_bytes = nullptr;   // shared as code and line table of code objects
    PyTypeObject* function_type = nullptr;  // the (possibly shared) function type
};

extern ModuleState mod;

// --- names -----------------------------------------------------------------

// Reading a name: runtime/globals.hpp.

// `name = value` for a name declared global.
void set_global(PyObject* name, const Arg& value);

// --- calls -----------------------------------------------------------------

Ref call0(PyObject* callable);
Ref call1(PyObject* callable, PyObject* arg);
Ref call_n(PyObject* callable, std::initializer_list<Arg> args);

// --- values ----------------------------------------------------------------

Ref none();
Ref list(std::initializer_list<Arg> items);
Ref tuple(std::initializer_list<Arg> items);
Ref new_dict();
// `int(x)`: the interpreter's integer conversion, not the name `int`.
Ref to_int(const Arg& x);
// `if x:`
bool truth(const Arg& x);

// --- printing --------------------------------------------------------------

// `print x` of Python 2 and `print(x)` of Python 3: one object to sys.stdout
// in its str() form, then a newline (on 2.7 after a blank if the stream's
// soft-space flag was set).
void print_object(const Arg& x);

// --- imports ---------------------------------------------------------------

// `__import__(name, globals, {}, fromlist, level)` with the interpreter's
// default level (0 on 3.x, -1 on 2.7); no from-list means [].
Ref import_module(PyObject* name, PyObject* fromlist = nullptr);
// `from module import name` for one name.
Ref import_from(const Ref& module, PyObject* name);
// `from module import *` into the module globals.
void import_star(const Ref& module);

// --- the currently handled exception (sys.exc_info) ------------------------

struct ExcInfo {
    Ref type, value, traceback;
};
ExcInfo save_exception();
// Normalises the pending error and makes it the handled exception.
ExcInfo take_exception();
void restore_exception(ExcInfo& saved);

}  // namespace movra

