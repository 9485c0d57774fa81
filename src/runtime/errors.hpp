// The pending error set aside around bookkeeping.
#pragma once

#include "runtime/compat.hpp"

namespace movra {

// Sets the pending error aside for the life of the scope and puts it back at
// the end, dropping whatever error the bookkeeping in between raised.
class ErrorScope {
public:
#if MOVRA_PY3
    ErrorScope() : exception_(PyErr_GetRaisedException()) {}
    ~ErrorScope() { PyErr_SetRaisedException(exception_); }
#else
    // 2.7's exceptions do not carry their traceback: the triple is kept.
    ErrorScope() { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~ErrorScope() {
        PyErr_Clear();
        PyErr_Restore(type_, value_, traceback_);
    }
#endif
    ErrorScope(const ErrorScope&) = delete;
    ErrorScope& operator=(const ErrorScope&) = delete;

private:
#if MOVRA_PY3
    PyObject* exception_;
#else
    PyObject* type_;
    PyObject* value_;
    PyObject* traceback_;
#endif
};

}  // namespace movra
