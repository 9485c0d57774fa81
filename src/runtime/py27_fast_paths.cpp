// Python 2.7 only: the calls and the global-name lookup of a function body,
// with three fast paths that only 2.7 needs (on 3.x the public vectorcall
// protocol gives the same without them; runtime/call_py3.cpp):
//
//   * the lookup hint: each use site of a global name remembers where its
//     name stood in the globals' hash table (runtime/py27_fast_paths.hpp);
//   * spare argument tuples: a tuple that nobody kept after its call is
//     emptied and serves the next call of its size;
//   * direct method-entry dispatch: built-in functions and the module's own
//     functions that take no argument or one are called through their method
//     entry without a tuple, and built-ins taking an argument tuple through
//     their method entry without the call slot's dispatch on the flags.
//
// What they save, in instructions per drawMain() of the default scene on the
// no-op GL of make bench (valgrind --tool=callgrind, 300 frames, 2026-12-08):
//
//     all three                    103.4k
//     without the lookup hint      121.9k
//     without the spare tuples     110.1k
//     without the direct dispatch  104.6k
//     without any of them          129.8k      (the listing: 169.2k)
//
// None changes a result or a message. Bound methods are unpacked so that the
// underlying function gets the instance as its first argument. Everything
// else is called with an argument tuple under the recursion guard.
#include "runtime/version.hpp"

#if !MOVRA_PY3

#include "runtime/call.hpp"
#include "runtime/runtime.hpp"

namespace movra {
namespace {

// --- the lookup hint ---------------------------------------------------------

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
    }
    return global(name);  // not in the module globals (the builtins), or no hint possible
}

// The hints need nothing made beforehand.
void prepare_lookups() {}

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

// The call with an argument tuple, under the recursion guard: a new
// reference, or NULL. A built-in function that takes an argument tuple is
// called through its method entry, as its own call slot would (the same
// result and errors, without the slot's dispatch on the flags); anything else
// through its type's call slot. It is inlined into every way of calling,
// which then checks the result.
[[gnu::always_inline]] inline PyObject* invoke(PyObject* callable, PyObject* args) {
    ternaryfunc slot = Py_TYPE(callable)->tp_call;
    if (slot == nullptr) return PyObject_Call(callable, args, nullptr);  // its TypeError
    int flags = Py_TYPE(callable) == &PyCFunction_Type
                    ? PyCFunction_GET_FLAGS(callable) & ~(METH_CLASS | METH_STATIC | METH_COEXIST)
                    : 0;
    return guarded([&] {
        if (flags == METH_VARARGS) {
            return PyCFunction_GET_FUNCTION(callable)(PyCFunction_GET_SELF(callable), args);
        }
        if (flags == (METH_VARARGS | METH_KEYWORDS)) {
            return reinterpret_cast<PyCFunctionWithKeywords>(PyCFunction_GET_FUNCTION(callable))(
                PyCFunction_GET_SELF(callable), args, nullptr);
        }
        return slot(callable, args, nullptr);
    });
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
