// What differs between the interpreters the module is built for: CPython 2.7
// and CPython 3.8 to 3.13.
//
// The rule, written once: nothing outside this header tests the Python
// version, except files whose whole mechanism differs, which come in one
// file per interpreter and say so at their top:
//   * runtime/py27_fast_paths.{hpp,cpp}: the calls and the global-name lookup
//     of Python 2.7, with the fast paths that only 2.7 needs;
//   * runtime/call_py3.cpp: the calls of Python 3, through vectorcall;
//   * runtime/py3_lookup_cache.hpp: the global-name lookup of Python 3, with
//     its per-site cache.
// Small differences (a renamed API, a constant, a calling convention) are
// the named shims below, grouped by concern. Function bodies use neither.
#pragma once

#include <Python.h>

#include <cstdarg>
#include <cstring>

#define MOVRA_PY3 (PY_MAJOR_VERSION >= 3)

namespace movra {

// --- names and constants ---------------------------------------------------
// Identifiers and texts are `str` on both: bytes on 2.7, unicode on 3.x.

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

// The empty byte string that code objects take as their code.
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

// A `str` that begins with "_": a private name, which import-star skips.
inline bool is_private_name(PyObject* o) {
#if MOVRA_PY3
    return PyUnicode_Check(o) && PyUnicode_GET_LENGTH(o) > 0 && PyUnicode_READ_CHAR(o, 0) == '_';
#else
    return PyString_Check(o) && PyString_AS_STRING(o)[0] == '_';
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

// The lookup of a key in a dictionary: the value (borrowed), or NULL when
// absent. Python 3 reports an error raised by a key's comparison (`error`
// set); Python 2's lookup swallows it.
inline PyObject* dict_lookup(PyObject* dict, PyObject* key, bool& error) {
#if MOVRA_PY3
    PyObject* value = PyDict_GetItemWithError(dict, key);
    error = value == nullptr && PyErr_Occurred();
    return value;
#else
    error = false;
    return PyDict_GetItem(dict, key);
#endif
}

// --- imports -----------------------------------------------------------------

// The level of every import: Python 2's default (relative, then absolute) or
// Python 3's absolute import.
#if MOVRA_PY3
inline constexpr long kImportLevel = 0;
#else
inline constexpr long kImportLevel = -1;
#endif

// The names of a module's dictionary as a sequence readable by index: on 3.x
// keys() is a view, which the interpreter's own import-star turns into a list.
inline PyObject* dictionary_keys(PyObject* dict) {
#if MOVRA_PY3
    return PyMapping_Keys(dict);
#else
    return PyObject_CallMethod(dict, const_cast<char*>("keys"), nullptr);
#endif
}

// --- the pending error -------------------------------------------------------

// Sets the pending error aside for the life of the scope and puts it back at
// the end, dropping whatever error the bookkeeping in between raised.
class ErrorScope {
public:
    ErrorScope() { PyErr_Fetch(&type_, &value_, &traceback_); }
    ErrorScope(const ErrorScope&) = delete;
    ErrorScope& operator=(const ErrorScope&) = delete;
    ~ErrorScope() {
        PyErr_Clear();
        PyErr_Restore(type_, value_, traceback_);
    }

private:
    PyObject* type_;
    PyObject* value_;
    PyObject* traceback_;
};

// --- the handled exception (sys.exc_info) -----------------------------------

// New references to the thread's currently handled exception triple.
inline void get_handled(PyObject** type, PyObject** value, PyObject** traceback) {
#if MOVRA_PY3
    PyErr_GetExcInfo(type, value, traceback);
#else
    PyThreadState* ts = PyThreadState_GET();
    *type = ts->exc_type;
    *value = ts->exc_value;
    *traceback = ts->exc_traceback;
    Py_XINCREF(*type);
    Py_XINCREF(*value);
    Py_XINCREF(*traceback);
#endif
}

// Installs a triple as the handled exception, taking over the references,
// and releases the one it replaces.
inline void set_handled(PyObject* type, PyObject* value, PyObject* traceback) {
#if MOVRA_PY3
    PyErr_SetExcInfo(type, value, traceback);
#else
    PyThreadState* ts = PyThreadState_GET();
    PyObject* old_type = ts->exc_type;
    PyObject* old_value = ts->exc_value;
    PyObject* old_traceback = ts->exc_traceback;
    ts->exc_type = type;
    ts->exc_value = value;
    ts->exc_traceback = traceback;
    Py_XDECREF(old_type);
    Py_XDECREF(old_value);
    Py_XDECREF(old_traceback);
#endif
}

// Python 3 keeps an exception's traceback on the exception itself: an except
// clause that takes the exception stores it there. Python 2 keeps it apart.
inline void attach_traceback(PyObject* value, PyObject* traceback) {
#if MOVRA_PY3
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
#else
    (void)value;
    (void)traceback;
#endif
}

// --- printing ----------------------------------------------------------------

// sys.stdout (borrowed), or NULL when it is missing; on 3.x, as for the
// interpreter's own print(), also when it is None.
inline PyObject* standard_output() {
    PyObject* stream = PySys_GetObject(const_cast<char*>("stdout"));
#if MOVRA_PY3
    if (stream == Py_None) return nullptr;
#endif
    return stream;
}

// Reads and clears the stream's soft-space flag, which a Python 2 print that
// ended with a comma sets. Python 3 has none.
inline bool take_soft_space(PyObject* stream) {
#if MOVRA_PY3
    (void)stream;
    return false;
#else
    return PyFile_SoftSpace(stream, 0) != 0;
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

// --- calls -------------------------------------------------------------------

#if MOVRA_PY3
// The vectorcall entry of a callable, or NULL if its type offers none: the
// interpreter's own test, inlined (a type that declares vectorcall keeps the
// entry at tp_vectorcall_offset in each object).
inline vectorcallfunc vectorcall_of(PyObject* callable) {
    PyTypeObject* type = Py_TYPE(callable);
    if (!PyType_HasFeature(type, _Py_TPFLAGS_HAVE_VECTORCALL)) return nullptr;
    vectorcallfunc entry;
    std::memcpy(&entry, reinterpret_cast<char*>(callable) + type->tp_vectorcall_offset,
                sizeof entry);
    return entry;
}
#endif

// --- the module and its entry ----------------------------------------------

// Creates the module and registers it in the interpreter's module table under
// its name, as Python 2's Py_InitModule4 does; on 3.x the table gets it here
// too, so that whatever the initialisation imports sees the module as it
// would on 2.7 (a failed initialisation takes it out again). A new
// reference, or NULL with an error set.
inline PyObject* create_module(const char* name, PyMethodDef* methods, const char* doc) {
#if MOVRA_PY3
    static PyModuleDef definition = {PyModuleDef_HEAD_INIT, name, doc, -1, methods};
    PyObject* module = PyModule_Create2(&definition, PYTHON_API_VERSION);
    if (module != nullptr && PyDict_SetItemString(PyImport_GetModuleDict(), name, module) < 0) {
        Py_CLEAR(module);
    }
    return module;
#else
    PyObject* module =
        Py_InitModule4(name, methods, const_cast<char*>(doc), nullptr, PYTHON_API_VERSION);
    Py_XINCREF(module);
    return module;
#endif
}

// The module's one exported symbol, which the interpreter calls at the first
// import: initMovra on 2.7, which returns nothing (the module table holds the
// module); PyInit_Movra on 3.x, which returns the module or NULL.
// `initialise` returns a new reference to the module, or NULL.
#if MOVRA_PY3
#define MOVRA_MODULE_ENTRY(name, initialise)                                           \
    extern "C" __attribute__((visibility("default"))) PyObject* PyInit_##name(void) { \
        return initialise();                                                           \
    }
#else
#define MOVRA_MODULE_ENTRY(name, initialise)                                  \
    extern "C" __attribute__((visibility("default"))) void init##name(void) { \
        PyObject* module = initialise();                                      \
        Py_XDECREF(module);                                                   \
    }
#endif

// --- code objects ------------------------------------------------------------

// A code object that describes a function and is never executed: the given
// arguments, variable names, file, name and first line; empty code, line
// table and constants, no names, no free or cell variables, flags and stack
// size 0.
inline PyCodeObject* new_code(int argcount, int nlocals, PyObject* varnames, PyObject* filename,
                              PyObject* name, int first_line, PyObject* empty_tuple,
                              PyObject* empty_bytes) {
    PyObject* e = empty_tuple;
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Code_New(argcount, 0, nlocals, 0, 0, empty_bytes, e, e, varnames, e, e,
                               filename, name, name, first_line, empty_bytes, empty_bytes);
#elif PY_VERSION_HEX >= 0x030B0000
    return PyCode_New(argcount, 0, nlocals, 0, 0, empty_bytes, e, e, varnames, e, e, filename,
                      name, name, first_line, empty_bytes, empty_bytes);
#elif MOVRA_PY3
    return PyCode_New(argcount, 0, nlocals, 0, 0, empty_bytes, e, e, varnames, e, e, filename,
                      name, first_line, empty_bytes);
#else
    return PyCode_New(argcount, nlocals, 0, 0, empty_bytes, e, e, varnames, e, e, filename, name,
                      first_line, empty_bytes);
#endif
}

// A code object for a traceback record: the file, the name and the first
// line, which is also the line that a frame of it reports; everything else
// empty. Python 3 makes it as its own C-level traceback records do.
inline PyCodeObject* new_empty_code(const char* filename, const char* name, int first_line,
                                    PyObject* empty_tuple, PyObject* empty_bytes) {
#if MOVRA_PY3
    (void)empty_tuple;
    (void)empty_bytes;
    return PyCode_NewEmpty(filename, name, first_line);
#else
    PyObject* file = PyString_FromString(filename);
    PyObject* text = PyString_FromString(name);
    PyCodeObject* code = nullptr;
    if (file != nullptr && text != nullptr) {
        code = new_code(0, 0, empty_tuple, file, text, first_line, empty_tuple, empty_bytes);
    }
    Py_XDECREF(file);
    Py_XDECREF(text);
    return code;
#endif
}

// --- the function type -------------------------------------------------------
// Both interpreters call a function of the module as they call their own
// built-in functions. On 2.7 the type's call slot is PyCFunction_Call, which
// dispatches on the method entry's call kind. On 3.x the call slot is
// PyVectorcall_Call and each object carries a vectorcall entry: for the
// no-argument and one-argument kinds the interpreter's own entry for
// built-in functions of that kind (taken from a built-in function made for
// the purpose), which checks the arguments with the interpreter's messages
// and then calls the method entry; for the keyword kind, the entry of
// METH_FASTCALL | METH_KEYWORDS built-in functions likewise.

// A function that takes keywords, as the module writes it on both
// interpreters: the positional arguments as an array, then the keywords as
// the interpreter hands them over (NULL when there are none): a dictionary
// on 2.7, on 3.x a tuple of their names, whose values follow the positional
// arguments in the array. The binding makes a dictionary of the latter
// (keyword_dictionary).
using KeywordFunction = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* keywords);

// The keywords of a call as a dictionary: the dictionary itself (a new
// reference), or on 3.x a new one of the names and the values after the
// `nargs` positional arguments. NULL with an error set when a name cannot be
// stored (its hash fails).
inline PyObject* keyword_dictionary(PyObject* const* args, Py_ssize_t nargs, PyObject* keywords) {
    if (PyDict_Check(keywords)) {
        Py_INCREF(keywords);
        return keywords;
    }
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(keywords); ++i) {
        if (PyDict_SetItem(dict, PyTuple_GET_ITEM(keywords, i), args[nargs + i]) < 0) {
            Py_DECREF(dict);
            return nullptr;
        }
    }
    return dict;
}

#if MOVRA_PY3
// The call kind of the keyword-taking functions: Python 3's fast call, which
// hands over the positional arguments without a tuple.
inline constexpr int kKeywordCallKind = METH_FASTCALL | METH_KEYWORDS;

// The method entry of a keyword-taking function F: the interpreter's fast
// call, with the keywords as a tuple of names after the positional values.
template <KeywordFunction F>
PyObject* keyword_entry_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) == 0) kwnames = nullptr;
    return F(self, args, nargs, kwnames);
}

// The interpreter's vectorcall entry for its built-in functions of the call
// kind `flags` (no arguments, one argument, or fast call with keywords), read
// once off a built-in function made for the purpose, which is never called.
// NULL with an error set if that function cannot be made.
inline vectorcallfunc builtin_vectorcall(int flags) {
    static PyObject* (*const never_called)(PyObject*, PyObject*) =
        [](PyObject*, PyObject*) -> PyObject* { return nullptr; };
    static PyMethodDef probes[] = {
        {"probe", never_called, METH_NOARGS, nullptr},
        {"probe", never_called, METH_O, nullptr},
        {"probe", never_called, METH_FASTCALL | METH_KEYWORDS, nullptr},
    };
    static vectorcallfunc entries[3] = {};
    int kind = flags == METH_NOARGS ? 0 : flags == METH_O ? 1 : 2;
    if (entries[kind] == nullptr) {
        PyObject* probe = PyCFunction_NewEx(&probes[kind], nullptr, nullptr);
        if (probe == nullptr) return nullptr;
        entries[kind] = reinterpret_cast<PyCFunctionObject*>(probe)->vectorcall;
        Py_DECREF(probe);
        if (entries[kind] == nullptr) {
            PyErr_SetString(PyExc_SystemError, "Movra: built-in functions have no vectorcall entry");
        }
    }
    return entries[kind];
}

#else
// The call kind of the keyword-taking functions: an argument tuple and a
// keyword dictionary.
inline constexpr int kKeywordCallKind = METH_VARARGS | METH_KEYWORDS;

template <KeywordFunction F>
PyObject* keyword_entry_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return F(self, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), kwargs);
}
#endif

// The type's call slot, and on 3.x its vectorcall support.
inline void prepare_function_type(PyTypeObject& type, Py_ssize_t vectorcall_offset) {
#if MOVRA_PY3
    type.tp_call = PyVectorcall_Call;
    type.tp_vectorcall_offset = vectorcall_offset;
    type.tp_flags |= _Py_TPFLAGS_HAVE_VECTORCALL;
#else
    (void)vectorcall_offset;
    type.tp_call = PyCFunction_Call;
#endif
}

// Completes the built-in-function part of a new function object, whose
// method entry is set. False with an error set on failure.
inline bool init_builtin_part(PyCFunctionObject& base) {
#if MOVRA_PY3
    base.m_weakreflist = nullptr;
    base.vectorcall = builtin_vectorcall(base.m_ml->ml_flags);
    return base.vectorcall != nullptr;
#else
    (void)base;
    return true;
#endif
}

// The offset of the vectorcall entry in an object of the function type.
#if MOVRA_PY3
#define MOVRA_VECTORCALL_OFFSET(Type) offsetof(Type, base.vectorcall)
#else
#define MOVRA_VECTORCALL_OFFSET(Type) 0
#endif

// A method object that binds `function` to `self`; Python 2 also records the
// class it was fetched through.
inline PyObject* new_method(PyObject* function, PyObject* self, PyObject* owner) {
#if MOVRA_PY3
    (void)owner;
    return PyMethod_New(function, self);
#else
    return PyMethod_New(function, self, owner);
#endif
}

// A function fetched through a class without an instance: an unbound method
// on Python 2, the function itself on Python 3.
inline PyObject* unbound_method(PyObject* function, PyObject* owner) {
#if MOVRA_PY3
    (void)owner;
    Py_INCREF(function);
    return function;
#else
    return PyMethod_New(function, nullptr, owner);
#endif
}

// Table entries that exist on Python 2 only (the func_* attribute names).
#if MOVRA_PY3
#define MOVRA_PY2_ONLY(...)
#else
#define MOVRA_PY2_ONLY(...) __VA_ARGS__
#endif

// The method-entry function of a keyword-taking function F.
template <KeywordFunction F>
PyCFunction keyword_entry() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&keyword_entry_call<F>));
}

}  // namespace movra
