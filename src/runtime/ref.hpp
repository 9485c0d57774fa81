// Owning object handles and the "a Python error is set" exception.
//
// Ownership rules, written once:
//   * A `Ref` owns exactly one reference, or nothing. Its destructor releases it.
//   * `steal(p)`  adopts a new reference returned by the interpreter's API.
//   * `borrow(p)` takes a new reference to a borrowed pointer (increments).
//   * `require(p)` is `steal(p)` for API calls that return NULL on failure:
//     NULL throws `PyErrOccurred`, which means the interpreter's error
//     indicator is set. `require(rc)` does the same for -1 status codes.
//   * `r.release()` hands the reference back to the caller (the interpreter)
//     and leaves `r` empty.
//   * An `Arg` is one slot of an argument list: it takes over the reference of
//     a temporary `Ref`, and borrows from a named `Ref` or a constant. The
//     tuple or list that stores the argument takes that reference over, with
//     `give()`.
//
// `PyErrOccurred` is caught in exactly one place, the entry wrapper of
// runtime/body.hpp, which adds the traceback record and returns NULL to the
// interpreter.
#pragma once

#include <Python.h>

#include <cassert>
#include <initializer_list>
#include <utility>

namespace movra {

// Thrown whenever an operation failed and left the Python error indicator set.
struct PyErrOccurred {
    PyErrOccurred() { assert(PyErr_Occurred()); }
};

class Arg;

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Calls, in the three shapes a statement uses. The callee is always
    // evaluated before its arguments, and a braced argument list is evaluated
    // left to right, as Python does.
    Ref operator()() const;
    Ref operator()(const Arg& arg) const;
    Ref operator()(std::initializer_list<Arg> args) const;
    // Call with a pre-built argument tuple (a literal-only argument list).
    Ref apply(PyObject* args) const;

    // Attribute read: `self.name`.
    Ref attr(PyObject* name) const;

    // Arithmetic with the interpreter's number protocol. Member calls keep
    // Python's left-to-right evaluation: the object is evaluated before the
    // operand.
    Ref add(const Arg& rhs) const;
    Ref sub(const Arg& rhs) const;
    Ref mul(const Arg& rhs) const;
    Ref div(const Arg& rhs) const;  // true division, as `/` everywhere here
    Ref bit_or(const Arg& rhs) const;
    Ref neg() const;

    // Subscripts: `x[i]` with a literal non-negative index, and `x[key]`.
    Ref item(Py_ssize_t index) const;
    Ref item(const Arg& key) const;
    void set_item(Py_ssize_t index, const Arg& value) const;
    void set_item(const Arg& key, const Arg& value) const;

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

inline Ref steal(PyObject* p) noexcept { return Ref::steal(p); }
inline Ref borrow(PyObject* p) noexcept { return Ref::borrow(p); }

inline Ref require(PyObject* p) {
    if (p == nullptr) throw PyErrOccurred();
    return Ref::steal(p);
}

inline void require(int status) {
    if (status < 0) throw PyErrOccurred();
}

// One slot of an argument list; see the rules at the top.
class Arg {
public:
    Arg(Ref&& r) noexcept : p_(r.release()), owned_(true) {}
    Arg(const Ref& r) noexcept : p_(r.get()), owned_(false) {}
    Arg(PyObject* p) noexcept : p_(p), owned_(false) {}
    Arg(const Arg&) = delete;
    Arg& operator=(const Arg&) = delete;
    ~Arg() {
        if (owned_) Py_XDECREF(p_);
    }
    PyObject* get() const noexcept { return p_; }
    // A new reference for a container that stores the argument: the slot's
    // own reference if it holds one (the slot then only borrows), else an
    // increment. Argument lists are braced lists, whose slots are const.
    PyObject* give() const noexcept {
        if (owned_) {
            owned_ = false;
        } else {
            Py_INCREF(p_);
        }
        return p_;
    }

private:
    PyObject* p_;
    mutable bool owned_;
};

}  // namespace movra
