// The services every function body is written with: global-name lookup,
// global assignment, calls, truth test, integer conversion, printing, imports
// and the handled-exception state. Each one either returns its result or
// throws PyErrOccurred with the interpreter's error indicator set.
#pragma once

#include "runtime/ref.hpp"

namespace movra {

// What the module keeps for its whole life once initialisation has run.
struct ModuleState {
    PyObject* module = nullptr;        // the module object "Movra"
    PyObject* globals = nullptr;       // its dictionary: the module globals
    PyObject* builtins = nullptr;      // the __builtin__ module
    PyObject* empty_tuple = nullptr;   // shared by code objects and no-argument calls
    PyObject* empty_bytes = nullptr;   // shared as code and line table of code objects
    PyTypeObject* function_type = nullptr;  // the (possibly shared) function type
};

extern ModuleState mod;

// --- names -----------------------------------------------------------------

// `name` as a function body reads it: the module globals, then the builtins,
// else NameError "name '%.200s' is not defined".
Ref global(PyObject* name);

// The same lookup, with the hint of where the name stood in the globals'
// hash table the last time this use site found it. The hint only saves the
// probe: the entry is read afresh and used only if it still holds this very
// name, so a rebound, deleted or moved name is seen at once.
struct GlobalSlot {
    Py_ssize_t index = -1;
};
Ref global(PyObject* name, GlobalSlot& slot);

inline Ref global_at(PyObject* name, GlobalSlot& slot) {
    PyDictObject* d = reinterpret_cast<PyDictObject*>(mod.globals);
    Py_ssize_t i = slot.index;
    if (i >= 0 && i <= d->ma_mask) {
        PyDictEntry* entry = &d->ma_table[i];
        if (entry->me_key == name && entry->me_value != nullptr) return borrow(entry->me_value);
    }
    return global(name, slot);
}

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

// `print x`: one object to sys.stdout, with soft-space handling and a newline.
void print_object(const Arg& x);

// --- imports ---------------------------------------------------------------

// `__import__(name, globals, {}, fromlist, -1)`; no from-list means [].
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
