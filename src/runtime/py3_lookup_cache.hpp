// Python 3 only: the global-name lookup with a per-site cache (on 2.7:
// runtime/py27_fast_paths.hpp); runtime/py3_lookup_cache.cpp refills it.
//
// A use site keeps the value it found and a stamp of the module globals at
// that moment. While the stamp still holds, the globals hold the same value
// under the name, and the value is used without a lookup; otherwise the
// next use looks the name up afresh. A name that is not in the globals (a
// built-in, or none at all) is looked up every time.
//
// Where the stamp comes from:
//   * Python 3.12 and later: a counter per name, kept by the module. A
//     dictionary watcher (PyDict_AddWatcher, PyDict_Watch) is told of every
//     change of the globals, with its key, and advances the counter of that
//     name; any change that is not one str key's (a clear, a copy, a key of
//     another type) advances them all. So a store into one global, such as
//     each timer tick's two, leaves every other name's cache valid, as the
//     interpreter's own cache of global names stays valid across a store.
//   * Python 3.8 to 3.11, which have no watchers: the dictionary's version
//     number (PEP 509; 3.12 deprecates it, 3.14 removes it), which changes
//     at every change of the globals. When it has changed, the site's hint
//     of where the name's entry stands in the globals' table is tried before
//     a full lookup: the entry is read afresh and used only if it still
//     holds this very name (see the .cpp file), so a tick costs the next
//     frame a probe of each name, not a lookup.
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

// The stamp of a slot that holds nothing yet; no name's stamp is ever this.
inline constexpr std::uint64_t kNoStamp = ~std::uint64_t{0};

#if MOVRA_PY_AT_LEAST(3, 12)

// The counter of a slot that holds nothing yet.
extern const std::uint64_t kNoCounter;

// What a use site found: the value (held by the globals), the counter of its
// name and the counter's value then.
struct GlobalSlot {
    const std::uint64_t* counter = &kNoCounter;
    std::uint64_t stamp = kNoStamp;
    PyObject* value = nullptr;
};

inline bool still_holds(const GlobalSlot& slot) { return *slot.counter == slot.stamp; }

#else

// Where a name's entry stood in the globals' table: the table (the
// dictionary's keys object), its size, and the entry's key field (its value
// field follows it).
struct EntryHint {
    const void* keys = nullptr;
    Py_ssize_t size = 0;
    PyObject* const* entry = nullptr;
};

// What a use site found: the value (held by the globals), the globals'
// version then, and the hint.
struct GlobalSlot {
    std::uint64_t stamp = kNoStamp;
    PyObject* value = nullptr;
    EntryHint hint;
};

inline bool still_holds(const GlobalSlot& slot) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return slot.stamp == reinterpret_cast<PyDictObject*>(mod.globals)->ma_version_tag;
#pragma GCC diagnostic pop
}

#endif

// The lookup of a name whose slot is out of date, which stores its finding
// in the slot when the cache may be used.
Ref global_refill(PyObject* name, GlobalSlot& slot);

inline Ref global_at(PyObject* name, GlobalSlot& slot) {
    if (still_holds(slot)) return borrow(slot.value);
    return global_refill(name, slot);
}

}  // namespace movra

#endif  // MOVRA_PY3
