// Global-name lookup and global assignment: the one place where a function
// body resolves a name.
#include "runtime/runtime.hpp"

namespace movra {

ModuleState mod;

namespace {

// The probe function of a dictionary whose keys are all strings, taken from
// a fresh dictionary: it never fails and never runs Python code.
PyDictEntry* (*string_lookup)(PyDictObject*, PyObject*, long) = nullptr;

}  // namespace

Ref global(PyObject* name, GlobalSlot& slot) {
    PyDictObject* d = reinterpret_cast<PyDictObject*>(mod.globals);
    if (string_lookup == nullptr) {
        if (PyObject* fresh = PyDict_New()) {
            string_lookup = reinterpret_cast<PyDictObject*>(fresh)->ma_lookup;
            Py_DECREF(fresh);
        } else {
            PyErr_Clear();
        }
    }
    long hash = reinterpret_cast<PyStringObject*>(name)->ob_shash;
    if (string_lookup != nullptr && d->ma_lookup == string_lookup && hash != -1) {
        PyDictEntry* entry = d->ma_lookup(d, name, hash);
        if (entry->me_value != nullptr) {
            slot.index = entry - d->ma_table;
            return borrow(entry->me_value);
        }
        return global(name);  // not in the module globals: the builtins
    }
    return global(name);
}

Ref global(PyObject* name) {
    // The module globals first, without raising: the host may have rebound or
    // deleted any name since the last statement, so nothing is cached.
    PyObject* value = PyDict_GetItem(mod.globals, name);
    if (value != nullptr) return borrow(value);
    value = PyObject_GetAttr(mod.builtins, name);
    if (value != nullptr) return steal(value);
    PyErr_Format(PyExc_NameError, "name '%.200s' is not defined",
                 PyString_AS_STRING(name));
    throw PyErrOccurred();
}

void set_global(PyObject* name, const Arg& value) {
    require(PyDict_SetItem(mod.globals, name, value.get()));
}

}  // namespace movra
