#include <Python.h>
#include <frameobject.h>

#include "runtime/traceback.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "runtime/errors.hpp"
#include "runtime/runtime.hpp"

namespace movra {

namespace {

// A code object for a record: the file, the name and the first line, which
// is also the line that a frame of it reports; everything else empty. It is
// never executed: its frame only stands in the traceback. Python 3 makes it
// as its own C-level traceback records do.
PyCodeObject* new_empty_code(const char* filename, const char* name, int first_line) {
#if MOVRA_PY3
    return PyCode_NewEmpty(filename, name, first_line);
#else
    PyObject* file = PyString_FromString(filename);
    PyObject* text = PyString_FromString(name);
    PyCodeObject* code = nullptr;
    if (file != nullptr && text != nullptr) {
        PyObject* e = mod.empty_tuple;
        code = PyCode_New(0, 0, 0, 0, mod.empty_bytes, e, e, e, e, e, file, text, first_line,
                          mod.empty_bytes);
    }
    Py_XDECREF(file);
    Py_XDECREF(text);
    return code;
#endif
}

// Code objects of records, one per failure site, kept for the life of the
// process in an array sorted by key and searched by bisection.
struct CacheEntry {
    int key;
    PyCodeObject* code;
};

struct CodeCache {
    CacheEntry* entries = nullptr;
    int count = 0;
    int capacity = 0;

    CacheEntry* find_slot(int key) {
        return std::lower_bound(entries, entries + count, key,
                                [](const CacheEntry& e, int k) { return e.key < k; });
    }

    PyCodeObject* find(int key) {
        if (key == 0 || entries == nullptr) return nullptr;
        CacheEntry* slot = find_slot(key);
        return (slot != entries + count && slot->key == key) ? slot->code : nullptr;
    }

    // Takes a new reference to `code`. Out of memory leaves it uncached.
    void insert(int key, PyCodeObject* code) {
        if (key == 0) return;
        if (count == capacity) {
            int grown = capacity + 64;
            void* memory = std::realloc(entries, sizeof(CacheEntry) * grown);
            if (memory == nullptr) return;
            entries = static_cast<CacheEntry*>(memory);
            capacity = grown;
        }
        CacheEntry* slot = find_slot(key);
        std::move_backward(slot, entries + count, entries + count + 1);
        Py_INCREF(code);
        *slot = CacheEntry{key, code};
        ++count;
    }
};

CodeCache cache;

PyCodeObject* new_record_code(const char* where, const char* native_file, int native_line,
                              int line) {
    char name[256];
    if (native_line) {
        std::snprintf(name, sizeof name, "%s (%s:%d)", where, native_file, native_line);
    } else {
        std::snprintf(name, sizeof name, "%s", where);
    }
    return new_empty_code(kSourceFile, name, line);
}

}  // namespace

void add_traceback(const char* where, const char* native_file, int native_line, int line) {
    if (mod.globals == nullptr) return;  // no module dictionary to give the frame
    // The site's key: its listing line, which is unique per statement; a site
    // with no listing line is keyed by its native line, kept apart by its sign.
    int key = line ? line : -native_line;
    PyCodeObject* code = cache.find(key);
    PyFrameObject* frame = nullptr;
    {
        // Built with the pending exception set aside; a failure to build the
        // record is not reported.
        ErrorScope pending;
        if (code != nullptr) {
            Py_INCREF(code);
        } else {
            code = new_record_code(where, native_file, native_line, line);
            if (code != nullptr) cache.insert(key, code);
        }
        // The frame's line is its code's first line: a frame that has run
        // nothing reports that line.
        if (code != nullptr) frame = PyFrame_New(PyThreadState_GET(), code, mod.globals, nullptr);
    }
    if (frame != nullptr) PyTraceBack_Here(frame);
    Py_XDECREF(code);
    Py_XDECREF(frame);
}

}  // namespace movra
