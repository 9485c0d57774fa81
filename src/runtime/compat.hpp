// Back-ports of the interpreter's newer C API to the older interpreters the
// module is built for (CPython 2.7 and 3.8 to 3.15), under CPython's own
// names and with CPython's own return conventions, so that the rest of the
// module is written against the newest API alone.
//
// Each back-port names the CPython change that added the call and the
// release from which it exists; once the oldest supported Python has that
// release, the back-port goes and nothing else changes. Nothing else lives
// here: a difference that is not a missing call stays beside the code it
// serves (module/entry.hpp, runtime/function.cpp, runtime/code.cpp,
// runtime/print.cpp, runtime/text.hpp, ...).
//
// From Python 3.12 on only the interpreter's public C API is used. On 2.7,
// where some calls have no public equivalent at all, the back-port says
// which field of the interpreter it reads.
#pragma once

#include <Python.h>

// Python 3, and Python major.minor or later (always false on 2.7 for a 3.x
// release).
#define MOVRA_PY3 (PY_MAJOR_VERSION >= 3)
#define MOVRA_PY_AT_LEAST(major, minor) (PY_VERSION_HEX >= (((major) << 24) | ((minor) << 16)))

// --- references ------------------------------------------------------------

// Py_NewRef, Py_XNewRef: Python 3.10 (bpo-42262).
#if !MOVRA_PY_AT_LEAST(3, 10)
static inline PyObject* Py_NewRef(PyObject* o) {
    Py_INCREF(o);
    return o;
}
static inline PyObject* Py_XNewRef(PyObject* o) {
    Py_XINCREF(o);
    return o;
}
#endif

// --- modules -----------------------------------------------------------------

// PyImport_AddModuleRef: Python 3.13 (gh-105922), which deprecates the
// borrowed-reference PyImport_AddModule. A new reference, or NULL with an
// error set.
#if !MOVRA_PY_AT_LEAST(3, 13)
static inline PyObject* PyImport_AddModuleRef(const char* name) {
    return Py_XNewRef(PyImport_AddModule(const_cast<char*>(name)));
}
#endif

// --- attributes ----------------------------------------------------------------

// PyObject_GetOptionalAttr: Python 3.13 (gh-106521). 1 with a new reference
// in *result, 0 (and no error) when the attribute is missing, -1 with an
// error set.
#if !MOVRA_PY_AT_LEAST(3, 13)
static inline int PyObject_GetOptionalAttr(PyObject* obj, PyObject* name, PyObject** result) {
    *result = PyObject_GetAttr(obj, name);
    if (*result != nullptr) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}
static inline int PyObject_GetOptionalAttrString(PyObject* obj, const char* name,
                                                 PyObject** result) {
    *result = PyObject_GetAttrString(obj, const_cast<char*>(name));
    if (*result != nullptr) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}
#endif

// --- dictionaries --------------------------------------------------------------

// PyDict_GetItemRef: Python 3.13 (gh-106004). 1 with a new reference in
// *result, 0 when the key is absent, -1 with an error set when the lookup
// failed (the key's hash or a comparison raised). Before 3.13 the lookup
// is PyDict_GetItemWithError. Python 2.7 has no public lookup that reports
// an error (PyDict_GetItem drops it), so there the dictionary's own probe
// function (PyDictObject.ma_lookup) is called, as 2.7's own subscript of a
// dictionary and its LOAD_GLOBAL do.
#if !MOVRA_PY_AT_LEAST(3, 13)
static inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) {
#if MOVRA_PY3
    *result = Py_XNewRef(PyDict_GetItemWithError(dict, key));
    if (*result != nullptr) return 1;
    return PyErr_Occurred() ? -1 : 0;
#else
    long hash;
    if (!PyString_CheckExact(key) || (hash = reinterpret_cast<PyStringObject*>(key)->ob_shash) == -1) {
        if ((hash = PyObject_Hash(key)) == -1) {
            *result = nullptr;
            return -1;
        }
    }
    PyDictObject* d = reinterpret_cast<PyDictObject*>(dict);
    PyDictEntry* entry = d->ma_lookup(d, key, hash);
    if (entry == nullptr) {
        *result = nullptr;
        return -1;
    }
    *result = Py_XNewRef(entry->me_value);
    return *result != nullptr ? 1 : 0;
#endif
}
#endif

// --- the sys module ------------------------------------------------------------

// PySys_GetOptionalAttr: Python 3.15 (gh-108512). 1 with a new reference in
// *result, 0 when sys has no such attribute, -1 with an error set. Before
// it, PySys_GetObject drops any error of its own (and from 3.13 prints it)
// and answers NULL as for a missing attribute; so 3.8 to 3.14 read the sys
// module's dictionary itself, whose lookup of a str reports what fails.
// Python 2.7 keeps PySys_GetObject.
#if !MOVRA_PY_AT_LEAST(3, 15)
static inline int PySys_GetOptionalAttr(PyObject* name, PyObject** result) {
#if MOVRA_PY3
    PyObject* sys = PyImport_AddModuleRef("sys");
    if (sys == nullptr) {
        *result = nullptr;
        return -1;
    }
    int found = PyDict_GetItemRef(PyModule_GetDict(sys), name, result);
    Py_DECREF(sys);
    return found;
#else
    *result = Py_XNewRef(PySys_GetObject(PyString_AS_STRING(name)));
    return *result != nullptr ? 1 : 0;
#endif
}
#endif

// --- the handled exception (sys.exc_info()) -------------------------------

// PyErr_GetExcInfo, PyErr_SetExcInfo: Python 3.3 (bpo-14098). New
// references to the thread's handled exception triple; the setter takes
// over the references given and releases the triple it replaces. Python
// 2.7 has no call for either: the triple is the thread state's exc_type,
// exc_value and exc_traceback.
#if !MOVRA_PY3
static inline void PyErr_GetExcInfo(PyObject** type, PyObject** value, PyObject** traceback) {
    PyThreadState* ts = PyThreadState_GET();
    *type = Py_XNewRef(ts->exc_type);
    *value = Py_XNewRef(ts->exc_value);
    *traceback = Py_XNewRef(ts->exc_traceback);
}
static inline void PyErr_SetExcInfo(PyObject* type, PyObject* value, PyObject* traceback) {
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
}
#endif

// --- the pending error -----------------------------------------------------------

// PyErr_GetRaisedException, PyErr_SetRaisedException: Python 3.12
// (gh-101578), which keeps the pending error as one normalised exception
// and deprecates PyErr_Fetch, PyErr_Restore and PyErr_NormalizeException.
// Before 3.12: fetched, normalised, its traceback attached to it (as 3.12
// does), and restored the same way. Not on 2.7, whose exceptions do not
// carry their traceback: there the triple is kept (runtime/errors.hpp).
#if MOVRA_PY3 && !MOVRA_PY_AT_LEAST(3, 12)
static inline PyObject* PyErr_GetRaisedException(void) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}
static inline void PyErr_SetRaisedException(PyObject* exception) {
    if (exception == nullptr) {
        PyErr_Clear();
        return;
    }
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
}
#endif

// --- interpreters ----------------------------------------------------------------

// PyInterpreterState_Get: public from Python 3.9 (bpo-39947); 3.8 has it as
// _PyInterpreterState_Get.
#if MOVRA_PY3 && !MOVRA_PY_AT_LEAST(3, 9)
static inline PyInterpreterState* PyInterpreterState_Get(void) { return _PyInterpreterState_Get(); }
#endif

// --- calls -------------------------------------------------------------------------

// Py_TPFLAGS_HAVE_VECTORCALL: public under this name from Python 3.9, with
// the rest of the vectorcall protocol (bpo-39245); 3.8 calls it
// _Py_TPFLAGS_HAVE_VECTORCALL.
#if MOVRA_PY3 && !defined(Py_TPFLAGS_HAVE_VECTORCALL)
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif
