// Python 3 only: refilling the per-site cache of global names, and on 3.12
// and later the dictionary watcher behind its stamp
// (runtime/py3_lookup_cache.hpp says how the cache works).
#include "runtime/py3_lookup_cache.hpp"

#if MOVRA_PY3

namespace movra {
namespace {

#if MOVRA_PY_AT_LEAST(3, 12)

// The watcher's id, or -1 while there is none; the stamp is 0 (no cache)
// until the globals are watched.
int watcher = -1;

// Whether every key of the globals is an exact str, and whether that is
// known: an event that may have added, removed or replaced a key of another
// type leaves it to the next refill to look again.
bool only_text_keys = false;
bool keys_known = false;

int on_globals_changed(PyDict_WatchEvent event, PyObject*, PyObject* key, PyObject*) {
    if (globals_stamp != 0) ++globals_stamp;
    switch (event) {
        case PyDict_EVENT_ADDED:
        case PyDict_EVENT_DELETED:
            if (key != nullptr && !PyUnicode_CheckExact(key)) keys_known = false;
            break;
        case PyDict_EVENT_CLONED:
        case PyDict_EVENT_CLEARED:
            keys_known = false;
            break;
        default:
            break;
    }
    return 0;
}

// The stamp under which a finding may be kept, or 0 when it may not.
std::uint64_t cache_stamp() {
    if (globals_stamp == 0) return 0;
    if (!keys_known) {
        only_text_keys = true;
        PyObject* key;
        PyObject* value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(mod.globals, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) {
                only_text_keys = false;
                break;
            }
        }
        keys_known = true;
    }
    return only_text_keys ? globals_stamp : 0;
}

#else

// Whether every key of a dictionary is an exact str, told by the kind of its
// table of keys, which the interpreter keeps for its own lookups: a table
// for strings alone becomes the general kind when the first key of another
// type comes in (and stays so). Read from the keys object, whose layout is
// that of 3.8 to 3.10 (a pointer to the table's lookup function after the
// reference count and the size) or of 3.11 (a kind byte after the reference
// count and two size bytes). The general kind is learnt from a dictionary
// made with an int key, and the reading is checked against a dictionary of
// str keys: if either disagrees, the cache is never used.
struct KeysKind {
#if MOVRA_PY_AT_LEAST(3, 11)
    using Tag = unsigned char;
    static Tag of(PyObject* dict) {
        const unsigned char* keys =
            reinterpret_cast<const unsigned char*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
        return keys[sizeof(Py_ssize_t) + 2];
    }
#else
    using Tag = const void*;
    static Tag of(PyObject* dict) {
        const void* const* keys =
            reinterpret_cast<const void* const*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
        return keys[2];
    }
#endif
    Tag general{};
    int state = 0;  // 0 not learnt yet, 1 learnt, -1 not to be trusted

    bool learn() {
        PyObject* mixed = PyDict_New();
        PyObject* text = PyDict_New();
        PyObject* key = PyLong_FromLong(7);
        bool made = mixed && text && key && PyDict_SetItem(mixed, key, Py_None) == 0 &&
                    PyDict_SetItemString(text, "near", Py_None) == 0;
        if (made) {
            general = of(mixed);
            state = of(text) != general ? 1 : -1;
        }
        Py_XDECREF(mixed);
        Py_XDECREF(text);
        Py_XDECREF(key);
        if (!made) PyErr_Clear();  // learnt at the next refill
        return made;
    }

    bool only_text_keys(PyObject* dict) {
        if (state == 0 && !learn()) return false;
        return state == 1 && of(dict) != general;
    }
};

KeysKind keys_kind;

std::uint64_t cache_stamp() {
    return keys_kind.only_text_keys(mod.globals) ? current_stamp() : 0;
}

#endif

}  // namespace

#if MOVRA_PY_AT_LEAST(3, 12)
std::uint64_t globals_stamp = 0;
#endif

void prepare_lookups() {
#if MOVRA_PY_AT_LEAST(3, 12)
    // Without a watcher (the interpreter has a few ids only) every use looks
    // its name up, which is slower and otherwise the same.
    if (watcher < 0) {
        watcher = PyDict_AddWatcher(on_globals_changed);
        if (watcher < 0) {
            PyErr_Clear();
            return;
        }
    }
    if (PyDict_Watch(watcher, mod.globals) < 0) {
        PyErr_Clear();
        return;
    }
    keys_known = false;
    if (globals_stamp == 0) globals_stamp = 1;
#endif
}

Ref global_refill(PyObject* name, GlobalSlot& slot) {
    bool failed;
    PyObject* value = name_lookup(mod.globals, name, failed);
    if (failed) throw PyErrOccurred();  // a key's comparison raised: at once, as the listing
    if (value == nullptr) return builtin(name);
    // The stamp is read after the lookup has returned: a key's comparison
    // may have changed the globals during it, and the value found is the one
    // the globals hold from then on.
    std::uint64_t stamp = cache_stamp();
    if (stamp != 0) {
        slot.stamp = stamp;
        slot.value = value;
    }
    return borrow(value);
}

}  // namespace movra

#endif  // MOVRA_PY3
