// `print x` (Python 2) and `print(x)` (Python 3): one object and a newline.
#include "module/constants.hpp"
#include "runtime/runtime.hpp"

namespace movra {

void print_object(const Arg& x) {
    PyObject* stream;
    bool failed;
    Output output = standard_output(mod.sys, K.stdout_name, &stream, failed);
    if (failed) throw PyErrOccurred();
    if (output == Output::discard) return;
    if (output == Output::missing) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.stdout");
        throw PyErrOccurred();
    }
    // Held: a write may run Python code that rebinds sys.stdout.
    Ref out = steal(stream);
    if (take_soft_space(out.get())) require(PyFile_WriteString(" ", out.get()));
    require(PyFile_WriteObject(x.get(), out.get(), Py_PRINT_RAW));
    require(PyFile_WriteString("\n", out.get()));
}

}  // namespace movra
