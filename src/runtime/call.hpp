// What every call of a function body shares on both interpreters: the
// recursion guard around the call and the check of its result. Used by the
// two call implementations, runtime/py27_fast_paths.cpp (2.7) and
// runtime/call_py3.cpp (3.x).
#pragma once

#include "runtime/ref.hpp"

namespace movra {

inline constexpr char kRecursionWhere[] = " while calling a Python object";

// Turns a NULL result into a throw, and a NULL result without an error into
// the interpreter's SystemError.
inline Ref checked(PyObject* result) {
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    }
    return require(result);
}

// Runs `call` under the recursion guard: its new reference, or NULL.
template <class Call>
[[gnu::always_inline]] inline PyObject* guarded(Call&& call) {
    if (Py_EnterRecursiveCall(const_cast<char*>(kRecursionWhere))) return nullptr;
    PyObject* result = call();
    Py_LeaveRecursiveCall();
    return result;
}

}  // namespace movra
