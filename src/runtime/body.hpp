// Function bodies and their entry wrappers.
//
// A body is written as the few lines of Python it stands for, each statement
// introduced by AT(line) with its line in the module's listing:
//
//     PyObject* Movra_drawMain(PyObject*, PyObject*) {
//         return run_body("Movra.drawMain", __FILE__, [](Frame& f) {
//             AT(289); G(glClear)(G(GL_COLOR_BUFFER_BIT).bit_or(G(GL_DEPTH_BUFFER_BIT)));
//             ...
//             return none();
//         });
//     }
//
// A list display that its function only reads back by constant index, and
// never hands on, is written as a C++ array of its items (`Ref eye[] = {...}`,
// or `PyObject* const` for constants): the same items, held as long, read as
// `eye[0]`, without a list object that nobody else could see.
//
// A failing statement throws PyErrOccurred. The body's locals are released as
// the stack unwinds, and run_body, the only place that catches, adds the
// traceback record for the last statement reached and returns NULL, so that
// the exception passes to the caller. No C++ exception reaches the
// interpreter.
#pragma once

#include "module/constants.hpp"
#include "runtime/runtime.hpp"
#include "runtime/traceback.hpp"

#include <cstring>
#include <new>

namespace movra {

// Where a body is: the statement being executed.
struct Frame {
    int line = 0;         // line of the statement in the listing
    int native_line = 0;  // line of its AT() in the native source

    void at(int listing_line, int native) {
        line = listing_line;
        native_line = native;
    }
};

#define AT(listing_line) f.at((listing_line), __LINE__)

// Sets the error for a C++ exception that is not a pending Python error.
void set_native_error();

// Whether the thread's stack is nearly used up, with RecursionError
// (RuntimeError on 2.7) "maximum recursion depth exceeded while calling a
// Python object" set if it is. The interpreter bounds its own recursion by
// a count of calls, which says nothing of how much stack each takes; a
// module function that calls itself through another takes more than a
// Python function, so the module bounds its depth by the stack that is left
// (docs/runtime.md). From 3.14 on the interpreter's own guard does that.
#if MOVRA_PY_AT_LEAST(3, 14)
inline bool stack_exhausted() { return false; }
#else
bool stack_exhausted();
#endif

template <class Body>
PyObject* run_body(const char* where, const char* native_file, Body&& body) {
    // Refused before the body starts: the caller adds the record.
    if (stack_exhausted()) return nullptr;
    Frame f;
    try {
        return body(f).release();
    } catch (const PyErrOccurred&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        set_native_error();
    }
    add_traceback(where, native_file, f.native_line, f.line);
    return nullptr;
}

// Binds the arguments of a function that takes keywords: parameters p0..pN-1,
// all required, by position or by name, from `nargs` positional arguments
// and the keywords as a KeywordFunction receives them (NULL: none given).
// Fills `out` with a reference to each bound value and returns 0, or sets
// the error (the TypeErrors of the binding) and returns -1. `name` is the
// function's name as its messages show it.
int bind_arguments(const char* name, PyObject* const* params, int count, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* keywords, Ref* out);

// Entry of a keyword-capable function (a KeywordFunction, runtime/function.hpp):
// binds, then runs the body with the bound parameters, which the binding
// holds until the body is done. A binding failure is recorded at the
// definition line.
template <int N, class Body>
PyObject* run_bound(const char* where, const char* native_file, int def_line,
                    PyObject* const (&params)[N], PyObject* const* args, Py_ssize_t nargs,
                    PyObject* keywords, Body&& body) {
    Ref bound[N];
    const char* name = std::strchr(where, '.') + 1;  // "Movra.projective" -> "projective"
    if (bind_arguments(name, params, N, args, nargs, keywords, bound) < 0) {
        // Recorded at the definition: the name alone, keyed by that line.
        add_traceback(where, native_file, 0, def_line);
        return nullptr;
    }
    return run_body(where, native_file, [&](Frame& f) { return body(f, bound); });
}

}  // namespace movra
