// Global-name lookup and global assignment: the one place where a function
// body resolves a name.
#include "runtime/runtime.hpp"

namespace movra {

ModuleState mod;

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
