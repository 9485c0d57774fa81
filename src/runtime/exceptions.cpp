// The thread's currently handled exception, as sys.exc_info() reports it.
// Only the guarded import block of initialisation uses these.
#include "runtime/runtime.hpp"

namespace movra {

ExcInfo save_exception() {
    PyObject *type, *value, *traceback;
    PyErr_GetExcInfo(&type, &value, &traceback);
    return ExcInfo{steal(type), steal(value), steal(traceback)};
}

ExcInfo take_exception() {
    ExcInfo caught;
#if MOVRA_PY3
    // Normalised, with its traceback on it, as an except clause holds it.
    PyObject* exception = PyErr_GetRaisedException();
    caught.value = steal(exception);
    if (exception != nullptr) {
        caught.type = borrow(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
        caught.traceback = steal(PyException_GetTraceback(exception));
    }
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    caught = ExcInfo{steal(type), steal(value), steal(traceback)};
    if (PyErr_Occurred()) throw PyErrOccurred();  // the normalisation itself failed
#endif
    PyErr_SetExcInfo(Py_XNewRef(caught.type.get()), Py_XNewRef(caught.value.get()),
                     Py_XNewRef(caught.traceback.get()));
    return caught;
}

void restore_exception(ExcInfo& saved) {
    PyErr_SetExcInfo(saved.type.release(), saved.value.release(), saved.traceback.release());
}

}  // namespace movra
