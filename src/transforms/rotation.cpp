// Rotation matrices about x and about y from an angle in degrees.
//
// Matrices are 4x4, row i and column j as written, acting on column vectors.
// Each rotation matrix here is the transpose of the usual one, so rotateX(a)
// and rotateY(a) turn by -a; Viewport 4 composes them with exactly these signs.
#include "module/functions.hpp"
#include "runtime/body.hpp"

namespace movra {

PyObject* fn_rotateX(PyObject*, PyObject* angle_deg) {
    return run_body("Movra.rotateX", __FILE__, [angle_deg](Frame& f) {
        AT(194); Ref theta = G(deg2rad)(angle_deg);
        AT(195); Ref R = list({list({K.i_1, K.i_0, K.i_0, K.i_0}),
                               list({K.i_0, G(cos)(theta), G(sin)(theta), K.i_0}),
                               list({K.i_0, G(sin)(theta).neg(), G(cos)(theta), K.i_0}),
                               list({K.i_0, K.i_0, K.i_0, K.i_1})});
        AT(196); return G(np).attr(K.matrix)(R);
    });
}

PyObject* fn_rotateY(PyObject*, PyObject* angle_deg) {
    return run_body("Movra.rotateY", __FILE__, [angle_deg](Frame& f) {
        AT(200); Ref theta = G(deg2rad)(angle_deg);
        AT(201); Ref R = list({list({G(cos)(theta), K.i_0, G(sin)(theta).neg(), K.i_0}),
                               list({K.i_0, K.i_1, K.i_0, K.i_0}),
                               list({G(sin)(theta), K.i_0, G(cos)(theta), K.i_0}),
                               list({K.i_0, K.i_0, K.i_0, K.i_1})});
        AT(202); return G(np).attr(K.matrix)(R);
    });
}

}  // namespace movra
