// Values and operators: list and tuple displays, attribute reads, arithmetic,
// subscripts, the truth test and the integer conversion.
#include "runtime/runtime.hpp"

namespace movra {

Ref none() { return borrow(Py_None); }

namespace {

// A new list or tuple of the items, in order; `set` stores a new reference.
template <class Set>
Ref display(PyObject* (*create)(Py_ssize_t), Set set, std::initializer_list<Arg> items) {
    Ref result = require(create(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (const Arg& item : items) set(result.get(), i++, item.give());
    return result;
}

}  // namespace

Ref list(std::initializer_list<Arg> items) {
    return display(PyList_New, [](PyObject* l, Py_ssize_t i, PyObject* v) { PyList_SET_ITEM(l, i, v); },
                   items);
}

Ref tuple(std::initializer_list<Arg> items) {
    return display(PyTuple_New,
                   [](PyObject* t, Py_ssize_t i, PyObject* v) { PyTuple_SET_ITEM(t, i, v); }, items);
}

Ref new_dict() { return require(PyDict_New()); }

Ref to_int(const Arg& x) { return require(number_to_int(x.get())); }

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
    // That path is the subscript's own (the mapping slot first), never the
    // sequence slot directly: a type with both, such as numpy's array,
    // answers each in its own way.
    if (PyList_CheckExact(p_) && index < PyList_GET_SIZE(p_)) {
        return borrow(PyList_GET_ITEM(p_, index));
    }
    if (PyTuple_CheckExact(p_) && index < PyTuple_GET_SIZE(p_)) {
        return borrow(PyTuple_GET_ITEM(p_, index));
    }
    Ref key = require(new_index(index));
    return require(PyObject_GetItem(p_, key.get()));
}

Ref Ref::item(const Arg& key) const { return require(PyObject_GetItem(p_, key.get())); }

void Ref::set_item(Py_ssize_t index, const Arg& value) const {
    Ref key = require(new_index(index));
    require(PyObject_SetItem(p_, key.get(), value.get()));
}

void Ref::set_item(const Arg& key, const Arg& value) const {
    require(PyObject_SetItem(p_, key.get(), value.get()));
}

}  // namespace movra
