// Imports: plain imports with a from-list, one name from a module, and
// import-star into the module globals.
#include "runtime/runtime.hpp"

namespace movra {
namespace {

// Reads `module.name`, turning a missing attribute into "no such attribute"
// (false) and passing every other error on.
bool optional_attr(PyObject* module, const char* name, Ref& out) {
    PyObject* value = PyObject_GetAttrString(module, name);
    if (value != nullptr) {
        out = steal(value);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrOccurred();
    PyErr_Clear();
    return false;
}

// Appends the names of a sequence, read by index until IndexError.
void collect_names(PyObject* sequence, bool skip_private, PyObject* module, PyObject* into) {
    for (Py_ssize_t i = 0;; ++i) {
        PyObject* name = PySequence_GetItem(sequence, i);
        if (name == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_IndexError)) throw PyErrOccurred();
            PyErr_Clear();
            return;
        }
        Ref key = steal(name);
        if (skip_private && is_private_name(name)) continue;
        Ref value = require(PyObject_GetAttr(module, name));
        require(PyDict_SetItem(into, name, value.get()));
    }
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

void import_star(const Ref& module) {
    Ref names = new_dict();
    Ref listed;
    if (optional_attr(module.get(), "__all__", listed)) {
        collect_names(listed.get(), false, module.get(), names.get());
    } else {
        Ref dict;
        if (!optional_attr(module.get(), "__dict__", dict)) {
            PyErr_SetString(PyExc_ImportError,
                            "from-import-* object has no __dict__ and no __all__");
            throw PyErrOccurred();
        }
        Ref keys = require(dictionary_keys(dict.get()));
        collect_names(keys.get(), true, module.get(), names.get());
    }
    // Each name and value is held while it is bound: the binding releases
    // whatever the name held before, which may run Python code.
    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(names.get(), &pos, &key, &value)) {
        Ref name = borrow(key), held = borrow(value);
        require(PyObject_SetAttr(mod.module, name.get(), held.get()));
    }
}

}  // namespace movra
