// The thread's currently handled exception, as sys.exc_info() reports it.
// Only the guarded import block of initialisation uses these.
#include "runtime/runtime.hpp"

namespace movra {

ExcInfo save_exception() {
    PyObject *type, *value, *traceback;
    get_handled(&type, &value, &traceback);
    return ExcInfo{steal(type), steal(value), steal(traceback)};
}

ExcInfo take_exception() {
    PyObject *type, *value, *traceback;
    if (!take_pending(&type, &value, &traceback)) throw PyErrOccurred();
    attach_traceback(value, traceback);
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(traceback);
    set_handled(type, value, traceback);
    return ExcInfo{steal(type), steal(value), steal(traceback)};
}

void restore_exception(ExcInfo& saved) {
    set_handled(saved.type.release(), saved.value.release(), saved.traceback.release());
}

}  // namespace movra
