// The code objects of the module's functions (their __code__).
#pragma once

#include "module/function_table.hpp"

namespace movra {

// The code object of function_infos[i]: a new reference, or NULL with an
// error set.
PyObject* new_function_code(int i);

}  // namespace movra
