// Python 3 only: the global-name lookup with a per-site cache (on 2.7:
// runtime/py27_fast_paths.hpp); runtime/py3_lookup_cache.cpp refills it.
//
// A use site keeps the value it found together with the stamp of the module
// globals at that moment: a number that changes whenever the globals change
// in any way. While the globals keep that stamp they hold the same value
// under the name, so the value is used without a lookup. Any rebinding,
// deletion or other change of the globals, by the host or by the module
// itself, changes the stamp, and the next use looks the name up afresh. A
// name that is not in the globals (a built-in, or none at all) is looked up
// every time.
//
// Where the stamp comes from:
//   * Python 3.12 and later: a counter of the module's own, which a
//     dictionary watcher (PyDict_AddWatcher, PyDict_Watch) advances at every
//     change of the globals;
//   * Python 3.8 to 3.11, which have no watchers: the dictionary's version
//     number (PEP 509), which 3.12 deprecates and 3.14 removes.
//
// The cache is used only while every key of the globals is an exact `str`,
// as the interpreter's own caching of global names requires: a key of any
// other type may compare equal to a name by running code of its own, so
// with one present every use looks its name up.
//
// What it saves, in instructions per drawMain() of the default scene on the
// no-op GL of make bench, Python 3.11 (valgrind --tool=callgrind, 300
// frames, 2026-12-08): 113.3k with a dictionary lookup at every use, 78.6k
// with the cache (the listing: 98.1k).
#pragma once

#include "runtime/runtime.hpp"

#if MOVRA_PY3

#include <cstdint>

namespace movra {

// What a use site found: the value (held by the globals) and the globals'
// stamp then. kNoStamp, which the globals never have, means nothing yet.
inline constexpr std::uint64_t kNoStamp = ~std::uint64_t{0};

struct GlobalSlot {
    std::uint64_t stamp = kNoStamp;
    PyObject* value = nullptr;
};

#if MOVRA_PY_AT_LEAST(3, 12)
// Advanced by the watcher at every change of the module globals.
extern std::uint64_t globals_stamp;

inline std::uint64_t current_stamp() { return globals_stamp; }
#else
inline std::uint64_t current_stamp() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(mod.globals)->ma_version_tag;
#pragma GCC diagnostic pop
}
#endif

// The lookup of a name whose slot is out of date: the full lookup, which
// stores its finding in the slot when the cache may be used.
Ref global_refill(PyObject* name, GlobalSlot& slot);

inline Ref global_at(PyObject* name, GlobalSlot& slot) {
    if (slot.stamp == current_stamp()) return borrow(slot.value);
    return global_refill(name, slot);
}

}  // namespace movra

#endif  // MOVRA_PY3
