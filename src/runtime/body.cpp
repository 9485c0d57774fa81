#include "runtime/body.hpp"

#if !MOVRA_PY_AT_LEAST(3, 14)
#include <pthread.h>

#include <algorithm>
#include <cstdint>
#endif

namespace movra {

void set_native_error() {
    PyErr_SetString(PyExc_SystemError, "Movra: unexpected native exception");
}

#if !MOVRA_PY_AT_LEAST(3, 14)
namespace {

// What a module function must leave below it on the stack when it starts:
// enough for the calls it makes out of the module (Python code, numpy, GL)
// before the next module function it calls checks again. A quarter of a
// smaller stack.
constexpr std::size_t kStackMargin = 128 * 1024;

// The lowest address of the calling thread's stack that a module function
// may start above, found once per thread; 1 if the thread's stack is not
// known (no bound then but the interpreter's).
thread_local std::uintptr_t stack_floor = 0;

std::uintptr_t find_stack_floor() {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 1;
    void* low = nullptr;
    std::size_t size = 0;
    int failed = pthread_attr_getstack(&attributes, &low, &size);
    pthread_attr_destroy(&attributes);
    if (failed != 0 || low == nullptr) return 1;
    return reinterpret_cast<std::uintptr_t>(low) + std::min(kStackMargin, size / 4);
}

}  // namespace

bool stack_exhausted() {
    std::uintptr_t here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    std::uintptr_t floor = stack_floor;
    if (floor == 0) stack_floor = floor = find_stack_floor();
    if (here > floor) return false;
#if MOVRA_PY3
    PyObject* kind = PyExc_RecursionError;
#else
    PyObject* kind = PyExc_RuntimeError;
#endif
    PyErr_SetString(kind, "maximum recursion depth exceeded while calling a Python object");
    return true;
}
#endif

}  // namespace movra
