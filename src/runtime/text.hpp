// Strings and integers as the module makes them on both interpreters: a
// `str` is bytes on 2.7 and unicode on 3.x, an `int` is 2.7's int or 3.x's.
#pragma once

#include "runtime/compat.hpp"

#include <cstdarg>
#include <cstring>

namespace movra {

inline PyObject* intern_text(const char* text) {
#if MOVRA_PY3
    return PyUnicode_InternFromString(text);
#else
    return PyString_InternFromString(text);
#endif
}

inline PyObject* new_text(const char* text, Py_ssize_t size) {
#if MOVRA_PY3
    return PyUnicode_FromStringAndSize(text, size);
#else
    return PyString_FromStringAndSize(text, size);
#endif
}

inline PyObject* new_text(const char* text) {
#if MOVRA_PY3
    return PyUnicode_FromString(text);
#else
    return PyString_FromString(text);
#endif
}

// A new `str` from a printf-style format (%s, %d, %p, ...).
inline PyObject* format_text(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
#if MOVRA_PY3
    PyObject* text = PyUnicode_FromFormatV(format, arguments);
#else
    PyObject* text = PyString_FromFormatV(format, arguments);
#endif
    va_end(arguments);
    return text;
}

// The empty byte string.
inline PyObject* new_empty_bytes() {
#if MOVRA_PY3
    return PyBytes_FromStringAndSize("", 0);
#else
    return PyString_FromStringAndSize("", 0);
#endif
}

// A `str` or a subclass of it.
inline bool is_text(PyObject* o) {
#if MOVRA_PY3
    return PyUnicode_Check(o);
#else
    return PyString_Check(o);
#endif
}

// The UTF-8 text of a `str`, or NULL with an error set (on 3.x a string with
// lone surrogates has none).
inline const char* text_of(PyObject* o) {
#if MOVRA_PY3
    return PyUnicode_AsUTF8(o);
#else
    return PyString_AsString(o);
#endif
}

// Two `str` of the same length and characters; runs no Python code.
inline bool same_text(PyObject* a, PyObject* b) {
#if MOVRA_PY3
    return PyUnicode_Compare(a, b) == 0;
#else
    return PyString_GET_SIZE(a) == PyString_GET_SIZE(b) &&
           std::memcmp(PyString_AS_STRING(a), PyString_AS_STRING(b), PyString_GET_SIZE(a)) == 0;
#endif
}

inline PyObject* new_int(long value) {
#if MOVRA_PY3
    return PyLong_FromLong(value);
#else
    return PyInt_FromLong(value);
#endif
}

inline PyObject* new_index(Py_ssize_t value) {
#if MOVRA_PY3
    return PyLong_FromSsize_t(value);
#else
    return PyInt_FromSsize_t(value);
#endif
}

// `int(x)`: Python 3's int, Python 2's int (which may give a long).
inline PyObject* number_to_int(PyObject* x) {
#if MOVRA_PY3
    return PyNumber_Long(x);
#else
    return PyNumber_Int(x);
#endif
}

// The module that holds the built-in names.
#if MOVRA_PY3
inline constexpr char kBuiltinsModule[] = "builtins";
#else
inline constexpr char kBuiltinsModule[] = "__builtin__";
#endif

}  // namespace movra
