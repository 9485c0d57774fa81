// The function type: every function of the module is an instance of it. The
// interpreter calls it like a built-in function; as an attribute source it
// behaves like a Python function.
#pragma once

#include <Python.h>

#include <cstdint>

#include "runtime/version.hpp"

namespace movra {

// The field order and widths are shared with every other module in the
// process that uses the registered type, so they must not change.
struct FunctionObject {
    BuiltinPart base;            // header, method entry, self (the object), __module__
    PyObject* weakreflist;       // owned by the weak-reference machinery
    PyObject* dict;              // attribute dictionary, created on first use
    PyObject* name;              // interned method-entry name, created on first read
    PyObject* qualname;          // __qualname__, set at creation
    PyObject* doc;               // __doc__, created from the entry on first read
    PyObject* globals;           // the module globals dictionary
    PyObject* code;              // code object describing the function, or empty
    PyObject* closure;           // always empty here; read as __self__
    PyObject* classobj;          // always empty here
    void* defaults;              // block of object references, or empty
    std::int32_t defaults_count; // object references in the block
    std::int32_t flags;          // kStaticMethod, kClassMethod or 0
    PyObject* defaults_tuple;    // __defaults__
    PyObject* kwdefaults;        // __kwdefaults__
    int (*defaults_getter)(PyObject*);  // fills the two above on demand, or empty
    PyObject* annotations;       // __annotations__, created on first read
};

constexpr int kStaticMethod = 1;
constexpr int kClassMethod = 2;

// The type to create functions with: the registered one if another module
// registered it first, else this module's own, registered now. NULL with an
// error set on failure.
PyTypeObject* obtain_function_type();

// A new function object (a new reference), or NULL with an error set.
PyObject* new_function(PyTypeObject* type, PyMethodDef* entry, int flags, PyObject* qualname,
                       PyObject* closure, PyObject* module, PyObject* globals, PyObject* code);

}  // namespace movra
