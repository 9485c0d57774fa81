// Python 2.7 only: the global-name lookup with a per-site hint (on 3.x:
// runtime/py3_lookup_cache.hpp). See runtime/py27_fast_paths.cpp for the
// measurements behind the 2.7 fast paths.
#pragma once

#include "runtime/runtime.hpp"

#if !MOVRA_PY3

namespace movra {

// The hint of where a use site's name stood in the globals' hash table the
// last time the site found it. The hint only saves the probe: the entry is
// read afresh and used only if it still holds this very name, so a rebound,
// deleted or moved name is seen at once.
struct GlobalSlot {
    Py_ssize_t index = -1;
};

// The lookup that refreshes the hint.
Ref global(PyObject* name, GlobalSlot& slot);

inline Ref global_at(PyObject* name, GlobalSlot& slot) {
    PyDictObject* d = reinterpret_cast<PyDictObject*>(mod.globals);
    Py_ssize_t i = slot.index;
    if (i >= 0 && i <= d->ma_mask) {
        PyDictEntry* entry = &d->ma_table[i];
        if (entry->me_key == name && entry->me_value != nullptr) return borrow(entry->me_value);
    }
    return global(name, slot);
}

}  // namespace movra

#endif  // !MOVRA_PY3
