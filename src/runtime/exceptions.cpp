// The thread's currently handled exception, as sys.exc_info() reports it.
// Only the guarded import block of initialisation uses these.
#include "runtime/runtime.hpp"

namespace movra {
namespace {

// Installs a triple as the handled exception and releases the one it replaces.
void install(PyObject* type, PyObject* value, PyObject* traceback) {
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

}  // namespace

ExcInfo save_exception() {
    PyThreadState* ts = PyThreadState_GET();
    return ExcInfo{borrow(ts->exc_type), borrow(ts->exc_value), borrow(ts->exc_traceback)};
}

ExcInfo take_exception() {
    PyObject* type;
    PyObject* value;
    PyObject* traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (PyErr_Occurred()) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        throw PyErrOccurred();
    }
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(traceback);
    install(type, value, traceback);
    return ExcInfo{steal(type), steal(value), steal(traceback)};
}

void restore_exception(ExcInfo& saved) {
    install(saved.type.release(), saved.value.release(), saved.traceback.release());
}

}  // namespace movra
