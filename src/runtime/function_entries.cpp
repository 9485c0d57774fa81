// Python 3 only: the vectorcall entries of the function type, one per call
// kind, named after it as the interpreter names its own (on 2.7 the type's
// call slot is the interpreter's PyCFunction_Call).
//
// Each does what the interpreter's entry for its built-in functions of that
// kind does: it refuses arguments the kind does not take, in the
// interpreter's words, and calls the method entry with the function object
// as self, under the recursion guard. The interpreter's entries cannot be
// used: they take the object for one of the interpreter's own built-in
// functions, which a debug interpreter asserts.
#include "runtime/compat.hpp"

#if MOVRA_PY3

#include "runtime/call.hpp"
#include "runtime/function.hpp"

namespace movra {
namespace {

// How a refusal of arguments names the function: as the interpreter names
// its own built-in functions ("Movra.drawMain()" from 3.9 on, from the
// function's current __module__ and __qualname__; "drawMain()" from the
// method entry's name on 3.8). A new reference, or NULL with an error set.
PyObject* callee_text(PyObject* function) {
#if MOVRA_PY_AT_LEAST(3, 9)
    PyObject* qualname;
    int found = PyObject_GetOptionalAttrString(function, "__qualname__", &qualname);
    if (found < 0) return nullptr;
    if (found == 0) return PyObject_Str(function);
    PyObject* result = nullptr;
    PyObject* module;
    int qualified = PyObject_GetOptionalAttrString(function, "__module__", &module);
    if (qualified > 0) {
        qualified = 0;
        if (module != Py_None) {
            PyObject* builtins_name = PyUnicode_InternFromString("builtins");
            qualified = builtins_name ? PyObject_RichCompareBool(module, builtins_name, Py_NE) : -1;
            Py_XDECREF(builtins_name);
        }
    }
    if (qualified > 0) {
        result = PyUnicode_FromFormat("%S.%S()", module, qualname);
    } else if (qualified == 0) {
        result = PyUnicode_FromFormat("%S()", qualname);
    }
    Py_XDECREF(module);
    Py_DECREF(qualname);
    return result;
#else
    return PyUnicode_FromFormat("%.200s()", entry_of(function)->ml_name);
#endif
}

// TypeError "<callee> <what>", with the count of arguments given if `given`
// is not negative. Always NULL.
PyObject* refuse(PyObject* function, const char* what, Py_ssize_t given) {
    PyObject* callee = callee_text(function);
    if (callee == nullptr) return nullptr;
    if (given < 0) {
        PyErr_Format(PyExc_TypeError, "%U %s", callee, what);
    } else {
        PyErr_Format(PyExc_TypeError, "%U %s (%zd given)", callee, what, given);
    }
    Py_DECREF(callee);
    return nullptr;
}

bool has_keywords(PyObject* kwnames) {
    return kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0;
}

PyObject* func_vectorcall_NOARGS(PyObject* function, PyObject* const*, size_t nargsf,
                                 PyObject* kwnames) {
    if (has_keywords(kwnames)) return refuse(function, "takes no keyword arguments", -1);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 0) return refuse(function, "takes no arguments", nargs);
    PyCFunction native = entry_of(function)->ml_meth;
    return guarded([&] { return native(function, nullptr); });
}

PyObject* func_vectorcall_O(PyObject* function, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    if (has_keywords(kwnames)) return refuse(function, "takes no keyword arguments", -1);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 1) return refuse(function, "takes exactly one argument", nargs);
    PyCFunction native = entry_of(function)->ml_meth;
    return guarded([&] { return native(function, args[0]); });
}

using FastWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyObject* func_vectorcall_FASTCALL_KEYWORDS(PyObject* function, PyObject* const* args,
                                            size_t nargsf, PyObject* kwnames) {
    FastWithKeywords native = reinterpret_cast<FastWithKeywords>(
        reinterpret_cast<void (*)()>(entry_of(function)->ml_meth));
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    return guarded([&] { return native(function, args, nargs, kwnames); });
}

}  // namespace

vectorcallfunc vectorcall_entry(int call_kind) {
    switch (call_kind) {
        case METH_NOARGS:
            return func_vectorcall_NOARGS;
        case METH_O:
            return func_vectorcall_O;
        default:
            return func_vectorcall_FASTCALL_KEYWORDS;
    }
}

}  // namespace movra

#endif  // MOVRA_PY3
