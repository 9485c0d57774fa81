// Python 3 only: the calls of a function body (on 2.7 they are in
// runtime/py27_fast_paths.cpp).
//
// A callee whose type offers vectorcall (built-in functions, the module's
// own functions, Python functions, types, ...) gets its arguments as an
// array, and no argument tuple is built; any other callee gets a tuple
// through its type's call slot. A bound method is unpacked at the call site:
// its function is called with the instance in front of the arguments. Every
// call runs under the recursion guard and has its result checked
// (runtime/call.hpp).
#include "runtime/compat.hpp"

#if MOVRA_PY3

#include "runtime/call.hpp"
#include "runtime/function.hpp"
#include "runtime/runtime.hpp"

#include <cstring>

namespace movra {
namespace {

// The vectorcall entry of a callable, or NULL if its type offers none: the
// interpreter's own test (PyVectorcall_Function), inlined (a type that
// declares vectorcall keeps the entry at tp_vectorcall_offset in each object).
inline vectorcallfunc vectorcall_of(PyObject* callable) {
    PyTypeObject* type = Py_TYPE(callable);
    if (!PyType_HasFeature(type, Py_TPFLAGS_HAVE_VECTORCALL)) return nullptr;
    vectorcallfunc entry;
    std::memcpy(&entry, reinterpret_cast<char*>(callable) + type->tp_vectorcall_offset,
                sizeof entry);
    return entry;
}

// Whether a callable's vectorcall entry enters the recursion guard itself,
// with the words of the module's guard (" while calling a Python object"),
// so that a call site need not guard again: the interpreter's own built-in
// functions do from 3.9 on (the module's own functions are called through
// their method entry, below).
inline bool callee_guards(PyObject* callable) {
#if MOVRA_PY_AT_LEAST(3, 9)
    return Py_TYPE(callable) == &PyCFunction_Type;
#else
    (void)callable;
    return false;
#endif
}

// The most arguments a statement of the module passes, plus room for an
// instance in front.
constexpr std::size_t kMaxArgs = 15;

// The call of anything but a callee with vectorcall that is not a bound
// method: `callable` with the `n` arguments at slots[1..n] (borrowed; the
// caller holds them). slots[0] is free, so that a bound method's instance
// goes in front without copying the others.
[[gnu::noinline]] PyObject* invoke_other(PyObject* callable, PyObject** slots, std::size_t n) {
    PyObject** args = slots + 1;
    std::size_t flags = PY_VECTORCALL_ARGUMENTS_OFFSET;  // args[-1] may be overwritten
    if (PyMethod_Check(callable)) {
        slots[0] = PyMethod_GET_SELF(callable);
        callable = PyMethod_GET_FUNCTION(callable);
        args = slots;
        ++n;
        flags = 0;
    }
    if (vectorcallfunc vector = vectorcall_of(callable)) {
        return guarded([&] { return vector(callable, args, n | flags, nullptr); });
    }
    // No vectorcall: an argument tuple through the call slot.
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(n));
    if (tuple == nullptr) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), args[i]);
    }
    ternaryfunc slot = Py_TYPE(callable)->tp_call;
    PyObject* result = slot != nullptr ? guarded([&] { return slot(callable, tuple, nullptr); })
                                       : PyObject_Call(callable, tuple, nullptr);  // its TypeError
    Py_DECREF(tuple);
    return result;
}

using FastWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// One of the module's own functions called from a body: its method entry
// straight from here, under the call site's guard, instead of through its
// vectorcall entry, which would check the call kind and guard a second
// time. NULL in `done` = false for a call its kind refuses, which goes
// through the vectorcall entry for the refusal.
[[gnu::always_inline]] inline PyObject* invoke_own(PyObject* function, PyObject** slots,
                                                   std::size_t n, bool& done) {
    PyMethodDef* entry = entry_of(function);
    done = true;
    switch (entry->ml_flags) {
        case METH_NOARGS:
            if (n == 0) return guarded([&] { return entry->ml_meth(function, nullptr); });
            break;
        case METH_O:
            if (n == 1) return guarded([&] { return entry->ml_meth(function, slots[1]); });
            break;
        default: {
            FastWithKeywords native = reinterpret_cast<FastWithKeywords>(
                reinterpret_cast<void (*)()>(entry->ml_meth));
            return guarded([&] {
                return native(function, slots + 1, static_cast<Py_ssize_t>(n), nullptr);
            });
        }
    }
    done = false;
    return nullptr;
}

// The same, as every call site makes it: a callee with vectorcall that is
// not a bound method (nearly every call) inline, anything else above. Every
// call runs under one recursion guard: the call site's, or the callee's own
// where its vectorcall entry guards with the same words (callee_guards).
[[gnu::always_inline]] inline PyObject* invoke(PyObject* callable, PyObject** slots,
                                               std::size_t n) {
    if (Py_TYPE(callable) == mod.function_type) {
        bool done;
        PyObject* result = invoke_own(callable, slots, n, done);
        if (done) return result;
    }
    if (!PyMethod_Check(callable)) {
        if (vectorcallfunc vector = vectorcall_of(callable)) {
            if (callee_guards(callable)) {
                return vector(callable, slots + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
            }
            return guarded([&] {
                return vector(callable, slots + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
            });
        }
    }
    return invoke_other(callable, slots, n);
}

// A call with a braced argument list.
[[gnu::always_inline]] inline Ref call_args(PyObject* callable, std::initializer_list<Arg> args) {
    PyObject* slots[kMaxArgs + 1];
    std::size_t n = 0;
    for (const Arg& arg : args) {
        if (n == kMaxArgs) {
            PyErr_SetString(PyExc_SystemError, "Movra: too many arguments in one call");
            throw PyErrOccurred();
        }
        slots[++n] = arg.get();
    }
    return checked(invoke(callable, slots, n));
}

}  // namespace

Ref call0(PyObject* callable) {
    PyObject* slots[1];
    return checked(invoke(callable, slots, 0));
}

Ref call1(PyObject* callable, PyObject* arg) {
    PyObject* slots[2] = {nullptr, arg};
    return checked(invoke(callable, slots, 1));
}

Ref call_n(PyObject* callable, std::initializer_list<Arg> args) { return call_args(callable, args); }

Ref Ref::operator()() const {
    PyObject* slots[1];
    return checked(invoke(p_, slots, 0));
}

Ref Ref::operator()(const Arg& arg) const {
    PyObject* slots[2] = {nullptr, arg.get()};
    return checked(invoke(p_, slots, 1));
}

Ref Ref::operator()(std::initializer_list<Arg> args) const { return call_args(p_, args); }

Ref Ref::apply(PyObject* args) const {
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (!PyMethod_Check(p_) && vectorcall_of(p_) == nullptr) {
        // The literal argument tuple serves the call slot as it is.
        ternaryfunc slot = Py_TYPE(p_)->tp_call;
        if (slot == nullptr) return checked(PyObject_Call(p_, args, nullptr));
        return checked(guarded([&] { return slot(p_, args, nullptr); }));
    }
    PyObject* slots[kMaxArgs + 1];
    if (n > static_cast<Py_ssize_t>(kMaxArgs)) {
        PyErr_SetString(PyExc_SystemError, "Movra: too many arguments in one call");
        throw PyErrOccurred();
    }
    for (Py_ssize_t i = 0; i < n; ++i) slots[i + 1] = PyTuple_GET_ITEM(args, i);
    return checked(invoke(p_, slots, static_cast<std::size_t>(n)));
}

}  // namespace movra

#endif  // MOVRA_PY3
