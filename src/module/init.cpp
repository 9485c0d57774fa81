// Module initialisation: the module object, its constant pool and function
// objects, and the top-level statements of the listing, in order.
#include "module/code_objects.hpp"
#include "module/constants.hpp"
#include "module/entry.hpp"
#include "module/function_table.hpp"
#include "runtime/body.hpp"
#include "runtime/function.hpp"

#include <cstdio>
#include <cstring>

namespace movra {
namespace {

const char kModuleName[] = "Movra";
const char kModuleDoc[] = "\nSTUDENT NAME:\nSTUDENT ID:\n\nTavrel Lab\n";

// The "major.minor" at the start of a version text such as "3.14.2 (main,
// ...)", cut to the buffer.
void major_minor(const char* version, char* out, std::size_t size) {
    const char* digits = "0123456789";
    std::size_t length = std::strspn(version, digits);
    if (version[length] == '.') length += 1 + std::strspn(version + length + 1, digits);
    std::snprintf(out, size, "%.*s", static_cast<int>(length), version);
}

// Warns when the running interpreter's major and minor version are not those
// the module was compiled for.
bool check_version() {
    char compiled[16];
    char running[16];
    std::snprintf(compiled, sizeof compiled, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    major_minor(Py_GetVersion(), running, sizeof running);
    if (std::strcmp(compiled, running) == 0) return true;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match runtime version %s",
                  compiled, kModuleName, running);
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

PyObject* code_objects[kFunctionCount];  // made on first use, live until the process ends

// A function's code object, made at the first read of its __code__: the
// compiler is not needed for the import itself.
PyObject* code_of(PyObject* function) {
    std::ptrdiff_t i = entry_of(function) - function_entries;
    if (i < 0 || i >= kFunctionCount) return Py_NewRef(Py_None);
    if (code_objects[i] == nullptr) code_objects[i] = new_function_code(static_cast<int>(i));
    return Py_XNewRef(code_objects[i]);
}

// Stores a new reference in a field of the module state, releasing what an
// earlier, failed initialisation left there.
void keep(PyObject*& field, Ref value) {
    PyObject* old = field;
    field = value.release();
    Py_XDECREF(old);
}

// `from <module> import *` as the guarded block writes it.
void star_import(PyObject* name) {
    Ref fromlist = list({K.star});
    import_star(import_module(name, fromlist.get()));
}

// While the guarded block runs, the handled exception it started with is put
// back on every way out.
struct HandledExceptionScope {
    ExcInfo saved = save_exception();
    ~HandledExceptionScope() { restore_exception(saved); }
};

// The top-level statements of the listing.
void run_statements(Frame& f) {
    AT(8);  set_global(K.sys, import_module(K.sys));
    {
        HandledExceptionScope handled;
        try {
            AT(10); star_import(K.OpenGL_GLUT);
            AT(11); star_import(K.OpenGL_GL);
            AT(12); star_import(K.OpenGL_GLU);
        } catch (const PyErrOccurred&) {
            // Any exception at all, SystemExit and KeyboardInterrupt included.
            add_traceback("Movra", __FILE__, f.native_line, f.line);
            ExcInfo caught = take_exception();
            AT(14); print_object(K.pyopengl_error);
            AT(15); G(sys).attr(K.exit)();
        }
    }
    AT(16); set_global(K.np, import_module(K.numpy));
    AT(17); {
        Ref numpy = import_module(K.numpy, Ref(list({K.sqrt, K.arctan2, K.cos, K.sin, K.tan, K.pi,
                                                     K.transpose, K.rad2deg, K.deg2rad})).get());
        for (PyObject* name : {K.sqrt, K.arctan2, K.cos, K.sin, K.tan, K.pi, K.transpose,
                               K.rad2deg, K.deg2rad}) {
            set_global(name, import_from(numpy, name));
        }
    }
    AT(18); star_import(K.KestDrawHelperFunctions);

    AT(21); set_global(K.near, K.f_1_0);
    AT(22); set_global(K.far, K.f_7_0);
    AT(23); set_global(K.left, K.f_m0_5);
    AT(24); set_global(K.right, K.f_0_5);
    AT(25); set_global(K.bottom, K.f_m0_5);
    AT(26); set_global(K.top, K.f_0_5);
    AT(28); set_global(K.viewport4Sol1, Py_True);
    AT(30); set_global(K.movingCameraRadius, K.i_5);
    AT(31); set_global(K.movingCameraHeight, K.i_3);
    AT(32); set_global(K.movingCameraPos, list({K.i_0, K.i_0, K.i_0}));
    AT(33); set_global(K.movingCameraAngle, K.i_0);
    AT(34); set_global(K.sizeViewport, to_int(K.i_350));
    AT(36); set_global(K.eyeX, K.i_0);
    AT(37); set_global(K.eyeY, K.i_0);
    AT(38); set_global(K.eyeZ, K.i_0);
    AT(39); set_global(K.pan, K.i_0);
    AT(40); set_global(K.tilt, K.i_0);
    AT(42); set_global(K.myQuadric, K.i_0);

    // def <name>(...): one function object per definition, bound at once.
    for (int i = 0; i < kFunctionCount; ++i) {
        const FunctionInfo& info = function_infos[i];
        PyObject* name = K.*info.name;
        f.at(info.first_line, __LINE__);
        set_global(name, require(new_function(mod.function_type, &function_entries[i], name,
                                              K.Movra, mod.globals, code_of)));
    }
    AT(307); set_global(K.__test__, new_dict());
}

// Steps after the module exists. Failures before the first statement name
// no statement of the listing (line 0).
Ref initialise(Frame& f) {
    AT(0); keep(mod.globals, borrow(PyModule_GetDict(mod.module)));
    AT(0); keep(mod.builtins, require(PyImport_AddModuleRef(kBuiltinsModule)));
    AT(0); keep(mod.sys, require(PyImport_AddModuleRef("sys")));
    AT(0); require(PyObject_SetAttrString(mod.module, "__builtins__", mod.builtins));
    AT(0); if (!create_constants()) throw PyErrOccurred();
    AT(0); if (!create_constant_tuples()) throw PyErrOccurred();
    AT(0); prepare_lookups();
    run_statements(f);
    return none();
}

bool initialised = false;  // an initialisation has succeeded in this process

// What exists before the module: the version check, the shared empty tuple
// and byte string, and the function type. A failure adds no record.
bool prepare() {
    return check_version() &&
           (mod.empty_tuple != nullptr || (mod.empty_tuple = PyTuple_New(0))) &&
           (mod.empty_bytes != nullptr || (mod.empty_bytes = new_empty_bytes())) &&
           (mod.function_type != nullptr || (mod.function_type = obtain_function_type()));
}

PyObject* initialised_module() { return initialised ? mod.module : nullptr; }

// The initialisation of a new module object: 0, or -1 with the exception
// pending, the record "init Movra" added and the module given up, so that a
// later import starts again (reusing what this one made).
int execute(PyObject* module) {
    keep(mod.module, borrow(module));
    PyObject* result = run_body("init Movra", __FILE__, initialise);
    if (result == nullptr) {
        Py_CLEAR(mod.module);
        return -1;
    }
    Py_DECREF(result);
    initialised = true;
    return 0;
}

using Entry = ModuleEntry<kModuleName, kModuleDoc, prepare, initialised_module, execute>;

}  // namespace
}  // namespace movra

// The one exported symbol: everything else is hidden (see setup.py).
MOVRA_MODULE_ENTRY(Movra, movra::Entry)
