// Argument binding of the functions that take keywords.
#include "runtime/body.hpp"
#include "runtime/function.hpp"

namespace movra {
namespace {

// Always -1.
int arity_error(const char* name, int count, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name, "exactly", static_cast<Py_ssize_t>(count), count == 1 ? "" : "s", given);
    return -1;
}

// Index of the parameter in [first, count) whose name equals `key`, or -1;
// -2 when the comparison itself raised.
int match(PyObject* key, PyObject* const* params, int first, int count) {
    for (int i = first; i < count; ++i) {
        if (key == params[i]) return i;
    }
    if (is_text(key)) {
        for (int i = first; i < count; ++i) {
            if (same_text(params[i], key)) return i;
        }
        return -1;
    }
    // A unicode key on Python 2, compared by the interpreter's unicode
    // comparison. (On 3.x every string is a str.)
    for (int i = first; i < count; ++i) {
        int equal = PyUnicode_Compare(key, params[i]);
        if (equal == -1 && PyErr_Occurred()) return -2;
        if (equal == 0) return i;
    }
    return -1;
}

}  // namespace

// Every bound value is held by `out` from the moment it is found: a lookup in
// the keyword dictionary can run a key's __eq__ or __hash__, which may remove
// or replace entries bound before, so nothing is borrowed from the
// dictionary across the next lookup.
int bind_arguments(const char* name, PyObject* const* params, int count, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* keywords, Ref* out) {
    Py_ssize_t given = nargs;
    if (keywords == nullptr) {
        if (given != count) return arity_error(name, count, given);
        for (int i = 0; i < count; ++i) out[i] = borrow(args[i]);
        return 0;
    }
    if (given > count) return arity_error(name, count, given);
    Ref dictionary = steal(keyword_dictionary(args, nargs, keywords));
    if (!dictionary) return -1;
    PyObject* kwargs = dictionary.get();
    int positional = static_cast<int>(given);
    for (int i = 0; i < positional; ++i) out[i] = borrow(args[i]);

    Py_ssize_t left = PyDict_Size(kwargs);
    for (int i = positional; i < count; ++i) {
        PyObject* value;
        int found = PyDict_GetItemRef(kwargs, params[i], &value);
#if !MOVRA_PY3
        // 2.7's lookup of a keyword (PyDict_GetItem) drops a comparison's error.
        if (found < 0) {
            PyErr_Clear();
            found = 0;
        }
#endif
        if (found < 0) return -1;
        if (found == 0) return arity_error(name, count, i);
        out[i] = steal(value);
        --left;
    }
    if (left <= 0) return 0;

    // Keywords that were not parameter names by identity or hash: check each.
    // The entry is held while it is compared, which may run Python code.
    PyObject* key_in_dict;
    PyObject* value_in_dict;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key_in_dict, &value_in_dict)) {
        Ref held_key = borrow(key_in_dict), value = borrow(value_in_dict);
        PyObject* key = held_key.get();
        if (!is_text(key) && !PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
            return -1;
        }
        int index = match(key, params, positional, count);
        if (index == -2) return -1;
        if (index >= 0) {
            out[index] = value;
            continue;
        }
        int repeated = match(key, params, 0, positional);
        if (repeated == -2) return -1;
        const char* text = nullptr;
        Ref encoded;
        if (is_text(key)) {
            if ((text = text_of(key)) == nullptr) return -1;
        } else {
            encoded = steal(PyUnicode_AsUTF8String(key));
            if (!encoded) return -1;
            text = PyBytes_AS_STRING(encoded.get());
        }
        if (repeated >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%s'",
                         name, text);
        } else {
            PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%.200s'",
                         name, text);
        }
        return -1;
    }
    return 0;
}

}  // namespace movra
