// The module's entry: how each interpreter is handed the initialisation.
//
// The initialisation comes in three steps, which module/init.cpp provides:
//   prepare()     what exists before the module: no record, nothing visible;
//   initialised() the module of an initialisation that already succeeded in
//                 this process, or NULL;
//   execute(m)    the top-level statements run into module m: 0, or -1 with
//                 the exception pending.
// Python 2 runs them from initMovra around Py_InitModule4, which creates the
// module and registers it in the module table. Python 3 declares them as a
// multi-phase initialisation: PyInit_Movra returns the module's definition;
// the interpreter creates the module through the definition's create slot,
// puts it in sys.modules marked as initialising (so that another thread's
// import of Movra waits for it, as for any module), runs the exec slot, and
// takes the module out of sys.modules again if that fails. Every
// sub-interpreter is refused before anything is made: the module's state is
// one per process, and its objects belong to the main interpreter.
//
// Importing again (docs/runtime.md): the process has one module Movra, as it
// has one module state, and the functions' globals are that module's
// dictionary.
//   * An import after `del sys.modules['Movra']` gets that module back as it
//     is: the create slot hands it out, and its exec slot then runs nothing.
//   * `importlib.reload(Movra)` leaves it as it is: the interpreter does not
//     run an extension module's exec slot again (PEP 489).
//   * Python 2.7 calls initMovra once; a later import or reload copies back
//     the dictionary it saved after that call.
#pragma once

#include "runtime/compat.hpp"
#include "runtime/errors.hpp"

namespace movra {

// Messages of the module's start-up that are not the interpreter's.
inline constexpr char kInitError[] = "init Movra";
inline constexpr char kSubinterpreterRefusal[] =
    "module Movra does not support loading in subinterpreters";
inline constexpr char kSecondModuleRefusal[] =
    "module Movra is initialised once per process";

#if MOVRA_PY3

template <const char* Name, const char* Doc, bool (*Prepare)(), PyObject* (*Initialised)(),
          int (*Execute)(PyObject*)>
struct ModuleEntry {
    // The create slot: the module object, made only in the main interpreter.
    static PyObject* create(PyObject*, PyModuleDef*) {
        if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
            PyErr_SetString(PyExc_ImportError, kSubinterpreterRefusal);
            return nullptr;
        }
        if (PyObject* module = Initialised()) return Py_NewRef(module);
        PyObject* module = Prepare() ? PyModule_New(Name) : nullptr;
        if (module == nullptr && !PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, kInitError);
        }
        return module;
    }

    // After a successful initialisation the exec slot runs nothing for the
    // module handed out again, and refuses any other module object (which
    // only a loader of its own could hand it).
    static int exec(PyObject* module) {
        PyObject* initialised = Initialised();
        if (module == initialised) return 0;
        if (initialised != nullptr) {
            PyErr_SetString(PyExc_ImportError, kSecondModuleRefusal);
            return -1;
        }
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

// The module table entry under `name`, borrowed, or NULL, leaving any
// pending error as it is.
inline PyObject* registered_module(const char* name) {
    ErrorScope pending;
    return PyDict_GetItemString(PyImport_GetModuleDict(), name);
}

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

    // Python 2.7 calls this once per process: a later import or reload of
    // the module copies the dictionary that it saved after this call.
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

}  // namespace movra
