#include "runtime/function.hpp"

#include <structmember.h>

#include "runtime/version.hpp"

namespace movra {
namespace {

using Fn = FunctionObject;

const char kRegistry[] = "_native_function_registry_1";
const char kTypeName[] = "native_function_or_method";

Fn* as_fn(PyObject* op) { return reinterpret_cast<Fn*>(op); }

PyObject* new_ref(PyObject* o) {
    Py_INCREF(o);
    return o;
}

// Stores `value` (a new reference, may be NULL) in `field`, releasing the old one.
void swap_field(PyObject*& field, PyObject* value) {
    PyObject* old = field;
    field = value;
    Py_XDECREF(old);
}

// Runs the defaults getter if there is one and nothing was computed yet.
int fill_defaults(Fn* f) {
    if (f->defaults_getter == nullptr) return 0;
    return f->defaults_getter(reinterpret_cast<PyObject*>(f));
}

// --- getters and setters ------------------------------------------------------

PyObject* func_get_doc(PyObject* op, void*) {
    Fn* f = as_fn(op);
    if (f->doc == nullptr) {
        if (f->base.m_ml->ml_doc == nullptr) return new_ref(Py_None);
        f->doc = new_text(f->base.m_ml->ml_doc);
        if (f->doc == nullptr) return nullptr;
    }
    return new_ref(f->doc);
}

// Any value is accepted; deletion stores None.
int func_set_doc(PyObject* op, PyObject* value, void*) {
    swap_field(as_fn(op)->doc, new_ref(value ? value : Py_None));
    return 0;
}

PyObject* func_get_name(PyObject* op, void*) {
    Fn* f = as_fn(op);
    if (f->name == nullptr) {
        f->name = intern_text(f->base.m_ml->ml_name);
        if (f->name == nullptr) return nullptr;
    }
    return new_ref(f->name);
}

// __name__ must be a string; it cannot be deleted.
int func_set_name(PyObject* op, PyObject* value, void*) {
    if (value == nullptr || !is_text(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    swap_field(as_fn(op)->name, new_ref(value));
    return 0;
}

PyObject* func_get_qualname(PyObject* op, void*) { return new_ref(as_fn(op)->qualname); }

// __qualname__ must be a string; it cannot be deleted.
int func_set_qualname(PyObject* op, PyObject* value, void*) {
    if (value == nullptr || !is_text(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    swap_field(as_fn(op)->qualname, new_ref(value));
    return 0;
}

PyObject* func_get_self(PyObject* op, void*) {
    Fn* f = as_fn(op);
    return new_ref(f->closure ? f->closure : Py_None);
}

PyObject* func_get_dict(PyObject* op, void*) {
    Fn* f = as_fn(op);
    if (f->dict == nullptr) {
        f->dict = PyDict_New();
        if (f->dict == nullptr) return nullptr;
    }
    return new_ref(f->dict);
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
    swap_field(as_fn(op)->dict, new_ref(value));
    return 0;
}

PyObject* func_get_globals(PyObject* op, void*) { return new_ref(as_fn(op)->globals); }

PyObject* func_get_closure(PyObject*, void*) { return new_ref(Py_None); }

PyObject* func_get_code(PyObject* op, void*) {
    Fn* f = as_fn(op);
    return new_ref(f->code ? f->code : Py_None);
}

PyObject* func_get_defaults(PyObject* op, void*) {
    Fn* f = as_fn(op);
    if (f->defaults_tuple == nullptr && fill_defaults(f) < 0) return nullptr;
    return new_ref(f->defaults_tuple ? f->defaults_tuple : Py_None);
}

// __defaults__ is None or a tuple; deletion stores None.
int func_set_defaults(PyObject* op, PyObject* value, void*) {
    if (value == nullptr) value = Py_None;
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    swap_field(as_fn(op)->defaults_tuple, new_ref(value));
    return 0;
}

PyObject* func_get_kwdefaults(PyObject* op, void*) {
    Fn* f = as_fn(op);
    if (f->kwdefaults == nullptr && fill_defaults(f) < 0) return nullptr;
    return new_ref(f->kwdefaults ? f->kwdefaults : Py_None);
}

// __kwdefaults__ is None or a dictionary; deletion stores None.
int func_set_kwdefaults(PyObject* op, PyObject* value, void*) {
    if (value == nullptr) value = Py_None;
    if (value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    swap_field(as_fn(op)->kwdefaults, new_ref(value));
    return 0;
}

PyObject* func_get_annotations(PyObject* op, void*) {
    Fn* f = as_fn(op);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) return nullptr;
    }
    return new_ref(f->annotations);
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
    swap_field(as_fn(op)->annotations, new_ref(value));
    return 0;
}

PyObject* func_reduce(PyObject* op, PyObject*) {
    return new_text(as_fn(op)->base.m_ml->ml_name);
}

PyMethodDef func_methods[] = {
    {"__reduce__", func_reduce, METH_VARARGS, nullptr},
    {nullptr}  /* Sentinel */
};

PyMemberDef func_members[] = {
    {const_cast<char*>("__module__"), T_OBJECT, offsetof(Fn, base.m_module), PY_WRITE_RESTRICTED,
     nullptr},
    {nullptr}  /* Sentinel */
};

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
    Py_VISIT(f->closure);
    Py_VISIT(f->base.m_module);
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->classobj);
    Py_VISIT(f->defaults_tuple);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    if (f->defaults != nullptr) {
        PyObject** block = static_cast<PyObject**>(f->defaults);
        for (int i = 0; i < f->defaults_count; ++i) Py_VISIT(block[i]);
    }
    return 0;
}

int func_clear(PyObject* op) {
    Fn* f = as_fn(op);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->base.m_module);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->classobj);
    Py_CLEAR(f->defaults_tuple);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    if (f->defaults != nullptr) {
        PyObject** block = static_cast<PyObject**>(f->defaults);
        for (int i = 0; i < f->defaults_count; ++i) Py_CLEAR(block[i]);
        PyMem_Free(f->defaults);
        f->defaults = nullptr;
    }
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

// Binds like a Python function: static methods come back unchanged, class
// methods bind to the class, everything else to the instance, or fetched
// without one as the interpreter's own functions are (runtime/version.hpp).
PyObject* func_descr_get(PyObject* op, PyObject* instance, PyObject* owner) {
    Fn* f = as_fn(op);
    if (f->flags & kStaticMethod) return new_ref(op);
    if (f->flags & kClassMethod) {
        if (owner == nullptr) owner = reinterpret_cast<PyObject*>(Py_TYPE(instance));
        return new_method(op, owner, reinterpret_cast<PyObject*>(Py_TYPE(owner)));
    }
    if (instance == nullptr || instance == Py_None) return unbound_method(op, owner);
    return new_method(op, instance, owner);
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

PyTypeObject* obtain_function_type() {
    prepare_function_type(function_type, MOVRA_VECTORCALL_OFFSET(Fn));
    PyObject* registry = PyImport_AddModule(kRegistry);  // borrowed
    if (registry == nullptr) return nullptr;
    PyObject* shared = PyObject_GetAttrString(registry, kTypeName);
    if (shared != nullptr) {
        if (!PyType_Check(shared)) {
            PyErr_Format(PyExc_TypeError, "Shared function type %.200s is not a type object",
                         kTypeName);
            Py_DECREF(shared);
            return nullptr;
        }
        PyTypeObject* type = reinterpret_cast<PyTypeObject*>(shared);
        if (type->tp_basicsize != function_type.tp_basicsize) {
            PyErr_Format(PyExc_TypeError,
                         "Shared function type %.200s has the wrong size, try recompiling",
                         kTypeName);
            Py_DECREF(shared);
            return nullptr;
        }
        return type;  // the registry keeps it alive; this reference is ours
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    if (PyType_Ready(&function_type) < 0) return nullptr;
    if (PyObject_SetAttrString(registry, kTypeName,
                               reinterpret_cast<PyObject*>(&function_type)) < 0) {
        return nullptr;
    }
    Py_INCREF(&function_type);
    return &function_type;
}

PyObject* new_function(PyTypeObject* type, PyMethodDef* entry, int flags, PyObject* qualname,
                       PyObject* closure, PyObject* module, PyObject* globals, PyObject* code) {
    Fn* f = PyObject_GC_New(Fn, type);
    if (f == nullptr) return nullptr;
    f->flags = flags;
    f->base.m_ml = entry;
    f->base.m_self = reinterpret_cast<PyObject*>(f);
    f->base.m_module = nullptr;
    f->weakreflist = nullptr;
    f->closure = f->qualname = f->globals = f->code = nullptr;
    f->dict = f->name = f->doc = f->classobj = nullptr;
    f->defaults = nullptr;
    f->defaults_count = 0;
    f->defaults_tuple = f->kwdefaults = f->annotations = nullptr;
    f->defaults_getter = nullptr;
    init_builtin_part(f->base);
    Py_XINCREF(closure);
    f->closure = closure;
    Py_XINCREF(module);
    f->base.m_module = module;
    Py_INCREF(qualname);
    f->qualname = qualname;
    Py_INCREF(globals);
    f->globals = globals;
    Py_XINCREF(code);
    f->code = code;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return reinterpret_cast<PyObject*>(f);
}

}  // namespace movra
