// Python 2.7 only: the calls of a function body, with two fast paths that
// only 2.7 needs (on 3.x the public vectorcall protocol gives the same
// without them; runtime/call_py3.cpp):
//
//   * spare argument tuples: a tuple that nobody kept after its call is
//     emptied and serves the next call of its size;
//   * direct method-entry calls: built-in functions and the module's own
//     functions that take no argument or one are called through their method
//     entry without a tuple.
//
// What they save, in instructions per drawMain() of the default scene on the
// no-op GL of make bench (valgrind --tool=callgrind, 300 frames, 2026-12-09):
// see docs/runtime.md. A third one, calling built-ins that take an argument
// tuple through their method entry instead of their call slot, saved 1.2%
// of a frame and is gone. None changes a result or a message. Bound methods
// are unpacked so that the underlying function gets the instance as its
// first argument. Everything else is called with an argument tuple under the
// recursion guard.
#include "runtime/compat.hpp"

#if !MOVRA_PY3

#include "runtime/call.hpp"
#include "runtime/runtime.hpp"

namespace movra {
namespace {

// --- calls -------------------------------------------------------------------

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
    return checked(guarded([&] {
        return PyCFunction_GET_FUNCTION(callable)(PyCFunction_GET_SELF(callable), arg);
    }));
}

bool bound_method(PyObject* callable) {
    return PyMethod_Check(callable) && PyMethod_GET_SELF(callable) != nullptr;
}

// An argument tuple that only this call holds. A frame makes dozens of calls
// with three to nine arguments; a tuple that the callee did not keep goes
// back to one spare per size and serves the next call of that size, instead
// of being freed and allocated again.
//
// A spare holds no items and is not tracked by the garbage collector, so
// nothing can reach it. A tuple taken from the spares stays untracked while
// the call runs: only this call refers to it, and the collector counts the
// references of an untracked container as coming from outside, so it keeps
// the items alive, as they must be. If the callee kept the tuple, it is
// tracked before it is let go, like any tuple the interpreter makes.
constexpr Py_ssize_t kSpareSizes = 10;
PyObject* spare[kSpareSizes + 1] = {};

class ArgTuple {
public:
    // `self`, if not null, is a bound method's instance, which goes first.
    ArgTuple(PyObject* self, Py_ssize_t count) {
        Py_ssize_t n = count + (self != nullptr ? 1 : 0);
        if (n > 0 && n <= kSpareSizes && spare[n] != nullptr) {
            tuple_ = spare[n];
            spare[n] = nullptr;
        } else if ((tuple_ = PyTuple_New(n)) == nullptr) {
            throw PyErrOccurred();
        }
        if (self != nullptr) put(self);
    }
    ArgTuple(const ArgTuple&) = delete;
    ArgTuple& operator=(const ArgTuple&) = delete;
    ~ArgTuple() {
        Py_ssize_t n = PyTuple_GET_SIZE(tuple_);
        if (Py_REFCNT(tuple_) > 1) {
            // The callee kept it: from now on it is an ordinary tuple.
            if (!_PyObject_GC_IS_TRACKED(tuple_)) PyObject_GC_Track(tuple_);
        } else if (n > 0 && n <= kSpareSizes && spare[n] == nullptr) {
            if (_PyObject_GC_IS_TRACKED(tuple_)) PyObject_GC_UnTrack(tuple_);
            for (Py_ssize_t i = 0; i < n; ++i) Py_CLEAR(PyTuple_GET_ITEM(tuple_, i));
            // Releasing an item may have run code that made a spare itself.
            if (spare[n] == nullptr) {
                spare[n] = tuple_;
                return;
            }
        }
        Py_DECREF(tuple_);  // the tuple's deallocator accepts it tracked or not
    }
    void put(PyObject* item) {
        Py_INCREF(item);
        PyTuple_SET_ITEM(tuple_, filled_++, item);
    }
    void put(const Arg& item) { PyTuple_SET_ITEM(tuple_, filled_++, item.give()); }
    PyObject* get() const { return tuple_; }

private:
    PyObject* tuple_;
    Py_ssize_t filled_ = 0;
};

// The call with an argument tuple through the callee's call slot, under
// the recursion guard: a new reference, or NULL. It is inlined into every
// way of calling, which then checks the result.
[[gnu::always_inline]] inline PyObject* invoke(PyObject* callable, PyObject* args) {
    ternaryfunc slot = Py_TYPE(callable)->tp_call;
    if (slot == nullptr) return PyObject_Call(callable, args, nullptr);  // its TypeError
    return guarded([&] { return slot(callable, args, nullptr); });
}

}  // namespace

Ref call0(PyObject* callable) {
    if (bound_method(callable)) {
        return call1(PyMethod_GET_FUNCTION(callable), PyMethod_GET_SELF(callable));
    }
    if (direct_flags(callable) & METH_NOARGS) return call_direct(callable, nullptr);
    return checked(invoke(callable, mod.empty_tuple));
}

Ref call1(PyObject* callable, PyObject* arg) {
    if (bound_method(callable)) {
        return call_n(PyMethod_GET_FUNCTION(callable), {PyMethod_GET_SELF(callable), arg});
    }
    if (direct_flags(callable) & METH_O) return call_direct(callable, arg);
    ArgTuple args(nullptr, 1);
    args.put(arg);
    return checked(invoke(callable, args.get()));
}

Ref call_n(PyObject* callable, std::initializer_list<Arg> args) {
    bool bound = bound_method(callable);
    ArgTuple tuple(bound ? PyMethod_GET_SELF(callable) : nullptr,
                   static_cast<Py_ssize_t>(args.size()));
    for (const Arg& arg : args) tuple.put(arg);
    return checked(invoke(bound ? PyMethod_GET_FUNCTION(callable) : callable, tuple.get()));
}

Ref Ref::operator()() const { return call0(p_); }
Ref Ref::operator()(const Arg& arg) const { return call1(p_, arg.get()); }
Ref Ref::operator()(std::initializer_list<Arg> args) const { return call_n(p_, args); }

Ref Ref::apply(PyObject* args) const {
    if (!bound_method(p_)) return checked(invoke(p_, args));
    ArgTuple tuple(PyMethod_GET_SELF(p_), PyTuple_GET_SIZE(args));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) tuple.put(PyTuple_GET_ITEM(args, i));
    return checked(invoke(PyMethod_GET_FUNCTION(p_), tuple.get()));
}

}  // namespace movra

#endif  // !MOVRA_PY3
