// `print x` (Python 2) and `print(x)` (Python 3): one object and a newline.
#include "runtime/runtime.hpp"

namespace movra {

void print_object(const Arg& x) {
    PyObject* stream = standard_output();  // borrowed
    if (stream == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.stdout");
        throw PyErrOccurred();
    }
    // Hold the stream: a write may run Python code that rebinds sys.stdout.
    Ref out = borrow(stream);
    if (take_soft_space(out.get())) require(PyFile_WriteString(" ", out.get()));
    require(PyFile_WriteObject(x.get(), out.get(), Py_PRINT_RAW));
    require(PyFile_WriteString("\n", out.get()));
}

}  // namespace movra
