// The function type: every function of the module is an instance of it. The
// interpreter calls it like a built-in function; as an attribute source it
// behaves like a Python function.
//
// Both interpreters call a function of the module as they call their own
// built-in functions. On 2.7 the type's call slot is PyCFunction_Call,
// which dispatches on the method entry's call kind, so the object begins
// with the interpreter's own built-in-function part. On 3.x the call slot
// is PyVectorcall_Call and each object carries a vectorcall entry of the
// module's own for its call kind (runtime/function_entries.cpp); the
// interpreter's entries for its built-in functions are never given the
// module's objects, which are not of its built-in function type.
#pragma once

#include "runtime/compat.hpp"

namespace movra {

struct FunctionObject {
#if MOVRA_PY3
    PyObject_HEAD
    PyMethodDef* entry;          // method entry: name, native function, call kind, doc
    PyObject* module;            // __module__, or empty
    vectorcallfunc vectorcall;   // the module's entry for the call kind
#else
    PyCFunctionObject base;      // method entry, self (the object itself), __module__
#endif
    PyObject* weakreflist;       // owned by the weak-reference machinery
    PyObject* dict;              // attribute dictionary, created on first use
    PyObject* name;              // interned method-entry name, created on first read
    PyObject* qualname;          // __qualname__, set at creation
    PyObject* doc;               // __doc__, created from the entry on first read
    PyObject* globals;           // the module globals dictionary
    PyObject* code;              // the function's code object, made on first read
    PyObject* (*make_code)(PyObject* self);  // makes it: a new reference, or NULL with an error
    PyObject* defaults;          // __defaults__ (only an attribute: the binding never reads it)
    PyObject* kwdefaults;        // __kwdefaults__ (the same)
    PyObject* annotations;       // __annotations__, created on first read
};

inline PyMethodDef* entry_of(PyObject* function) {
#if MOVRA_PY3
    return reinterpret_cast<FunctionObject*>(function)->entry;
#else
    return reinterpret_cast<FunctionObject*>(function)->base.m_ml;
#endif
}

// The type to create functions with: the registered one if another module
// registered it first, else this module's own, registered now. NULL with an
// error set on failure.
PyTypeObject* obtain_function_type();

// A new function object (a new reference), or NULL with an error set. Its
// code object is made by `make_code` when __code__ is first read.
PyObject* new_function(PyTypeObject* type, PyMethodDef* entry, PyObject* qualname,
                       PyObject* module, PyObject* globals, PyObject* (*make_code)(PyObject*));

// A function that takes keywords, as the module writes it on both
// interpreters: the positional arguments as an array, then the keywords as
// the interpreter hands them over (NULL when there are none): a dictionary
// on 2.7, on 3.x a tuple of their names, whose values follow the positional
// arguments in the array. The binding makes a dictionary of the latter
// (keyword_dictionary).
using KeywordFunction = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* keywords);

// The keywords of a call as a dictionary: the dictionary itself (a new
// reference), or on 3.x a new one of the names and the values after the
// `nargs` positional arguments. NULL with an error set when a name cannot be
// stored (its hash fails).
inline PyObject* keyword_dictionary(PyObject* const* args, Py_ssize_t nargs, PyObject* keywords) {
    if (PyDict_Check(keywords)) return Py_NewRef(keywords);
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(keywords); ++i) {
        if (PyDict_SetItem(dict, PyTuple_GET_ITEM(keywords, i), args[nargs + i]) < 0) {
            Py_DECREF(dict);
            return nullptr;
        }
    }
    return dict;
}

#if MOVRA_PY3
// The call kind of the keyword-taking functions: Python 3's fast call, which
// hands over the positional arguments without a tuple.
inline constexpr int kKeywordCallKind = METH_FASTCALL | METH_KEYWORDS;

// The method entry of a keyword-taking function F: the interpreter's fast
// call, with the keywords as a tuple of names after the positional values.
template <KeywordFunction F>
PyObject* keyword_entry_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) == 0) kwnames = nullptr;
    return F(self, args, nargs, kwnames);
}

// The module's vectorcall entry for a call kind (METH_NOARGS, METH_O, or
// METH_FASTCALL | METH_KEYWORDS); runtime/function_entries.cpp.
vectorcallfunc vectorcall_entry(int call_kind);
#else
// The call kind of the keyword-taking functions: an argument tuple and a
// keyword dictionary.
inline constexpr int kKeywordCallKind = METH_VARARGS | METH_KEYWORDS;

template <KeywordFunction F>
PyObject* keyword_entry_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return F(self, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), kwargs);
}
#endif

// The method-entry function of a keyword-taking function F.
template <KeywordFunction F>
PyCFunction keyword_entry() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&keyword_entry_call<F>));
}

}  // namespace movra
