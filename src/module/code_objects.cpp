// The code objects of the module's functions.
//
// Each describes its function as the interpreter's compiler would: its
// name, its parameters and further locals (co_varnames), the module's
// source file and the definition's line. Debuggers, profilers and coverage
// tools read them, and Python code may run them: exec() or eval() of one,
// or types.FunctionType(code, globals) called. So each is real bytecode,
// compiled from a stub of the function,
//
//     def rotateX(angle_deg):                         # at the listing's line
//         return <the body>.__call__(angle_deg)
//         theta = R = None                            # never runs: the locals
//
// whose one statement calls the module's own body of the function, with the
// arguments that the interpreter bound to the stub's parameters (so it
// refuses wrong arguments in its own words, as for the listing's function).
// The body runs on the module globals, as it always does: run with any
// other globals, the stub raises TypeError "code of Movra.<name> can only
// run with the globals of module Movra".
#include "module/code_objects.hpp"

#include "runtime/call.hpp"
#include "runtime/runtime.hpp"
#include "runtime/traceback.hpp"

#include <new>
#include <string>

namespace movra {
namespace {

using FastWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Runs function_infos[index]'s body with the `nargs` arguments.
PyObject* run_body_of(Py_ssize_t index, PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    const PyMethodDef& entry = function_entries[index];
    if (PyEval_GetGlobals() != mod.globals) {
        PyErr_Format(PyExc_TypeError, "code of Movra.%s can only run with the globals of module Movra",
                     entry.ml_name);
        return nullptr;
    }
    PyObject* result = guarded([&]() -> PyObject* {
        switch (entry.ml_flags) {
            case METH_NOARGS:
                return entry.ml_meth(self, nullptr);
            case METH_O:
                return entry.ml_meth(self, args[0]);
            default: {
#if MOVRA_PY3
                FastWithKeywords native = reinterpret_cast<FastWithKeywords>(
                    reinterpret_cast<void (*)()>(entry.ml_meth));
                return native(self, args, nargs, nullptr);
#else
                // 2.7's entry takes the argument tuple, which `args` lies in.
                PyObject* tuple = PyTuple_New(nargs);
                if (tuple == nullptr) return nullptr;
                for (Py_ssize_t i = 0; i < nargs; ++i) {
                    PyTuple_SET_ITEM(tuple, i, Py_NewRef(args[i]));
                }
                PyObject* out = reinterpret_cast<PyCFunctionWithKeywords>(
                    reinterpret_cast<void (*)()>(entry.ml_meth))(self, tuple, nullptr);
                Py_DECREF(tuple);
                return out;
#endif
            }
        }
    });
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    }
    return result;
}

// The callable that a stub's code holds as its constant: a built-in
// function whose self is the function's index in the table.
#if MOVRA_PY3
PyObject* stub_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return run_body_of(PyLong_AsSsize_t(self), self, args, nargs);
}
PyMethodDef stub_entry = {"native_body", reinterpret_cast<PyCFunction>(
                                             reinterpret_cast<void (*)()>(stub_call)),
                          METH_FASTCALL, nullptr};
#else
PyObject* stub_call(PyObject* self, PyObject* args) {
    return run_body_of(PyInt_AsSsize_t(self), self, &PyTuple_GET_ITEM(args, 0),
                       PyTuple_GET_SIZE(args));
}
PyMethodDef stub_entry = {"native_body", stub_call, METH_VARARGS, nullptr};
#endif

const char* text(PyObject* Constants::*member) { return text_of(K.*member); }

// The stub's source, with its def on the listing's line of the definition.
std::string stub_source(const FunctionInfo& info, const char* name) {
    std::string parameters;
    for (int i = 0; i < info.argcount; ++i) {
        if (i) parameters += ", ";
        parameters += text(info.varnames[i]);
    }
    std::string source(static_cast<std::size_t>(info.first_line > 1 ? info.first_line - 1 : 0),
                       '\n');
    source += "def " + std::string(name) + "(" + parameters + "):\n";
    source += "    return 'Movra." + std::string(name) + "'.__call__(" + parameters + ")\n";
    if (info.nlocals > info.argcount) {
        source += "   ";
        for (int i = info.argcount; i < info.nlocals; ++i) {
            source += std::string(" ") + text(info.varnames[i]) + " =";
        }
        source += " None\n";
    }
    return source;
}

// The code object among a code object's constants.
PyObject* inner_code(PyObject* module_code) {
    Ref consts = require(PyObject_GetAttrString(module_code, "co_consts"));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(consts.get(), i);
        if (PyCode_Check(item)) return Py_NewRef(item);
    }
    PyErr_SetString(PyExc_SystemError, "Movra: a stub compiled without its function");
    return nullptr;
}

// A copy of a compiled code object with other constants: a new reference,
// or NULL with an error set. Each interpreter's constructor takes the
// fields of its own code objects.
PyObject* code_with_constants(PyObject* compiled, PyObject* consts) {
#if MOVRA_PY3
    // Every field read as the attribute Python code reads.
    auto field = [&](const char* name) { return require(PyObject_GetAttrString(compiled, name)); };
    auto number = [&](const char* name) {
        long value = PyLong_AsLong(field(name).get());
        if (value == -1 && PyErr_Occurred()) throw PyErrOccurred();
        return static_cast<int>(value);
    };
    int argcount = number("co_argcount"), nlocals = number("co_nlocals");
    int stacksize = number("co_stacksize"), flags = number("co_flags");
    int first_line = number("co_firstlineno");
    Ref bytecode = field("co_code"), names = field("co_names"), varnames = field("co_varnames");
    Ref freevars = field("co_freevars"), cellvars = field("co_cellvars");
    Ref filename = field("co_filename"), name = field("co_name");
#if MOVRA_PY_AT_LEAST(3, 10)
    Ref lines = field("co_linetable");
#else
    Ref lines = field("co_lnotab");
#endif
#if MOVRA_PY_AT_LEAST(3, 11)
    Ref qualname = field("co_qualname"), exceptions = field("co_exceptiontable");
#endif
#if MOVRA_PY_AT_LEAST(3, 12)
    return reinterpret_cast<PyObject*>(PyUnstable_Code_New(
        argcount, 0, nlocals, stacksize, flags, bytecode.get(), consts, names.get(),
        varnames.get(), freevars.get(), cellvars.get(), filename.get(), name.get(),
        qualname.get(), first_line, lines.get(), exceptions.get()));
#elif MOVRA_PY_AT_LEAST(3, 11)
    return reinterpret_cast<PyObject*>(PyCode_New(
        argcount, 0, nlocals, stacksize, flags, bytecode.get(), consts, names.get(),
        varnames.get(), freevars.get(), cellvars.get(), filename.get(), name.get(),
        qualname.get(), first_line, lines.get(), exceptions.get()));
#else
    return reinterpret_cast<PyObject*>(PyCode_New(
        argcount, 0, nlocals, stacksize, flags, bytecode.get(), consts, names.get(),
        varnames.get(), freevars.get(), cellvars.get(), filename.get(), name.get(), first_line,
        lines.get()));
#endif
#else
    PyCodeObject* c = reinterpret_cast<PyCodeObject*>(compiled);
    return reinterpret_cast<PyObject*>(
        PyCode_New(c->co_argcount, c->co_nlocals, c->co_stacksize, c->co_flags, c->co_code,
                   consts, c->co_names, c->co_varnames, c->co_freevars, c->co_cellvars,
                   c->co_filename, c->co_name, c->co_firstlineno, c->co_lnotab));
#endif
}

}  // namespace

PyObject* new_function_code(int index) {
    try {
        const FunctionInfo& info = function_infos[index];
        const char* name = text(info.name);
        std::string source = stub_source(info, name);
        Ref module_code = require(Py_CompileString(source.c_str(), kSourceFile, Py_file_input));
        if (PyErr_Occurred()) throw PyErrOccurred();
        Ref code = require(inner_code(module_code.get()));
        // The stub's constants, with the body in place of its placeholder.
        Ref body = require(PyCFunction_NewEx(&stub_entry, Ref(require(new_index(index))).get(),
                                             nullptr));
        Ref marker = require(format_text("Movra.%s", name));
        Ref consts = require(PyObject_GetAttrString(code.get(), "co_consts"));
        Py_ssize_t n = PyTuple_GET_SIZE(consts.get());
        Ref replaced = require(PyTuple_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PyTuple_GET_ITEM(consts.get(), i);
            bool is_marker = is_text(item) && same_text(item, marker.get());
            PyTuple_SET_ITEM(replaced.get(), i, Py_NewRef(is_marker ? body.get() : item));
        }
        Ref made = steal(code_with_constants(code.get(), replaced.get()));
        // Under a failed allocation the interpreter's constructor can return
        // a code object with the error still set: that is a failure too.
        if (made && PyErr_Occurred()) made = Ref();
        return require(made.release()).release();
    } catch (const PyErrOccurred&) {
    } catch (const std::bad_alloc&) {
    }
    // Under a failed allocation the compiler can fail without saying why.
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return nullptr;
}

}  // namespace movra
