#include "runtime/body.hpp"

namespace movra {

void set_native_error() {
    PyErr_SetString(PyExc_SystemError, "Movra: unexpected native exception");
}

}  // namespace movra
