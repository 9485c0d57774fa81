// Global-name lookup and global assignment: the one place where a function
// body resolves a name (runtime/globals.hpp says what the hints keep).
#include "runtime/globals.hpp"

#include "runtime/runtime.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace movra {

ModuleState mod;
NameHints hints;
HintState hint_state;

namespace {

#if MOVRA_PY_AT_LEAST(3, 12)

// Every name of the constant pool with its hint, sorted by the name's
// address, so that one pass over the globals finds every name's position.
std::vector<std::pair<PyObject*, NameHint*>> names;

// The size of the globals at the last pass, which a pass that found a key
// of another type than str waits to see change before it looks again; -1
// makes the next lookup look.
Py_ssize_t passed_at_size = -1;

// One pass over the globals: each name's position (or -1 where no entry
// holds this very name), and whether every key is an exact str.
void find_positions() {
    for (auto& entry : names) entry.second->position = -1;
    bool text_keys = true;
    PyObject* key;
    PyObject* value;
    Py_ssize_t position = 0;
    while (PyDict_Next(hint_state.globals, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            text_keys = false;
            continue;
        }
        auto found = std::lower_bound(
            names.begin(), names.end(), key,
            [](const std::pair<PyObject*, NameHint*>& e, PyObject* k) { return e.first < k; });
        // PyDict_Next skips empty entries: the entry read is the one just
        // before the position it returns.
        if (found != names.end() && found->first == key) found->second->position = position - 1;
    }
    hint_state.text_keys = text_keys;
    passed_at_size = PyDict_Size(hint_state.globals);
}

// The dictionary watcher, where the interpreter has one to give, tells the
// hints of a key of another type than str (or a change whose keys it does
// not name), so that no use skips a comparison that the listing's lookup
// makes. It keeps nothing else: a hint's value is always read afresh.
int watcher = -1;

int on_globals_changed(PyDict_WatchEvent event, PyObject*, PyObject* key, PyObject*) {
    switch (event) {
        case PyDict_EVENT_ADDED:
        case PyDict_EVENT_MODIFIED:
        case PyDict_EVENT_DELETED:
            if (key != nullptr && PyUnicode_CheckExact(key)) return 0;
            break;
        default:  // cleared, cloned, deallocated
            break;
    }
    hint_state.text_keys = false;
    passed_at_size = -1;
    return 0;
}

#elif MOVRA_PY3

// The globals' version at which every key was last seen to be an exact str,
// and their size then. A change that keeps the size (a value rebound, as at
// every tick) is taken to keep the keys' types: a key of another type comes
// with a change of size, except where it replaces a deleted str key at once,
// a case that only costs the listing's comparisons with that key.
std::uint64_t text_keys_version = ~std::uint64_t{0};
Py_ssize_t text_keys_size = -1;

std::uint64_t version_now() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(hint_state.globals)->ma_version_tag;
#pragma GCC diagnostic pop
}

bool only_text_keys() {
    std::uint64_t version = version_now();
    if (version == text_keys_version) return true;
    Py_ssize_t size = PyDict_Size(hint_state.globals);
    if (size == text_keys_size) {
        text_keys_version = version;
        return true;
    }
    text_keys_size = -1;
    PyObject* key;
    PyObject* value;
    Py_ssize_t position = 0;
    while (PyDict_Next(hint_state.globals, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    text_keys_version = version;
    text_keys_size = size;
    return true;
}

#endif

// The builtins' value of a name, else NameError. Python 3 reads the
// module's dictionary as its own lookup of a global does, so that an error
// raised by a key's comparison propagates; Python 2 reads the module's
// attribute and reports only its absence.
Ref builtin(PyObject* name) {
    PyObject* value;
#if MOVRA_PY3
    int found = PyDict_GetItemRef(PyModule_GetDict(mod.builtins), name, &value);
    if (found < 0) throw PyErrOccurred();
#else
    value = PyObject_GetAttr(mod.builtins, name);
    if (value == nullptr) PyErr_Clear();
    int found = value != nullptr;
#endif
    if (found > 0) return steal(value);
    PyErr_Format(PyExc_NameError, "name '%.200s' is not defined", text_of(name));
    throw PyErrOccurred();
}

}  // namespace

Ref global(PyObject* name) {
    // The module globals first: the host may have rebound or deleted any
    // name since the last statement.
    PyObject* value;
    int found = PyDict_GetItemRef(mod.globals, name, &value);
    if (found < 0) throw PyErrOccurred();  // a key's comparison raised: at once, as the listing
    if (found > 0) return steal(value);
    return builtin(name);
}

Ref global_lookup(PyObject* name, NameHint& hint) {
    PyObject* found_value;
    int found = PyDict_GetItemRef(mod.globals, name, &found_value);
    if (found < 0) throw PyErrOccurred();
    if (found == 0) return builtin(name);
    Ref value = steal(found_value);
    // What the hint learns is read after the lookup has returned: a key's
    // comparison may have changed the globals during it.
#if MOVRA_PY_AT_LEAST(3, 12)
    // A position that no longer holds the name (the table was rebuilt, or
    // the name deleted and bound again) sends every name to a new pass;
    // a name that the last pass did not find (its key is an equal str, not
    // this one) waits for the globals to change size.
    // While a key of another type is there, only a change of size can
    // have removed it.
    bool resized = passed_at_size != PyDict_Size(mod.globals);
    if (resized || (hint_state.text_keys && hint.position >= 0)) find_positions();
#elif MOVRA_PY3
    if (only_text_keys()) {
        hint.version = version_now();
        hint.value = value.get();
    }
#else
    PyDictObject* d = reinterpret_cast<PyDictObject*>(mod.globals);
    long hash = reinterpret_cast<PyStringObject*>(name)->ob_shash;  // an interned str's, known
    if (d->ma_lookup == hint_state.string_lookup && hash != -1) {
        PyDictEntry* entry = d->ma_lookup(d, name, hash);  // runs no code: str keys alone
        hint.position = entry->me_value != nullptr && entry->me_key == name ? entry - d->ma_table : -1;
    }
#endif
    return value;
}

void set_global(PyObject* name, const Arg& value) {
    require(PyDict_SetItem(mod.globals, name, value.get()));
}

void prepare_lookups() {
    hint_state.globals = mod.globals;
#if MOVRA_PY_AT_LEAST(3, 12)
    if (names.empty()) {
#define MOVRA_NAME_HINT(member, text) names.emplace_back(K.member, &hints.member);
        MOVRA_NAMES(MOVRA_NAME_HINT)
#undef MOVRA_NAME_HINT
        std::sort(names.begin(), names.end());
    }
    // Without a watcher (the interpreter has a few ids only), a key of
    // another type is seen at the next pass only.
    if (watcher < 0) {
        watcher = PyDict_AddWatcher(on_globals_changed);
        if (watcher < 0) PyErr_Clear();
    }
    if (watcher >= 0 && PyDict_Watch(watcher, mod.globals) < 0) PyErr_Clear();
    hint_state.text_keys = false;
    passed_at_size = -1;
#elif MOVRA_PY3
    text_keys_version = ~std::uint64_t{0};
    text_keys_size = -1;
    hints = NameHints();
#else
    if (hint_state.string_lookup == nullptr) {
        if (PyObject* fresh = PyDict_New()) {
            hint_state.string_lookup = reinterpret_cast<PyDictObject*>(fresh)->ma_lookup;
            Py_DECREF(fresh);
        } else {
            PyErr_Clear();  // no hints: every use looks its name up
        }
    }
    hints = NameHints();
#endif
}

}  // namespace movra
