// Python 3 only: the global-name lookup with a per-site cache (on 2.7:
// runtime/py27_fast_paths.hpp).
//
// Python 3 keeps a version number in every dictionary (PEP 509), which
// changes whenever the dictionary's contents change, and its own bytecode
// caches global lookups by such versions. A use site here keeps the value it
// found together with the version of the module globals at that moment; while
// the globals keep that version they hold the same value under the name, so
// the value is used without a lookup. Any rebinding, deletion or other
// change of the globals, by the host or by the module itself, changes the
// version, and the next use looks the name up afresh. A name that is not in
// the globals (a built-in, or none at all) is looked up every time.
//
// What it saves, in instructions per drawMain() of the default scene on the
// no-op GL of make bench, Python 3.11 (valgrind --tool=callgrind, 300
// frames, 2026-12-08): 113.3k with a dictionary lookup at every use, 78.6k
// with the cache (the listing: 98.1k). A cached value is used only while
// the globals have the very version it was found at.
#pragma once

#include "runtime/runtime.hpp"

#if MOVRA_PY3

#include <cstdint>

namespace movra {

// The dictionary's version (deprecated from 3.12 on, and kept up to date
// until its removal after 3.13).
inline std::uint64_t dict_version(PyObject* dict) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
}

// What a use site found: the value (held by the globals) and the globals'
// version then; version 0, which no dictionary has, means nothing yet.
struct GlobalSlot {
    std::uint64_t version = 0;
    PyObject* value = nullptr;
};

// The lookup that refills the cache. The version is read after the lookup
// has returned: a key's comparison may have changed the globals during it,
// and the value found is the one the globals hold from then on.
inline Ref global_refill(PyObject* name, GlobalSlot& slot) {
    bool failed;
    PyObject* value = dict_lookup(mod.globals, name, failed);
    if (value == nullptr) return global(name);  // the builtins, the error or NameError
    slot.version = dict_version(mod.globals);
    slot.value = value;
    return borrow(value);
}

inline Ref global_at(PyObject* name, GlobalSlot& slot) {
    if (slot.version == dict_version(mod.globals)) return borrow(slot.value);
    return global_refill(name, slot);
}

}  // namespace movra

#endif  // MOVRA_PY3
