// Calls: the one place where a function body calls an object.
//
// Built-in functions and the module's own function objects are called
// directly through their method entry when they take no argument or exactly
// one, which skips the argument tuple. Bound methods are unpacked so that the
// underlying function gets the instance as its first argument. Everything
// else goes through the type's call slot under the recursion guard.
#include "runtime/ref.hpp"
#include "runtime/runtime.hpp"

namespace movra {
namespace {

const char kRecursionWhere[] = " while calling a Python object";

// Turns a NULL result into a throw, and a NULL result without an error into
// the interpreter's SystemError.
Ref checked(PyObject* result) {
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError,
                        "NULL result without error in PyObject_Call");
    }
    return require(result);
}

// The method entry flag of a directly callable built-in, or 0.
int direct_flags(PyObject* callable) {
    if (PyCFunction_Check(callable) ||
        (mod.function_type != nullptr &&
         PyObject_TypeCheck(callable, mod.function_type))) {
        return PyCFunction_GET_FLAGS(callable);
    }
    return 0;
}

Ref call_direct(PyObject* callable, PyObject* arg) {
    PyCFunction meth = PyCFunction_GET_FUNCTION(callable);
    PyObject* self = PyCFunction_GET_SELF(callable);
    if (Py_EnterRecursiveCall(const_cast<char*>(kRecursionWhere))) throw PyErrOccurred();
    PyObject* result = meth(self, arg);
    Py_LeaveRecursiveCall();
    return checked(result);
}

bool bound_method(PyObject* callable) {
    return PyMethod_Check(callable) && PyMethod_GET_SELF(callable) != nullptr;
}

}  // namespace

Ref call_tuple(PyObject* callable, PyObject* args, PyObject* kwargs) {
    ternaryfunc slot = Py_TYPE(callable)->tp_call;
    if (slot == nullptr) return require(PyObject_Call(callable, args, kwargs));
    if (Py_EnterRecursiveCall(const_cast<char*>(kRecursionWhere))) throw PyErrOccurred();
    PyObject* result = slot(callable, args, kwargs);
    Py_LeaveRecursiveCall();
    return checked(result);
}

Ref call0(PyObject* callable) {
    if (bound_method(callable)) {
        return call1(PyMethod_GET_FUNCTION(callable), PyMethod_GET_SELF(callable));
    }
    if (direct_flags(callable) & METH_NOARGS) return call_direct(callable, nullptr);
    return call_tuple(callable, mod.empty_tuple);
}

Ref call1(PyObject* callable, PyObject* arg) {
    if (bound_method(callable)) {
        return call_n(PyMethod_GET_FUNCTION(callable), {PyMethod_GET_SELF(callable), arg});
    }
    if (direct_flags(callable) & METH_O) return call_direct(callable, arg);
    Ref args = require(PyTuple_Pack(1, arg));
    return call_tuple(callable, args.get());
}

// The argument tuple for a call: the bound method's instance (if any) first.
template <class Items>
Ref argument_tuple(PyObject* self, Py_ssize_t count, Items items) {
    Py_ssize_t skip = self != nullptr ? 1 : 0;
    Ref tuple = require(PyTuple_New(count + skip));
    if (self != nullptr) {
        Py_INCREF(self);
        PyTuple_SET_ITEM(tuple.get(), 0, self);
    }
    Py_ssize_t i = skip;
    items([&](PyObject* item) {
        Py_INCREF(item);
        PyTuple_SET_ITEM(tuple.get(), i++, item);
    });
    return tuple;
}

Ref call_n(PyObject* callable, std::initializer_list<Arg> args) {
    bool bound = bound_method(callable);
    Ref tuple = argument_tuple(bound ? PyMethod_GET_SELF(callable) : nullptr,
                               static_cast<Py_ssize_t>(args.size()), [&](auto put) {
                                   for (const Arg& arg : args) put(arg.get());
                               });
    return call_tuple(bound ? PyMethod_GET_FUNCTION(callable) : callable, tuple.get());
}

Ref Ref::operator()() const { return call0(p_); }
Ref Ref::operator()(const Arg& arg) const { return call1(p_, arg.get()); }
Ref Ref::operator()(std::initializer_list<Arg> args) const { return call_n(p_, args); }

Ref Ref::apply(PyObject* args) const {
    if (!bound_method(p_)) return call_tuple(p_, args);
    Ref tuple = argument_tuple(PyMethod_GET_SELF(p_), PyTuple_GET_SIZE(args), [&](auto put) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) put(PyTuple_GET_ITEM(args, i));
    });
    return call_tuple(PyMethod_GET_FUNCTION(p_), tuple.get());
}

}  // namespace movra
