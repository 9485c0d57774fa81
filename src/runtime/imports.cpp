// Imports: plain imports with a from-list, one name from a module, and
// import-star into the module globals.
#include "runtime/runtime.hpp"

namespace movra {
namespace {

// The level of every import: Python 2's default (relative, then absolute) or
// Python 3's absolute import.
#if MOVRA_PY3
constexpr long kImportLevel = 0;
#else
constexpr long kImportLevel = -1;
#endif

// A `str` that begins with "_": a private name, which import-star skips
// when it takes the names of the module's __dict__.
bool is_private_name(PyObject* o) {
#if MOVRA_PY3
    return PyUnicode_GET_LENGTH(o) > 0 && PyUnicode_READ_CHAR(o, 0) == '_';
#else
    return PyString_Check(o) && PyString_AS_STRING(o)[0] == '_';
#endif
}

// Python 3 takes only a str as a name: TypeError "Item in M.__all__ must be
// str, not int" (or "Key in M.__dict__ ..."), in the interpreter's words.
void check_name(PyObject* module, PyObject* name, bool from_dict) {
#if MOVRA_PY3
    if (PyUnicode_Check(name)) return;
    Ref module_name = require(PyObject_GetAttrString(module, "__name__"));
    if (!PyUnicode_Check(module_name.get())) {
        PyErr_Format(PyExc_TypeError, "module __name__ must be a string, not %.100s",
                     Py_TYPE(module_name.get())->tp_name);
    } else {
        PyErr_Format(PyExc_TypeError, "%s in %U.%s must be str, not %.100s",
                     from_dict ? "Key" : "Item", module_name.get(),
                     from_dict ? "__dict__" : "__all__", Py_TYPE(name)->tp_name);
    }
    throw PyErrOccurred();
#else
    (void)module;
    (void)name;
    (void)from_dict;
#endif
}

}  // namespace

Ref import_module(PyObject* name, PyObject* fromlist) {
    Ref import = require(PyObject_GetAttrString(mod.builtins, "__import__"));
    Ref locals = new_dict();
    Ref from = fromlist ? borrow(fromlist) : require(PyList_New(0));
    Ref level = require(new_int(kImportLevel));
    return import({name, mod.globals, locals, from, level});
}

Ref import_from(const Ref& module, PyObject* name) {
    PyObject* value = PyObject_GetAttr(module.get(), name);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Format(PyExc_ImportError, "cannot import name %.230s", text_of(name));
    }
    return require(value);
}

// `from module import *` at module level: the names of __all__, or else the
// keys of __dict__ but the private ones, read by index until IndexError, each
// checked as the interpreter checks it (a name must be a str on Python 3);
// each name's value read from the module into a temporary dictionary, and
// only when every one was read, all of them stored into the module globals
// in that order: a failing name leaves none of the module's names bound.
void import_star(const Ref& module) {
    PyObject* found;
    int listed = PyObject_GetOptionalAttrString(module.get(), "__all__", &found);
    if (listed < 0) throw PyErrOccurred();
    Ref names;
    bool from_dict = listed == 0;
    if (listed > 0) {
        names = steal(found);
    } else {
        int has_dict = PyObject_GetOptionalAttrString(module.get(), "__dict__", &found);
        if (has_dict < 0) throw PyErrOccurred();
        if (has_dict == 0) {
            PyErr_SetString(PyExc_ImportError,
                            "from-import-* object has no __dict__ and no __all__");
            throw PyErrOccurred();
        }
        Ref dict = steal(found);
#if MOVRA_PY3
        names = require(PyMapping_Keys(dict.get()));
#else
        // What 2.7's PyMapping_Keys (a macro) does.
        names = require(PyObject_CallMethod(dict.get(), const_cast<char*>("keys"), nullptr));
#endif
    }
    Ref collected = new_dict();
    for (Py_ssize_t i = 0;; ++i) {
        PyObject* item = PySequence_GetItem(names.get(), i);
        if (item == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_IndexError)) throw PyErrOccurred();
            PyErr_Clear();
            break;
        }
        Ref name = steal(item);
        check_name(module.get(), item, from_dict);
        if (from_dict && is_private_name(item)) continue;
        Ref value = require(PyObject_GetAttr(module.get(), item));
        require(PyDict_SetItem(collected.get(), item, value.get()));
    }
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(collected.get(), &position, &key, &value)) {
        require(PyDict_SetItem(mod.globals, key, value));
    }
}

}  // namespace movra
