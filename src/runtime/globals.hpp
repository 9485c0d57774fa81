// The global-name lookup as a function body writes it, G(name), with one
// hint per name of the constant pool.
//
// What a hint may keep, and why it can never hand out a value that the
// module globals no longer hold:
//   * Python 3.12 and later: where the name's entry stood in the globals
//     (its position for PyDict_Next). A use reads that entry afresh and
//     takes its value only if the entry's key is this very name: the value
//     is the one the globals hold at this moment, whatever changed them
//     since, and whoever else watches or unwatches them. No value is kept.
//   * Python 3.8 to 3.11: the value, with the globals' version number
//     (PyDictObject.ma_version_tag, PEP 509), which the interpreter changes
//     in the same step as the globals themselves; a use takes the value
//     only while the version is the same.
//   * Python 2.7: where the name's entry stands in the globals' hash table;
//     a use reads the entry afresh, as on 3.12.
// A hint is used only while every key of the globals is an exact str, as
// the interpreter's own caching of global names requires: a key of another
// type may compare equal to a name by running code of its own, which the
// listing's lookup runs at each use, and so does the module's then.
// A name that is not in the globals (a built-in, or none at all) is looked
// up in full at every use.
#pragma once

#include "module/constants.hpp"
#include "runtime/compat.hpp"
#include "runtime/ref.hpp"

#include <cstdint>

namespace movra {

struct NameHint {
#if MOVRA_PY_AT_LEAST(3, 12) || !MOVRA_PY3
    Py_ssize_t position = -1;  // of the name's entry, or -1: none known
#else
    std::uint64_t version = ~std::uint64_t{0};  // of the globals when `value` was read
    PyObject* value = nullptr;                  // borrowed: the globals hold it
#endif
};

// One hint per identifier of the constant pool.
struct NameHints {
#define MOVRA_HINT(member, text) NameHint member;
    MOVRA_NAMES(MOVRA_HINT)
#undef MOVRA_HINT
};

extern NameHints hints;

// What a hint may rely on for the globals in use now (the .cpp file).
struct HintState {
    PyObject* globals = nullptr;  // the module globals
#if MOVRA_PY3
    bool text_keys = false;       // every key an exact str, as last seen
#else
    // The probe function of a dictionary of str keys alone: the globals
    // have it while every key is a str.
    PyDictEntry* (*string_lookup)(PyDictObject*, PyObject*, long) = nullptr;
#endif
};
extern HintState hint_state;

// `name` as a function body reads it: the module globals, then the
// builtins, else NameError "name '%.200s' is not defined". The slow half,
// which also refreshes the hint.
Ref global_lookup(PyObject* name, NameHint& hint);

// The same without a hint: initialisation's lookups.
Ref global(PyObject* name);

// Readies the hints for the module globals of a new module.
void prepare_lookups();

inline Ref global_at(PyObject* name, NameHint& hint) {
#if MOVRA_PY_AT_LEAST(3, 12)
    Py_ssize_t position = hint.position;
    PyObject* key;
    PyObject* value;
    if (hint_state.text_keys && PyDict_Next(hint_state.globals, &position, &key, &value) &&
        key == name) {
        return borrow(value);
    }
#elif MOVRA_PY3
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (hint.version == reinterpret_cast<PyDictObject*>(hint_state.globals)->ma_version_tag) {
        return borrow(hint.value);
    }
#pragma GCC diagnostic pop
#else
    PyDictObject* d = reinterpret_cast<PyDictObject*>(hint_state.globals);
    Py_ssize_t i = hint.position;
    if (d->ma_lookup == hint_state.string_lookup && i >= 0 && i <= d->ma_mask) {
        PyDictEntry* entry = &d->ma_table[i];
        if (entry->me_key == name && entry->me_value != nullptr) return borrow(entry->me_value);
    }
#endif
    return global_lookup(name, hint);
}

}  // namespace movra

// `name` as an expression: the global-name lookup of an interned constant.
#define G(name) ::movra::global_at(::movra::K.name, ::movra::hints.name)
