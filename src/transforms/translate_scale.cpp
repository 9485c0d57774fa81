// Translation and scaling matrices from a three-component vector. Both start
// from the float identity, so every component is stored as a float.
#include "module/functions.hpp"
#include "runtime/body.hpp"

namespace movra {

PyObject* fn_translate(PyObject*, PyObject* translate_vec) {
    return run_body("Movra.translate", __FILE__, [translate_vec](Frame& f) {
        AT(210); Ref T = G(np).attr(K.eye)(K.i_4);
        AT(211); T.set_item(K.key_column_3, translate_vec);
        AT(212); return G(np).attr(K.matrix)(T);
    });
}

PyObject* fn_scale(PyObject*, PyObject* s_arg) {
    return run_body("Movra.scale", __FILE__, [s_arg](Frame& f) {
        Ref s = borrow(s_arg);
        // S[i][i] = s[i]: the value is read before the row of S.
        AT(220); Ref S = G(np).attr(K.eye)(K.i_4);
        AT(221); { Ref v = s.item(0); S.item(0).set_item(0, v); }
        AT(222); { Ref v = s.item(1); S.item(1).set_item(1, v); }
        AT(223); { Ref v = s.item(2); S.item(2).set_item(2, v); }
        AT(224); return G(np).attr(K.matrix)(S);
    });
}

}  // namespace movra
