// What differs between the interpreters the module is built for: CPython 2.7
// and CPython 3.8 to 3.15.
//
// The rule, written once: nothing outside this header tests the Python
// version, except files whose whole mechanism differs, which come in one
// file per interpreter and say so at their top:
//   * runtime/py27_fast_paths.{hpp,cpp}: the calls and the global-name lookup
//     of Python 2.7, with the fast paths that only 2.7 needs;
//   * runtime/call_py3.cpp: the calls of Python 3, through vectorcall;
//   * runtime/py3_function_entries.cpp: the function type's own vectorcall
//     entries on Python 3, one per call kind;
//   * runtime/py3_lookup_cache.{hpp,cpp}: the global-name lookup of Python 3,
//     with its per-site cache (dictionary watchers from 3.12 on, the
//     dictionary's version number before).
// Small differences (a renamed API, a constant, a calling convention) are
// the named shims below, grouped by concern. Function bodies use neither.
//
// From Python 3.12 on only the interpreter's public C API is used: no field
// of its private structures and no entry point of its own internals. Where a
// call is deprecated in a release, the shim names that release and the
// replacement it takes from then on, so that a shim can go once the oldest
// supported Python has the replacement.
#pragma once

#include <Python.h>

#include <cstdarg>
#include <cstring>

#define MOVRA_PY3 (PY_MAJOR_VERSION >= 3)
// Python major.minor or later (always false on 2.7 for a 3.x release).
#define MOVRA_PY_AT_LEAST(major, minor) (PY_VERSION_HEX >= (((major) << 24) | ((minor) << 16)))

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

// The module of that name in the interpreter's module table, made empty there
// if it is missing: a new reference, or NULL with an error set.
// PyImport_AddModule, which returns a borrowed one, is deprecated in 3.13.
inline PyObject* add_module(const char* name) {
#if MOVRA_PY_AT_LEAST(3, 13)
    return PyImport_AddModuleRef(name);
#else
    PyObject* module = PyImport_AddModule(name);
    Py_XINCREF(module);
    return module;
#endif
}

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

// A name of the builtins module: a new reference, or NULL, with `error` set
// when the lookup itself failed. Python 2 reads the module's attribute and
// reports only its absence. Python 3 reads the module's dictionary as its
// own global lookup does, so that an error raised by a key's comparison
// propagates instead of turning into NameError.
inline PyObject* builtin_lookup(PyObject* builtins, PyObject* name, bool& error) {
#if MOVRA_PY3
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(builtins), name);
    error = value == nullptr && PyErr_Occurred();
    Py_XINCREF(value);
    return value;
#else
    PyObject* value = PyObject_GetAttr(builtins, name);
    error = false;
    if (value == nullptr) PyErr_Clear();
    return value;
#endif
}

// The lookup of a global name (an interned str) in the module globals, as
// the interpreter's own lookup of a global makes it: the value (borrowed),
// or NULL when absent, with `error` set when the lookup failed (a key's
// comparison raised). Python 2 has no public call that reports such an
// error (PyDict_GetItem drops it), so there the dictionary's own lookup
// function is called, as the 2.7 interpreter's LOAD_GLOBAL does.
inline PyObject* name_lookup(PyObject* dict, PyObject* name, bool& error) {
#if MOVRA_PY3
    return dict_lookup(dict, name, error);
#else
    long hash = reinterpret_cast<PyStringObject*>(name)->ob_shash;
    if (hash == -1 && (hash = PyObject_Hash(name)) == -1) {
        error = true;
        return nullptr;
    }
    PyDictObject* d = reinterpret_cast<PyDictObject*>(dict);
    PyDictEntry* entry = d->ma_lookup(d, name, hash);
    error = entry == nullptr;
    return entry != nullptr ? entry->me_value : nullptr;
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
// PyErr_Fetch and PyErr_Restore are deprecated in 3.12, which keeps the
// pending error as one exception object.
class ErrorScope {
public:
#if MOVRA_PY_AT_LEAST(3, 12)
    ErrorScope() : exception_(PyErr_GetRaisedException()) {}
    ~ErrorScope() {
        PyErr_Clear();
        PyErr_SetRaisedException(exception_);
    }
#else
    ErrorScope() { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~ErrorScope() {
        PyErr_Clear();
        PyErr_Restore(type_, value_, traceback_);
    }
#endif
    ErrorScope(const ErrorScope&) = delete;
    ErrorScope& operator=(const ErrorScope&) = delete;

private:
#if MOVRA_PY_AT_LEAST(3, 12)
    PyObject* exception_;
#else
    PyObject* type_;
    PyObject* value_;
    PyObject* traceback_;
#endif
};

// Takes the pending error, normalised, as new references to its type, value
// and traceback, and clears it. False with a new error pending if the
// normalisation itself failed. (3.12 keeps pending errors normalised; its
// PyErr_Fetch and PyErr_NormalizeException are deprecated.)
inline bool take_pending(PyObject** type, PyObject** value, PyObject** traceback) {
#if MOVRA_PY_AT_LEAST(3, 12)
    PyObject* exception = PyErr_GetRaisedException();
    *value = exception;
    *type = exception ? reinterpret_cast<PyObject*>(Py_TYPE(exception)) : nullptr;
    Py_XINCREF(*type);
    *traceback = exception ? PyException_GetTraceback(exception) : nullptr;
    return true;
#else
    PyErr_Fetch(type, value, traceback);
    PyErr_NormalizeException(type, value, traceback);
    if (!PyErr_Occurred()) return true;
    Py_CLEAR(*type);
    Py_CLEAR(*value);
    Py_CLEAR(*traceback);
    return false;
#endif
}

// --- the handled exception (sys.exc_info) -----------------------------------

// New references to the thread's currently handled exception triple. From
// 3.11 the thread keeps the exception alone, and PyErr_GetHandledException
// is the call to read it.
inline void get_handled(PyObject** type, PyObject** value, PyObject** traceback) {
#if MOVRA_PY_AT_LEAST(3, 11)
    PyObject* exception = PyErr_GetHandledException();
    *value = exception;
    *type = exception ? reinterpret_cast<PyObject*>(Py_TYPE(exception)) : nullptr;
    Py_XINCREF(*type);
    *traceback = exception ? PyException_GetTraceback(exception) : nullptr;
#elif MOVRA_PY3
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
#if MOVRA_PY_AT_LEAST(3, 11)
    PyErr_SetHandledException(value == Py_None ? nullptr : value);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
#elif MOVRA_PY3
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

// Where a print goes: sys.stdout, no stream at all, or nowhere (Python 3's
// print() writes nothing and returns when sys.stdout is None; Python 2 tries
// None's write method like any other stream's).
enum class Output { stream, missing, discard };

// sys.stdout of the interpreter: Output::stream with a new reference in
// `stream`, or Output::missing or Output::discard with none. A lookup that
// failed returns Output::missing with `failed` true and its error set.
// `name` is the interned "stdout"; `sys` the interpreter's sys module.
// 3.15 has a lookup that reports its own errors. Before it, PySys_GetObject
// drops any error of its own (a failed allocation of the key it builds) and
// returns NULL as for a missing stream, and from 3.13 prints the dropped
// error; so 3.8 to 3.14 read the sys module's dictionary itself, whose
// lookup of an interned name builds nothing and reports what fails.
// Python 2 keeps PySys_GetObject.
inline Output standard_output(PyObject* sys, PyObject* name, PyObject** stream, bool& failed) {
    failed = false;
#if MOVRA_PY_AT_LEAST(3, 15)
    (void)sys;
    int found = PySys_GetOptionalAttr(name, stream);
    failed = found < 0;
    if (found <= 0) return Output::missing;
#elif MOVRA_PY3
    *stream = PyDict_GetItemWithError(PyModule_GetDict(sys), name);
    failed = *stream == nullptr && PyErr_Occurred();
    if (*stream == nullptr) return Output::missing;
    Py_INCREF(*stream);
#else
    (void)sys;
    (void)name;
    *stream = PySys_GetObject(const_cast<char*>("stdout"));
    if (*stream == nullptr) return Output::missing;
    Py_INCREF(*stream);
#endif
#if MOVRA_PY3
    if (*stream == Py_None) {
        Py_CLEAR(*stream);
        return Output::discard;
    }
#endif
    return Output::stream;
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
// The type flag that says a type's objects carry a vectorcall entry: public
// under this name from 3.12 on, with a leading underscore before.
#if MOVRA_PY_AT_LEAST(3, 12)
inline constexpr unsigned long kHasVectorcall = Py_TPFLAGS_HAVE_VECTORCALL;
#else
inline constexpr unsigned long kHasVectorcall = _Py_TPFLAGS_HAVE_VECTORCALL;
#endif

// The vectorcall entry of a callable, or NULL if its type offers none: the
// interpreter's own test (PyVectorcall_Function), inlined (a type that
// declares vectorcall keeps the entry at tp_vectorcall_offset in each object).
inline vectorcallfunc vectorcall_of(PyObject* callable) {
    PyTypeObject* type = Py_TYPE(callable);
    if (!PyType_HasFeature(type, kHasVectorcall)) return nullptr;
    vectorcallfunc entry;
    std::memcpy(&entry, reinterpret_cast<char*>(callable) + type->tp_vectorcall_offset,
                sizeof entry);
    return entry;
}

// Whether a callable's vectorcall entry enters the recursion guard itself,
// with the words of the module's guard (" while calling a Python object"),
// so that a call site need not guard again: the interpreter's own built-in
// functions do from 3.9 on (the module's own functions are called through
// their method entry, runtime/call_py3.cpp).
inline bool callee_guards(PyObject* callable) {
#if MOVRA_PY_AT_LEAST(3, 9)
    return Py_TYPE(callable) == &PyCFunction_Type;
#else
    (void)callable;
    return false;
#endif
}
#endif

// --- the module and its entry ----------------------------------------------
// The initialisation comes in three steps, which module/init.cpp provides:
//   prepare()     what exists before the module: no record, nothing visible;
//   initialised() the module of an initialisation that already succeeded in
//                 this process, or NULL;
//   execute(m)    the initialisation of a new module object m: 0, or -1 with
//                 the exception pending and the module abandoned.
// Python 2 runs them from initMovra around Py_InitModule4, which creates the
// module and registers it in the module table. Python 3 declares them as a
// multi-phase initialisation: PyInit_Movra returns the module's definition;
// the interpreter creates the module through the definition's create slot,
// puts it in sys.modules marked as initialising (so that another thread's
// import of Movra waits for it, as for any module), runs the exec slot, and
// takes the module out of sys.modules again if that fails. Every
// sub-interpreter is refused before anything is made: the module's state is
// one per process, and its objects belong to the main interpreter.

// Messages of the module's start-up that are not the interpreter's.
inline constexpr char kInitError[] = "init Movra";
inline constexpr char kSubinterpreterRefusal[] =
    "module Movra does not support loading in subinterpreters";

// The module table entry under `name`, borrowed, or NULL, leaving any
// pending error as it is.
inline PyObject* registered_module(const char* name) {
    ErrorScope pending;
    return PyDict_GetItemString(PyImport_GetModuleDict(), name);
}

#if MOVRA_PY3
// Whether the running interpreter is the process's main one.
// PyInterpreterState_Get is public from 3.9 on.
inline bool in_main_interpreter() {
#if MOVRA_PY_AT_LEAST(3, 9)
    return PyInterpreterState_Get() == PyInterpreterState_Main();
#else
    return _PyInterpreterState_Get() == PyInterpreterState_Main();
#endif
}

template <const char* Name, const char* Doc, bool (*Prepare)(), PyObject* (*Initialised)(),
          int (*Execute)(PyObject*)>
struct ModuleEntry {
    // The create slot: the module object, made only in the main interpreter.
    // A module that is already initialised (imported again after it was
    // taken out of sys.modules) is handed out again, as the one module of
    // the process; its exec slot then does nothing.
    static PyObject* create(PyObject*, PyModuleDef*) {
        if (!in_main_interpreter()) {
            PyErr_SetString(PyExc_ImportError, kSubinterpreterRefusal);
            return nullptr;
        }
        if (PyObject* module = Initialised()) {
            Py_INCREF(module);
            return module;
        }
        PyObject* module = Prepare() ? PyModule_New(Name) : nullptr;
        if (module == nullptr && !PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, kInitError);
        }
        return module;
    }

    static int exec(PyObject* module) {
        if (module == Initialised()) return 0;
        return Execute(module);
    }

    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(&create)},
        {Py_mod_exec, reinterpret_cast<void*>(&exec)},
#if MOVRA_PY_AT_LEAST(3, 12)
        // Isolated sub-interpreters refuse the import before the create slot.
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if MOVRA_PY_AT_LEAST(3, 13)
        // A free-threaded interpreter keeps its GIL enabled for the module,
        // and says so with its own warning.
        {Py_mod_gil, Py_MOD_GIL_USED},
#endif
        {0, nullptr},
    };

    static inline PyMethodDef no_functions[] = {
        {nullptr}  /* Sentinel */
    };

    static inline PyModuleDef definition = {
        PyModuleDef_HEAD_INIT, Name, Doc, 0, no_functions, slots,
    };

    static PyObject* init() { return PyModuleDef_Init(&definition); }
};

// The module's one exported symbol, which the interpreter calls at the first
// import: PyInit_<name>, which returns the module's definition.
#define MOVRA_MODULE_ENTRY(name, Entry)                                                \
    extern "C" __attribute__((visibility("default"))) PyObject* PyInit_##name(void) { \
        return Entry::init();                                                          \
    }

#else

template <const char* Name, const char* Doc, bool (*Prepare)(), PyObject* (*Initialised)(),
          int (*Execute)(PyObject*)>
struct ModuleEntry {
    static inline PyMethodDef no_functions[] = {
        {nullptr}  /* Sentinel */
    };

    // A failed initialisation abandons its module: the module table must not
    // keep it, or the next import would hand out the half-built module
    // instead of running the initialisation again. Only an entry that this
    // initialisation made goes; the pending exception stays.
    static void unregister(PyObject* before) {
        PyObject* entry = registered_module(Name);
        if (entry == nullptr || entry == before) return;
        ErrorScope pending;
        PyDict_DelItemString(PyImport_GetModuleDict(), Name);
    }

    static void init() {
        PyObject* before = registered_module(Name);
        // Before the module exists a failure adds no record: its own error
        // stands, or ImportError "init Movra" if there is none.
        PyObject* module = Prepare() ? Py_InitModule4(Name, no_functions, const_cast<char*>(Doc),
                                                      nullptr, PYTHON_API_VERSION)
                                     : nullptr;  // borrowed: the module table holds it
        if (module == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, kInitError);
            unregister(before);
            return;
        }
        if (Execute(module) < 0) unregister(before);
    }
};

// The module's one exported symbol, which the interpreter calls at the first
// import: init<name>, which returns nothing (the module table holds the
// module, or the error is pending).
#define MOVRA_MODULE_ENTRY(name, Entry)                                       \
    extern "C" __attribute__((visibility("default"))) void init##name(void) { \
        Entry::init();                                                        \
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
// dispatches on the method entry's call kind, and the built-in-function
// part of the object is the interpreter's own. On 3.x the call slot is
// PyVectorcall_Call and each object carries a vectorcall entry of the
// module's own for its call kind (runtime/py3_function_entries.cpp), which
// checks the arguments in the interpreter's words and calls the method
// entry; the interpreter's entries for its built-in functions are never
// given the module's objects, which are not of its built-in function type.

#if MOVRA_PY3
// The built-in-function part of a function object, laid out field for field
// as the interpreter lays out its own built-in functions, so that the size
// of the shared type stays what other modules of the process expect.
struct BuiltinPart {
    PyObject_HEAD
    PyMethodDef* m_ml;         // method entry: name, native function, call kind, doc
    PyObject* m_self;          // the function object itself
    PyObject* m_module;        // __module__
    PyObject* m_weakreflist;   // unused: the function object keeps its own list
    vectorcallfunc vectorcall; // the module's entry for the call kind
};

// The module's vectorcall entry for a call kind (METH_NOARGS, METH_O, or
// METH_FASTCALL | METH_KEYWORDS); runtime/py3_function_entries.cpp.
vectorcallfunc vectorcall_entry(int call_kind);

// How a refusal of arguments names the function: as the interpreter names
// its own built-in functions ("Movra.drawMain()" from 3.9 on, from the
// function's current __module__ and __qualname__; "drawMain()" from the
// method entry's name on 3.8). A new reference, or NULL with an error set.
inline PyObject* callee_text(PyObject* function) {
#if MOVRA_PY_AT_LEAST(3, 9)
    PyObject* qualname = PyObject_GetAttrString(function, "__qualname__");
    if (qualname == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        return PyObject_Str(function);
    }
    PyObject* result = nullptr;
    PyObject* module = PyObject_GetAttrString(function, "__module__");
    int qualified = 0;
    if (module == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
        else qualified = -1;
    } else if (module != Py_None) {
        static PyObject* builtins_name = nullptr;  // made once, on the first refusal
        if (builtins_name == nullptr) builtins_name = PyUnicode_InternFromString("builtins");
        qualified = builtins_name ? PyObject_RichCompareBool(module, builtins_name, Py_NE) : -1;
    }
    if (qualified > 0) {
        result = PyUnicode_FromFormat("%S.%S()", module, qualname);
    } else if (qualified == 0) {
        result = PyUnicode_FromFormat("%S()", qualname);
    }
    Py_XDECREF(module);
    Py_DECREF(qualname);
    return result;
#else
    return PyUnicode_FromFormat("%.200s()", reinterpret_cast<BuiltinPart*>(function)->m_ml->ml_name);
#endif
}
#else
using BuiltinPart = PyCFunctionObject;
#endif

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
    type.tp_flags |= kHasVectorcall;
#else
    (void)vectorcall_offset;
    type.tp_call = PyCFunction_Call;
#endif
}

// Completes the built-in-function part of a new function object, whose
// method entry is set.
inline void init_builtin_part(BuiltinPart& base) {
#if MOVRA_PY3
    base.m_weakreflist = nullptr;
    base.vectorcall = vectorcall_entry(base.m_ml->ml_flags);
#else
    (void)base;
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
