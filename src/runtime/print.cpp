// `print x` (Python 2) and `print(x)` (Python 3): one object and a newline.
#include "module/constants.hpp"
#include "runtime/runtime.hpp"

namespace movra {
namespace {

// Reads and clears the stream's soft-space flag, which a Python 2 print that
// ended with a comma sets. Python 3 has none.
bool take_soft_space(PyObject* stream) {
#if MOVRA_PY3
    (void)stream;
    return false;
#else
    return PyFile_SoftSpace(stream, 0) != 0;
#endif
}

}  // namespace

void print_object(const Arg& x) {
    PyObject* stream;
    int found = PySys_GetOptionalAttr(K.stdout_name, &stream);
    if (found < 0) throw PyErrOccurred();
    if (found == 0) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.stdout");
        throw PyErrOccurred();
    }
    // Held: a write may run Python code that rebinds sys.stdout.
    Ref out = steal(stream);
#if MOVRA_PY3
    // Python 3's print() writes nothing and returns when sys.stdout is None;
    // Python 2 tries None's write method like any other stream's.
    if (stream == Py_None) return;
#endif
    if (take_soft_space(out.get())) require(PyFile_WriteString(" ", out.get()));
    require(PyFile_WriteObject(x.get(), out.get(), Py_PRINT_RAW));
    require(PyFile_WriteString("\n", out.get()));
}

}  // namespace movra
