// Python 3 only: refilling the per-site cache of global names: on 3.12 and
// later the dictionary watcher and the names' counters behind its stamps, on
// 3.8 to 3.11 the entry hints (runtime/py3_lookup_cache.hpp says how the
// cache works).
#include "runtime/py3_lookup_cache.hpp"

#if MOVRA_PY3

#if MOVRA_PY_AT_LEAST(3, 12)
#include <deque>
#endif

namespace movra {
namespace {

#if MOVRA_PY_AT_LEAST(3, 12)

// The watcher's id, or -1 while there is none. Until the globals are
// watched, nothing is kept.
int watcher = -1;
bool watching = false;

// Whether every key of the globals is an exact str, and whether that is
// known: an event that may have added, removed or replaced a key of another
// type leaves it to the next refill to look again.
bool only_text_keys = false;
bool keys_known = false;

// One counter per name that a refill has asked for, and where each stands:
// {name: index}. A deque, so that a counter never moves once a slot points
// at it. Counters start at 1 (kNoCounter is 0).
std::deque<std::uint64_t> counters;
PyObject* counter_index = nullptr;

void advance_all() {
    for (std::uint64_t& counter : counters) ++counter;
}

// The counter of an exact str key, or NULL if no refill asked for one. Runs
// no code and makes nothing (the key's hash is known, the index's keys are
// exact strs).
std::uint64_t* counter_of(PyObject* key) {
    if (counter_index == nullptr) return nullptr;
    PyObject* index = PyDict_GetItemWithError(counter_index, key);
    if (index == nullptr) {
        if (PyErr_Occurred()) {
            PyErr_Clear();
            advance_all();
        }
        return nullptr;
    }
    return &counters[PyLong_AsSize_t(index)];
}

// The counter of a name, made if it has none: NULL (and no error) if it
// cannot be made.
std::uint64_t* counter_for(PyObject* name) {
    if (std::uint64_t* counter = counter_of(name)) return counter;
    if (counter_index == nullptr && (counter_index = PyDict_New()) == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* index = PyLong_FromSize_t(counters.size());
    bool stored = index != nullptr && PyDict_SetItem(counter_index, name, index) == 0;
    Py_XDECREF(index);
    if (!stored) {
        PyErr_Clear();
        return nullptr;
    }
    counters.push_back(1);
    return &counters.back();
}

// Told of every change of the globals before it is made, with its key.
int on_globals_changed(PyDict_WatchEvent event, PyObject*, PyObject* key, PyObject*) {
    switch (event) {
        case PyDict_EVENT_ADDED:
        case PyDict_EVENT_MODIFIED:
        case PyDict_EVENT_DELETED:
            if (key != nullptr && PyUnicode_CheckExact(key)) {
                if (std::uint64_t* counter = counter_of(key)) ++*counter;
                return 0;
            }
            break;
        default:  // cleared, copied into, deallocated
            break;
    }
    keys_known = false;
    advance_all();
    return 0;
}

// Whether a finding may be kept: the globals watched, every key an exact str.
bool may_keep() {
    if (!watching) return false;
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
    return only_text_keys;
}

#else

// The globals' table of keys, as the interpreter lays it out, read from the
// keys object of the dictionary: its size, the width of its slots in the
// index, where the index and the entries start, and the layout of an entry.
// 3.8 to 3.10: the reference count, the size, the lookup function, the
// usable and used counts, then the index (slots of 1, 2, 4 or 8 bytes by
// size), then entries of (hash, key, value). 3.11: the reference count, the
// size's and the index's log2, the kind, a version, the usable and used
// counts, then the index, then entries of (key, value) for a table of str
// keys alone. Whether every key is an exact str is told by the table's
// kind: a lookup function of its own for such tables (3.8 to 3.10), or the
// kind byte (3.11); a key of another type makes the table general, and it
// stays so.
struct Table {
    Py_ssize_t size = 0;
    int index_width = 0;
    const unsigned char* index = nullptr;
    const unsigned char* entries = nullptr;
    std::size_t entry_size = 0;
    std::size_t key_offset = 0;

    static const unsigned char* keys_of(PyObject* dict) {
        return reinterpret_cast<const unsigned char*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
    }

#if MOVRA_PY_AT_LEAST(3, 11)
    using Kind = unsigned char;
    static Kind kind_of(const unsigned char* keys) { return keys[sizeof(Py_ssize_t) + 2]; }

    explicit Table(const unsigned char* keys) {
        int log2_size = keys[sizeof(Py_ssize_t)];
        int log2_index_bytes = keys[sizeof(Py_ssize_t) + 1];
        size = Py_ssize_t{1} << log2_size;
        index_width = log2_size < 8 ? 1 : log2_size < 16 ? 2 : log2_size < 32 ? 4 : 8;
        index = keys + 4 * sizeof(Py_ssize_t);
        entries = index + (std::size_t{1} << log2_index_bytes);
        entry_size = 2 * sizeof(PyObject*);
        key_offset = 0;
    }
#else
    using Kind = const void*;
    static Kind kind_of(const unsigned char* keys) {
        return reinterpret_cast<const void* const*>(keys)[2];
    }

    explicit Table(const unsigned char* keys) {
        size = reinterpret_cast<const Py_ssize_t*>(keys)[1];
        index_width = size <= 0xff ? 1 : size <= 0xffff ? 2 : size <= 0xffffffffLL ? 4 : 8;
        index = keys + 4 * sizeof(Py_ssize_t) + sizeof(void*);
        entries = index + static_cast<std::size_t>(size) * index_width;
        entry_size = sizeof(Py_hash_t) + 2 * sizeof(PyObject*);
        key_offset = sizeof(Py_hash_t);
    }
#endif

    Py_ssize_t slot(std::size_t i) const {
        switch (index_width) {
            case 1: return reinterpret_cast<const std::int8_t*>(index)[i];
            case 2: return reinterpret_cast<const std::int16_t*>(index)[i];
            case 4: return reinterpret_cast<const std::int32_t*>(index)[i];
            default: return static_cast<Py_ssize_t>(reinterpret_cast<const std::int64_t*>(index)[i]);
        }
    }

    // The key field of the entry that holds this very name (found by its
    // hash, as the interpreter probes), or NULL.
    PyObject* const* entry_of(PyObject* name, Py_hash_t hash) const {
        std::size_t mask = static_cast<std::size_t>(size) - 1;
        std::size_t perturb = static_cast<std::size_t>(hash);
        std::size_t i = perturb & mask;
        for (Py_ssize_t probes = 0; probes <= size; ++probes) {
            Py_ssize_t ix = slot(i);
            if (ix == -1) return nullptr;  // an empty slot: the name is not there
            if (ix >= 0) {
                PyObject* const* key = reinterpret_cast<PyObject* const*>(
                    entries + static_cast<std::size_t>(ix) * entry_size + key_offset);
                if (*key == name) return key;
            }
            perturb >>= 5;
            i = (i * 5 + perturb + 1) & mask;
        }
        return nullptr;
    }
};

// The kind of a general table (3.8 to 3.10: its lookup function), learnt
// from a dictionary made with an int key, and whether the reading of tables
// above holds for this interpreter: checked at initialisation on
// dictionaries of str keys, small, large and with a key deleted (a table of
// str keys has more than one kind before 3.11). If it does not, there is no
// cache at all.
Table::Kind general_kind{};
bool tables_read = false;

bool check_tables() {
    PyObject* small = PyDict_New();
    PyObject* large = PyDict_New();
    PyObject* mixed = PyDict_New();
    PyObject* seven = PyLong_FromLong(7);
    bool ok = small && large && mixed && seven && PyDict_SetItem(mixed, seven, Py_None) == 0;
    for (int i = 0; ok && i < 600; ++i) {
        PyObject* name = PyUnicode_FromFormat("name%d", i);
        ok = name != nullptr && PyDict_SetItem(i < 5 ? small : large, name, name) == 0;
        Py_XDECREF(name);
    }
    ok = ok && PyDict_DelItemString(large, "name300") == 0;
    if (ok) {
        general_kind = Table::kind_of(Table::keys_of(mixed));
        ok = Table::kind_of(Table::keys_of(small)) != general_kind &&
             Table::kind_of(Table::keys_of(large)) != general_kind;
    }
    for (PyObject* dict : {small, large}) {
        PyObject* key;
        PyObject* value;
        Py_ssize_t pos = 0;
        while (ok && PyDict_Next(dict, &pos, &key, &value)) {
            Table table(Table::keys_of(dict));
            PyObject* const* entry = table.entry_of(key, PyObject_Hash(key));
            ok = entry != nullptr && entry[0] == key && entry[1] == value;
        }
    }
    Py_XDECREF(small);
    Py_XDECREF(large);
    Py_XDECREF(mixed);
    Py_XDECREF(seven);
    PyErr_Clear();
    return ok;
}

bool may_keep() {
    if (!tables_read) return false;
    PyDictObject* globals = reinterpret_cast<PyDictObject*>(mod.globals);
    return globals->ma_values == nullptr &&
           Table::kind_of(Table::keys_of(mod.globals)) != general_kind;
}

// The value of the name by the site's hint, or NULL: the globals' table is
// the one the hint was made in (the same keys object, of the same size, so
// that the entry is read where it stands), still of str keys alone, and
// the entry holds this very name and a value.
PyObject* by_hint(PyObject* name, const EntryHint& hint) {
    if (hint.entry == nullptr || !may_keep()) return nullptr;
    const unsigned char* keys = Table::keys_of(mod.globals);
    if (keys != hint.keys || Table(keys).size != hint.size) return nullptr;
    if (hint.entry[0] != name) return nullptr;
    return hint.entry[1];
}

EntryHint hint_for(PyObject* name) {
    EntryHint hint;
    const unsigned char* keys = Table::keys_of(mod.globals);
    Table table(keys);
    Py_hash_t hash = PyObject_Hash(name);  // a str's, kept: runs nothing
    if (hash == -1) {
        PyErr_Clear();
        return hint;
    }
    hint.keys = keys;
    hint.size = table.size;
    hint.entry = table.entry_of(name, hash);
    return hint;
}

std::uint64_t version_now() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(mod.globals)->ma_version_tag;
#pragma GCC diagnostic pop
}

#endif

}  // namespace

#if MOVRA_PY_AT_LEAST(3, 12)
const std::uint64_t kNoCounter = 0;
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
        watching = false;
        return;
    }
    watching = true;
    keys_known = false;
    advance_all();  // nothing cached for an earlier dictionary holds
#else
    if (!tables_read) tables_read = check_tables();
#endif
}

Ref global_refill(PyObject* name, GlobalSlot& slot) {
#if MOVRA_PY_AT_LEAST(3, 12)
    // The name's counter first: making it may run the collector, and so
    // finalizers that change the globals, which must come before the lookup.
    std::uint64_t* counter = watching ? counter_for(name) : nullptr;
#else
    if (PyObject* value = by_hint(name, slot.hint)) {
        slot.stamp = version_now();
        slot.value = value;
        return borrow(value);
    }
#endif
    bool failed;
    PyObject* value = name_lookup(mod.globals, name, failed);
    if (failed) throw PyErrOccurred();  // a key's comparison raised: at once, as the listing
    if (value == nullptr) return builtin(name);
    // The stamp is read after the lookup has returned: a key's comparison
    // may have changed the globals during it, and the value found is the one
    // the globals hold from then on.
#if MOVRA_PY_AT_LEAST(3, 12)
    if (counter != nullptr && may_keep()) {
        slot.counter = counter;
        slot.stamp = *counter;
        slot.value = value;
    }
#else
    if (may_keep()) {
        slot.stamp = version_now();
        slot.value = value;
        slot.hint = hint_for(name);
    }
#endif
    return borrow(value);
}

}  // namespace movra

#endif  // MOVRA_PY3
