// `print x`: the single-object print statement with a trailing newline.
#include "runtime/runtime.hpp"

namespace movra {

void print_object(const Arg& x) {
    PyObject* stream = PySys_GetObject(const_cast<char*>("stdout"));  // borrowed
    if (stream == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.stdout");
        throw PyErrOccurred();
    }
    // Hold the stream: a write may run Python code that rebinds sys.stdout.
    Ref out = borrow(stream);
    if (PyFile_SoftSpace(out.get(), 0)) require(PyFile_WriteString(" ", out.get()));
    require(PyFile_WriteObject(x.get(), out.get(), Py_PRINT_RAW));
    require(PyFile_WriteString("\n", out.get()));
}

}  // namespace movra
