// Values and operators: list and tuple displays, attribute reads, arithmetic,
// subscripts, the truth test and the integer conversion.
#include "runtime/runtime.hpp"

namespace movra {

Ref none() { return borrow(Py_None); }

Ref list(std::initializer_list<Arg> items) {
    Ref result = require(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (const Arg& item : items) {
        Py_INCREF(item.get());
        PyList_SET_ITEM(result.get(), i++, item.get());
    }
    return result;
}

Ref tuple(std::initializer_list<Arg> items) {
    Ref result = require(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (const Arg& item : items) {
        Py_INCREF(item.get());
        PyTuple_SET_ITEM(result.get(), i++, item.get());
    }
    return result;
}

Ref new_dict() { return require(PyDict_New()); }

Ref to_int(const Arg& x) { return require(PyNumber_Int(x.get())); }

bool truth(const Arg& x) {
    PyObject* o = x.get();
    if (o == Py_True) return true;
    if (o == Py_False || o == Py_None) return false;
    int result = PyObject_IsTrue(o);
    require(result);
    return result != 0;
}

Ref Ref::attr(PyObject* name) const { return require(PyObject_GetAttr(p_, name)); }

Ref Ref::add(const Arg& rhs) const { return require(PyNumber_Add(p_, rhs.get())); }
Ref Ref::sub(const Arg& rhs) const { return require(PyNumber_Subtract(p_, rhs.get())); }
Ref Ref::mul(const Arg& rhs) const { return require(PyNumber_Multiply(p_, rhs.get())); }
Ref Ref::div(const Arg& rhs) const { return require(PyNumber_TrueDivide(p_, rhs.get())); }
Ref Ref::bit_or(const Arg& rhs) const { return require(PyNumber_Or(p_, rhs.get())); }
Ref Ref::neg() const { return require(PyNumber_Negative(p_)); }

Ref Ref::item(Py_ssize_t index) const {
    // Exact lists and tuples are read in place; a subclass may override
    // __getitem__, so it takes the general path like any other object.
    if (PyList_CheckExact(p_) && index < PyList_GET_SIZE(p_)) {
        return borrow(PyList_GET_ITEM(p_, index));
    }
    if (PyTuple_CheckExact(p_) && index < PyTuple_GET_SIZE(p_)) {
        return borrow(PyTuple_GET_ITEM(p_, index));
    }
    if (!PyList_CheckExact(p_) && !PyTuple_CheckExact(p_)) {
        PySequenceMethods* seq = Py_TYPE(p_)->tp_as_sequence;
        if (seq != nullptr && seq->sq_item != nullptr) {
            return require(seq->sq_item(p_, index));
        }
    }
    Ref key = require(PyInt_FromSsize_t(index));
    return require(PyObject_GetItem(p_, key.get()));
}

Ref Ref::item(const Arg& key) const { return require(PyObject_GetItem(p_, key.get())); }

void Ref::set_item(Py_ssize_t index, const Arg& value) const {
    Ref key = require(PyInt_FromSsize_t(index));
    require(PyObject_SetItem(p_, key.get(), value.get()));
}

void Ref::set_item(const Arg& key, const Arg& value) const {
    require(PyObject_SetItem(p_, key.get(), value.get()));
}

}  // namespace movra
