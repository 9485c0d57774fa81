// Global-name lookup and global assignment: the one place where a function
// body resolves a name. (On 2.7 a use site first tries its hint; see
// runtime/py27_fast_paths.hpp.)
#include "runtime/runtime.hpp"

namespace movra {

ModuleState mod;

Ref global(PyObject* name) {
    // The module globals first: the host may have rebound or deleted any
    // name since the last statement, so nothing is cached.
    bool failed;
    PyObject* value = dict_lookup(mod.globals, name, failed);
    if (value != nullptr) return borrow(value);
    if (failed) throw PyErrOccurred();
    value = PyObject_GetAttr(mod.builtins, name);
    if (value != nullptr) return steal(value);
    PyErr_Format(PyExc_NameError, "name '%.200s' is not defined", text_of(name));
    throw PyErrOccurred();
}

void set_global(PyObject* name, const Arg& value) {
    require(PyDict_SetItem(mod.globals, name, value.get()));
}

}  // namespace movra
