#include "module/constants.hpp"
#include "runtime/traceback.hpp"
#include "runtime/text.hpp"

#include <initializer_list>

namespace movra {

Constants K;

namespace {

PyObject* pack(std::initializer_list<PyObject*> items) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (t == nullptr) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        Py_INCREF(item);
        PyTuple_SET_ITEM(t, i++, item);
    }
    return t;
}

}  // namespace

// Both creators fill only what is still missing, so that an initialisation
// that runs again after a failed one reuses what the first one made.
bool create_constants() {
    Constants& k = K;
    // Strings from one table: identifiers interned, texts plain.
#define MOVRA_INTERN(member, text) \
    if (!k.member && !(k.member = intern_text(text))) return false;
    MOVRA_NAMES(MOVRA_INTERN)
#undef MOVRA_INTERN
#define MOVRA_TEXT(member, text) \
    if (!k.member && !(k.member = new_text(text, sizeof(text) - 1))) return false;
    MOVRA_TEXTS(MOVRA_TEXT)
#undef MOVRA_TEXT
    // Numbers: all floats, then all integers.
#define MOVRA_FLOAT(member, value) \
    if (!k.member && !(k.member = PyFloat_FromDouble(value))) return false;
    MOVRA_FLOATS(MOVRA_FLOAT)
#undef MOVRA_FLOAT
#define MOVRA_INT(member, value) \
    if (!k.member && !(k.member = new_int(value))) return false;
    MOVRA_INTS(MOVRA_INT)
#undef MOVRA_INT
    return true;
}

bool create_constant_tuples() {
    Constants& k = K;
    return (k.args_clear_color || (k.args_clear_color = pack({k.f_0_0, k.f_0_0, k.f_0_0, k.f_1_0}))) &&
           (k.args_cube_at || (k.args_cube_at = pack({k.f_0_0, k.i_0, k.f_m3_0}))) &&
           (k.args_sphere_at || (k.args_sphere_at = pack({k.f_2_0, k.i_0, k.f_m6_0}))) &&
           (k.args_turn_around || (k.args_turn_around = pack({k.i_180, k.i_0, k.i_1, k.i_0}))) &&
           (k.args_camera_body || (k.args_camera_body = pack({k.f_0_5, k.f_0_5, k.f_1_0}))) &&
           (k.args_lens_shift || (k.args_lens_shift = pack({k.i_0, k.i_0, k.f_0_5}))) &&
           (k.args_ortho_v2 || (k.args_ortho_v2 = pack({k.i_m5, k.i_5, k.i_m5, k.i_5, k.i_m1, k.i_50}))) &&
           (k.args_ortho_v3 || (k.args_ortho_v3 = pack({k.i_m3, k.i_3, k.i_m3, k.i_3, k.i_m3, k.i_50}))) &&
           (k.args_mirror_z || (k.args_mirror_z = pack({k.f_1_0, k.f_1_0, k.f_m1_0}))) &&
           (k.args_to_corner || (k.args_to_corner = pack({k.i_m1, k.i_m1, k.i_1}))) &&
           (k.args_perspective || (k.args_perspective = pack({k.i_60, k.i_1, k.f_0_01, k.i_20}))) &&
           (k.shape_4x4 || (k.shape_4x4 = pack({k.i_4, k.i_4}))) &&
           (k.slice_to_3 || (k.slice_to_3 = PySlice_New(nullptr, k.i_3, nullptr))) &&
           (k.key_column_3 || (k.key_column_3 = pack({k.slice_to_3, k.i_3})));
}

}  // namespace movra
