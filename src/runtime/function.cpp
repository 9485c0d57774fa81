#include "runtime/function.hpp"

#include <structmember.h>

#include "runtime/text.hpp"

namespace movra {
namespace {

using Fn = FunctionObject;

const char kRegistry[] = "_native_function_registry_1";
const char kTypeName[] = "native_function_or_method";

// The registry's word for the type: a capsule beside it in the registry,
// named for this layout of the object, whose pointer is the type itself.
// A module recognises the registered type by it, never by a size: another
// build of the module with this layout writes the same name, and nothing
// else does. A new layout gets a new name.
const char kLayoutAttribute[] = "native_function_or_method_layout";
const char kLayoutName[] = "_native_function_registry_1.native_function_or_method.layout_3";

Fn* as_fn(PyObject* op) { return reinterpret_cast<Fn*>(op); }

PyObject* module_of(Fn* f) {
#if MOVRA_PY3
    return f->module;
#else
    return f->base.m_module;
#endif
}

// Stores `value` (a new reference, may be NULL) in `field`, releasing the old one.
void swap_field(PyObject*& field, PyObject* value) {
    PyObject* old = field;
    field = value;
    Py_XDECREF(old);
}

// --- getters and setters ------------------------------------------------------

PyObject* func_get_doc(PyObject* op, void*) {
    Fn* f = as_fn(op);
    if (f->doc == nullptr) {
        if (entry_of(op)->ml_doc == nullptr) return Py_NewRef(Py_None);
        f->doc = new_text(entry_of(op)->ml_doc);
        if (f->doc == nullptr) return nullptr;
    }
    return Py_NewRef(f->doc);
}

// Any value is accepted; deletion stores None.
int func_set_doc(PyObject* op, PyObject* value, void*) {
    swap_field(as_fn(op)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* func_get_name(PyObject* op, void*) {
    Fn* f = as_fn(op);
    if (f->name == nullptr) {
        f->name = intern_text(entry_of(op)->ml_name);
        if (f->name == nullptr) return nullptr;
    }
    return Py_NewRef(f->name);
}

// __name__ must be a string; it cannot be deleted.
int func_set_name(PyObject* op, PyObject* value, void*) {
    if (value == nullptr || !is_text(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    swap_field(as_fn(op)->name, Py_NewRef(value));
    return 0;
}

PyObject* func_get_qualname(PyObject* op, void*) { return Py_NewRef(as_fn(op)->qualname); }

// __qualname__ must be a string; it cannot be deleted.
int func_set_qualname(PyObject* op, PyObject* value, void*) {
    if (value == nullptr || !is_text(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    swap_field(as_fn(op)->qualname, Py_NewRef(value));
    return 0;
}

// A module function is bound to nothing: always None.
PyObject* func_get_self(PyObject*, void*) { return Py_NewRef(Py_None); }

PyObject* func_get_dict(PyObject* op, void*) {
    Fn* f = as_fn(op);
    if (f->dict == nullptr) {
        f->dict = PyDict_New();
        if (f->dict == nullptr) return nullptr;
    }
    return Py_NewRef(f->dict);
}

// __dict__ must be a dictionary and cannot be deleted.
int func_set_dict(PyObject* op, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
        return -1;
    }
    swap_field(as_fn(op)->dict, Py_NewRef(value));
    return 0;
}

PyObject* func_get_globals(PyObject* op, void*) { return Py_NewRef(as_fn(op)->globals); }

PyObject* func_get_closure(PyObject*, void*) { return Py_NewRef(Py_None); }

// Made on the first read (a failure fails the read and leaves the field
// empty for the next); None for a function that has no maker.
PyObject* func_get_code(PyObject* op, void*) {
    Fn* f = as_fn(op);
    if (f->code == nullptr) {
        if (f->make_code == nullptr) return Py_NewRef(Py_None);
        f->code = f->make_code(op);
        if (f->code == nullptr) return nullptr;
    }
    return Py_NewRef(f->code);
}

PyObject* func_get_defaults(PyObject* op, void*) {
    Fn* f = as_fn(op);
    return Py_NewRef(f->defaults ? f->defaults : Py_None);
}

// __defaults__ is None or a tuple; deletion stores None.
int func_set_defaults(PyObject* op, PyObject* value, void*) {
    if (value == nullptr) value = Py_None;
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    swap_field(as_fn(op)->defaults, Py_NewRef(value));
    return 0;
}

PyObject* func_get_kwdefaults(PyObject* op, void*) {
    Fn* f = as_fn(op);
    return Py_NewRef(f->kwdefaults ? f->kwdefaults : Py_None);
}

// __kwdefaults__ is None or a dictionary; deletion stores None.
int func_set_kwdefaults(PyObject* op, PyObject* value, void*) {
    if (value == nullptr) value = Py_None;
    if (value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    swap_field(as_fn(op)->kwdefaults, Py_NewRef(value));
    return 0;
}

PyObject* func_get_annotations(PyObject* op, void*) {
    Fn* f = as_fn(op);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) return nullptr;
    }
    return Py_NewRef(f->annotations);
}

// __annotations__ is a dictionary; None or deletion empties the field.
int func_set_annotations(PyObject* op, PyObject* value, void*) {
    if (value == nullptr || value == Py_None) {
        swap_field(as_fn(op)->annotations, nullptr);
        return 0;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    swap_field(as_fn(op)->annotations, Py_NewRef(value));
    return 0;
}

PyObject* func_reduce(PyObject* op, PyObject*) {
    return new_text(entry_of(op)->ml_name);
}

PyMethodDef func_methods[] = {
    {"__reduce__", func_reduce, METH_VARARGS, nullptr},
    {nullptr}  /* Sentinel */
};

PyMemberDef func_members[] = {
#if MOVRA_PY3
    {const_cast<char*>("__module__"), T_OBJECT, offsetof(Fn, module), PY_WRITE_RESTRICTED, nullptr},
#else
    {const_cast<char*>("__module__"), T_OBJECT, offsetof(Fn, base.m_module), PY_WRITE_RESTRICTED,
     nullptr},
#endif
    {nullptr}  /* Sentinel */
};

// Table entries that exist on Python 2 only (the func_* attribute names).
#if MOVRA_PY3
#define MOVRA_PY2_ONLY(...)
#else
#define MOVRA_PY2_ONLY(...) __VA_ARGS__
#endif

#define GETSET(name, get, set) {const_cast<char*>(name), get, set, nullptr, nullptr}

// The func_* names are Python 2's older names of the same attributes.
PyGetSetDef func_getset[] = {
    MOVRA_PY2_ONLY(GETSET("func_doc", func_get_doc, func_set_doc),)
    GETSET("__doc__", func_get_doc, func_set_doc),
    MOVRA_PY2_ONLY(GETSET("func_name", func_get_name, func_set_name),)
    GETSET("__name__", func_get_name, func_set_name),
    GETSET("__qualname__", func_get_qualname, func_set_qualname),
    GETSET("__self__", func_get_self, nullptr),
    MOVRA_PY2_ONLY(GETSET("func_dict", func_get_dict, func_set_dict),)
    GETSET("__dict__", func_get_dict, func_set_dict),
    MOVRA_PY2_ONLY(GETSET("func_globals", func_get_globals, nullptr),)
    GETSET("__globals__", func_get_globals, nullptr),
    MOVRA_PY2_ONLY(GETSET("func_closure", func_get_closure, nullptr),)
    GETSET("__closure__", func_get_closure, nullptr),
    MOVRA_PY2_ONLY(GETSET("func_code", func_get_code, nullptr),)
    GETSET("__code__", func_get_code, nullptr),
    MOVRA_PY2_ONLY(GETSET("func_defaults", func_get_defaults, func_set_defaults),)
    GETSET("__defaults__", func_get_defaults, func_set_defaults),
    GETSET("__kwdefaults__", func_get_kwdefaults, func_set_kwdefaults),
    GETSET("__annotations__", func_get_annotations, func_set_annotations),
    {nullptr}  /* Sentinel */
};

#undef GETSET

// --- garbage collection and lifetime ---------------------------------------

int func_traverse(PyObject* op, visitproc visit, void* arg) {
    Fn* f = as_fn(op);
    Py_VISIT(module_of(f));
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    return 0;
}

int func_clear(PyObject* op) {
    Fn* f = as_fn(op);
#if MOVRA_PY3
    Py_CLEAR(f->module);
#else
    Py_CLEAR(f->base.m_module);
#endif
    Py_CLEAR(f->dict);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    return 0;
}

void func_dealloc(PyObject* op) {
    PyObject_GC_UnTrack(op);
    if (as_fn(op)->weakreflist != nullptr) PyObject_ClearWeakRefs(op);
    func_clear(op);
    PyObject_GC_Del(op);
}

PyObject* func_repr(PyObject* op) {
    const char* qualname = text_of(as_fn(op)->qualname);
    if (qualname == nullptr) return nullptr;
    return format_text("<native function %s at %p>", qualname, static_cast<void*>(op));
}

// Binds like a Python function: to the instance it is fetched through; fetched
// through a class without one, an unbound method on Python 2 (which records
// the class), the function itself on Python 3.
PyObject* func_descr_get(PyObject* op, PyObject* instance, PyObject* owner) {
#if MOVRA_PY3
    (void)owner;
    if (instance == nullptr || instance == Py_None) return Py_NewRef(op);
    return PyMethod_New(op, instance);
#else
    if (instance == Py_None) instance = nullptr;
    return PyMethod_New(op, instance, owner);
#endif
}


PyTypeObject function_type = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    kTypeName,                                /* tp_name */
    sizeof(Fn),                               /* tp_basicsize */
    0,                                        /* tp_itemsize */
    func_dealloc,                             /* tp_dealloc */
    0,                                        /* tp_print (2.7), tp_vectorcall_offset (3.x) */
    nullptr,                                  /* tp_getattr */
    nullptr,                                  /* tp_setattr */
    nullptr,                                  /* tp_compare (2.7), tp_as_async (3.x) */
    func_repr,                                /* tp_repr */
    nullptr,                                  /* tp_as_number */
    nullptr,                                  /* tp_as_sequence */
    nullptr,                                  /* tp_as_mapping */
    nullptr,                                  /* tp_hash */
    nullptr,                                  /* tp_call, set before registration */
    nullptr,                                  /* tp_str */
    PyObject_GenericGetAttr,                  /* tp_getattro */
    PyObject_GenericSetAttr,                  /* tp_setattro */
    nullptr,                                  /* tp_as_buffer */
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,  /* tp_flags */
    nullptr,                                  /* tp_doc */
    func_traverse,                            /* tp_traverse */
    func_clear,                               /* tp_clear */
    nullptr,                                  /* tp_richcompare */
    offsetof(Fn, weakreflist),                /* tp_weaklistoffset */
    nullptr,                                  /* tp_iter */
    nullptr,                                  /* tp_iternext */
    func_methods,                             /* tp_methods */
    func_members,                             /* tp_members */
    func_getset,                              /* tp_getset */
    nullptr,                                  /* tp_base */
    nullptr,                                  /* tp_dict */
    func_descr_get,                           /* tp_descr_get */
    nullptr,                                  /* tp_descr_set */
    offsetof(Fn, dict),                       /* tp_dictoffset */
};

}  // namespace

// The registered type if it is vouched for by the registry's capsule of
// this layout, else the errors of the shared-type checks.
static PyTypeObject* registered_type(PyObject* registry, PyObject* shared) {
    if (!PyType_Check(shared)) {
        PyErr_Format(PyExc_TypeError, "Shared function type %.200s is not a type object", kTypeName);
        return nullptr;
    }
    PyObject* layout;
    int found = PyObject_GetOptionalAttrString(registry, kLayoutAttribute, &layout);
    if (found < 0) return nullptr;
    bool ours = found > 0 && PyCapsule_CheckExact(layout) &&
                PyCapsule_IsValid(layout, kLayoutName) &&
                PyCapsule_GetPointer(layout, kLayoutName) == shared;
    Py_XDECREF(layout);
    if (!ours) {
        PyErr_Format(PyExc_TypeError,
                     "Shared function type %.200s is not of this module's layout, try recompiling",
                     kTypeName);
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(Py_NewRef(shared));
}

PyTypeObject* obtain_function_type() {
#if MOVRA_PY3
    function_type.tp_call = PyVectorcall_Call;
    function_type.tp_vectorcall_offset = offsetof(Fn, vectorcall);
    function_type.tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
#else
    function_type.tp_call = PyCFunction_Call;
#endif
    PyObject* registry = PyImport_AddModuleRef(kRegistry);
    if (registry == nullptr) return nullptr;
    PyTypeObject* type = nullptr;
    PyObject* shared;
    int found = PyObject_GetOptionalAttrString(registry, kTypeName, &shared);
    if (found > 0) {
        type = registered_type(registry, shared);  // the registry keeps it alive; this reference is ours
        Py_DECREF(shared);
    } else if (found == 0 && PyType_Ready(&function_type) == 0) {
        PyObject* layout = PyCapsule_New(&function_type, kLayoutName, nullptr);
        if (layout != nullptr &&
            PyObject_SetAttrString(registry, kLayoutAttribute, layout) == 0 &&
            PyObject_SetAttrString(registry, kTypeName,
                                   reinterpret_cast<PyObject*>(&function_type)) == 0) {
            type = reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(&function_type)));
        }
        Py_XDECREF(layout);
    }
    Py_DECREF(registry);
    return type;
}

PyObject* new_function(PyTypeObject* type, PyMethodDef* entry, PyObject* qualname,
                       PyObject* module, PyObject* globals, PyObject* (*make_code)(PyObject*)) {
    Fn* f = PyObject_GC_New(Fn, type);
    if (f == nullptr) return nullptr;
#if MOVRA_PY3
    f->entry = entry;
    f->module = Py_XNewRef(module);
    f->vectorcall = vectorcall_entry(entry->ml_flags);
#else
    f->base.m_ml = entry;
    f->base.m_self = reinterpret_cast<PyObject*>(f);
    f->base.m_module = Py_XNewRef(module);
#endif
    f->weakreflist = nullptr;
    f->dict = f->name = f->doc = nullptr;
    f->qualname = Py_NewRef(qualname);
    f->globals = Py_NewRef(globals);
    f->code = nullptr;
    f->make_code = make_code;
    f->defaults = f->kwdefaults = f->annotations = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return reinterpret_cast<PyObject*>(f);
}

}  // namespace movra
