// Global-name lookup and global assignment: the one place where a function
// body resolves a name. (On 2.7 a use site first tries its hint; see
// runtime/py27_fast_paths.hpp.)
#include "runtime/runtime.hpp"

namespace movra {

ModuleState mod;

Ref global(PyObject* name) {
    // The module globals first: the host may have rebound or deleted any
    // name since the last statement.
    bool failed;
    PyObject* value = name_lookup(mod.globals, name, failed);
    if (value != nullptr) return borrow(value);
    if (failed) throw PyErrOccurred();
    return builtin(name);
}

Ref builtin(PyObject* name) {
    bool failed;
    PyObject* value = builtin_lookup(mod.builtins, name, failed);
    if (value != nullptr) return steal(value);
    if (failed) throw PyErrOccurred();
    PyErr_Format(PyExc_NameError, "name '%.200s' is not defined", text_of(name));
    throw PyErrOccurred();
}

void set_global(PyObject* name, const Arg& value) {
    require(PyDict_SetItem(mod.globals, name, value.get()));
}

}  // namespace movra
